#include "System/Util/KZDeltaPatcher.h"

#include "Base/Archive/KZFileDelta.h"
#include "Base/Core/KZFileDescriptor.h"
#include "Base/Core/KZIOInterface.h"
#include "Base/Hash/KZCrc32.h"
#include "Base/Platform/KZPlatform.h"
#include "Base/Util/KZKillPoint.h"

#include <cstdio>
#include <memory>

namespace
{
typedef std::unique_ptr<FILE, int (*)(FILE*)> KZFilePtr;
// The resident pages of the base and the target are let go after each slice of this many bytes.
const size_t kResidentSlice = 256u << 10;
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
    if (!pDelta)
    {
        strWhy = "the delta cannot be read";
        return false;
    }
    CKZFile::CreateDir(CKZPath::FilePath(strTarget).GetDirectory().c_str(), true);
    const bool bApplied = ApplyInto(file, base, pDelta.get(), strTarget, strWhy);
    if (bApplied)
    {
        KZKillPoint::Reached("delta-applied");
        return true;
    }
    CKZFile::RemoveFile(strTarget.c_str());
    return false;
}

// The target is decoded straight into the file, mapped at the record's size with its blocks set
// aside first (so that a full disk fails here, not in the middle of a page). Pages of the base and
// the target leave the process after every 256 KiB decoded: the page cache keeps them, and the resident
// memory stays small whatever the file's size.
bool CKZDeltaPatcher::ApplyInto(const CKZWebInstallerFile& file, const CKZMappedRegion& base, FILE* pDelta,
                                const std::string& strTarget, std::string& strWhy) const
{
    const size_t targetSize = file.m_dwSize;
    CKZFileDescriptor target = CKZFileDescriptor::Create(strTarget);
    CKZMappedRegion output;
    if (!target.IsOpen() || !KZFileIO::AdmitWrite(targetSize) || !KZPlatform::ReserveFileSpace(target.Get(), targetSize) ||
        !output.MapWritable(target.Get(), targetSize))
    {
        strWhy = "the result cannot be written";
        return false;
    }
    uint32_t crc = 0;
    KZSignature::CHasher hasher;
    size_t sinceDrop = 0;
    const auto read = [&](void* pBuffer, size_t size) -> int64_t {
        const size_t got = fread(pBuffer, 1, size, pDelta);
        return got == 0 && ferror(pDelta) ? -1 : static_cast<int64_t>(got);
    };
    const auto observe = [&](const void* pData, size_t size) {
        crc = KZCrc32(crc, pData, size);
        if (m_bCheckDigest)
            hasher.Add(pData, size);
        sinceDrop += size;
        if (sinceDrop >= kResidentSlice)
        {
            base.DropResidentPages();
            output.DropResidentPages();
            sinceDrop = 0;
        }
        KZKillPoint::Reached("delta-applying");
        return true;
    };
    const KZFileDelta::EResult result =
        KZFileDelta::ApplyInPlace(base.Data(), base.Size(), read, output.MutableData(), targetSize, observe, strWhy);
    output.Unmap();
    const bool bClosed = target.Close();
    if (result != KZFileDelta::APPLIED)
        return false;
    if (!bClosed)
        strWhy = "the result cannot be written";
    else if (crc != file.m_dwExportedCrc)
        strWhy = "the result's CRC-32 is not the record's";
    else if (m_bCheckDigest && hasher.Finish() != file.m_pDelta->targetDigest)
        strWhy = "the result's SHA-256 is not the signed one";
    else
        return true;
    return false;
}
