#include "KZPublishRules.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

const char* const CKZPublishRules::ms_szSyntax =
    "Stage rules file: one rule per line, PATTERN then STAGE separated by blanks; blank lines and lines\n"
    "starting with # are ignored. PATTERN is matched against a file's path inside CLIENT_DIR (\"/\"\n"
    "separators): * any characters but /, ? one character but /, **/ any number of folders, ** anything.\n"
    "STAGE is a decimal number from 0 to 65535. The first matching rule decides; other files are in stage 0.\n"
    "Example:\n"
    "    # the client starts with stage 0\n"
    "    shaders/**       0\n"
    "    **/*.ogg         2\n"
    "    textures/*       1\n";

bool CKZPublishRules::Load(const std::string& strPath, std::string& strError)
{
    std::ifstream in(strPath, std::ios::binary);
    if (!in)
    {
        strError = "cannot read the stage rules " + strPath + ": " + strerror(errno);
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    if (in.bad())
    {
        strError = "cannot read the stage rules " + strPath + ": " + strerror(errno);
        return false;
    }
    return Parse(text.str(), strPath, strError);
}

bool CKZPublishRules::Parse(const std::string& strText, const std::string& strSource, std::string& strError)
{
    m_rules.clear();
    std::istringstream lines(strText);
    int lineNumber = 0;
    for (std::string strLine; std::getline(lines, strLine);)
    {
        ++lineNumber;
        if (!strLine.empty() && strLine.back() == '\r')
            strLine.pop_back();
        std::istringstream words(strLine);
        std::string strPattern, strStage, strExtra;
        if (!(words >> strPattern) || strPattern[0] == '#')
            continue;
        const std::string strWhere = strSource + ":" + std::to_string(lineNumber) + ": ";
        if (!(words >> strStage) || (words >> strExtra))
        {
            strError = strWhere + "expected PATTERN STAGE";
            return false;
        }
        char* pEnd = nullptr;
        errno = 0;
        const unsigned long stage = strtoul(strStage.c_str(), &pEnd, 10);
        if (*pEnd || errno || strStage[0] == '-' || strStage[0] == '+' || stage > 65535)
        {
            strError = strWhere + "the stage is not a number from 0 to 65535: " + strStage;
            return false;
        }
        m_rules.push_back({strPattern, static_cast<uint32_t>(stage)});
    }
    return true;
}

uint32_t CKZPublishRules::StageOf(const std::string& strRelative, std::string* pPattern) const
{
    for (const SRule& rule : m_rules)
    {
        if (GlobMatch(rule.strPattern.c_str(), strRelative.c_str()))
        {
            if (pPattern)
                *pPattern = rule.strPattern;
            return rule.dwStage;
        }
    }
    if (pPattern)
        pPattern->clear();
    return 0;
}

bool CKZPublishRules::GlobMatch(const char* szPattern, const char* szText)
{
    for (; *szPattern; ++szPattern, ++szText)
    {
        if (szPattern[0] == '*' && szPattern[1] == '*')
        {
            const char* szRest = szPattern + 2;
            if (*szRest == '/')
            {
                // Zero folders, or one whole folder more at a time.
                ++szRest;
                for (const char* p = szText;; ++p)
                {
                    if ((p == szText || p[-1] == '/') && GlobMatch(szRest, p))
                        return true;
                    if (!*p)
                        return false;
                }
            }
            for (const char* p = szText;; ++p)
            {
                if (GlobMatch(szRest, p))
                    return true;
                if (!*p)
                    return false;
            }
        }
        if (*szPattern == '*')
        {
            for (const char* p = szText;; ++p)
            {
                if (GlobMatch(szPattern + 1, p))
                    return true;
                if (!*p || *p == '/')
                    return false;
            }
        }
        if (!*szText || (*szPattern == '?' ? *szText == '/' : *szPattern != *szText))
            return false;
    }
    return !*szText;
}
