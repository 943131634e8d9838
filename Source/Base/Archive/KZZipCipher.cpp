#include "Base/Archive/KZZipCipher.h"

#include "Base/Hash/KZCrc32.h"

#include <algorithm>
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
// Raw bytes are read from the archive in pieces of this size.
const size_t kInputSize = 256 * 1024;
const uint64_t kMaxDeflateRatio = 1032;

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
    if (m_bOpen)
        unzCloseCurrentFile(m_pFile);
}

bool CKZZipEntryReader::Fail(const std::string& strFault)
{
    m_strFault = strFault;
    return false;
}

bool CKZZipEntryReader::DeclaresPossibleSize(const unz_file_info& info)
{
    return uint64_t(info.uncompressed_size) <= uint64_t(info.compressed_size) * kMaxDeflateRatio + 64;
}

bool CKZZipEntryReader::Open(const unz_file_info& info, const char* szPassword)
{
    // Any other method would be handed out as it is stored, still compressed.
    if (info.compression_method != 0 && info.compression_method != Z_DEFLATED)
        return Fail("unsupported compression method " + std::to_string(info.compression_method));
    if (info.compression_method == Z_DEFLATED && !DeclaresPossibleSize(info))
        return Fail("the declared size cannot be right");
    m_bEncrypted = (info.flag & 1) != 0;
    m_dwExpectedCrc = static_cast<uint32_t>(info.crc);
    m_qwExpectedSize = info.uncompressed_size;
    if (m_bEncrypted && !szPassword)
        return Fail("the entry is encrypted and no password was given");
    int level = 0;
    if (unzOpenCurrentFile2(m_pFile, &m_method, &level, 1) != UNZ_OK)
        return Fail("the entry cannot be opened");
    m_bOpen = true;
    if (m_bEncrypted)
    {
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
        const uint8_t bCheck =
            (info.flag & 8) ? static_cast<uint8_t>(info.dosDate >> 8) : static_cast<uint8_t>(info.crc >> 24);
        if (header[kHeaderLength - 1] != bCheck)
            return Fail("wrong password");
    }
    if (m_method == Z_DEFLATED)
    {
        m_pInflater.reset(new CKZRawInflater);
        m_vecInput.resize(kInputSize);
    }
    return true;
}

int CKZZipEntryReader::Read(void* pBuffer, unsigned size)
{
    // One byte more than declared is asked for, so that an entry longer than its record is caught
    // without its excess ever being written.
    const uint64_t qwAllowed = m_qwRead <= m_qwExpectedSize ? m_qwExpectedSize - m_qwRead + 1 : 0;
    size = static_cast<unsigned>(std::min<uint64_t>(size, qwAllowed));
    uint8_t* pBytes = static_cast<uint8_t*>(pBuffer);
    const int count = m_method == Z_DEFLATED ? ReadInflated(pBytes, size) : ReadRaw(pBytes, size);
    if (count < 0)
    {
        m_bFailed = true;
        m_strFault = "damaged data";
    }
    else if (count == 0 && size > 0)
        m_bEnded = true;
    else
    {
        m_dwCrc = KZCrc32(m_dwCrc, pBytes, static_cast<size_t>(count));
        m_qwRead += static_cast<uint64_t>(count);
        if (m_qwRead > m_qwExpectedSize)
        {
            m_bFailed = true;
            m_strFault = "the entry holds more than its declared " + std::to_string(m_qwExpectedSize) + " bytes";
            return -1;
        }
    }
    return count;
}

int CKZZipEntryReader::ReadRaw(uint8_t* pBuffer, unsigned size)
{
    const int count = unzReadCurrentFile(m_pFile, pBuffer, size);
    if (m_bEncrypted)
        for (int i = 0; i < count; ++i)
        {
            int c = pBuffer[i];
            zdecode(m_keys, CrcTable(), c);
            pBuffer[i] = static_cast<uint8_t>(c);
        }
    return count;
}

int CKZZipEntryReader::ReadInflated(uint8_t* pBuffer, unsigned size)
{
    size_t total = 0;
    while (total < size && !m_bStreamEnd)
    {
        if (m_inputLeft == 0 && !m_bRawEnded)
        {
            const int count = ReadRaw(m_vecInput.data(), static_cast<unsigned>(m_vecInput.size()));
            if (count < 0)
                return count;
            m_bRawEnded = count == 0;
            m_pInput = m_vecInput.data();
            m_inputLeft = static_cast<size_t>(count);
        }
        size_t produced = 0;
        const CKZRawInflater::EResult result =
            m_pInflater->Inflate(m_pInput, m_inputLeft, pBuffer + total, size - total, produced);
        total += produced;
        if (result == CKZRawInflater::RESULT_DAMAGED)
            return -1;
        m_bStreamEnd = result == CKZRawInflater::RESULT_END;
        // The compressed data ended before the stream did.
        if (!m_bStreamEnd && produced == 0 && m_inputLeft == 0 && m_bRawEnded)
            return -1;
    }
    return static_cast<int>(total);
}

bool CKZZipEntryReader::Close()
{
    if (!m_bOpen)
        return false;
    m_bOpen = false;
    // In raw mode the library checks no CRC; every case is checked here.
    const int result = unzCloseCurrentFile(m_pFile);
    if (m_bFailed)
        return Fail(m_strFault.empty() ? "damaged data" : m_strFault);
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
    const uLong crc = KZCrc32(0, pContent, dwLength);
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
