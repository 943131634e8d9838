#include "KZDeltaPublisher.h"

#include "Base/Archive/KZZipFile.h"
#include "Base/Core/KZFileDescriptor.h"
#include "Base/Core/KZMappedRegion.h"
#include "System/KZInstallLayout.h"
#include "System/KZPackFileArchive.h"
#include "System/Util/KZFileTimeCache.h"

#include <algorithm>
#include <cstdio>
#include <zlib.h>

namespace fs = std::filesystem;

namespace
{
const CKZFileDetails* Record(const CKZFileTimeCache& catalogue, const std::string& strName)
{
    const auto it = catalogue.GetRawData().find(strName);
    return it == catalogue.GetRawData().end() ? nullptr : it->second;
}

uint32_t Crc32(const CKZMappedRegion& region)
{
    return static_cast<uint32_t>(crc32_z(0L, region.Data(), region.Size()));
}

void Warn(const std::string& strMessage)
{
    fprintf(stderr, "kzpublish: warning: %s\n", strMessage.c_str());
}
}

CKZDeltaPublisher::CKZDeltaPublisher(SInputs inputs, KeepFile keep, StageFile stage)
    : m_inputs(std::move(inputs)), m_keep(std::move(keep)), m_stage(std::move(stage))
{
}

CKZDeltaPublisher::~CKZDeltaPublisher() = default;

bool CKZDeltaPublisher::Fail(const std::string& strMessage)
{
    if (m_strError.empty())
        m_strError = strMessage;
    return false;
}

void CKZDeltaPublisher::Progress(size_t done, size_t total) const
{
    if (!m_inputs.bProgress)
        return;
    fprintf(stderr, "\r\033[Kkzpublish: deltas %zu/%zu", done, total);
    if (done == total)
        fprintf(stderr, "\n");
    fflush(stderr);
}

bool CKZDeltaPublisher::Write()
{
    if (m_inputs.dwKeep == 0)
        return true;
    LoadPreviousIndex();
    return WriteNewDeltas() && KeepEarlierDeltas() && WriteIndex();
}

// The new index counts on from the previous one; without a readable one it starts at 1.
void CKZDeltaPublisher::LoadPreviousIndex()
{
    m_index.SetPublication(1);
    const fs::path path = m_inputs.previousDir / KZInstallLayout::kDeltaIndexName;
    std::error_code error;
    if (!fs::exists(path, error))
        return;
    std::string strText, strWhy = "it cannot be read";
    const uint64_t qwSize = fs::file_size(path, error);
    if (!error && qwSize <= CKZDeltaIndex::kMaxBytes && CKZFile::ReadText(strText, path.c_str()) &&
        m_previousIndex.Parse(strText, strWhy))
    {
        m_index.SetPublication(m_previousIndex.Publication() + 1);
        return;
    }
    Warn("the previous delta index " + path.string() + " is ignored: " + strWhy);
}

// The files whose content changed, taken pack by pack from the previous tree: one previous pack is
// unpacked at a time.
bool CKZDeltaPublisher::WriteNewDeltas()
{
    std::map<uint32_t, std::vector<const CKZFileDetails*>> mapByPack;
    size_t total = 0;
    for (const auto& entry : m_inputs.pCatalogue->GetRawData())
    {
        const CKZFileDetails* pOld = Record(*m_inputs.pPrevious, entry.first);
        if (!pOld || (pOld->m_dwSize == entry.second->m_dwSize && pOld->m_dwExportedCrc == entry.second->m_dwExportedCrc))
            continue;
        mapByPack[pOld->m_dwZipIndex].push_back(entry.second);
        ++total;
    }
    size_t done = 0;
    for (const auto& pack : mapByPack)
        if (!WriteDeltasFromPack(pack.first, pack.second, done, total))
            return false;
    return true;
}

bool CKZDeltaPublisher::WriteDeltasFromPack(uint32_t dwPack, const std::vector<const CKZFileDetails*>& vecFiles,
                                            size_t& done, size_t total)
{
    const fs::path folder = m_inputs.stagingDir / ("previous-pack-" + std::to_string(dwPack));
    bool bWritten = true;
    {
        CKZPackFileArchive archive;
        std::string strWhy;
        if (OpenPreviousPack(dwPack, folder, archive, strWhy))
        {
            for (const CKZFileDetails* pRecord : vecFiles)
            {
                if (!(bWritten = WriteDelta(*pRecord, archive)))
                    break;
                Progress(++done, total);
            }
        }
        else
        {
            Warn("no deltas for the " + std::to_string(vecFiles.size()) + " changed files of the previous " +
                 KZInstallLayout::FullInstallZipName(dwPack) + ": " + strWhy);
            done += vecFiles.size();
            Progress(done, total);
        }
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return bWritten;
}

bool CKZDeltaPublisher::OpenPreviousPack(uint32_t dwPack, const fs::path& folder, CKZPackFileArchive& archive,
                                         std::string& strWhy) const
{
    const fs::path zipPath = m_inputs.previousDir / KZInstallLayout::FullInstallZipName(dwPack);
    std::error_code error;
    if (!fs::is_regular_file(zipPath, error))
    {
        strWhy = "it is missing";
        return false;
    }
    fs::create_directories(folder, error);
    CKZZipFile zip;
    bool bUnpacked = !error && zip.Open(zipPath.c_str(), 1, nullptr, 0) &&
                     zip.Extract(folder.c_str(), KZZipFileNoopProgressCallback, nullptr, nullptr);
    bUnpacked = zip.Close() && bUnpacked;
    if (!bUnpacked)
    {
        strWhy = "it cannot be unpacked";
        return false;
    }
    // The archive finds packs by number from 0: alone in its folder, pack N opens as pack 0.
    const fs::path packs = folder / KZInstallLayout::kPackDirectory;
    if (dwPack != 0)
    {
        const std::string strFrom = KZInstallLayout::PackName(dwPack), strTo = KZInstallLayout::PackName(0);
        fs::rename(packs / strFrom, packs / strTo, error);
        if (!error)
            fs::rename(packs / KZInstallLayout::PackHeaderName(strFrom), packs / KZInstallLayout::PackHeaderName(strTo),
                       error);
    }
    if (error || !archive.OpenPackFile(CKZPath(packs.string() + "/")))
    {
        strWhy = "it holds no pack " + std::to_string(dwPack) + " that can be read";
        return false;
    }
    return true;
}

bool CKZDeltaPublisher::WriteDelta(const CKZFileDetails& record, const CKZPackFileArchive& archive)
{
    const CKZFileDetails& old = *Record(*m_inputs.pPrevious, record.m_strName);
    const std::string strInternal = KZInstallLayout::PackedPathOfRecord(old.m_strFilePath);
    const SKZPackedFile* pPacked =
        archive.GetPackedFileByInternalRelativePath(strInternal.empty() ? old.m_strName : strInternal);
    CKZMappedRegion base;
    if (!pPacked || !archive.MapPackedFile(*pPacked, base) || base.Size() != old.m_dwSize ||
        Crc32(base) != old.m_dwExportedCrc)
    {
        Warn("no delta for " + record.m_strName + ": its bytes in the previous " +
             KZInstallLayout::FullInstallZipName(old.m_dwZipIndex) + " are not the previous catalogue's");
        return true;
    }
    const auto itClient = m_inputs.mapClientFiles.find(record.m_strName);
    if (itClient == m_inputs.mapClientFiles.end())
        return Fail("no client file for " + record.m_strName);
    const CKZFileDescriptor file = CKZFileDescriptor::OpenForReading(itClient->second.string());
    CKZMappedRegion target;
    if (!file.IsOpen() || !target.Map(file.Get(), 0, record.m_dwSize) || Crc32(target) != record.m_dwExportedCrc)
        return Fail("cannot read " + itClient->second.string() + " as it was catalogued: did it change meanwhile?");

    SKZDelta delta;
    delta.strName = record.m_strName;
    delta.dwBaseSize = old.m_dwSize;
    delta.dwBaseCrc = old.m_dwExportedCrc;
    delta.dwTargetSize = record.m_dwSize;
    delta.dwTargetCrc = record.m_dwExportedCrc;
    delta.targetDigest = KZSignature::Hash(target.Data(), target.Size());
    delta.qwPublication = m_index.Publication();
    m_mapDigests[record.m_strName] = delta.targetDigest;
    bool bTooLarge = false;
    if (!MakeDelta(base.Data(), base.Size(), target.Data(), target.Size(), record.m_dwCompressedSize,
                   delta.ServerPath(), delta.qwDeltaSize, bTooLarge))
        return false;
    if (bTooLarge)
    {
        ++m_summary.notWorth;
        return true;
    }
    if (!Add(delta))
        return false;
    m_stage(delta.ServerPath());
    ++m_summary.written;
    m_summary.qwBytes += delta.qwDeltaSize;
    m_summary.qwZipBytes += record.m_dwCompressedSize;
    return true;
}

// Writing stops as soon as the delta is too large to be worth it; bTooLarge then says so and no
// file is left.
bool CKZDeltaPublisher::MakeDelta(const uint8_t* pBase, size_t baseSize, const uint8_t* pTarget, size_t targetSize,
                                  uint64_t qwZipSize, const std::string& strServerPath, uint64_t& qwSize,
                                  bool& bTooLarge)
{
    const fs::path path = m_inputs.stagingDir / strServerPath;
    bool bMade = false;
    std::string strWhy;
    {
        CKZFile out;
        if (!out.Open(path.c_str(), "wb"))
            return Fail("cannot write " + path.string());
        qwSize = 0;
        const KZFileDelta::Writer write = [&](const void* pData, size_t size) {
            if (!WorthKeeping(qwSize + size, qwZipSize))
            {
                bTooLarge = true;
                return false;
            }
            if (out.Write(pData, 1, static_cast<int>(size)) != static_cast<int>(size))
                return false;
            qwSize += size;
            return true;
        };
        bMade = KZFileDelta::Make(pBase, baseSize, pTarget, targetSize, m_inputs.level, write, strWhy);
    }
    std::error_code error;
    if (bMade && fs::file_size(path, error) == qwSize && !error)
        return true;
    fs::remove(path, error);
    if (bTooLarge)
        return true;
    return Fail("cannot write the delta " + path.string() + (bMade ? "" : ": " + strWhy));
}

// A delta of an earlier publication stays while it is young enough and still ends at the file's
// current bytes.
bool CKZDeltaPublisher::KeepEarlierDeltas()
{
    const uint64_t qwPublication = m_index.Publication();
    for (const auto& entry : m_previousIndex.Deltas())
    {
        const SKZDelta& delta = entry.second;
        const CKZFileDetails* pRecord = Record(*m_inputs.pCatalogue, delta.strName);
        if (qwPublication - delta.qwPublication >= m_inputs.dwKeep || !pRecord ||
            pRecord->m_dwSize != delta.dwTargetSize || pRecord->m_dwExportedCrc != delta.dwTargetCrc ||
            (delta.dwBaseSize == delta.dwTargetSize && delta.dwBaseCrc == delta.dwTargetCrc) ||
            m_index.Deltas().count(entry.first))
            continue;
        std::error_code error;
        const uint64_t qwSize = fs::file_size(m_inputs.previousDir / delta.ServerPath(), error);
        KZSignature::Digest digest{};
        if (error || qwSize != delta.qwDeltaSize)
            continue;
        if (!CurrentDigest(*pRecord, digest))
            return false;
        if (digest != delta.targetDigest)
            continue;
        if (!m_keep(delta.ServerPath()) || !Add(delta))
            return false;
        ++m_summary.kept;
    }
    return true;
}

bool CKZDeltaPublisher::CurrentDigest(const CKZFileDetails& record, KZSignature::Digest& digest)
{
    const auto itKnown = m_mapDigests.find(record.m_strName);
    if (itKnown != m_mapDigests.end())
    {
        digest = itKnown->second;
        return true;
    }
    const auto itClient = m_inputs.mapClientFiles.find(record.m_strName);
    if (itClient == m_inputs.mapClientFiles.end())
        return Fail("no client file for " + record.m_strName);
    if (!KZSignature::HashFile(itClient->second.string(), digest))
        return Fail("cannot read " + itClient->second.string());
    m_mapDigests[record.m_strName] = digest;
    return true;
}

bool CKZDeltaPublisher::Add(const SKZDelta& delta)
{
    if (!m_index.Add(delta))
        return Fail("the delta index refuses the delta of " + delta.strName);
    m_setListed.insert(delta.ServerPath());
    return true;
}

bool CKZDeltaPublisher::WriteIndex()
{
    if (m_index.Empty())
        return true;
    const fs::path path = m_inputs.stagingDir / KZInstallLayout::kDeltaIndexName;
    if (!CKZFile::CreateTextFile(path.c_str(), m_index.Text()))
        return Fail("cannot write " + path.string());
    m_stage(KZInstallLayout::kDeltaIndexName);
    return true;
}
