#pragma once
// The deltas of a publication over a previous tree: for every file whose content changed, a delta
// from its previous bytes (read in place from the previous tree's packs) to its new bytes; the
// deltas of earlier publications that still lead to a file's current bytes; and the index
// Data.deltas that lists them all. Everything is written into the publisher's staging folder.

#include "Base/Archive/KZFileDelta.h"
#include "System/KZDeltaIndex.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

class CKZFileTimeCache;
class CKZFileDetails;
class CKZPackFileArchive;

// What the deltas of a publication came to, for the closing line.
struct SKZDeltaSummary
{
    size_t written = 0;
    uint64_t qwBytes = 0;    // of the deltas written
    uint64_t qwZipBytes = 0; // of the update zips of the files they were written for
    size_t kept = 0;         // from earlier publications
    size_t notWorth = 0;     // made, but not small enough against the update zip
};

class CKZDeltaPublisher
{
public:
    struct SInputs
    {
        const CKZFileTimeCache* pPrevious = nullptr;
        // The new catalogue, each record's compressed size already its update zip's size.
        const CKZFileTimeCache* pCatalogue = nullptr;
        std::map<std::string, std::filesystem::path> mapClientFiles; // catalogue name -> file on disk
        std::filesystem::path previousDir;
        std::filesystem::path stagingDir;
        uint32_t dwKeep = 3; // publications a delta stays listed for; 0: no deltas at all
        int level = KZFileDelta::kDefaultLevel;
        bool bProgress = false;
    };
    // Copies a previous tree's file into the staging folder (nothing to do when the previous tree
    // is the live one); false with the reason in the publisher's error.
    typedef std::function<bool(const std::string& strName)> KeepFile;
    // Records a file written into the staging folder, to be moved into the tree.
    typedef std::function<void(const std::string& strName)> StageFile;

    CKZDeltaPublisher(SInputs inputs, KeepFile keep, StageFile stage);
    ~CKZDeltaPublisher();
    CKZDeltaPublisher(const CKZDeltaPublisher&) = delete;
    CKZDeltaPublisher& operator=(const CKZDeltaPublisher&) = delete;

    // False with one line in GetError().
    bool Write();
    const std::string& GetError() const { return m_strError; }
    const SKZDeltaSummary& GetSummary() const { return m_summary; }
    // Whether the new index lists the delta at a path below the tree ("Data/<name>.<crc>.delta").
    bool Lists(const std::string& strServerPath) const { return m_setListed.count(strServerPath) != 0; }
    bool HasIndex() const { return !m_index.Empty(); }

    // A delta is kept only when it saves at least a quarter of the update zip.
    static bool WorthKeeping(uint64_t qwDeltaSize, uint64_t qwZipSize) { return qwDeltaSize * 4 <= qwZipSize * 3; }

private:
    bool Fail(const std::string& strMessage);
    void LoadPreviousIndex();
    bool WriteNewDeltas();
    bool WriteDeltasFromPack(uint32_t dwPack, const std::vector<const CKZFileDetails*>& vecFiles, size_t& done,
                             size_t total);
    bool OpenPreviousPack(uint32_t dwPack, const std::filesystem::path& folder, CKZPackFileArchive& archive,
                          std::string& strWhy) const;
    bool WriteDelta(const CKZFileDetails& record, const CKZPackFileArchive& archive);
    bool MakeDelta(const uint8_t* pBase, size_t baseSize, const uint8_t* pTarget, size_t targetSize,
                   uint64_t qwZipSize, const std::string& strServerPath, uint64_t& qwSize, bool& bTooLarge);
    bool KeepEarlierDeltas();
    bool CurrentDigest(const CKZFileDetails& record, KZSignature::Digest& digest);
    bool WriteIndex();
    bool Add(const SKZDelta& delta);
    void Progress(size_t done, size_t total) const;

    SInputs m_inputs;
    KeepFile m_keep;
    StageFile m_stage;
    CKZDeltaIndex m_previousIndex;
    CKZDeltaIndex m_index;
    std::set<std::string> m_setListed;
    std::map<std::string, KZSignature::Digest> m_mapDigests; // of new files, by name
    std::string m_strError;
    SKZDeltaSummary m_summary;
};
