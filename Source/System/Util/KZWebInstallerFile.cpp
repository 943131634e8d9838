#include "System/Util/KZWebInstallerFile.h"

uint64_t CKZWebInstallerFile::TransferBound() const
{
    if (Has(FILE_FLAG_DIRECT))
        return m_qwServerSize;
    return uint64_t(m_dwCompressedSize) + 2 * m_strFilePath.size() + kUpdateZipOverhead;
}
