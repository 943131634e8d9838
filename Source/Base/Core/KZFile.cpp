#include "Base/Core/KZFile.h"

#include "Base/Debug/KZLog.h"
#include "Base/Hash/KZCrc32.h"
#include "Base/Platform/KZPlatform.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>
#include <zlib.h>

namespace
{
const uint64_t kEpochDifference = 116444736000000000ull; // 1601 to 1970 in 100 ns
const char* const s_szFile = "Source/Base/Core/KZFile";

bool ModeWrites(const char* szMode)
{
    return strchr(szMode, 'w') || strchr(szMode, 'a');
}

SKZFileTime FromSeconds(int64_t seconds)
{
    SKZFileTime time;
    UnixTimeToFileTime(seconds, &time);
    return time;
}

// '*' matches any run of characters; every other character is taken as a regular-expression one.
bool MatchesPattern(const char* szName, const char* szPattern)
{
    std::string strExpression;
    for (const char* p = szPattern; *p; ++p)
        strExpression += *p == '*' ? std::string(".*") : std::string(1, *p);
    try
    {
        return std::regex_match(szName, std::regex(strExpression));
    }
    catch (const std::regex_error&)
    {
        return false;
    }
}

std::string WithSlash(const std::string& strPath)
{
    return !strPath.empty() && strPath.back() != '/' ? strPath + "/" : strPath;
}
} // namespace

void UnixTimeToFileTime(int64_t seconds, SKZFileTime* pTime)
{
    pTime->Set(static_cast<uint64_t>(seconds) * 10000000ull + kEpochDifference);
}

void FileTimeToUnixTime(int64_t* pSeconds, const SKZFileTime* pTime)
{
    *pSeconds = static_cast<int64_t>((pTime->Get() - kEpochDifference) / 10000000ull);
}

void FileTimeToStr(std::string& strOut, const SKZFileTime* pTime)
{
    if (!pTime)
        return;
    int64_t seconds;
    FileTimeToUnixTime(&seconds, pTime);
    const time_t t = static_cast<time_t>(seconds);
    struct tm local;
    if (!localtime_r(&t, &local))
        return;
    char szText[64];
    strftime(szText, sizeof(szText), "%Y-%m-%d %H:%M:%S", &local);
    strOut += szText;
}

SKZFileInfo::SKZFileInfo(const char* szName, uint32_t dwSize, const SKZFileTime& fileTime, uint32_t dwFlags)
    : size(dwSize), time(fileTime), flags(dwFlags)
{
    const size_t length = strnlen(szName, sizeof(name) - 1);
    memcpy(name, szName, length);
    name[length] = 0;
}

bool SKZFileInfo::operator==(const SKZFileInfo& other) const
{
    return strcmp(name, other.name) == 0;
}

CKZFile::CKZFile() : m_pIOInterface(KZFileIO::GetDefaultInterface()) {}

CKZFile::CKZFile(CKZIOInterface& ioInterface) : m_pIOInterface(&ioInterface) {}

CKZFile::~CKZFile()
{
    Close();
}

bool CKZFile::Open(const char* szPath, const char* szMode)
{
    m_bWrite = ModeWrites(szMode);
    m_path = CKZPath::FilePath(szPath);
    m_pFile = m_pIOInterface->Open(szPath, szMode);
    return m_pFile != nullptr;
}

bool CKZFile::OpenInMemory(const char* szPath)
{
    m_bWrite = false;
    m_path = CKZPath::FilePath(szPath);
    void* pSource = m_pIOInterface->Open(szPath, "rb");
    if (!pSource)
        return false;
    CKZIOInterface* pSourceInterface = m_pIOInterface;
    const int length = pSourceInterface->GetLength(pSource);
    m_pIOInterface = &m_memIO;
    void* pMemory = length >= 0 ? m_memIO.OpenWithSize(szPath, "wb", static_cast<uint32_t>(length)) : nullptr;
    if (!pMemory || !m_memIO.CopyFileFromOtherIOInterface(pSourceInterface, pSource, pMemory))
    {
        pSourceInterface->Close(pSource);
        m_memIO.Clear();
        m_pIOInterface = pSourceInterface;
        return false;
    }
    pSourceInterface->Close(pSource);
    m_memIO.Close(pMemory);
    m_pFile = m_memIO.Open(szPath, "rb");
    m_bInMemory = true;
    return m_pFile != nullptr;
}

bool CKZFile::OpenInMemory()
{
    const std::string strPath = m_path.GetString();
    return OpenInMemory(strPath.c_str());
}

bool CKZFile::OpenVirtualFile(uint32_t size, const char* szMode)
{
    m_bWrite = strchr(szMode, 'w') != nullptr;
    m_pIOInterface = &m_memIO;
    m_pFile = m_memIO.OpenWithSize("virtualFile", szMode, size);
    m_bVirtualFile = m_pFile != nullptr;
    return m_bVirtualFile;
}

void CKZFile::Close()
{
    if (m_pFile)
        m_pIOInterface->Close(m_pFile);
    m_pFile = nullptr;
    if (m_bInMemory || m_bVirtualFile)
        m_memIO.Clear();
    if (m_bInMemory)
        m_pIOInterface = KZFileIO::GetDefaultInterface();
    m_bInMemory = m_bVirtualFile = m_bWrite = false;
}

int CKZFile::Read(void* pBuffer, int elementSize, int count)
{
    return m_pFile ? m_pIOInterface->Read(pBuffer, elementSize, count, m_pFile) : 0;
}

void CKZFile::ReadBytes(std::string& str, uint32_t length)
{
    const size_t kFirstPiece = 64 * 1024;
    str.clear();
    while (str.size() < length)
    {
        // Pieces double with what has arrived: few reads for a long string, little memory for a lie.
        const size_t piece = std::min<size_t>(length - str.size(), std::max(kFirstPiece, str.size()));
        const size_t done = str.size();
        str.resize(done + piece);
        const int got = std::max(0, Read(&str[done], 1, static_cast<int>(piece)));
        str.resize(done + static_cast<size_t>(got));
        if (static_cast<size_t>(got) < piece)
            break;
    }
}

int CKZFile::Write(const void* pBuffer, int elementSize, int count)
{
    return m_pFile ? m_pIOInterface->Write(pBuffer, elementSize, count, m_pFile) : 0;
}

int CKZFile::Tell()
{
    return m_pFile ? m_pIOInterface->Tell(m_pFile) : 0;
}

int CKZFile::Seek(int offset, int origin)
{
    return m_pFile ? m_pIOInterface->Seek(m_pFile, offset, origin) : 1;
}

int CKZFile::SeekToEnd()
{
    Seek(0, 2);
    return GetLength();
}

bool CKZFile::EOF2()
{
    return !m_pFile || m_pIOInterface->KZEOF(m_pFile) != 0;
}

bool CKZFile::Good() const
{
    return m_pFile && m_pIOInterface->Good(m_pFile);
}

int CKZFile::GetLength()
{
    return m_pFile ? m_pIOInterface->GetLength(m_pFile) : 0;
}

void* CKZFile::GetFileStartPtr()
{
    return m_pFile ? m_pIOInterface->GetMemPtrOfStart(m_pFile) : nullptr;
}

void* CKZFile::GetFilePtr()
{
    return m_pFile ? m_pIOInterface->GetMemPtr(m_pFile) : nullptr;
}

void CKZFile::PutLine(const char* szText)
{
    Write(szText, 1, static_cast<int>(strlen(szText)));
    Write("\r\n", 1, 2);
}

std::string CKZFile::GetLine()
{
    std::string strLine;
    char c;
    while (strLine.size() < 512 && Read(&c, 1, 1) == 1)
    {
        if (c == '\r' || c == '\n')
        {
            if (strLine.empty())
                continue;
            break;
        }
        strLine += c;
    }
    return strLine;
}

bool CKZFile::FileExists(const char* szPath, CKZIOInterface* pInterface, uint32_t* pSize)
{
    CKZIOInterface* pIO = pInterface ? pInterface : KZFileIO::GetDefaultInterface();
    void* pHandle = pIO->Open(szPath, "rb");
    if (!pHandle)
        return false;
    if (pSize)
        *pSize = static_cast<uint32_t>(pIO->GetLength(pHandle));
    pIO->Close(pHandle);
    return true;
}

bool CKZFile::DirectoryExists(const char* szPath)
{
    struct stat info;
    return stat(szPath, &info) == 0 && (info.st_mode & 0xF000) == 0x4000;
}

uint32_t CKZFile::GetFileSize(const char* szPath)
{
    CKZFile file;
    return file.Open(szPath, "r") ? static_cast<uint32_t>(file.GetLength()) : 0;
}

bool CKZFile::GetFileTime(const char* szPath, SKZFileTime* pCreation, SKZFileTime* pLastAccess,
                          SKZFileTime* pLastWrite)
{
    struct stat info;
    if (stat(szPath, &info) != 0)
        return false;
    if (pCreation)
    {
        int64_t birth = info.st_mtime;
        KZPlatform::GetFileBirthTime(szPath, &birth);
        *pCreation = FromSeconds(birth);
    }
    if (pLastAccess)
        *pLastAccess = FromSeconds(info.st_atime);
    if (pLastWrite)
        *pLastWrite = FromSeconds(info.st_mtime);
    return true;
}

bool CKZFile::SetFileTime(const char* szPath, const SKZFileTime*, const SKZFileTime* pLastAccess,
                          const SKZFileTime* pLastWrite)
{
    int64_t access = 0, modification = 0;
    if (pLastAccess)
        FileTimeToUnixTime(&access, pLastAccess);
    if (pLastWrite)
        FileTimeToUnixTime(&modification, pLastWrite);
    struct utimbuf times;
    times.actime = static_cast<time_t>(access);
    times.modtime = static_cast<time_t>(modification);
    utime(szPath, &times);
    return true;
}

int CKZFile::CompareFileTime(const SKZFileTime* pA, const SKZFileTime* pB)
{
    if (!pA || !pB)
        return -1;
    if (pA->highDatetime != pB->highDatetime)
        return pA->highDatetime > pB->highDatetime ? 1 : -1;
    if (pA->lowDatetime != pB->lowDatetime)
        return pA->lowDatetime > pB->lowDatetime ? 1 : -1;
    return 0;
}

uint32_t CKZFile::GetChecksum(const char* szPath)
{
    CKZFile file;
    if (!file.Open(szPath, "rb"))
        return 0;
    uint32_t crc = 0;
    std::vector<unsigned char> buffer(256 * 1024);
    for (;;)
    {
        const int count = file.Read(buffer.data(), 1, static_cast<uint32_t>(buffer.size()));
        if (count <= 0)
            break;
        crc = KZCrc32(crc, buffer.data(), static_cast<size_t>(count));
        if (file.EOF2())
            break;
    }
    return static_cast<uint32_t>(crc);
}

bool CKZFile::CollectDirectoryFiles(const char* szDirectory, std::vector<SKZFileInfo>& vecEntries, bool bRecursive,
                                    const char* szPattern, bool bFullPaths, bool bIncludeDirectories)
{
    const CKZPath directory(szDirectory);
    DIR* pDir = opendir(directory.c_str());
    if (!pDir)
        return true;
    const std::string strBase = WithSlash(directory.GetString());
    bool bResult = true;
    while (dirent* pEntry = readdir(pDir))
    {
        const char* szName = pEntry->d_name;
        if (strcmp(szName, ".") == 0 || strcmp(szName, "..") == 0)
            continue;
        const std::string strFull = strBase + szName;
        struct stat info;
        if (lstat(strFull.c_str(), &info) != 0)
        {
            bResult = false;
            break;
        }
        if (S_ISREG(info.st_mode))
        {
            if (szPattern && *szPattern && !MatchesPattern(szName, szPattern))
                continue;
            vecEntries.emplace_back(bFullPaths ? strFull.c_str() : szName, static_cast<uint32_t>(info.st_size),
                                    FromSeconds(info.st_mtime), 0);
        }
        else if (S_ISDIR(info.st_mode))
        {
            if (bIncludeDirectories)
                vecEntries.emplace_back(bFullPaths ? CKZPath(strFull).c_str() : szName, 0, SKZFileTime(),
                                        SKZFileInfo::FLAG_DIRECTORY);
            if (bRecursive &&
                !CollectDirectoryFiles(strFull.c_str(), vecEntries, true, szPattern, bFullPaths, bIncludeDirectories))
            {
                bResult = false;
                break;
            }
        }
    }
    closedir(pDir);
    return bResult;
}

bool CKZFile::CreateDir(const char* szPath, bool bRecursive)
{
    if (CKZPath(szPath).Exist())
        return true;
    if (bRecursive)
        return *szPath == 0 || CreateDirectoryRecursive(szPath);
    return mkdir(szPath, 0775) == 0;
}

bool CKZFile::CreateDirectoryRecursive(const char* szPath)
{
    // Every directory along the path, the first component of a relative path included.
    const std::string strPath = CKZPath::Slashify(szPath).GetString();
    for (size_t slash = strPath.find('/', 1); slash != std::string::npos; slash = strPath.find('/', slash + 1))
    {
        const std::string strPrefix = strPath.substr(0, slash);
        if (!DirectoryExists(strPrefix.c_str()))
            mkdir(strPrefix.c_str(), 0775);
    }
    return strPath.empty() || DirectoryExists(strPath.c_str()) || mkdir(strPath.c_str(), 0775) == 0;
}

bool CKZFile::CreateTempDirectory(CKZPath& path)
{
    path = CKZPath::GenerateTempFolderPath();
    return path.Exist() || path.empty() || CreateDirectoryRecursive(path.c_str());
}

bool CKZFile::RemoveFile(const char* szPath)
{
    return remove(szPath) == 0;
}

bool CKZFile::RemoveDir(const char* szPath)
{
    return RemoveDirectoryContents(szPath) && rmdir(szPath) == 0;
}

bool CKZFile::RemoveDirectoryContents(const char* szPath)
{
    std::vector<SKZFileInfo> vecEntries;
    CollectDirectoryFiles(szPath, vecEntries, true, nullptr, true, true);
    for (const SKZFileInfo& entry : vecEntries)
        if (!entry.IsDirectory())
            remove(entry.name);
    for (auto it = vecEntries.rbegin(); it != vecEntries.rend(); ++it)
        if (it->IsDirectory() && rmdir(it->name) != 0)
            return false;
    return true;
}

bool CKZFile::Rename(const char* szFrom, const char* szTo)
{
    return rename(szFrom, szTo) == 0;
}

bool CKZFile::SetCurrentDir(const char* szPath)
{
    return chdir(szPath) == 0;
}

bool CKZFile::Copy(const char* szFrom, const char* szTo)
{
    std::ifstream in(szFrom, std::ios::binary);
    if (!in)
        return false;
    std::ofstream out(szTo, std::ios::binary);
    if (!out)
        return false;
    out << in.rdbuf();
    out.flush();
    return !in.bad() && !out.fail();
}

bool CKZFile::ReadText(std::string& strText, const char* szPath)
{
    CKZFile file;
    if (!file.OpenInMemory(szPath))
        return false;
    const char* pStart = static_cast<const char*>(file.GetFileStartPtr());
    strText.assign(pStart, static_cast<size_t>(file.GetLength()));
    return true;
}

bool CKZFile::CreateTextFile(const char* szPath, const std::string& strText)
{
    CKZFile file;
    if (!file.Open(szPath, "wt"))
        return false;
    file.Write(strText.data(), 1, static_cast<int>(strText.size()));
    return file.Good();
}

bool CKZFile::CreateEmptyFile(const char* szPath)
{
    CKZFile file;
    return file.Open(szPath, "wb");
}

bool CKZFile::ShowFileInExplorer(const char* szPath)
{
    KZPlatform::RevealFile(szPath);
    return true;
}

bool CKZFile::OpenFileWithDefaultApplication(const char* szPath)
{
    KZPlatform::OpenWithDefaultApplication(szPath);
    return true;
}

template <typename T> void CKZFileV::Elements(T* pValues, int count, uint32_t dwMinVersion)
{
    if (m_dwVersion < dwMinVersion || count <= 0)
        return;
    if (!m_bWrite)
    {
        // Element size 1: every back end then answers bytes, so a short read shows.
        const int bytes = static_cast<int>(sizeof(T)) * count;
        if (Read(pValues, 1, bytes) != bytes)
            m_bShortRead = true;
        if (m_bSwapEndian)
            for (int i = 0; i < count; ++i)
            {
                uint8_t* p = reinterpret_cast<uint8_t*>(pValues + i);
                std::reverse(p, p + sizeof(T));
            }
        return;
    }
    if (!m_bSwapEndian)
    {
        Write(pValues, sizeof(T), count);
        if (m_bPad && sizeof(T) == 2 && count % 2)
            Padding(2);
        return;
    }
    std::vector<T> vecSwapped(pValues, pValues + count);
    for (T& value : vecSwapped)
    {
        uint8_t* p = reinterpret_cast<uint8_t*>(&value);
        std::reverse(p, p + sizeof(T));
    }
    Write(vecSwapped.data(), sizeof(T), count);
}

void CKZFileV::Padding(int count)
{
    static const uint8_t s_zeros[4] = {0, 0, 0, 0};
    Write(s_zeros, 1, count);
}

void CKZFileV::Bytes(void* pValues, int count, uint32_t dwMinVersion)
{
    if (m_dwVersion < dwMinVersion || count <= 0)
        return;
    if (!m_bWrite)
    {
        if (Read(pValues, 1, count) != count)
            m_bShortRead = true;
        return;
    }
    Write(pValues, 1, count);
    if (m_bPad && count % 4)
        Padding(4 - count % 4);
}

bool CKZFileV::SerializeBool(bool bValue, uint32_t dwMinVersion)
{
    int32_t value = bValue ? 1 : 0;
    Serialize(&value, 1, dwMinVersion);
    return value != 0;
}

uint8_t CKZFileV::SerializeByte(uint8_t value, uint32_t dwMinVersion)
{
    if (m_dwVersion < dwMinVersion)
        return value;
    if (!m_bWrite)
    {
        if (Read(&value, 1, 1) != 1)
            m_bShortRead = true;
        return value;
    }
    Write(&value, 1, 1);
    if (m_bPad)
        Padding(3);
    return value;
}

void CKZFileV::WriteString(char* pBytes, uint32_t length)
{
    uint32_t word = length;
    const bool bScramble = m_bCryptStrings && length > 0 && length <= 0xFFFFFF;
    const uint32_t key = length % 16 + 1;
    if (bScramble)
    {
        word = (key << 24) | length;
        for (uint32_t i = 0; i < length; ++i)
            pBytes[i] = static_cast<char>(static_cast<uint8_t>(pBytes[i]) - key);
    }
    Serialize(&word, 1);
    Write(pBytes, 1, static_cast<int>(length));
    if (bScramble)
        for (uint32_t i = 0; i < length; ++i)
            pBytes[i] = static_cast<char>(static_cast<uint8_t>(pBytes[i]) + key);
    if (m_bPad && length % 4)
        Padding(static_cast<int>(4 - length % 4));
}

uint32_t CKZFileV::ReadLengthWord(uint32_t* pKey, const char* szFunction, uint32_t dwLine)
{
    uint32_t word = 0;
    // Element size 1: every back end then answers the number of bytes.
    if (Read(&word, 1, 4) != 4)
    {
        m_bShortRead = true;
        return 0;
    }
    if (m_bSwapEndian)
    {
        uint8_t* p = reinterpret_cast<uint8_t*>(&word);
        std::reverse(p, p + 4);
    }
    *pKey = 0;
    if (word < 0x1000000)
        return static_cast<int32_t>(word) < 0 ? 0 : word;
    *pKey = word >> 24;
    const uint32_t length = word & 0xFFFFFF;
    if (*pKey != (length & 0xF) + 1)
    {
        const CKZLog::SEventRecord record = {s_szFile, szFunction, "Crypto == 1u+(iLen & 0x00000000f)",
                                             CKZLog::EVENT_ASSERT, 0, dwLine};
        KZ_REPORT_EVENT(record, "%s", "");
    }
    return length;
}

void CKZFileV::SerializeSTLString(std::string& str, uint32_t dwMinVersion)
{
    if (m_dwVersion < dwMinVersion)
        return;
    if (m_bWrite)
    {
        WriteString(&str[0], static_cast<uint32_t>(str.size()));
        return;
    }
    uint32_t key = 0;
    const uint32_t length = ReadLengthWord(&key, "SerializeSTLString", 865);
    str.clear();
    if (length == 0)
        return;
    // A length word is outside data: never allocate much more than the file holds.
    ReadBytes(str, length);
    if (str.size() < length)
        m_bShortRead = true;
    for (char& c : str)
        c = static_cast<char>(static_cast<uint8_t>(c) + key);
}

void CKZFileV::SerializeCString(char* szBuffer, uint32_t bufferSize, uint32_t dwMinVersion)
{
    if (m_dwVersion < dwMinVersion || bufferSize == 0)
        return;
    if (m_bWrite)
    {
        WriteString(szBuffer, static_cast<uint32_t>(strnlen(szBuffer, bufferSize)));
        return;
    }
    uint32_t key = 0;
    const uint32_t length = ReadLengthWord(&key, "SerializeCString", 960);
    szBuffer[0] = 0;
    if (length == 0)
        return;
    const uint32_t kept = std::min(length, bufferSize - 1);
    const int read = std::max(0, Read(szBuffer, 1, static_cast<int>(kept)));
    szBuffer[read] = 0;
    if (uint32_t(read) < kept)
        m_bShortRead = true;
    for (int i = 0; i < read; ++i)
        szBuffer[i] = static_cast<char>(static_cast<uint8_t>(szBuffer[i]) + key);
    // The rest of an over-long string is skipped so that the next element reads from its place.
    if (length > kept)
        Seek(static_cast<int>(length - kept), 1);
}

template void CKZFileV::Elements<int32_t>(int32_t*, int, uint32_t);
template void CKZFileV::Elements<uint32_t>(uint32_t*, int, uint32_t);
template void CKZFileV::Elements<float>(float*, int, uint32_t);
template void CKZFileV::Elements<int16_t>(int16_t*, int, uint32_t);
template void CKZFileV::Elements<uint16_t>(uint16_t*, int, uint32_t);
template void CKZFileV::Elements<double>(double*, int, uint32_t);
