#pragma once
// Publishes a client folder as a patch-server tree: the catalogue Data.ccx, the full-install zips
// Data<N>.zip (pack N and its header under PackFiles/), one update zip Data/<name>.zip per file, the
// client application zip and the two reports; over a previous publication also the deltas of changed
// files and their index Data.deltas. Everything is written into a folder beside the server
// tree and moved in afterwards, the catalogue last, so a client reads either the old catalogue or
// the new one with everything it names already in place.

#include "KZDeltaPublisher.h"
#include "KZPublishRules.h"

#include "System/Util/KZFileTimeCache.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

struct SKZPublishOptions
{
    std::string strClientDir;
    std::string strServerDir;
    std::string strPreviousDir; // empty: no previous publication
    std::string strRulesPath;   // empty: every file in stage 0
    std::string strAppDir;      // empty: the previous client application zip is kept
    uint32_t dwZipSize = 64u << 20;
    uint32_t dwKeepDeltas = 3;  // with a previous publication: publications a delta stays listed for
    int deltaLevel = KZFileDelta::kDefaultLevel;
    bool bProgress = false;     // a progress line on stderr
};

// What a publication did, for the closing line.
struct SKZPublishSummary
{
    size_t files = 0;
    uint32_t packs = 0;
    uint32_t packZipsWritten = 0;
    size_t updateZipsWritten = 0;
    uint64_t bytes = 0;
    SKZDeltaSummary deltas;
};

class CKZPublisher
{
public:
    explicit CKZPublisher(const SKZPublishOptions& options);
    ~CKZPublisher();
    CKZPublisher(const CKZPublisher&) = delete;
    CKZPublisher& operator=(const CKZPublisher&) = delete;

    // False with one line in GetError(). A refusal found before writing leaves every folder as it was.
    bool Publish();
    const std::string& GetError() const { return m_strError; }
    const SKZPublishSummary& GetSummary() const { return m_summary; }

    // Longest name and catalogue path: the installer keeps them in 256-byte buffers.
    static constexpr size_t kMaxText = 255;
    // A pack file's offsets are below 2 GiB, so no file may reach that size.
    static constexpr uint64_t kMaxFileSize = 0x7FFFFFFFull;

private:
    struct SClientFile
    {
        std::string strRelative; // "/" separators, inside the client folder
        std::string strName;
        uint64_t qwSize = 0;
    };

    bool Fail(const std::string& strMessage);
    bool Check();
    bool ScanClient();
    bool LoadPrevious();
    bool BuildCatalogue();
    void AssignZips();
    bool AssignZipsKeepingPrevious();
    bool WriteUpdateZips();
    bool WriteDeltas();
    bool WritePackZips();
    bool WriteClientZip();
    bool WriteCatalogueAndReports();
    bool MoveIntoPlace();
    void RemoveObsolete();

    bool LinkClientFolder();
    bool BuildPacks(const std::filesystem::path& packDirectory);
    bool ZipFiles(const std::filesystem::path& zipPath,
                  const std::vector<std::pair<std::string, std::string>>& vecEntries); // (source, name)
    // Copies a previous publication's file into the staging folder with its time; nothing to copy
    // when the previous publication is the live tree itself.
    bool KeepPrevious(const std::string& strName);
    bool Staged(const std::string& strName) const { return m_setStaged.count(strName) != 0; }
    void Progress(const char* szPhase, size_t done, size_t total) const;

    SKZPublishOptions m_options;
    std::filesystem::path m_clientDir, m_serverDir, m_previousDir, m_stagingDir;
    bool m_bPreviousIsLive = false;
    CKZPublishRules m_rules;
    std::vector<SClientFile> m_files;
    CKZFileTimeCache m_catalogue;
    CKZFileTimeCache m_previous;
    bool m_bHasPrevious = false;
    std::set<std::string> m_setSameContent; // names whose update zip the previous publication has
    std::set<uint32_t> m_setChangedPacks;
    uint32_t m_dwPackCount = 0;
    std::set<std::string> m_setStaged; // names below the server folder written into the staging folder
    std::unique_ptr<CKZDeltaPublisher> m_pDeltas;
    std::string m_strError;
    SKZPublishSummary m_summary;
};
