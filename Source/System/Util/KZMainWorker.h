#pragma once
// The installer's main worker ("WebInstallerMainThread"): it probes the server, drives the states,
// downloads the full-install zips of a new install, builds the download queue of an update once
// the checksum workers are done, downloads in slot 0 beside the second download worker, and ends
// an update by merging the unpacked files into the packs.

#include "System/Util/KZInstallerParts.h"

#include <atomic>
#include <cstdint>

class CKZChecksumWorker;
class CKZDownloadWorker;

class CKZMainWorker
{
public:
    // Beyond this many full-install zips the enumeration stops whatever the server answers.
    static constexpr uint32_t kMaxZipCount = 4096;

    CKZMainWorker(SKZInstallerParts& parts, CKZDownloadWorker& downloads, CKZChecksumWorker& checksums)
        : m_parts(parts), m_downloads(downloads), m_checksums(checksums)
    {
    }
    CKZMainWorker(const CKZMainWorker&) = delete;
    CKZMainWorker& operator=(const CKZMainWorker&) = delete;

    // Starts the worker once: true when it runs (also when it already did).
    bool Start(bool bNewInstall);
    void Stop();
    bool IsStarted() const { return m_bRun; }

    // Queues the server's full-install zips Data0.zip, Data1.zip, ... up to the first it lacks, at
    // most dwLimit of them.
    void EnumerateFullInstallZips(uint32_t dwLimit);
    // The installed packs hold as many files as the downloaded catalogue lists (none needs none).
    bool PacksHoldCatalogue() const;

private:
    void Run(bool bNewInstall);
    void NewInstallStep();
    bool TakeReadyZip(CKZWebInstallerFile*& pFile);
    void FetchFullInstallZip(CKZWebInstallerFile* pFile);
    void OnTransferFailed(CKZWebInstallerFile* pFile);
    // True when the entry has failed too often to be tried again: the run then fails.
    bool GiveUpOn(const CKZWebInstallerFile& file);
    void CompareStep();
    void UpdateStep();
    void FinishUpdate();
    bool MergePackFiles();

    SKZInstallerParts& m_parts;
    CKZDownloadWorker& m_downloads;
    CKZChecksumWorker& m_checksums;
    std::atomic<bool> m_bRun{false};
};
