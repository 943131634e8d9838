#include "Base/Archive/KZZipCipher.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <ctime>

// The library's header holds the traditional cipher as static functions; the header-making part
// is only compiled when asked for.
#define INCLUDECRYPTINGCODE_IFCRYPTALLOWED
#include <crypt.h>

namespace
{
const unsigned kHeaderLength = 12;

// The cipher header indexes a table of unsigned long; zlib's own table may have narrower entries.
const unsigned long* CrcTable()
{
    static const std::array<unsigned long, 256> s_table = [] {
        std::array<unsigned long, 256> table;
        const auto* pZlibTable = get_crc_table();
        for (size_t i = 0; i < table.size(); ++i)
            table[i] = pZlibTable[i];
        return table;
    }();
    return s_table.data();
}
}

CKZZipEntryReader::~CKZZipEntryReader()
{
    if (m_bInflating)
        inflateEnd(&m_stream);
    if (m_bOpen)
        unzCloseCurrentFile(m_pFile);
}

bool CKZZipEntryReader::Fail(const std::string& strFault)
{
    m_strFault = strFault;
    return false;
}

bool CKZZipEntryReader::Open(const unz_file_info& info, const char* szPassword)
{
    // Any other method would be handed out as it is stored, still compressed.
    if (info.compression_method != 0 && info.compression_method != Z_DEFLATED)
        return Fail("unsupported compression method " + std::to_string(info.compression_method));
    m_bEncrypted = (info.flag & 1) != 0;
    m_dwExpectedCrc = static_cast<uint32_t>(info.crc);
    m_qwExpectedSize = info.uncompressed_size;
    m_dwCrc = static_cast<uint32_t>(crc32(0L, Z_NULL, 0));
    if (!m_bEncrypted)
    {
        m_bOpen = unzOpenCurrentFile(m_pFile) == UNZ_OK;
        return m_bOpen || Fail("the entry cannot be opened");
    }
    if (!szPassword)
        return Fail("the entry is encrypted and no password was given");
    int level = 0;
    if (unzOpenCurrentFile2(m_pFile, &m_method, &level, 1) != UNZ_OK)
        return Fail("the entry cannot be opened");
    m_bOpen = true;
    uint8_t header[kHeaderLength];
    if (unzReadCurrentFile(m_pFile, header, kHeaderLength) != static_cast<int>(kHeaderLength))
        return Fail("the entry cannot be read");
    init_keys(szPassword, m_keys, CrcTable());
    for (uint8_t& b : header)
    {
        int c = b;
        zdecode(m_keys, CrcTable(), c);
        b = static_cast<uint8_t>(c);
    }
    // The last header byte repeats the CRC's high byte (or, with a data descriptor, the time's).
    const uint8_t bCheck = (info.flag & 8) ? static_cast<uint8_t>(info.dosDate >> 8) : static_cast<uint8_t>(info.crc >> 24);
    if (header[kHeaderLength - 1] != bCheck)
        return Fail("wrong password");
    if (m_method == Z_DEFLATED)
    {
        if (inflateInit2(&m_stream, -MAX_WBITS) != Z_OK)
            return Fail("the entry cannot be opened");
        m_bInflating = true;
    }
    m_vecInput.resize(32768);
    return true;
}

int CKZZipEntryReader::Read(void* pBuffer, unsigned size)
{
    const int count = m_bEncrypted ? ReadEncrypted(static_cast<uint8_t*>(pBuffer), size)
                                   : unzReadCurrentFile(m_pFile, pBuffer, size);
    if (count < 0)
    {
        m_bFailed = true;
        m_strFault = "damaged data";
    }
    else if (count == 0 && size > 0)
        m_bEnded = true;
    else
    {
        m_dwCrc = static_cast<uint32_t>(crc32(m_dwCrc, static_cast<const Bytef*>(pBuffer), static_cast<uInt>(count)));
        m_qwRead += static_cast<uint64_t>(count);
    }
    return count;
}

int CKZZipEntryReader::ReadEncrypted(uint8_t* pBuffer, unsigned size)
{
    auto fill = [&](uint8_t* pTarget, unsigned wanted) -> int {
        const int count = unzReadCurrentFile(m_pFile, pTarget, wanted);
        for (int i = 0; i < count; ++i)
        {
            int c = pTarget[i];
            zdecode(m_keys, CrcTable(), c);
            pTarget[i] = static_cast<uint8_t>(c);
        }
        return count;
    };
    if (m_method == 0)
        return fill(pBuffer, size);
    m_stream.next_out = pBuffer;
    m_stream.avail_out = size;
    while (m_stream.avail_out > 0 && !m_bStreamEnd)
    {
        if (m_stream.avail_in == 0)
        {
            const int count = fill(m_vecInput.data(), static_cast<unsigned>(m_vecInput.size()));
            if (count < 0)
                return count;
            if (count == 0)
                return -1; // the compressed data ended before the stream did
            m_stream.next_in = m_vecInput.data();
            m_stream.avail_in = static_cast<uInt>(count);
        }
        const int result = inflate(&m_stream, Z_NO_FLUSH);
        if (result == Z_STREAM_END)
            m_bStreamEnd = true;
        else if (result != Z_OK)
            return -1;
    }
    return static_cast<int>(size - m_stream.avail_out);
}

bool CKZZipEntryReader::Close()
{
    if (!m_bOpen)
        return false;
    m_bOpen = false;
    // The library checks the CRC only of an entry read to its end; every case is checked here.
    const int result = unzCloseCurrentFile(m_pFile);
    if (m_bFailed)
        return Fail("damaged data");
    if (!m_bEnded)
        return Fail("the entry was not read to its end");
    if (m_qwRead != m_qwExpectedSize)
        return Fail("size " + std::to_string(m_qwRead) + " differs from the central directory's " +
                    std::to_string(m_qwExpectedSize));
    if (m_dwCrc != m_dwExpectedCrc)
        return Fail("CRC-32 mismatch");
    if (!m_bEncrypted && result != UNZ_OK)
        return Fail("the entry cannot be closed");
    return true;
}

bool CKZZipEntryReader::CloseUnread()
{
    if (!m_bOpen)
        return false;
    m_bOpen = false;
    return unzCloseCurrentFile(m_pFile) == UNZ_OK || m_bEncrypted;
}

bool KZZipWriteEncryptedEntry(zipFile pFile, const char* szName, const zip_fileinfo* pInfo, const void* pGlobalExtra,
                              unsigned globalExtraSize, const std::string& strPassword, const uint8_t* pContent,
                              uint32_t dwLength)
{
    const uLong crc = crc32(0L, pContent, dwLength);
    z_stream stream = {};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    std::vector<uint8_t> vecData(kHeaderLength + deflateBound(&stream, dwLength));
    unsigned long keys[3];
    const int header = crypthead(strPassword.c_str(), vecData.data(), kHeaderLength, keys, CrcTable(), crc);
    stream.next_in = const_cast<Bytef*>(pContent);
    stream.avail_in = dwLength;
    stream.next_out = vecData.data() + kHeaderLength;
    stream.avail_out = static_cast<uInt>(vecData.size() - kHeaderLength);
    const int result = deflate(&stream, Z_FINISH);
    const size_t compressed = stream.total_out;
    deflateEnd(&stream);
    if (header != static_cast<int>(kHeaderLength) || result != Z_STREAM_END)
        return false;
    for (size_t i = kHeaderLength; i < kHeaderLength + compressed; ++i)
    {
        int t;
        vecData[i] = static_cast<uint8_t>(zencode(keys, CrcTable(), vecData[i], t));
    }
    // Raw mode: the library stores the bytes as they are, marked as encrypted by the base flag.
    if (zipOpenNewFileInZip4(pFile, szName, pInfo, nullptr, 0, pGlobalExtra, globalExtraSize, nullptr, Z_DEFLATED,
                             Z_DEFAULT_COMPRESSION, 1, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, nullptr, 0, 0, 1) != ZIP_OK)
        return false;
    const bool bWritten =
        zipWriteInFileInZip(pFile, vecData.data(), static_cast<unsigned>(kHeaderLength + compressed)) == ZIP_OK;
    return zipCloseFileInZipRaw(pFile, dwLength, crc) == ZIP_OK && bWritten;
}
