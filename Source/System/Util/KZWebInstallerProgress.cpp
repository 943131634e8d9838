// The installer's progress counters and download stages.

#include "System/Util/KZWebInstaller.h"

#include <algorithm>
#include <set>

namespace
{
// Weighted so that downloading-and-unpacking and pack merging count one half each when both exist.
float Weigh(uint64_t D, uint64_t F, uint64_t G, uint64_t P)
{
    const float f = static_cast<float>(F);
    const float g = static_cast<float>(G);
    float wg = 1.0f;
    float wd = 1.0f;
    if (F != 0 && F < G)
        wg = g / f;
    else if (G != 0 && G < F)
        wd = f / g;
    const float denominator = f / wd + g / wg;
    return denominator > 0.0f ? (static_cast<float>(P) / wg + static_cast<float>(D) / wd) / denominator : 0.0f;
}
} // namespace

float CKZWebInstaller::GetWeightedProgress()
{
    std::lock_guard<std::mutex> lock(m_progressMutex);
    const uint64_t D = m_downloadSlotBytes[1] + m_downloadSlotBytes[0] + m_dwCurrentFileUnzipProgressSize[0] +
                       m_qwDownloadedBytes + m_qwUnpackedBytes;
    const uint64_t F = m_qwTotalUnpackBytes + m_qwTotalDownloadBytes;
    return Weigh(D, F, m_qwPackTotalBytes, MergedPackBytes());
}

// The pack merge's bytes, read without the pack lock so that no getter waits for the merge; at most
// the pack total (kept packs count their whole data file, alignment fill included).
uint64_t CKZWebInstaller::MergedPackBytes() const
{
    if (m_bPackMerged)
        return m_qwPackTotalBytes;
    return std::min(m_packArchive.GetPatchBytesDone(), m_qwPackTotalBytes);
}

bool CKZWebInstaller::GetProgress(uint64_t* pBytesDone, uint64_t* pBytesTotal, uint64_t* pFilesDone,
                                  uint64_t* pFilesTotal)
{
    return ReadProgress(true, pBytesDone, pBytesTotal, pFilesDone, pFilesTotal);
}

bool CKZWebInstaller::GetDownloadProgress(uint64_t* pBytesDone, uint64_t* pBytesTotal, uint64_t* pFilesDone,
                                          uint64_t* pFilesTotal)
{
    return ReadProgress(false, pBytesDone, pBytesTotal, pFilesDone, pFilesTotal);
}

// The byte counts of both progress operations: downloads and the pack merge, and with bUnpacking the
// unpacking too. Files done and in total are the same for both.
bool CKZWebInstaller::ReadProgress(bool bUnpacking, uint64_t* pBytesDone, uint64_t* pBytesTotal, uint64_t* pFilesDone,
                                   uint64_t* pFilesTotal)
{
    std::lock_guard<std::mutex> lock(m_progressMutex);
    if (pBytesDone || pBytesTotal)
    {
        uint64_t qwDone = m_downloadSlotBytes[1] + m_downloadSlotBytes[0] + m_qwDownloadedBytes;
        uint64_t qwTotal = m_qwTotalDownloadBytes;
        if (bUnpacking)
        {
            qwDone += m_dwCurrentFileUnzipProgressSize[0] + m_qwUnpackedBytes;
            qwTotal += m_qwTotalUnpackBytes;
        }
        qwDone += MergedPackBytes();
        qwTotal += m_qwPackTotalBytes;
        if (pBytesDone)
            *pBytesDone = qwDone;
        if (pBytesTotal)
            *pBytesTotal = qwTotal;
    }
    if (pFilesDone)
        *pFilesDone = m_qwFilesDone;
    if (pFilesTotal)
        *pFilesTotal = m_qwTotalFiles;
    return m_uState == STATE_INSTALLED;
}

void CKZWebInstaller::GetDownloadStageProgress(unsigned stage, uint64_t* pDone, uint64_t* pTotal)
{
    std::lock_guard<std::mutex> lock(m_progressMutex);
    uint64_t qwDone = 0, qwTotal = 0;
    // A stage the tables do not hold answers zeros and adds no entry: callers pass any number.
    const auto total = m_stageTotal.find(stage);
    if (total != m_stageTotal.end())
    {
        if (m_downloadSlotStage[0] == stage)
            qwDone += m_downloadSlotBytes[0];
        if (m_downloadSlotStage[1] == stage)
            qwDone += m_downloadSlotBytes[1];
        if (m_unzipSlotStage[0] == stage)
            qwDone += m_dwCurrentFileUnzipProgressSize[0];
        qwDone += m_stageDownloaded[stage] + m_stageUnpacked[stage];
        qwTotal = 2 * total->second;
    }
    if (pDone)
        *pDone = qwDone;
    if (pTotal)
        *pTotal = qwTotal;
}

bool CKZWebInstaller::DownloadDownloadStageInfo()
{
    const std::string strLocalName = m_strCacheName + ".temp";
    const std::string strPath = m_strInstallRoot + strLocalName;
    if (!FetchBoundedFile(strLocalName.c_str(), m_strCacheFileName.c_str(), SLOT_UNCOUNTED))
    {
        // The tables are a help, not a need: the run goes on without them, leaving nothing behind.
        CKZFile::RemoveFile(strPath.c_str());
        return false;
    }
    CatalogueMap catalogue;
    int32_t dwVersion = -1;
    const int32_t nError = ReadCatalogue(strPath, catalogue, &dwVersion, nullptr);
    CKZFile::RemoveFile(strPath.c_str());
    if (nError != ERROR_NONE)
    {
        for (auto& entry : catalogue)
            delete entry.second;
        // A catalogue the run could never install fails it before any zip is fetched.
        Fail(nError);
        return false;
    }
    m_dwCatalogueVersion = dwVersion;
    std::lock_guard<std::mutex> lock(m_progressMutex);
    for (auto& entry : m_stageCatalogue)
        delete entry.second;
    m_stageCatalogue.swap(catalogue);
    m_zipStages.clear();
    CKZWebInstallerFile::GetDownloadStageZipMap(m_stageCatalogue, m_zipStages);
    for (const auto& zip : m_zipStages)
    {
        const uint32_t stage = static_cast<uint32_t>(zip.second);
        m_stageUnpacked[stage] = m_stageDownloaded[stage] = m_stageTotal[stage] = 0;
    }
    return true;
}

void CKZWebInstaller::ClearDownloadStageInfo()
{
    std::lock_guard<std::mutex> lock(m_progressMutex);
    for (auto& entry : m_stageCatalogue)
        delete entry.second;
    m_stageCatalogue.clear();
}

unsigned CKZWebInstaller::GetDownloadStageCount()
{
    std::lock_guard<std::mutex> lock(m_progressMutex);
    std::set<int32_t> stages;
    for (const auto& zip : m_zipStages)
        stages.insert(zip.second);
    return static_cast<unsigned>(stages.size());
}

bool CKZWebInstaller::IsDownloadStageInfoAvailable()
{
    std::lock_guard<std::mutex> lock(m_progressMutex);
    const auto first = m_zipStages.find(0);
    return first != m_zipStages.end() && first->second != -1;
}

unsigned CKZWebInstaller::GetZipDownloadStage(unsigned zip)
{
    std::lock_guard<std::mutex> lock(m_progressMutex);
    const auto found = m_zipStages.find(static_cast<int32_t>(zip));
    return found != m_zipStages.end() ? static_cast<unsigned>(found->second) : kNoStage;
}

// The stages, from the first on, all of whose zips are installed, judged by the zips actually
// installed: a refused zip may finish after later ones, and the stages after a stage that still
// waits are no use to a client that needs that stage first.
unsigned CKZWebInstaller::GetDownloadStageInSyncCount()
{
    if (!IsDownloadStageInfoAvailable())
        return 0;
    std::lock_guard<std::mutex> lock(m_progressMutex);
    std::set<int32_t> stages, waiting;
    for (const auto& zip : m_zipStages)
        stages.insert(zip.second);
    const uint32_t dwEnd = static_cast<uint32_t>(m_qwZipCount);
    // Before the first zip is counted nothing is installed, though no zip is known to wait either.
    if (dwEnd == 0)
        return 0;
    for (uint32_t j = 0; j < dwEnd; ++j)
    {
        if (m_installedZips.count(j))
            continue;
        const auto found = m_zipStages.find(static_cast<int32_t>(j));
        if (found != m_zipStages.end() && found->second != -1)
            waiting.insert(found->second);
    }
    unsigned dwInSync = 0;
    for (const int32_t stage : stages)
    {
        if (waiting.count(stage))
            break;
        ++dwInSync;
    }
    return dwInSync;
}
