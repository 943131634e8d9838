#pragma once
// The checksum workers of an update: they match every file on disk below the install root and
// every packed file against the server's catalogue by file name, mark the entries the installation
// already holds as in sync, and tidy the packs on the way (a file in the wrong pack moves, a file
// the catalogue no longer lists leaves). Three run at once; each takes one local record at a time.

#include "Base/Core/KZFile.h"
#include "System/Util/KZWorkerKind.h"

#include <mutex>
#include <string>
#include <vector>

class CKZChecksumWorker : public CKZWorkerKind
{
public:
    static constexpr unsigned kWorkers = 3;

    // They wait on the download queue, which the comparison step watches.
    explicit CKZChecksumWorker(SKZInstallerParts& parts) : CKZWorkerKind(parts, parts.downloadQueue) {}

    // The files found on disk and in the packs, consumed by the workers.
    void SetLocalFiles(std::vector<SKZFileInfo> vecOnDisk, std::vector<SKZFileInfo> vecPacked);
    void ClearLocalFiles();
    // Starts the workers; they end by themselves once both lists are consumed, or when stopped.
    void Start();
    bool IsRunning() const { return m_parts.workers.Running(CKZWorkerGroup::KIND_CHECKSUM) != 0; }

    // The file name of a path as the catalogue keys it: the text after the last "/" or "\", so that
    // a name without an extension is a name too.
    static std::string FileNameKey(const char* szPath);

private:
    void Run();
    bool TakeLocalRecord(SKZFileInfo& record, bool& bPacked);
    void CompareLocalRecord(const SKZFileInfo& record, bool bPacked);
    bool ComparePackedRecord(const SKZFileInfo& record, const CKZWebInstallerFile& entry);
    void RemoveUnlistedPackedFile(const SKZFileInfo& record);

    std::mutex m_listsMutex; // guards the two lists
    std::vector<SKZFileInfo> m_onDisk;
    std::vector<SKZFileInfo> m_packed;
};
