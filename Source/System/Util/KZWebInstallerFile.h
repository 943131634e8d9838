#pragma once
// One file of an installer's run: a catalogue record with the installer's local directory, status
// and flags, and the bookkeeping of its transfers.

#include "Base/Core/KZFileDetails.h"
#include "System/KZDeltaIndex.h"
#include "System/Util/KZRetryPolicy.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

class CKZWebInstallerFile : public CKZFileDetails
{
public:
    enum EStatus : uint32_t
    {
        FILE_STATUS_PENDING = 0,
        FILE_STATUS_DONE = 1,
        FILE_STATUS_DOWNLOADING = 2,
        FILE_STATUS_UNZIPPING = 3,
    };
    enum EFlags : uint32_t
    {
        FILE_FLAG_DIRECT = 1,   // fetched under its own name
        FILE_FLAG_EXTRACT = 2,  // a zip that the main worker unpacks at once
        FILE_FLAG_FULL_ZIP = 4, // a full-install zip for the unzip worker
    };
    static constexpr uint32_t kNoStage = 0xFFFFFFFF;

    CKZWebInstallerFile() = default;
    explicit CKZWebInstallerFile(const CKZFileDetails& details) : CKZFileDetails(details) {}

    // Zip index -> stage, the last file in name order deciding; emptied when it names one zip only.
    template <typename FileMap>
    static void GetDownloadStageZipMap(const FileMap& files, std::map<int32_t, int32_t>& zipStages)
    {
        for (const auto& entry : files)
            zipStages[static_cast<int32_t>(entry.second->m_dwZipIndex)] = static_cast<int32_t>(entry.second->m_dwStage);
        if (zipStages.size() <= 1)
            zipStages.clear();
    }

    // A file fetched under its own name, with the size and time the server gave for it.
    static std::unique_ptr<CKZWebInstallerFile> UnderOwnName(const std::string& strName, const SKZFileTime& time,
                                                             uint64_t qwServerSize);

    bool Has(uint32_t dwFlag) const { return (m_dwFlags & dwFlag) != 0; }
    // The directory that holds its local copy: its own, or the install root.
    const std::string& LocalDir(const std::string& strInstallRoot) const
    {
        return m_strLocalDir.empty() ? strInstallRoot : m_strLocalDir;
    }
    // The most its transfer may bring: what the server said it holds for a file fetched under its
    // own name; for an update zip the record's compressed size, with room for the zip around one
    // entry of its path (both headers name it) and the headers, extra fields and end record.
    uint64_t TransferBound() const;
    // What its transfer brings: the planned delta, or its update zip (or the file itself).
    uint64_t DownloadBytes() const { return m_pDelta ? m_pDelta->qwDeltaSize : m_dwCompressedSize; }
    static constexpr uint32_t kUpdateZipOverhead = 1024;

    std::string m_strLocalDir;
    uint32_t m_dwStatus = FILE_STATUS_PENDING;
    uint32_t m_dwFlags = 0;

    // The failed tries of its transfer; a zip that does not unpack or holds other bytes counts as a
    // refusal.
    SKZRetryState m_retry;
    // The size the server gave for a file fetched under its own name (0 for catalogue entries).
    uint64_t m_qwServerSize = 0;
    // The server's time of the file whose partial copy a broken transfer left; -1 for none.
    int64_t m_resumeTime = -1;
    // The delta that turns its packed copy into the record's bytes, fetched instead of its update
    // zip; null when there is none or it failed once in this run.
    std::shared_ptr<const SKZDelta> m_pDelta;
};

// A catalogue read from a file: name -> record.
typedef std::map<std::string, std::unique_ptr<CKZWebInstallerFile>> KZCatalogueEntries;
