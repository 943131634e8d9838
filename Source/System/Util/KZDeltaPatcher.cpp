#include "System/Util/KZDeltaPatcher.h"

#include "Base/Archive/KZFileDelta.h"
#include "Base/Hash/KZCrc32.h"
#include "Base/Util/KZKillPoint.h"

#include <cstdio>
#include <memory>

namespace
{
typedef std::unique_ptr<FILE, int (*)(FILE*)> KZFilePtr;
} // namespace

bool CKZDeltaPatcher::MapBase(const CKZWebInstallerFile& file, CKZMappedRegion& base) const
{
    const SKZDelta& delta = *file.m_pDelta;
    return m_packs.With([&](CKZPackFileArchive& archive) {
        const SKZPackedFile* pPacked = archive.GetPackedFileByInternalRelativePath(file.m_strName);
        return pPacked && pPacked->m_dwLength == delta.dwBaseSize && pPacked->m_dwCheckSum == delta.dwBaseCrc &&
               archive.MapPackedFile(*pPacked, base);
    });
}

bool CKZDeltaPatcher::Apply(const CKZWebInstallerFile& file, const std::string& strDelta, const std::string& strTarget,
                            std::string& strWhy) const
{
    CKZMappedRegion base;
    if (!file.m_pDelta || !MapBase(file, base))
    {
        strWhy = "the packed copy is not the delta's base";
        return false;
    }
    KZFilePtr pDelta(fopen(strDelta.c_str(), "rb"), fclose);
    CKZFile::CreateDir(CKZPath::FilePath(strTarget).GetDirectory().c_str(), true);
    KZFilePtr pTarget(fopen(strTarget.c_str(), "wb"), fclose);
    if (!pDelta || !pTarget)
    {
        strWhy = pDelta ? "the result cannot be written" : "the delta cannot be read";
        return false;
    }
    uint32_t crc = 0;
    KZSignature::CHasher hasher;
    const auto read = [&](void* pBuffer, size_t size) -> int64_t {
        const size_t got = fread(pBuffer, 1, size, pDelta.get());
        return got == 0 && ferror(pDelta.get()) ? -1 : static_cast<int64_t>(got);
    };
    const auto write = [&](const void* pData, size_t size) {
        crc = KZCrc32(crc, pData, size);
        if (m_bCheckDigest)
            hasher.Add(pData, size);
        const bool bWritten = fwrite(pData, 1, size, pTarget.get()) == size;
        KZKillPoint::Reached("delta-applying");
        return bWritten;
    };
    const KZFileDelta::EResult result =
        KZFileDelta::Apply(base.Data(), base.Size(), read, write, file.m_dwSize, strWhy);
    const bool bClosed = fclose(pTarget.release()) == 0;
    if (result == KZFileDelta::APPLIED && !bClosed)
        strWhy = "the result cannot be written";
    else if (result == KZFileDelta::APPLIED && static_cast<uint32_t>(crc) != file.m_dwExportedCrc)
        strWhy = "the result's CRC-32 is not the record's";
    else if (result == KZFileDelta::APPLIED && m_bCheckDigest && hasher.Finish() != file.m_pDelta->targetDigest)
        strWhy = "the result's SHA-256 is not the signed one";
    else if (result == KZFileDelta::APPLIED)
    {
        KZKillPoint::Reached("delta-applied");
        return true;
    }
    CKZFile::RemoveFile(strTarget.c_str());
    return false;
}
