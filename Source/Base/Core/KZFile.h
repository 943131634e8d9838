#pragma once
// The file object of the engine, the versioned typed reader/writer over it, and the static
// file-system operations the library needs.

#include "Base/Core/FileIO/KZPath.h"
#include "Base/Core/KZFileMem.h"
#include "Base/Core/KZIOInterface.h"

#include <cstdint>
#include <string>
#include <vector>

// A file time: 100-nanosecond intervals since 1601-01-01 UTC, low word first.
struct SKZFileTime
{
    uint32_t lowDatetime = 0;
    uint32_t highDatetime = 0;

    uint64_t Get() const { return (uint64_t(highDatetime) << 32) | lowDatetime; }
    void Set(uint64_t value)
    {
        lowDatetime = static_cast<uint32_t>(value);
        highDatetime = static_cast<uint32_t>(value >> 32);
    }
    bool operator==(const SKZFileTime& other) const
    {
        return lowDatetime == other.lowDatetime && highDatetime == other.highDatetime;
    }
    bool operator!=(const SKZFileTime& other) const { return !(*this == other); }
};

void UnixTimeToFileTime(int64_t seconds, SKZFileTime* pTime);
void FileTimeToUnixTime(int64_t* pSeconds, const SKZFileTime* pTime);
// Appends the local time as "%Y-%m-%d %H:%M:%S"; nothing for a null time.
void FileTimeToStr(std::string& strOut, const SKZFileTime* pTime);

// One entry of a directory listing.
struct SKZFileInfo
{
    enum : uint32_t
    {
        FLAG_DIRECTORY = 1,
    };
    SKZFileInfo() = default;
    // The name is cut to 511 bytes when it is longer.
    SKZFileInfo(const char* szName, uint32_t dwSize, const SKZFileTime& time, uint32_t dwFlags);
    bool operator==(const SKZFileInfo& other) const;
    bool IsDirectory() const { return (flags & FLAG_DIRECTORY) != 0; }

    char name[512] = {0};
    uint32_t size = 0;
    SKZFileTime time;
    uint32_t flags = 0;
};

class CKZFile
{
public:
    CKZFile();
    explicit CKZFile(CKZIOInterface& ioInterface);
    virtual ~CKZFile();
    CKZFile(const CKZFile&) = delete;
    CKZFile& operator=(const CKZFile&) = delete;

    bool Open(const char* szPath, const char* szMode);
    bool Open(const CKZPath& path, const char* szMode) { return Open(path.c_str(), szMode); }
    bool OpenInMemory(const char* szPath);
    bool OpenInMemory();
    bool OpenVirtualFile(uint32_t size, const char* szMode);
    void Close();
    bool IsOpen() const { return m_pFile != nullptr; }

    int Read(void* pBuffer, int elementSize, int count);
    // Reads up to `length` bytes into the string, which ends as long as what arrived. It grows with
    // the bytes that come, so a length taken from outside data never needs the file's length.
    void ReadBytes(std::string& str, uint32_t length);
    int Write(const void* pBuffer, int elementSize, int count);
    int Tell();
    int GetPosition() { return Tell(); }
    int Seek(int offset, int origin);
    int SeekToBegin() { return Seek(0, 0); }
    int SeekToEnd();
    bool EOF2();
    bool Good() const;
    int GetLength();
    void* GetFileStartPtr();
    void* GetFilePtr();
    // The stream handle of the standard back end (a FILE*), or the interface's own handle.
    void* GetHandle() const { return m_pFile; }
    CKZIOInterface* GetIOInterface() const { return m_pIOInterface; }
    bool IsWriting() const { return m_bWrite; }

    const CKZPath& GetFilePath() const { return m_path; }
    void SetFilePath(const char* szPath) { m_path = CKZPath::FilePath(szPath); }
    std::string GetFileName() const { return m_path.SubPath(KZ_PATH_FILE_TITLE | KZ_PATH_EXTENSION); }
    std::string GetExtension() const { return m_path.SubPath(KZ_PATH_EXTENSION); }

    // Text lines end in "\r\n"; GetLine reads at most 512 characters.
    void PutLine(const char* szText);
    std::string GetLine();

    static bool FileExists(const char* szPath, CKZIOInterface* pInterface = nullptr, uint32_t* pSize = nullptr);
    static bool FileExists(const CKZPath& path, CKZIOInterface* pInterface = nullptr, uint32_t* pSize = nullptr)
    {
        return FileExists(path.c_str(), pInterface, pSize);
    }
    static bool FileExists(const std::string& strPath, CKZIOInterface* pInterface = nullptr,
                           uint32_t* pSize = nullptr)
    {
        return FileExists(strPath.c_str(), pInterface, pSize);
    }
    static bool DirectoryExists(const char* szPath);
    static uint32_t GetFileSize(const char* szPath);
    static bool GetFileTime(const char* szPath, SKZFileTime* pCreation, SKZFileTime* pLastAccess,
                            SKZFileTime* pLastWrite);
    static bool SetFileTime(const char* szPath, const SKZFileTime* pCreation, const SKZFileTime* pLastAccess,
                            const SKZFileTime* pLastWrite);
    static int CompareFileTime(const SKZFileTime* pA, const SKZFileTime* pB);
    // CRC-32 of the whole file; 0 when it cannot be read.
    static uint32_t GetChecksum(const char* szPath);
    static bool CollectDirectoryFiles(const char* szDirectory, std::vector<SKZFileInfo>& vecEntries, bool bRecursive,
                                      const char* szPattern, bool bFullPaths, bool bIncludeDirectories);
    static bool CreateDir(const char* szPath, bool bRecursive);
    static bool CreateDir(const CKZPath& path, bool bRecursive) { return CreateDir(path.c_str(), bRecursive); }
    static bool CreateDirectoryRecursive(const char* szPath);
    static bool CreateTempDirectory(CKZPath& path);
    static bool RemoveFile(const char* szPath);
    static bool RemoveDir(const char* szPath);
    static bool RemoveDirectoryContents(const char* szPath);
    static bool Rename(const char* szFrom, const char* szTo);
    static bool SetCurrentDir(const char* szPath);
    static bool Copy(const char* szFrom, const char* szTo);
    static bool ReadText(std::string& strText, const char* szPath);
    static bool CreateTextFile(const char* szPath, const std::string& strText);
    static bool CreateEmptyFile(const char* szPath);
    static bool ShowFileInExplorer(const char* szPath);
    static bool OpenFileWithDefaultApplication(const char* szPath);

protected:
    CKZIOInterfaceMem m_memIO;
    CKZPath m_path;
    void* m_pFile = nullptr;
    CKZIOInterface* m_pIOInterface;
    bool m_bInMemory = false;
    bool m_bVirtualFile = false;
    bool m_bWrite = false;
};

// Typed, versioned reading and writing: one call serializes a value in the direction the file was
// opened for. Elements whose minimum version is above the file's version are skipped.
class CKZFileV : public CKZFile
{
public:
    CKZFileV() = default;
    explicit CKZFileV(CKZIOInterface& ioInterface) : CKZFile(ioInterface) {}

    void Serialize(int32_t* pValues, int count, uint32_t dwMinVersion = 0) { Elements(pValues, count, dwMinVersion); }
    void Serialize(uint32_t* pValues, int count, uint32_t dwMinVersion = 0) { Elements(pValues, count, dwMinVersion); }
    void Serialize(float* pValues, int count, uint32_t dwMinVersion = 0) { Elements(pValues, count, dwMinVersion); }
    void Serialize(int16_t* pValues, int count, uint32_t dwMinVersion = 0) { Elements(pValues, count, dwMinVersion); }
    void Serialize(uint16_t* pValues, int count, uint32_t dwMinVersion = 0) { Elements(pValues, count, dwMinVersion); }
    void Serialize(double* pValues, int count, uint32_t dwMinVersion = 0) { Elements(pValues, count, dwMinVersion); }
    void Serialize(char* pValues, int count, uint32_t dwMinVersion = 0) { Bytes(pValues, count, dwMinVersion); }
    void Serialize(bool* pValues, int count, uint32_t dwMinVersion = 0) { Bytes(pValues, count, dwMinVersion); }
    void Serialize(uint8_t* pValues, int count, uint32_t dwMinVersion = 0) { Bytes(pValues, count, dwMinVersion); }
    bool SerializeBool(bool bValue, uint32_t dwMinVersion = 0);
    uint8_t SerializeByte(uint8_t value, uint32_t dwMinVersion = 0);
    void SerializeSTLString(std::string& str, uint32_t dwMinVersion = 0);
    // Reading needs a buffer of at least bufferSize bytes; a longer stored string is cut to fit.
    void SerializeCString(char* szBuffer, uint32_t bufferSize, uint32_t dwMinVersion = 0);

    uint32_t m_dwVersion = 0;
    // Set when a read got fewer bytes than it asked for (the file ended early); never cleared.
    bool m_bShortRead = false;
    bool m_bSwapEndian = false;
    bool m_bPad = false;
    bool m_bCryptStrings = false;

private:
    template <typename T> void Elements(T* pValues, int count, uint32_t dwMinVersion);
    void Bytes(void* pValues, int count, uint32_t dwMinVersion);
    void Padding(int count);
    // Reads a length word; answers the length and the key of a scrambled string.
    uint32_t ReadLengthWord(uint32_t* pKey, const char* szFunction, uint32_t dwLine);
    void WriteString(char* pBytes, uint32_t length);
};
