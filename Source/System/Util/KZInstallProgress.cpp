#include "System/Util/KZInstallProgress.h"

#include <algorithm>
#include <iterator>
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

const uint32_t kNoStage = CKZWebInstallerFile::kNoStage;
} // namespace

void CKZInstallProgress::ResetCounters()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::fill(std::begin(m_unzipBytes), std::end(m_unzipBytes), 0);
    m_slotBytes[0] = m_slotBytes[1] = 0;
    m_qwTotalFiles = m_qwTotalDownloadBytes = m_qwFilesDone = 0;
    m_qwDownloadedBytes = m_qwTotalUnpackBytes = m_qwUnpackedBytes = 0;
}

void CKZInstallProgress::AddFile(uint64_t qwDownloadBytes, uint64_t qwUnpackBytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_qwTotalFiles;
    m_qwTotalDownloadBytes += qwDownloadBytes;
    m_qwTotalUnpackBytes += qwUnpackBytes;
}

void CKZInstallProgress::AddFullInstallZip(uint32_t zip, uint32_t dwStage, uint64_t qwSize)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (dwStage != kNoStage)
        m_stageTotal[dwStage] += qwSize;
    ++m_qwTotalFiles;
    m_qwTotalDownloadBytes += qwSize;
    m_qwTotalUnpackBytes += qwSize;
    m_qwZipCount = uint64_t(zip) + 1;
}

uint32_t CKZInstallProgress::StageOfZip(uint32_t zip) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto stage = m_zipStages.find(static_cast<int32_t>(zip));
    return stage != m_zipStages.end() ? static_cast<uint32_t>(stage->second) : kNoStage;
}

uint64_t CKZInstallProgress::StageBytesOfZip(uint32_t zip, uint64_t qwFallback) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stageCatalogue.empty())
        return qwFallback;
    uint64_t qwBytes = 0;
    for (const auto& entry : m_stageCatalogue)
        if (entry.second->m_dwZipIndex == zip)
            qwBytes += entry.second->m_dwSize;
    return qwBytes;
}

void CKZInstallProgress::SetSlotBytes(unsigned slot, uint64_t qwBytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (slot < kSlots)
        m_slotBytes[slot] = qwBytes;
}

void CKZInstallProgress::SetSlotStage(unsigned slot, uint32_t dwStage)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (slot < kSlots)
        m_slotStage[slot] = dwStage;
}

void CKZInstallProgress::CreditDownload(unsigned slot, const CKZWebInstallerFile& file)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (slot < kSlots)
    {
        m_slotBytes[slot] = 0;
        m_slotStage[slot] = kNoStage;
    }
    m_qwDownloadedBytes += file.DownloadBytes();
    if (file.m_dwStage != kNoStage && file.Has(CKZWebInstallerFile::FILE_FLAG_FULL_ZIP))
        m_stageDownloaded[file.m_dwStage] += file.m_dwSize;
}

void CKZInstallProgress::TakeBackDownload(const CKZWebInstallerFile& file)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_qwDownloadedBytes -= file.DownloadBytes();
    if (file.m_dwStage != kNoStage && file.Has(CKZWebInstallerFile::FILE_FLAG_FULL_ZIP))
        m_stageDownloaded[file.m_dwStage] -= file.m_dwSize;
}

void CKZInstallProgress::ChangeDownloadTotal(uint64_t qwPlannedBytes, uint64_t qwNewBytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_qwTotalDownloadBytes = m_qwTotalDownloadBytes - qwPlannedBytes + qwNewBytes;
}

void CKZInstallProgress::FileDone(uint64_t qwUnpackedBytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_qwFilesDone;
    m_qwUnpackedBytes += qwUnpackedBytes;
}

bool CKZInstallProgress::AllFilesDone() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_qwFilesDone == m_qwTotalFiles;
}

void CKZInstallProgress::SetUnzipStage(unsigned slot, uint32_t dwStage)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_unzipStage[slot % kUnzipSlots] = dwStage;
}

void CKZInstallProgress::SetUnzipBytes(unsigned slot, uint64_t qwBytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_unzipBytes[slot % kUnzipSlots] = qwBytes;
}

void CKZInstallProgress::ClearUnzipSlot(unsigned slot)
{
    m_unzipBytes[slot % kUnzipSlots] = 0;
    m_unzipStage[slot % kUnzipSlots] = kNoStage;
}

uint64_t CKZInstallProgress::UnzipBytes() const
{
    uint64_t qwBytes = 0;
    for (uint64_t qwSlot : m_unzipBytes)
        qwBytes += qwSlot;
    return qwBytes;
}

void CKZInstallProgress::FullInstallZipDone(unsigned slot, const CKZWebInstallerFile& zip)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ClearUnzipSlot(slot);
    CountInstalledZip(zip);
}

void CKZInstallProgress::CountInstalledZip(const CKZWebInstallerFile& zip)
{
    ++m_qwFilesDone;
    m_qwUnpackedBytes += zip.m_dwSize;
    m_installedZips.insert(zip.m_dwZipIndex);
    if (zip.m_dwStage != kNoStage)
        m_stageUnpacked[zip.m_dwStage] += zip.m_dwSize;
}

void CKZInstallProgress::FullInstallZipFound(const CKZWebInstallerFile& zip)
{
    CreditDownload(kUncountedSlot, zip);
    std::lock_guard<std::mutex> lock(m_mutex);
    CountInstalledZip(zip);
}

void CKZInstallProgress::UnzipAbandoned(unsigned slot)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ClearUnzipSlot(slot);
}

void CKZInstallProgress::SetPackTotal(uint64_t qwBytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_qwPackTotalBytes = qwBytes;
    m_bPackMerged = false;
}

void CKZInstallProgress::SetPackMerged()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bPackMerged = true;
}

uint64_t CKZInstallProgress::SetStageCatalogue(KZCatalogueEntries&& catalogue)
{
    uint64_t qwPackCount = 0;
    for (const auto& entry : catalogue)
        qwPackCount = std::max<uint64_t>(qwPackCount, entry.second->m_dwZipIndex + 1ULL);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stageCatalogue.swap(catalogue);
    m_zipStages.clear();
    CKZWebInstallerFile::GetDownloadStageZipMap(m_stageCatalogue, m_zipStages);
    for (const auto& zip : m_zipStages)
    {
        const uint32_t stage = static_cast<uint32_t>(zip.second);
        m_stageUnpacked[stage] = m_stageDownloaded[stage] = m_stageTotal[stage] = 0;
    }
    return qwPackCount;
}

void CKZInstallProgress::ClearStageCatalogue()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stageCatalogue.clear();
}

// At most the pack total: kept packs count their whole data file, alignment fill included.
uint64_t CKZInstallProgress::MergedPackBytes() const
{
    if (m_bPackMerged)
        return m_qwPackTotalBytes;
    return std::min(m_packBytes ? m_packBytes() : 0, m_qwPackTotalBytes);
}

float CKZInstallProgress::GetWeightedProgress() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const uint64_t D =
        m_slotBytes[1] + m_slotBytes[0] + UnzipBytes() + m_qwDownloadedBytes + m_qwUnpackedBytes;
    const uint64_t F = m_qwTotalUnpackBytes + m_qwTotalDownloadBytes;
    return Weigh(D, F, m_qwPackTotalBytes, MergedPackBytes());
}

void CKZInstallProgress::GetProgress(uint64_t* pBytesDone, uint64_t* pBytesTotal, uint64_t* pFilesDone,
                                     uint64_t* pFilesTotal) const
{
    ReadProgress(true, pBytesDone, pBytesTotal, pFilesDone, pFilesTotal);
}

void CKZInstallProgress::GetDownloadProgress(uint64_t* pBytesDone, uint64_t* pBytesTotal, uint64_t* pFilesDone,
                                             uint64_t* pFilesTotal) const
{
    ReadProgress(false, pBytesDone, pBytesTotal, pFilesDone, pFilesTotal);
}

// The byte counts of both progress operations: downloads and the pack merge, and with bUnpacking the
// unpacking too. Files done and in total are the same for both.
void CKZInstallProgress::ReadProgress(bool bUnpacking, uint64_t* pBytesDone, uint64_t* pBytesTotal,
                                      uint64_t* pFilesDone, uint64_t* pFilesTotal) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    uint64_t qwDone = m_slotBytes[1] + m_slotBytes[0] + m_qwDownloadedBytes;
    uint64_t qwTotal = m_qwTotalDownloadBytes;
    if (bUnpacking)
    {
        qwDone += UnzipBytes() + m_qwUnpackedBytes;
        qwTotal += m_qwTotalUnpackBytes;
    }
    if (pBytesDone)
        *pBytesDone = qwDone + MergedPackBytes();
    if (pBytesTotal)
        *pBytesTotal = qwTotal + m_qwPackTotalBytes;
    if (pFilesDone)
        *pFilesDone = m_qwFilesDone;
    if (pFilesTotal)
        *pFilesTotal = m_qwTotalFiles;
}

void CKZInstallProgress::GetDownloadStageProgress(unsigned stage, uint64_t* pDone, uint64_t* pTotal) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    uint64_t qwDone = 0, qwTotal = 0;
    // A stage the tables do not hold answers zeros: callers pass any number.
    const auto total = m_stageTotal.find(stage);
    if (total != m_stageTotal.end())
    {
        for (unsigned slot = 0; slot < kSlots; ++slot)
            if (m_slotStage[slot] == stage)
                qwDone += m_slotBytes[slot];
        for (unsigned slot = 0; slot < kUnzipSlots; ++slot)
            if (m_unzipStage[slot] == stage)
                qwDone += m_unzipBytes[slot];
        const auto downloaded = m_stageDownloaded.find(stage);
        const auto unpacked = m_stageUnpacked.find(stage);
        qwDone += (downloaded != m_stageDownloaded.end() ? downloaded->second : 0) +
                  (unpacked != m_stageUnpacked.end() ? unpacked->second : 0);
        qwTotal = 2 * total->second;
    }
    if (pDone)
        *pDone = qwDone;
    if (pTotal)
        *pTotal = qwTotal;
}

unsigned CKZInstallProgress::GetDownloadStageCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::set<int32_t> stages;
    for (const auto& zip : m_zipStages)
        stages.insert(zip.second);
    return static_cast<unsigned>(stages.size());
}

bool CKZInstallProgress::StageInfoAvailable() const
{
    const auto first = m_zipStages.find(0);
    return first != m_zipStages.end() && first->second != -1;
}

bool CKZInstallProgress::IsDownloadStageInfoAvailable() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return StageInfoAvailable();
}

unsigned CKZInstallProgress::GetZipDownloadStage(unsigned zip) const
{
    return StageOfZip(zip);
}

// The stages, from the first on, all of whose zips are installed, judged by the zips actually
// installed: a refused zip may finish after later ones, and the stages after a stage that still
// waits are no use to a client that needs that stage first.
unsigned CKZInstallProgress::GetDownloadStageInSyncCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // Before the first zip is counted nothing is installed, though no zip is known to wait either.
    if (!StageInfoAvailable() || m_qwZipCount == 0)
        return 0;
    std::set<int32_t> stages, waiting;
    for (const auto& zip : m_zipStages)
        stages.insert(zip.second);
    for (uint32_t j = 0; j < static_cast<uint32_t>(m_qwZipCount); ++j)
    {
        const auto found = m_zipStages.find(static_cast<int32_t>(j));
        if (!m_installedZips.count(j) && found != m_zipStages.end() && found->second != -1)
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
