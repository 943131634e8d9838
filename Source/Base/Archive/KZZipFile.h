#pragma once
// Zip archives through minizip: extraction (two passes, directories first), single-entry reading
// into memory with the entry cipher, and writing of plain and enciphered entries.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <unzip.h>
#include <zip.h>

typedef void (*KZZipProgressCallback)(void* pContext, uint32_t dwDone, uint32_t dwTotal);

void KZZipFileNoopProgressCallback(void* pContext, uint32_t dwDone, uint32_t dwTotal);

// The context of FileUnzipCallback: the unzip worker's lock and counters.
struct SKZUnzipProgress
{
    std::mutex* pMutex;
    uint64_t* pqwDone;
    uint64_t* pqwTotal;
};
void FileUnzipCallback(void* pContext, uint32_t dwDone, uint32_t dwTotal);

bool IsDir(const unz_file_info& info);
bool IsArchive(const unz_file_info& info);
void change_file_date(const char* szPath, uLong dosDate, tm_unz tmuDate, int bLocalTime);
int filetime(const char* szPath, tm_zip* pTmZip, uLong* pDosDate, int unused);

class CKZZipFile
{
public:
    CKZZipFile() = default;
    virtual ~CKZZipFile();
    CKZZipFile(const CKZZipFile&) = delete;
    CKZZipFile& operator=(const CKZZipFile&) = delete;

    int Open(const char* szPath, int bRead, const char* szPassword, int bAppend);
    int Close();
    // Extracts every entry below szDestination (null: beside the archive). An entry whose name
    // would leave that directory, that cannot be read in full with its size and CRC-32, that uses a
    // method other than stored or deflate, or whose file cannot be written ends the extraction with
    // false and an Error event naming it; that entry leaves no file under its name.
    int Extract(const char* szDestination, KZZipProgressCallback pCallback, void* pContext,
                std::vector<std::string>* pWrittenPaths);
    // The current entry in a malloc'd buffer (free it), deciphered when it is an enciphered entry;
    // null (reported) when the entry is damaged.
    uint8_t* ExtractToMemory(uint32_t dwSecondKey, uint32_t* pdwLength);
    int AddFile(const char* szSourcePath, const char* szName, bool bDirectory);
    int AddCryptoFile(const char* szSourcePath, const char* szKey, const char* szSecondKey);
    static uint32_t GetChecksumFromZip(const char* szArchivePath, const char* szEntryName);

private:
    bool ReadEntryInfo(unz_file_info& info, std::string& strName, uint8_t* pExtra = nullptr);
    // The current entry's information and its name with "/" separators; false (reported) when it
    // cannot be read or the name would leave the destination.
    bool ReadEntry(unz_file_info& info, std::string& strName);

    unzFile m_pUnzFile = nullptr;
    zipFile m_pZipFile = nullptr;
    std::string m_strArchivePath;
    std::string m_strPassword;
    bool m_bPassword = false;
    int m_bLocalTime = 0;
    // An archive with no entries at all, which the zip library does not open.
    bool m_bEmptyArchive = false;
};
