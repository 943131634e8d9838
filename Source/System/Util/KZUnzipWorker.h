#pragma once
// The unzip workers: two of them, so that both cores unpack while the downloads run, each taking the
// next downloaded zip it is handed and showing its progress in its own slot. A full-install zip
// unpacks into the install root and leaves its install marker; an update zip unpacks into the
// download directory, and its file enters the pack merge only when it holds exactly the
// catalogue's bytes. A zip that does not unpack, or holds other bytes, is fetched again. A delta
// fetched instead of an update zip is applied to the file's packed copy.

#include "System/Util/KZWorkerKind.h"

#include <string>
#include <vector>

class CKZDownloadWorker;

class CKZUnzipWorker : public CKZWorkerKind
{
public:
    CKZUnzipWorker(SKZInstallerParts& parts, CKZDownloadWorker& downloads)
        : CKZWorkerKind(parts, parts.unzipQueue), m_downloads(downloads)
    {
    }

    static constexpr unsigned kWorkers = CKZInstallProgress::kUnzipSlots;

    // Starts every unzip worker.
    void Start();

private:
    void Run(unsigned slot);
    void UnpackFullInstallZip(CKZWebInstallerFile* pFile, unsigned slot);
    void UnpackUpdateZip(CKZWebInstallerFile* pFile);
    // A delta instead of the update zip: applied to the packed copy; when it fails, the entry goes
    // back for its update zip, which no failure of the delta counts against.
    void ApplyDelta(CKZWebInstallerFile* pFile);
    // The update file is in place: it joins the pack merge.
    void MergeUpdateFile(CKZWebInstallerFile* pFile);
    // Opens, unpacks and closes a zip beside itself, then deletes it; vecWritten receives the
    // files it wrote. True when all three steps worked.
    static bool Unpack(const std::string& strZip, CKZInstallProgress* pProgress, unsigned slot,
                       std::vector<std::string>& vecWritten);
    // The unpacked update file is whole, where its record puts it, with the record's checksum.
    bool HoldsTheRecordsBytes(const CKZWebInstallerFile& file) const;

    CKZDownloadWorker& m_downloads;
};
