#pragma once
// The stage rules of a publication: glob patterns over the client's relative paths, each giving a
// download stage. The first rule that matches a file decides; a file no rule matches is in stage 0.

#include <cstdint>
#include <string>
#include <vector>

class CKZPublishRules
{
public:
    // The file format, as kzpublish --help prints it.
    static const char* const ms_szSyntax;

    // Reads a rules file; false with "PATH:LINE: reason" (or the system's reason) in strError.
    bool Load(const std::string& strPath, std::string& strError);
    // Reads rules from text; strSource names it in errors.
    bool Parse(const std::string& strText, const std::string& strSource, std::string& strError);

    // The stage of a path relative to the client folder ("/" separators) and the pattern that gave it
    // (empty when no rule matched).
    uint32_t StageOf(const std::string& strRelative, std::string* pPattern = nullptr) const;

    // "*" any characters but "/", "?" one character but "/", "**/" any number of whole folders, "**"
    // anything; every other character stands for itself.
    static bool GlobMatch(const char* szPattern, const char* szText);

private:
    struct SRule
    {
        std::string strPattern;
        uint32_t dwStage;
    };
    std::vector<SRule> m_rules;
};
