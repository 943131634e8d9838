#pragma once
// The catalogue of the game client's files: one record per file, keyed by the file's name, loaded
// from and saved to the cache file (versions up to 261), tested against the files on disk, and
// reported as zip and stage tables.

#include "Base/Core/KZFileDetails.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class CKZIOInterface;

class CKZFileTimeCache
{
public:
    enum EResult : uint32_t
    {
        RESULT_OK = 0,
        RESULT_CHANGED = 1,
        RESULT_NOT_FOUND = 2,  // not in the catalogue or user data differs; AddFile: a file unreadable
        RESULT_MISSING = 3,    // missing from disc; Verify*: not in the catalogue
        RESULT_NO_TIME = 4,
        RESULT_CHECKSUM = 5,
        RESULT_INVALID_NAME = 6,
        RESULT_SIZE = 7,
    };
    static constexpr uint32_t kSaveVersion = 261;

    CKZFileTimeCache() = default;
    ~CKZFileTimeCache();
    CKZFileTimeCache(const CKZFileTimeCache&) = delete;
    CKZFileTimeCache& operator=(const CKZFileTimeCache&) = delete;

    bool Initialize(const char* szCachePath, const char* szIgnoreListPath, CKZIOInterface* pInterface);
    void Clear();
    uint32_t Serialize(CKZSerializer* pSerializer, const std::vector<std::string>* pIgnoreTitles);
    bool SaveCache(const char* szPath) const;

    uint32_t AddFile(const char* szOriginalFilePath, const char* szExportedFilePath, int32_t iPrio,
                     uint32_t dwUserData, const char* szRelativePath, bool bUnused);
    bool RemoveFile(const char* szKey);
    uint32_t HasFileChanged(const char* szPath, uint32_t dwUnused);
    uint32_t HasFileChanged(const char* szPath, const CKZFileDetails& details, std::string& strMessage,
                            uint32_t dwUserData) const;
    static uint32_t CalculateChecksum(const void* pData, uint32_t dwLength);

    bool SetCompressedSize(const char* szPath, uint32_t dwSize);
    bool SetDownloadStage(const char* szPath, uint32_t dwStage, const char* szDependee);
    bool SetDownloadStage(const std::string& strPath, uint32_t dwStage, const std::string& strDependee)
    {
        return SetDownloadStage(strPath.c_str(), dwStage, strDependee.c_str());
    }
    bool SetDownloadStage(const std::string& strPath, uint32_t dwStage)
    {
        return SetDownloadStage(strPath.c_str(), dwStage, nullptr);
    }
    uint32_t GetDownloadStage(const char* szPath) const;
    bool SetPathRelativeToCacheFile(const std::string& strPath);
    uint32_t VerifyFilename(const char* szPath) const;
    uint32_t VerifyFilesize(const char* szPath, uint32_t dwSize) const;
    uint32_t VerifyChecksum(const char* szPath, uint32_t dwCrc, bool bCompareWithOriginal) const;
    CKZFileDetails* GetFileDetails(const char* szPath) const;
    const std::map<std::string, CKZFileDetails*>& GetRawData() const { return m_mapFiles; }
    const std::string& GetLastError() const { return m_strLastError; }

    void ZipSplit(int32_t iMaxZipSize);
    bool SaveZipInfo(const std::string& strPath, const std::string& strRoot) const;
    bool SaveDownloadStageInfo(const std::string& strPath) const;

    static uint32_t GetFileVersionFromFilePath(const CKZPath& path);
    static uint32_t GetFileCountFromFilePath(const CKZPath& path);

    // A catalogue name is a plain file name.
    static bool IsPlainFileName(const std::string& strName);

private:
    void Store(CKZFileDetails* pDetails);

    std::string m_strLastError;
    std::map<std::string, CKZFileDetails*> m_mapFiles;
};
