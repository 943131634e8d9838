#include "Base/Archive/KZZipFile.h"

#include "Base/Core/KZIOInterface.h"

#include "Base/Archive/KZCrypto.h"
#include "Base/Archive/KZZipCipher.h"
#include "Base/Core/KZFile.h"
#include "Base/Debug/KZLog.h"
#include "Base/Platform/KZPlatform.h"
#include "Base/Util/KZKillPoint.h"
#include "Base/Util/KZString.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>
#include <zlib.h>

namespace
{
const char* const s_szFile = "Source/Base/Archive/KZZipFile";
// Entries are unpacked through a buffer of this size: large writes, few calls.
const size_t kBufferSize = 1024 * 1024;

bool IsDosHost(const unz_file_info& info)
{
    const uLong host = (info.version >> 8) & 0xFF;
    return host == 0 || host == 7 || host == 11 || host == 14;
}

void ReportProgress(KZZipProgressCallback pCallback, void* pContext, uint64_t numerator, uint64_t denominator,
                    uint32_t dwSize)
{
    const float fDone = static_cast<float>(numerator) / static_cast<float>(denominator) * static_cast<float>(dwSize);
    pCallback(pContext, static_cast<uint32_t>(fDone), dwSize);
}

void SetDates(const char* szPath, const tm_unz& date, int bLocalTime)
{
    struct tm calendar = {};
    calendar.tm_sec = static_cast<int>(date.tm_sec);
    calendar.tm_min = static_cast<int>(date.tm_min);
    calendar.tm_hour = static_cast<int>(date.tm_hour);
    calendar.tm_mday = static_cast<int>(date.tm_mday);
    calendar.tm_mon = static_cast<int>(date.tm_mon);
    calendar.tm_year = static_cast<int>(date.tm_year > 1900 ? date.tm_year - 1900 : date.tm_year);
    struct utimbuf times;
    if (bLocalTime)
    {
        calendar.tm_isdst = -1;
        times.actime = times.modtime = mktime(&calendar);
    }
    else
    {
        calendar.tm_isdst = 0;
        times.actime = times.modtime = static_cast<time_t>(KZPlatform::TimeGm(&calendar));
    }
    utime(szPath, &times);
}

// Only an end-of-central-directory record (and its comment): a valid archive of no entries.
bool IsEmptyArchive(const char* szPath)
{
    CKZFile file;
    if (!file.OpenInMemory(szPath) || file.GetLength() < 22)
        return false;
    const uint8_t* p = static_cast<const uint8_t*>(file.GetFileStartPtr());
    const uint32_t dwLength = static_cast<uint32_t>(file.GetLength());
    const uint32_t dwComment = p[20] | (p[21] << 8);
    static const uint8_t s_zeros[16] = {0};
    return memcmp(p, "PK\5\6", 4) == 0 && memcmp(p + 4, s_zeros, 16) == 0 && dwLength == 22 + dwComment;
}

// One failed entry: the archive, the entry and why.
void ReportEntryError(const std::string& strArchive, const std::string& strEntry, const std::string& strReason)
{
    KZ_ERROR(s_szFile, "Could not extract %s from %s: %s", strEntry.c_str(), strArchive.c_str(), strReason.c_str());
}

// Writes all of a piece to a descriptor, however the system splits it.
bool WriteAll(int descriptor, const char* pBytes, size_t size)
{
    while (size > 0)
    {
        const ssize_t written = write(descriptor, pBytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        pBytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// Copies the open entry into a temporary file beside the output and renames it into place once the
// entry has been read in full and checked: a failed entry leaves nothing under its name. The entry
// is inflated straight into the one buffer, which goes to the file in one write each.
bool WriteEntry(CKZZipEntryReader& entry, const unz_file_info& info, const CKZPath& output, char* pBuffer,
                int bLocalTime, std::string& strFault)
{
    std::string strTemporary = output.SubPath(KZ_PATH_DIRECTORY) + ".kzunzip-XXXXXX";
    const int descriptor = mkstemp(&strTemporary[0]);
    if (descriptor < 0)
    {
        strFault = "cannot create a file beside " + output.GetString();
        return false;
    }
    bool bOK = true;
    while (bOK)
    {
        const int count = entry.Read(pBuffer, static_cast<unsigned>(kBufferSize));
        if (count <= 0)
        {
            bOK = count == 0;
            strFault = entry.GetFault();
            break;
        }
        if (!KZFileIO::AdmitWrite(static_cast<size_t>(count)) ||
            !WriteAll(descriptor, pBuffer, static_cast<size_t>(count)))
        {
            bOK = false;
            strFault = "cannot write " + output.GetString();
        }
    }
    if (close(descriptor) != 0 && bOK)
    {
        bOK = false;
        strFault = "cannot write " + output.GetString();
    }
    if (bOK && !entry.Close())
    {
        bOK = false;
        strFault = entry.GetFault();
    }
    if (bOK)
    {
        // Set-id and sticky bits from an archive are not applied.
        const uLong mode = info.external_fa >> 16;
        chmod(strTemporary.c_str(), static_cast<mode_t>((mode ? mode : 0755) & 0777));
        SetDates(strTemporary.c_str(), info.tmu_date, bLocalTime);
        if (rename(strTemporary.c_str(), output.c_str()) != 0)
        {
            bOK = false;
            strFault = "cannot create " + output.GetString();
        }
    }
    if (!bOK)
        remove(strTemporary.c_str());
    return bOK;
}
} // namespace

void KZZipFileNoopProgressCallback(void*, uint32_t, uint32_t) {}

void FileUnzipCallback(void* pContext, uint32_t dwDone, uint32_t dwTotal)
{
    SKZUnzipProgress* pProgress = static_cast<SKZUnzipProgress*>(pContext);
    std::lock_guard<std::mutex> lock(*pProgress->pMutex);
    *pProgress->pqwDone = dwDone;
    *pProgress->pqwTotal = dwTotal;
}

bool IsDir(const unz_file_info& info)
{
    return IsDosHost(info) ? (info.external_fa & 0x10) != 0 : (info.external_fa & 0x40000000) != 0;
}

bool IsArchive(const unz_file_info& info)
{
    return !IsDosHost(info) || (info.external_fa & (0x20 | 0x80)) != 0;
}

void change_file_date(const char* szPath, uLong, tm_unz tmuDate, int bLocalTime)
{
    SetDates(szPath, tmuDate, bLocalTime);
}

int filetime(const char* szPath, tm_zip* pTmZip, uLong* pDosDate, int)
{
    *pDosDate = 0;
    SKZFileTime lastWrite;
    if (!CKZFile::GetFileTime(szPath, nullptr, nullptr, &lastWrite))
        return 0;
    int64_t seconds = 0;
    FileTimeToUnixTime(&seconds, &lastWrite);
    const time_t t = static_cast<time_t>(seconds);
    struct tm utc;
    if (!gmtime_r(&t, &utc))
        return 0;
    pTmZip->tm_sec = static_cast<uInt>(utc.tm_sec);
    pTmZip->tm_min = static_cast<uInt>(utc.tm_min);
    pTmZip->tm_hour = static_cast<uInt>(utc.tm_hour);
    pTmZip->tm_mday = static_cast<uInt>(utc.tm_mday);
    pTmZip->tm_mon = static_cast<uInt>(utc.tm_mon);
    pTmZip->tm_year = static_cast<uInt>(utc.tm_year + 1900);
    return 1;
}

CKZZipFile::~CKZZipFile()
{
    Close();
}

int CKZZipFile::Open(const char* szPath, int bRead, const char* szPassword, int bAppend)
{
    Close(); // an open handle is closed rather than leaked
    m_bPassword = szPassword != nullptr;
    m_strPassword = szPassword ? szPassword : "";
    if (bRead)
    {
        m_pUnzFile = unzOpen(szPath);
        unz_global_info global;
        m_bEmptyArchive = !m_pUnzFile && IsEmptyArchive(szPath);
        if (!m_bEmptyArchive && (!m_pUnzFile || unzGetGlobalInfo(m_pUnzFile, &global) != UNZ_OK))
            return 0;
    }
    else
    {
        const int mode = bAppend && CKZFile::FileExists(szPath) ? APPEND_STATUS_ADDINZIP : APPEND_STATUS_CREATE;
        m_pZipFile = zipOpen(szPath, mode);
        if (!m_pZipFile)
            return 0;
    }
    m_strArchivePath = szPath;
    return 1;
}

int CKZZipFile::Close()
{
    bool bOK = true;
    m_bEmptyArchive = false;
    if (m_pUnzFile)
    {
        bOK = unzClose(m_pUnzFile) == UNZ_OK && bOK;
        m_pUnzFile = nullptr;
    }
    if (m_pZipFile)
    {
        bOK = zipClose(m_pZipFile, nullptr) == ZIP_OK && bOK;
        m_pZipFile = nullptr;
    }
    return bOK ? 1 : 0;
}

bool CKZZipFile::ReadEntryInfo(unz_file_info& info, std::string& strName, uint8_t* pExtra)
{
    char szName[256];
    // One byte is kept for the terminator: the library leaves a name that fills the buffer unterminated.
    if (unzGetCurrentFileInfo(m_pUnzFile, &info, szName, sizeof(szName) - 1, pExtra, pExtra ? 16 : 0, nullptr, 0) !=
        UNZ_OK)
        return false;
    // A longer name would be cut into a different one: such an entry is refused.
    if (info.size_filename >= sizeof(szName) - 1)
        return false;
    szName[info.size_filename] = 0;
    strName = szName;
    return true;
}

int CKZZipFile::Extract(const char* szDestination, KZZipProgressCallback pCallback, void* pContext,
                        std::vector<std::string>* pWrittenPaths)
{
    if (m_bEmptyArchive)
    {
        const uint32_t dwSize = CKZFile::GetFileSize(m_strArchivePath.c_str());
        pCallback(pContext, dwSize, dwSize);
        return 1;
    }
    unz_global_info global;
    if (!m_pUnzFile || unzGetGlobalInfo(m_pUnzFile, &global) != UNZ_OK)
        return 0;
    const uint64_t n = global.number_entry;
    const std::string strBase = szDestination ? std::string(szDestination) + "/"
                                              : CKZPath::FilePath(m_strArchivePath).SubPath(KZ_PATH_DIRECTORY);
    const uint32_t dwSize = CKZFile::GetFileSize(m_strArchivePath.c_str());
    const char* szPassword = m_bPassword ? m_strPassword.c_str() : nullptr;

    // Pass 1: directories. Every entry is opened, so that one that cannot be read stops the
    // extraction before anything is written.
    unzGoToFirstFile(m_pUnzFile);
    for (uint64_t i = 1; i <= n; ++i)
    {
        unz_file_info info;
        std::string strName;
        if (!ReadEntry(info, strName))
            return 0;
        CKZZipEntryReader entry(m_pUnzFile);
        if (!entry.Open(info, szPassword))
        {
            ReportEntryError(m_strArchivePath, strName, entry.GetFault());
            return 0;
        }
        if (IsDir(info))
            CKZFile::CreateDir(CKZPath::FilePath(strBase + strName), true);
        if (!entry.CloseUnread())
        {
            ReportEntryError(m_strArchivePath, strName, "the entry cannot be closed");
            return 0;
        }
        if (i < n && unzGoToNextFile(m_pUnzFile) != UNZ_OK)
            break;
        ReportProgress(pCallback, pContext, i - 1, 2 * n, dwSize);
    }

    // Pass 2: files.
    unzGoToFirstFile(m_pUnzFile);
    std::unique_ptr<char[]> pBuffer(new char[kBufferSize]);
    for (uint64_t j = 0; j < n; ++j)
    {
        unz_file_info info;
        std::string strName;
        if (!ReadEntry(info, strName))
            return 0;
        CKZZipEntryReader entry(m_pUnzFile);
        if (!entry.Open(info, szPassword))
        {
            ReportEntryError(m_strArchivePath, strName, entry.GetFault());
            return 0;
        }
        const CKZPath output = CKZPath::FilePath(strBase + strName);
        if (IsDir(info) || strName.back() == '/')
        {
            // A name that ends in "/" cannot be a file, whatever its attributes say.
            CKZFile::CreateDir(output, true);
            entry.CloseUnread();
        }
        else
        {
            const std::string strDirectory = output.SubPath(KZ_PATH_DIRECTORY);
            if (!strDirectory.empty())
                CKZFile::CreateDir(strDirectory.c_str(), true);
            std::string strFault;
            if (!WriteEntry(entry, info, output, pBuffer.get(), m_bLocalTime, strFault))
            {
                ReportEntryError(m_strArchivePath, strName, strFault);
                return 0;
            }
            if (pWrittenPaths)
                pWrittenPaths->push_back(output.GetString());
            KZKillPoint::Reached("unzip-entry");
        }
        if (j + 1 < n && unzGoToNextFile(m_pUnzFile) != UNZ_OK)
            break;
        ReportProgress(pCallback, pContext, n + j, 2 * n, dwSize);
    }
    pCallback(pContext, dwSize, dwSize);
    return 1;
}

bool CKZZipFile::ReadEntry(unz_file_info& info, std::string& strName)
{
    if (!ReadEntryInfo(info, strName))
    {
        KZ_ERROR(s_szFile, "Could not read an entry of %s", m_strArchivePath.c_str());
        return false;
    }
    KZStringReplace(strName, '\\', '/');
    // An entry name from a server must stay below the base directory.
    if (!CKZPath::IsInsideRoot(strName))
    {
        ReportEntryError(m_strArchivePath, strName, "the name leaves the destination");
        return false;
    }
    return true;
}

uint8_t* CKZZipFile::ExtractToMemory(uint32_t dwSecondKey, uint32_t* pdwLength)
{
    unz_global_info global;
    if (!m_pUnzFile || unzGetGlobalInfo(m_pUnzFile, &global) != UNZ_OK || global.number_entry == 0)
        return nullptr;
    unz_file_info info;
    std::string strName;
    uint8_t abExtra[16] = {0};
    if (!ReadEntryInfo(info, strName, abExtra))
        return nullptr;
    uint32_t adwStored[4];
    memcpy(adwStored, abExtra, sizeof(adwStored));
    uint8_t abPrefix[16];
    CKZCrypto::MakeKeyPrefix(adwStored, abPrefix);
    std::string strPassword(reinterpret_cast<const char*>(abPrefix), sizeof(abPrefix));
    if (m_bPassword)
        strPassword += m_strPassword;
    // The declared size is outside data: it may not claim more than deflate can produce.
    if (!CKZZipEntryReader::DeclaresPossibleSize(info) || info.uncompressed_size > UINT32_MAX)
    {
        ReportEntryError(m_strArchivePath, strName, "the declared size cannot be right");
        return nullptr;
    }
    CKZZipEntryReader entry(m_pUnzFile);
    if (!entry.Open(info, strPassword.c_str()))
    {
        ReportEntryError(m_strArchivePath, strName, entry.GetFault());
        return nullptr;
    }
    const uint32_t dwDeclared = static_cast<uint32_t>(info.uncompressed_size);
    uint8_t* pData = static_cast<uint8_t*>(malloc(dwDeclared ? dwDeclared : 1));
    if (!pData)
        return nullptr;
    // The content must fill exactly the declared size and end there; the reader's close checks
    // both and the CRC-32.
    uint32_t dwRead = 0;
    int count = 1;
    while (dwRead < dwDeclared && count > 0)
    {
        count = entry.Read(pData + dwRead, dwDeclared - dwRead);
        if (count > 0)
            dwRead += static_cast<uint32_t>(count);
    }
    uint8_t bExtra;
    if (count >= 0)
        entry.Read(&bExtra, 1);
    if (!entry.Close())
    {
        ReportEntryError(m_strArchivePath, strName, entry.GetFault());
        free(pData);
        return nullptr;
    }
    if (pdwLength)
        *pdwLength = dwDeclared;
    if (dwSecondKey == 0 || adwStored[0] == 0)
        return pData;
    uint32_t adwKey[8];
    CKZCrypto::MakeEntryKey(adwStored, dwSecondKey, adwKey);
    CKZCrypto crypto;
    crypto.SetCiperIteration(32);
    crypto.SetKey(adwKey);
    uint8_t* pPlain = static_cast<uint8_t*>(malloc(dwDeclared ? dwDeclared : 1));
    uint32_t dwPlain = 0;
    if (!pPlain || !crypto.Decrypt(pData, dwDeclared, pPlain, dwDeclared, &dwPlain))
    {
        free(pData);
        free(pPlain);
        return nullptr;
    }
    free(pData);
    if (pdwLength)
        *pdwLength = dwPlain;
    return pPlain;
}

int CKZZipFile::AddFile(const char* szSourcePath, const char* szName, bool bDirectory)
{
    if (!m_pZipFile)
        return 0;
    const CKZPath source(szSourcePath);
    std::string strName = szName ? std::string(szName)
                                 : source.SubPath(bDirectory ? KZ_PATH_DIRECTORY : (KZ_PATH_FILE_TITLE | KZ_PATH_EXTENSION));
    if (!strName.empty() && (strName[0] == '\\' || strName[0] == '/'))
        strName.erase(0, 1);
    zip_fileinfo zi = {};
    filetime(szSourcePath, &zi.tmz_date, &zi.dosDate, 0);
    zi.external_fa = bDirectory ? 0x10 : 0x20;
    if (m_bPassword && !bDirectory)
    {
        CKZFile file;
        if (!file.OpenInMemory(szSourcePath))
            return 0;
        return KZZipWriteEncryptedEntry(m_pZipFile, strName.c_str(), &zi, nullptr, 0, m_strPassword,
                                        static_cast<const uint8_t*>(file.GetFileStartPtr()),
                                        static_cast<uint32_t>(file.GetLength()))
                   ? 1
                   : 0;
    }
    // The source is opened before the entry, so that a file that cannot be read leaves no empty entry.
    FILE* pIn = bDirectory ? nullptr : fopen(szSourcePath, "rb");
    if (!bDirectory && !pIn)
        return 0;
    if (zipOpenNewFileInZip3(m_pZipFile, strName.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                             Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, nullptr, 0) != ZIP_OK)
    {
        if (pIn)
            fclose(pIn);
        return 0;
    }
    if (bDirectory)
    {
        zipCloseFileInZip(m_pZipFile);
        return 1;
    }
    std::unique_ptr<char[]> pBuffer(new char[kBufferSize]);
    bool bOK = true;
    for (;;)
    {
        const size_t count = fread(pBuffer.get(), 1, kBufferSize, pIn);
        if (count == 0)
            break;
        if (zipWriteInFileInZip(m_pZipFile, pBuffer.get(), static_cast<unsigned>(count)) != ZIP_OK)
        {
            bOK = false;
            break;
        }
    }
    bOK = bOK && !ferror(pIn);
    fclose(pIn);
    return zipCloseFileInZip(m_pZipFile) == ZIP_OK && bOK ? 1 : 0;
}

int CKZZipFile::AddCryptoFile(const char* szSourcePath, const char* szKey, const char* szSecondKey)
{
    if (!m_pZipFile)
        return 0;
    zip_fileinfo zi = {};
    filetime(szSourcePath, &zi.tmz_date, &zi.dosDate, 0);
    zi.dosDate = 0;
    zi.external_fa = 0x17;
    CKZFile file;
    if (!file.OpenInMemory(szSourcePath))
        return 0;
    const uint8_t* pContent = static_cast<const uint8_t*>(file.GetFileStartPtr());
    const uint32_t dwLength = static_cast<uint32_t>(file.GetLength());
    uint32_t adwKey[8];
    CKZCrypto::MakeEntryKey(static_cast<uint32_t>(atoi(szKey)), static_cast<uint32_t>(atoi(szSecondKey)), adwKey);
    uint8_t abPrefix[16];
    CKZCrypto::MakeKeyPrefix(adwKey, abPrefix);
    std::string strPassword(reinterpret_cast<const char*>(abPrefix), sizeof(abPrefix));
    if (m_bPassword)
        strPassword += m_strPassword;
    uint8_t abExtra[16];
    for (int i = 0; i < 4; ++i)
        for (int b = 0; b < 4; ++b)
            abExtra[4 * i + b] = static_cast<uint8_t>(adwKey[i] >> (8 * b));
    std::vector<uint8_t> vecSealed(uint64_t(dwLength) + 64);
    CKZCrypto crypto;
    crypto.SetCiperIteration(32);
    crypto.SetKey(adwKey);
    uint32_t dwSealed = 0;
    if (crypto.Encrypt(pContent, dwLength, vecSealed.data(), static_cast<uint32_t>(vecSealed.size()), &dwSealed) != 0)
        return 0;
    return KZZipWriteEncryptedEntry(m_pZipFile, "Unknown", &zi, abExtra, sizeof(abExtra), strPassword,
                                    vecSealed.data(), dwSealed)
               ? 1
               : 0;
}

uint32_t CKZZipFile::GetChecksumFromZip(const char* szArchivePath, const char* szEntryName)
{
    unzFile pFile = unzOpen(szArchivePath);
    if (!pFile)
        return 0;
    uint32_t dwCrc = 0;
    unz_global_info global;
    unz_file_info info;
    if (unzGetGlobalInfo(pFile, &global) == UNZ_OK && global.number_entry > 0 &&
        unzLocateFile(pFile, szEntryName, 0) == UNZ_OK &&
        unzGetCurrentFileInfo(pFile, &info, nullptr, 0, nullptr, 0, nullptr, 0) == UNZ_OK)
        dwCrc = static_cast<uint32_t>(info.crc);
    unzClose(pFile);
    return dwCrc;
}
