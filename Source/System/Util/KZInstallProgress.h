#pragma once
// The progress of one run: file and byte counters, the bytes of the transfers and the unpacking
// under way, the download stages of a new install and the pack merge's share. Everything here is
// guarded by its own lock; the pack merge's bytes come from a source read without any lock, so that
// no getter waits for a merge.

#include "System/Util/KZWebInstallerFile.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>

class CKZInstallProgress
{
public:
    // Transfer slots: 0 the main worker, 1 the second download worker; kUncountedSlot transfers
    // (catalogues) never show.
    static constexpr unsigned kSlots = 2;
    static constexpr unsigned kUncountedSlot = 2;
    // Unpacking slots, one per unzip worker.
    static constexpr unsigned kUnzipSlots = 2;

    CKZInstallProgress() = default;
    CKZInstallProgress(const CKZInstallProgress&) = delete;
    CKZInstallProgress& operator=(const CKZInstallProgress&) = delete;

    // The merged bytes of the pack merge under way.
    void SetPackBytesSource(std::function<uint64_t()> source) { m_packBytes = std::move(source); }

    // Counters back to zero as an update's comparison begins.
    void ResetCounters();
    // A file the run will fetch: its download bytes and, when it is unpacked, its size.
    void AddFile(uint64_t qwDownloadBytes, uint64_t qwUnpackBytes);
    // Full-install zip j of the enumeration (its stage may be kNoStage).
    void AddFullInstallZip(uint32_t zip, uint32_t dwStage, uint64_t qwSize);
    // The stage of a full-install zip, from the stage tables (kNoStage when none).
    uint32_t StageOfZip(uint32_t zip) const;
    // The bytes of the files the stage tables' catalogue puts in a zip's pack; qwFallback without
    // that catalogue.
    uint64_t StageBytesOfZip(uint32_t zip, uint64_t qwFallback) const;

    // A transfer in a slot: its bytes so far (from its progress calls) and the stage it counts for.
    void SetSlotBytes(unsigned slot, uint64_t qwBytes);
    void SetSlotStage(unsigned slot, uint32_t dwStage);
    // A transfer succeeded: its slot's bytes become the file's credited download bytes in one step,
    // so that progress never dips or doubles.
    void CreditDownload(unsigned slot, const CKZWebInstallerFile& file);
    // A fetched file that could not be used: its credited download is taken back.
    void TakeBackDownload(const CKZWebInstallerFile& file);
    // A file comes another way than planned (its update zip instead of a delta): the total follows.
    void ChangeDownloadTotal(uint64_t qwPlannedBytes, uint64_t qwNewBytes);
    void FileDone(uint64_t qwUnpackedBytes = 0);
    bool AllFilesDone() const;

    // The unpacking of a full-install zip in an unzip worker's slot: its stage and its bytes so far.
    void SetUnzipStage(unsigned slot, uint32_t dwStage);
    void SetUnzipBytes(unsigned slot, uint64_t qwBytes);
    void FullInstallZipDone(unsigned slot, const CKZWebInstallerFile& zip);
    // A full-install zip that a cancelled run had installed: downloaded and unpacked already.
    void FullInstallZipFound(const CKZWebInstallerFile& zip);
    // The unpacking in a slot ended without a file to show for it.
    void UnzipAbandoned(unsigned slot);

    // The pack merge: its total bytes (the catalogue's sizes) and, once it succeeded, complete.
    void SetPackTotal(uint64_t qwBytes);
    void SetPackMerged();

    // The download stage tables from a catalogue; its pack count (highest zip index + 1).
    uint64_t SetStageCatalogue(KZCatalogueEntries&& catalogue);
    void ClearStageCatalogue();

    float GetWeightedProgress() const;
    void GetProgress(uint64_t* pBytesDone, uint64_t* pBytesTotal, uint64_t* pFilesDone, uint64_t* pFilesTotal) const;
    void GetDownloadProgress(uint64_t* pBytesDone, uint64_t* pBytesTotal, uint64_t* pFilesDone,
                             uint64_t* pFilesTotal) const;
    void GetDownloadStageProgress(unsigned stage, uint64_t* pDone, uint64_t* pTotal) const;
    unsigned GetDownloadStageCount() const;
    bool IsDownloadStageInfoAvailable() const;
    unsigned GetZipDownloadStage(unsigned zip) const;
    unsigned GetDownloadStageInSyncCount() const;

private:
    // The caller holds the lock.
    uint64_t MergedPackBytes() const;
    uint64_t UnzipBytes() const;
    void ClearUnzipSlot(unsigned slot);
    void CountInstalledZip(const CKZWebInstallerFile& zip);
    bool StageInfoAvailable() const;
    void ReadProgress(bool bUnpacking, uint64_t* pBytesDone, uint64_t* pBytesTotal, uint64_t* pFilesDone,
                      uint64_t* pFilesTotal) const;

    mutable std::mutex m_mutex;
    uint64_t m_qwTotalFiles = 0;
    uint64_t m_qwTotalDownloadBytes = 0;
    uint64_t m_qwFilesDone = 0;
    uint64_t m_qwDownloadedBytes = 0;
    uint64_t m_qwTotalUnpackBytes = 0;
    uint64_t m_qwUnpackedBytes = 0;
    uint64_t m_qwZipCount = 0;
    uint64_t m_slotBytes[kSlots] = {0, 0};
    uint32_t m_slotStage[kSlots] = {CKZWebInstallerFile::kNoStage, CKZWebInstallerFile::kNoStage};
    uint64_t m_unzipBytes[kUnzipSlots] = {0, 0};
    uint32_t m_unzipStage[kUnzipSlots] = {CKZWebInstallerFile::kNoStage, CKZWebInstallerFile::kNoStage};
    std::map<int32_t, int32_t> m_zipStages;
    KZCatalogueEntries m_stageCatalogue;
    std::map<uint32_t, uint64_t> m_stageDownloaded;
    std::map<uint32_t, uint64_t> m_stageUnpacked;
    std::map<uint32_t, uint64_t> m_stageTotal;
    std::set<uint32_t> m_installedZips;
    uint64_t m_qwPackTotalBytes = 0;
    bool m_bPackMerged = false;
    std::function<uint64_t()> m_packBytes;
};
