#include "System/Util/KZRunCatalogue.h"

#include <algorithm>

void CKZRunCatalogue::Merge(KZCatalogueEntries&& entries)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& entry : entries)
        Store(std::move(entry.second));
}

CKZWebInstallerFile* CKZRunCatalogue::Put(std::unique_ptr<CKZWebInstallerFile> pFile)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return Store(std::move(pFile));
}

// A name already held keeps its entry object, whose value is replaced: pointers to it stay good.
CKZWebInstallerFile* CKZRunCatalogue::Store(std::unique_ptr<CKZWebInstallerFile> pFile)
{
    std::unique_ptr<CKZWebInstallerFile>& slot = m_entries[pFile->m_strName];
    if (slot)
        *slot = *pFile;
    else
        slot = std::move(pFile);
    return slot.get();
}

CKZWebInstallerFile* CKZRunCatalogue::Keep(std::unique_ptr<CKZWebInstallerFile> pFile)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_kept.push_back(std::move(pFile));
    return m_kept.back().get();
}

bool CKZRunCatalogue::Find(const std::string& strName, CKZWebInstallerFile& copy) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_entries.find(strName);
    if (found == m_entries.end())
        return false;
    copy = *found->second;
    return true;
}

void CKZRunCatalogue::SetStatus(CKZWebInstallerFile& file, uint32_t dwStatus)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    file.m_dwStatus = dwStatus;
}

void CKZRunCatalogue::MarkInSync(const std::string& strName)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_entries.find(strName);
    if (found != m_entries.end())
        found->second->m_dwStatus = CKZWebInstallerFile::FILE_STATUS_DONE;
}

std::vector<CKZWebInstallerFile*> CKZRunCatalogue::Pending() const
{
    std::vector<CKZWebInstallerFile*> vecPending;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& entry : m_entries)
            if (entry.second->m_dwStatus != CKZWebInstallerFile::FILE_STATUS_DONE)
                vecPending.push_back(entry.second.get());
    }
    std::stable_sort(vecPending.begin(), vecPending.end(),
                     [](const CKZWebInstallerFile* pA, const CKZWebInstallerFile* pB) { return pA->m_iPrio < pB->m_iPrio; });
    return vecPending;
}

uint64_t CKZRunCatalogue::TotalSize() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    uint64_t qwTotal = 0;
    for (const auto& entry : m_entries)
        qwTotal += entry.second->m_dwSize;
    return qwTotal;
}

uint64_t CKZRunCatalogue::PackBytes(uint32_t pack) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    uint64_t qwTotal = 0;
    for (const auto& entry : m_entries)
        if (entry.second->m_dwZipIndex == pack)
            qwTotal += entry.second->m_dwSize;
    return qwTotal;
}

std::vector<CKZWebInstallerFile*> CKZRunCatalogue::All() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<CKZWebInstallerFile*> vecAll;
    for (const auto& entry : m_entries)
        vecAll.push_back(entry.second.get());
    return vecAll;
}

size_t CKZRunCatalogue::Size() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries.size();
}
