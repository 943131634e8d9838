#pragma once
// Every file of one run, and the lock over their statuses. It owns the entries: the server's
// catalogue by name, and the files added beside it (full-install zips, files fetched under their
// own name); queues and workers hold plain pointers to entries, which live as long as the catalogue.

#include "System/Util/KZWebInstallerFile.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CKZRunCatalogue
{
public:

    // Takes the records of a catalogue read from the server; a name already held is replaced.
    void Merge(KZCatalogueEntries&& entries);
    // Adds or replaces one entry of the catalogue under its name.
    CKZWebInstallerFile* Put(std::unique_ptr<CKZWebInstallerFile> pFile);
    // Keeps a file that is not part of the catalogue (a full-install zip, a file of a new install
    // fetched under its own name).
    CKZWebInstallerFile* Keep(std::unique_ptr<CKZWebInstallerFile> pFile);

    // A copy of the entry of a name; false when there is none.
    bool Find(const std::string& strName, CKZWebInstallerFile& copy) const;
    void SetStatus(CKZWebInstallerFile& file, uint32_t dwStatus);
    // Marks the entry of a name as found in sync.
    void MarkInSync(const std::string& strName);
    // The entries not found in sync, lower priorities first (equal ones in name order).
    std::vector<CKZWebInstallerFile*> Pending() const;
    // The sum of the sizes of every catalogue entry.
    uint64_t TotalSize() const;
    // The sum of the sizes of the catalogue entries that belong in one pack.
    uint64_t PackBytes(uint32_t pack) const;
    // Every catalogue entry, in name order.
    std::vector<CKZWebInstallerFile*> All() const;
    size_t Size() const;

private:
    CKZWebInstallerFile* Store(std::unique_ptr<CKZWebInstallerFile> pFile);

    mutable std::mutex m_mutex;
    KZCatalogueEntries m_entries;
    std::vector<std::unique_ptr<CKZWebInstallerFile>> m_kept;
};
