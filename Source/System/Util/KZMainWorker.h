#pragma once
// The installer's main worker ("WebInstallerMainThread"): it probes the server, drives the states,
// downloads the full-install zips of a new install, builds the download queue of an update once
// the checksum workers are done, downloads in slot 0 beside the second download worker, and ends
// an update by merging the unpacked files into the packs.

#include "System/Util/KZInstallerParts.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

class CKZChecksumWorker;
class CKZDownloadWorker;

class CKZMainWorker
{
public:
    // Beyond this many full-install zips the enumeration stops whatever the server answers.
    static constexpr uint32_t kMaxZipCount = 4096;

    // checkDiskSpace fails the run (an error code) when the disk has less room than it needs.
    CKZMainWorker(SKZInstallerParts& parts, CKZDownloadWorker& downloads, CKZChecksumWorker& checksums,
                  std::function<int32_t(uint64_t)> checkDiskSpace)
        : m_parts(parts), m_downloads(downloads), m_checksums(checksums), m_checkDiskSpace(std::move(checkDiskSpace))
    {
    }
    void SetResuming(bool bResuming) { m_bResuming = bResuming; }
    CKZMainWorker(const CKZMainWorker&) = delete;
    CKZMainWorker& operator=(const CKZMainWorker&) = delete;

    // Starts the worker once: true when it runs (also when it already did).
    bool Start(bool bNewInstall);
    void Stop();
    bool IsStarted() const { return m_bRun; }

    // Queues the server's full-install zips Data0.zip, Data1.zip, ... up to the first it lacks, at
    // most dwLimit of them; when bResuming, a zip that a cancelled run installed counts as done.
    // Answers the bytes the zips to fetch need on disk: each zip while it waits, and what it unpacks.
    uint64_t EnumerateFullInstallZips(uint32_t dwLimit, bool bResuming);
    // The installed packs hold as many files as the downloaded catalogue lists (none needs none).
    bool PacksHoldCatalogue() const;
    // The disk space an update of these entries needs: their unpacked files, two zips in flight,
    // and every pack the merge rebuilds beside the old one.
    uint64_t UpdateDiskBytes(const std::vector<CKZWebInstallerFile*>& vecQueued);

private:
    void Run(bool bNewInstall);
    void NewInstallStep();
    bool TakeReadyZip(CKZWebInstallerFile*& pFile);
    void FetchFullInstallZip(CKZWebInstallerFile* pFile);
    void OnTransferFailed(CKZWebInstallerFile* pFile);
    // True when the entry has failed too often to be tried again: the run then fails.
    bool GiveUpOn(const CKZWebInstallerFile& file);
    void CompareStep();
    // After a cancelled run: an entry whose file lies unpacked in the download folder with the
    // record's bytes goes to the pack merge without a download.
    bool MergeFoundFile(CKZWebInstallerFile* pFile);
    void PlanDeltas(const std::vector<CKZWebInstallerFile*>& vecQueued);
    bool LoadDeltaIndex(CKZDeltaIndex& index);
    void UpdateStep();
    void FinishUpdate();
    bool MergePackFiles();

    SKZInstallerParts& m_parts;
    CKZDownloadWorker& m_downloads;
    CKZChecksumWorker& m_checksums;
    std::function<int32_t(uint64_t)> m_checkDiskSpace;
    std::atomic<bool> m_bRun{false};
    std::atomic<bool> m_bResuming{false};
};
