#include "System/Util/KZWebInstallerFile.h"

std::unique_ptr<CKZWebInstallerFile> CKZWebInstallerFile::UnderOwnName(const std::string& strName, const SKZFileTime& time,
                                                                       uint64_t qwServerSize)
{
    std::unique_ptr<CKZWebInstallerFile> pFile(new CKZWebInstallerFile);
    pFile->m_strName = strName;
    pFile->m_Time = time;
    // The catalogue's fields are 32 bits wide; the bound of its transfer keeps the whole size.
    pFile->m_dwSize = pFile->m_dwCompressedSize = static_cast<uint32_t>(qwServerSize);
    pFile->m_qwServerSize = qwServerSize;
    pFile->m_dwFlags = FILE_FLAG_DIRECT;
    return pFile;
}

uint64_t CKZWebInstallerFile::TransferBound() const
{
    if (Has(FILE_FLAG_DIRECT))
        return m_qwServerSize;
    return uint64_t(m_dwCompressedSize) + 2 * m_strFilePath.size() + kUpdateZipOverhead;
}
