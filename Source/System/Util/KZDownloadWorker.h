#pragma once
// The downloads of an update: an entry's delta, or its update zip Data/<name>.zip, in a slot, handed
// to the unzip worker; a file fetched under its own name (the main worker's alone); a failed try put back after
// its pause. The main worker downloads in slot 0; one more worker runs here in slot 1 while the
// update downloads last.

#include "System/Util/KZWorkerKind.h"

class CKZDownloadWorker : public CKZWorkerKind
{
public:
    static constexpr unsigned kMainSlot = 0;
    static constexpr unsigned kSecondSlot = 1;

    explicit CKZDownloadWorker(SKZInstallerParts& parts) : CKZWorkerKind(parts, parts.downloadQueue) {}

    // Starts the worker of slot 1.
    void Start();

    // Takes the first queued entry whose retry time has come. The worker of slot 1 leaves files
    // fetched under their own name, and entries that have failed too often, to the main worker,
    // which takes the latter at once to end the run.
    bool TakeReady(CKZWebInstallerFile*& pFile, bool bMainWorker);
    // Fetches the entry's delta, or else Data/<name>.zip, in the slot and hands it to the unzip
    // worker. A delta that cannot be fetched gives way to the update zip at once, uncounted.
    void FetchUpdateZip(CKZWebInstallerFile* pFile, unsigned slot);
    // The entry comes as its update zip from now on; the progress total follows.
    void DropDelta(CKZWebInstallerFile& file);
    // Fetches a file under its own name in slot 0, unpacking it at once when it is a zip to unpack.
    void FetchDirect(CKZWebInstallerFile* pFile);
    // An entry whose try failed goes back to the queue after a pause; the failure counts towards
    // giving up, which the main worker does when it next takes the entry.
    void Requeue(CKZWebInstallerFile* pFile, bool bRefused);

    static bool HasFailedTooOften(const CKZWebInstallerFile& file);
    // Counts a failed try of an entry and puts its next one off.
    void CountFailure(CKZWebInstallerFile& file, bool bRefused);
    // A file fetched under its own name carries the server's time, so that the next update finds it
    // in sync by size and time; one to unpack is unpacked where it lies.
    static void FinishDirectFile(const CKZWebInstallerFile& file, const std::string& strInstallRoot);

private:
    void Run();
    bool FetchDelta(CKZWebInstallerFile* pFile, unsigned slot);
};
