#include "System/Util/KZFileTimeCache.h"

#include "Base/Core/KZFile.h"
#include "Base/Debug/KZLog.h"
#include "Base/Debug/KZOutput.h"
#include "Base/Hash/KZCrc32.h"
#include "Base/Util/KZString.h"
#include "System/Studio/KZSysPath.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <memory>
#include <set>

namespace
{
const char* const s_szFile = "Source/System/Util/KZFileTimeCache";
const uint32_t kUnread = 0xFFFFFFFF;
const size_t kMaxText = 255; // names and paths live in 256-byte buffers

const CKZLog::SEventRecord s_recordOriginal = {s_szFile, "AddFile", "szOriginalFilePath", CKZLog::EVENT_ASSERT, 0, 589};
const CKZLog::SEventRecord s_recordExported = {s_szFile, "AddFile", "szExportedFilePath", CKZLog::EVENT_ASSERT, 0, 590};
const CKZLog::SEventRecord s_recordDrive = {s_szFile, "AddFile",
                                            "CKZPath::IsRelativePath(strFilePathRelativeToGameRoot.c_str())",
                                            CKZLog::EVENT_ASSERT, 0, 653};
const CKZLog::SEventRecord s_recordEmptyKey = {s_szFile, "AddFile", "", CKZLog::EVENT_ERROR, 0, 656};
const CKZLog::SEventRecord s_recordEmptyRelative = {s_szFile, "AddFile", "", CKZLog::EVENT_ERROR, 0, 661};
const CKZLog::SEventRecord s_recordChangedPath = {s_szFile, "HasFileChanged", "szOriginalFilePath",
                                                  CKZLog::EVENT_ASSERT, 0, 559};
const CKZLog::SEventRecord s_recordZipStream = {s_szFile, "SaveZipInfo", "!f.fail()", CKZLog::EVENT_ASSERT, 0, 381};
const CKZLog::SEventRecord s_recordZipExists = {s_szFile, "SaveZipInfo",
                                                "CKZFile::FileExists(strAbsolutePath.c_str())", CKZLog::EVENT_ASSERT,
                                                0, 392};

const CKZKey& CountKey()
{
    static const CKZKey s_key(KZEngine::Hash("count"), "count", s_szFile, 295);
    return s_key;
}

// The file-name part of a path (after the last '/', extension included): the catalogue key.
std::string KeyOf(const char* szPath)
{
    return CKZPath::FilePath(szPath).SubPath(KZ_PATH_FILE_TITLE | KZ_PATH_EXTENSION);
}

std::string TitleOf(const std::string& strName)
{
    return CKZPath(strName).SubPath(KZ_PATH_FILE_TITLE);
}

bool ChecksumOfFile(const char* szPath, uint32_t* pCrc, uint32_t* pLength)
{
    CKZFile file;
    if (!file.OpenInMemory(szPath))
        return false;
    const uint32_t dwLength = static_cast<uint32_t>(file.GetLength());
    *pCrc = CKZFileTimeCache::CalculateChecksum(file.GetFileStartPtr(), dwLength);
    if (pLength)
        *pLength = dwLength;
    return true;
}

// Reads the records of one cache file; every string and number is checked as outside data.
class CCacheReader
{
public:
    CCacheReader(CKZFileV& file, uint32_t dwVersion) : m_file(file), m_dwVersion(dwVersion) {}

    // False when the file ends inside the record or a name or path is not acceptable.
    bool ReadRecord(std::unique_ptr<CKZFileDetails>& pRecord, bool* pbStop)
    {
        pRecord.reset(new CKZFileDetails);
        CKZFileDetails& r = *pRecord;
        if (m_dwVersion <= 257)
        {
            char szName[56];
            m_file.Serialize(szName, 56);
            if (memchr(szName, 0, sizeof(szName)) == nullptr)
                return false;
            r.m_strName = szName;
        }
        else
            m_file.SerializeSTLString(r.m_strName);
        ReadNumbers(r);
        if (m_dwVersion == 258)
            r.m_dwCompressedSize = r.m_dwSize;
        if (m_dwVersion >= 261)
            m_file.SerializeSTLString(r.m_strFilePath);
        else if (m_dwVersion == 260)
            r.m_strFilePath = "Data/" + r.m_strName;
        if (m_file.m_bShortRead)
            return false;
        // An empty name (260 on) or path (261 on) ends the catalogue as a failure.
        if ((m_dwVersion >= 260 && r.m_strName.empty()) || (m_dwVersion >= 261 && r.m_strFilePath.empty()))
        {
            *pbStop = true;
            return false;
        }
        if (r.m_strName.size() > kMaxText || r.m_strFilePath.size() > kMaxText)
            return false;
        if (!CKZFileTimeCache::IsPlainFileName(r.m_strName))
            return false;
        return r.m_strFilePath.empty() || CKZPath::IsInsideRoot(r.m_strFilePath);
    }

private:
    // The 32-bit numbers between the name and the path, as the version has them, in one read.
    void ReadNumbers(CKZFileDetails& r)
    {
        uint32_t* apFields[10];
        int count = 0;
        apFields[count++] = &r.m_Time.lowDatetime;
        apFields[count++] = &r.m_Time.highDatetime;
        if (m_dwVersion >= 260)
        {
            apFields[count++] = &r.m_dwOriginalCrc;
            apFields[count++] = &r.m_dwExportedCrc;
        }
        if (m_dwVersion >= 258)
        {
            apFields[count++] = reinterpret_cast<uint32_t*>(&r.m_iPrio);
            apFields[count++] = &r.m_dwSize;
        }
        apFields[count++] = &r.m_dwUserData;
        if (m_dwVersion >= 259)
            apFields[count++] = &r.m_dwCompressedSize;
        if (m_dwVersion >= 261)
        {
            apFields[count++] = &r.m_dwZipIndex;
            apFields[count++] = &r.m_dwStage;
        }
        uint32_t adwNumbers[10] = {0};
        m_file.Serialize(adwNumbers, count);
        for (int i = 0; i < count; ++i)
            *apFields[i] = adwNumbers[i];
    }

    CKZFileV& m_file;
    uint32_t m_dwVersion;
};
} // namespace

CKZFileTimeCache::~CKZFileTimeCache()
{
    Clear();
}

void CKZFileTimeCache::Clear()
{
    m_strLastError.clear();
    for (auto& entry : m_mapFiles)
        delete entry.second;
    m_mapFiles.clear();
}

void CKZFileTimeCache::Store(CKZFileDetails* pDetails)
{
    CKZFileDetails*& pSlot = m_mapFiles[pDetails->m_strName];
    delete pSlot;
    pSlot = pDetails;
}

bool CKZFileTimeCache::IsPlainFileName(const std::string& strName)
{
    return strName.find_first_of("/\\") == std::string::npos && strName != "." && strName != "..";
}

bool CKZFileTimeCache::Initialize(const char* szCachePath, const char* szIgnoreListPath, CKZIOInterface* pInterface)
{
    Clear();
    CKZIOInterface* pIO = pInterface ? pInterface : KZFileIO::GetDefaultInterface();
    std::vector<std::string> vecIgnore;
    if (szIgnoreListPath && CKZFile::FileExists(szIgnoreListPath, pIO))
    {
        CKZFile ignoreFile(*pIO);
        if (ignoreFile.OpenInMemory(szIgnoreListPath))
        {
            const char* pText = static_cast<const char*>(ignoreFile.GetFileStartPtr());
            vecIgnore = KZStringTokenize(std::string(pText, strnlen(pText, static_cast<size_t>(ignoreFile.GetLength()))),
                                         "\n\r");
        }
    }
    CKZFileV file(*pIO);
    if (!file.Open(szCachePath, "rb"))
        return false;
    uint32_t dwVersion = kUnread, dwCount = kUnread;
    file.Serialize(&dwVersion, 1);
    file.Serialize(&dwCount, 1);
    if (file.m_bShortRead || dwVersion == kUnread || dwCount == kUnread)
        return false;
    CCacheReader reader(file, dwVersion);
    bool bResult = true;
    for (uint32_t i = 0; i < dwCount; ++i)
    {
        std::unique_ptr<CKZFileDetails> pRecord;
        bool bStop = false;
        if (!reader.ReadRecord(pRecord, &bStop))
        {
            bResult = false;
            break;
        }
        if (!vecIgnore.empty())
        {
            const std::string strCompared = dwVersion <= 257 ? pRecord->m_strName : TitleOf(pRecord->m_strName);
            if (std::find(vecIgnore.begin(), vecIgnore.end(), strCompared) != vecIgnore.end())
                continue;
        }
        Store(pRecord.release());
    }
    file.Close();
    if (!bResult)
        Clear();
    return bResult;
}

uint32_t CKZFileTimeCache::Serialize(CKZSerializer* pSerializer, const std::vector<std::string>* pIgnoreTitles)
{
    uint32_t dwCount = static_cast<uint32_t>(m_mapFiles.size());
    pSerializer->Serialize(CountKey(), dwCount);
    if (pSerializer->IsSaving())
    {
        for (auto& entry : m_mapFiles)
        {
            pSerializer->CreateContainerNode(CKZKey::ms_KeyNull.GetId());
            entry.second->Serialize(pSerializer);
            pSerializer->LeaveScope();
        }
        return dwCount;
    }
    // The count is outside data: never more records than the scope holds containers, since the
    // look-up wraps around and would find the same container again and again.
    dwCount = std::min(dwCount, pSerializer->GetContainerCountInScope());
    uint32_t dwRead = 0;
    for (uint32_t i = 0; i < dwCount; ++i)
    {
        if (!pSerializer->FindContainerByKey(CKZKey::ms_KeyNull.GetId()))
            break;
        std::unique_ptr<CKZFileDetails> pRecord(new CKZFileDetails);
        pRecord->Serialize(pSerializer);
        pSerializer->LeaveScope();
        ++dwRead;
        const bool bIgnored = pIgnoreTitles && !pIgnoreTitles->empty() &&
                              std::find(pIgnoreTitles->begin(), pIgnoreTitles->end(), TitleOf(pRecord->m_strName)) !=
                                  pIgnoreTitles->end();
        if (!bIgnored)
            Store(pRecord.release());
    }
    return dwRead;
}

bool CKZFileTimeCache::SaveCache(const char* szPath) const
{
    CKZFileV file;
    if (!file.Open(szPath, "wb"))
        return false;
    uint32_t dwVersion = kSaveVersion;
    uint32_t dwCount = static_cast<uint32_t>(m_mapFiles.size());
    file.Serialize(&dwVersion, 1);
    file.Serialize(&dwCount, 1);
    for (const auto& entry : m_mapFiles)
    {
        CKZFileDetails r = *entry.second;
        file.SerializeSTLString(r.m_strName);
        file.Serialize(&r.m_Time.lowDatetime, 1);
        file.Serialize(&r.m_Time.highDatetime, 1);
        file.Serialize(&r.m_dwOriginalCrc, 1);
        file.Serialize(&r.m_dwExportedCrc, 1);
        file.Serialize(&r.m_iPrio, 1);
        file.Serialize(&r.m_dwSize, 1);
        file.Serialize(&r.m_dwUserData, 1);
        file.Serialize(&r.m_dwCompressedSize, 1);
        file.Serialize(&r.m_dwZipIndex, 1);
        file.Serialize(&r.m_dwStage, 1);
        std::string strPath = r.GetRelativePath();
        file.SerializeSTLString(strPath);
    }
    return file.Good();
}

uint32_t CKZFileTimeCache::CalculateChecksum(const void* pData, uint32_t dwLength)
{
    return KZCrc32(0, pData, dwLength);
}

uint32_t CKZFileTimeCache::AddFile(const char* szOriginalFilePath, const char* szExportedFilePath, int32_t iPrio,
                                   uint32_t dwUserData, const char* szRelativePath, bool)
{
    if (!szOriginalFilePath)
        KZ_REPORT_EVENT(s_recordOriginal, "%s", "");
    if (!szExportedFilePath)
        KZ_REPORT_EVENT(s_recordExported, "%s", "");
    if (!szOriginalFilePath || !szExportedFilePath)
        return RESULT_NOT_FOUND;
    if (CKZPath::FilePath(szExportedFilePath).SubPath(KZ_PATH_FILE_TITLE) !=
        CKZPath::FilePath(szOriginalFilePath).SubPath(KZ_PATH_FILE_TITLE))
        return RESULT_INVALID_NAME;
    const std::string strKey = KeyOf(szExportedFilePath);
    uint32_t dwOriginalCrc = 0, dwExportedCrc = 0, dwLength = 0;
    if (!ChecksumOfFile(szOriginalFilePath, &dwOriginalCrc, nullptr) ||
        !ChecksumOfFile(szExportedFilePath, &dwExportedCrc, &dwLength))
        return RESULT_NOT_FOUND;
    SKZFileTime times[3];
    if (!CKZFile::GetFileTime(szExportedFilePath, &times[0], &times[1], &times[2]))
        return RESULT_NO_TIME;
    std::string strRelative = szRelativePath ? std::string(szRelativePath)
                                             : CKZPath::GetRelativePath(CKZPath::FilePath(szOriginalFilePath).c_str(),
                                                                        KZSystem::GetProjectPath().c_str());
    if (!strRelative.empty() && strRelative[0] == '/')
        strRelative.erase(0, 1);
    if (!CKZPath::IsRelativePath(strRelative.c_str()))
        KZ_REPORT_EVENT(s_recordDrive, "relative paths should not contain drive");
    if (strKey.empty())
    {
        KZ_REPORT_EVENT(s_recordEmptyKey, "filename is empty!");
        return RESULT_INVALID_NAME;
    }
    if (KeyOf(strRelative.c_str()).empty())
    {
        KZ_REPORT_EVENT(s_recordEmptyRelative, "filename is empty in relative path when adding file %s", strKey.c_str());
        return RESULT_INVALID_NAME;
    }
    auto it = m_mapFiles.find(strKey);
    if (it == m_mapFiles.end())
    {
        Store(new CKZFileDetails(strKey.c_str(), strRelative.c_str(), times[2], dwOriginalCrc, dwExportedCrc, iPrio,
                                 dwLength, dwLength, dwUserData, 0, 0));
        return RESULT_OK;
    }
    CKZFileDetails& r = *it->second;
    r.m_strFilePath = strRelative;
    r.m_Time = times[2];
    r.m_dwOriginalCrc = dwOriginalCrc;
    r.m_dwExportedCrc = dwExportedCrc;
    r.m_iPrio = iPrio;
    r.m_dwSize = dwLength;
    r.m_dwUserData = dwUserData;
    return RESULT_OK;
}

bool CKZFileTimeCache::RemoveFile(const char* szKey)
{
    auto it = m_mapFiles.find(szKey);
    if (it == m_mapFiles.end())
        return false;
    delete it->second;
    m_mapFiles.erase(it);
    return true;
}

uint32_t CKZFileTimeCache::HasFileChanged(const char* szPath, uint32_t)
{
    const CKZFileDetails* pDetails = GetFileDetails(szPath);
    if (!pDetails)
        return RESULT_NOT_FOUND;
    return HasFileChanged(szPath, *pDetails, m_strLastError, 0);
}

uint32_t CKZFileTimeCache::HasFileChanged(const char* szPath, const CKZFileDetails& details, std::string& strMessage,
                                          uint32_t dwUserData) const
{
    if (details.m_dwUserData != dwUserData)
        return RESULT_NOT_FOUND;
    if (!szPath)
    {
        KZ_REPORT_EVENT(s_recordChangedPath, "%s", "");
        return RESULT_MISSING;
    }
    uint32_t dwCrc = 0;
    if (!ChecksumOfFile(szPath, &dwCrc, nullptr))
    {
        strMessage = std::string("File '") + szPath + "' is missing form disc";
        return RESULT_MISSING;
    }
    return dwCrc != details.m_dwOriginalCrc ? RESULT_CHANGED : RESULT_OK;
}

CKZFileDetails* CKZFileTimeCache::GetFileDetails(const char* szPath) const
{
    auto it = m_mapFiles.find(KeyOf(szPath));
    return it == m_mapFiles.end() ? nullptr : it->second;
}

bool CKZFileTimeCache::SetCompressedSize(const char* szPath, uint32_t dwSize)
{
    CKZFileDetails* pDetails = GetFileDetails(szPath);
    if (pDetails)
        pDetails->m_dwCompressedSize = dwSize;
    return pDetails != nullptr;
}

bool CKZFileTimeCache::SetDownloadStage(const char* szPath, uint32_t dwStage, const char* szDependee)
{
    CKZFileDetails* pDetails = GetFileDetails(szPath);
    if (!pDetails)
        return false;
    pDetails->m_dwStage = dwStage;
    pDetails->m_strStagePath = szDependee ? szDependee : "";
    return true;
}

uint32_t CKZFileTimeCache::GetDownloadStage(const char* szPath) const
{
    const CKZFileDetails* pDetails = GetFileDetails(szPath);
    return pDetails ? pDetails->m_dwStage : 0xFFFFFFFF;
}

bool CKZFileTimeCache::SetPathRelativeToCacheFile(const std::string& strPath)
{
    CKZFileDetails* pDetails = GetFileDetails(strPath.c_str());
    if (!pDetails)
        return false;
    pDetails->m_strFilePath = !strPath.empty() && strPath[0] == '\\' ? strPath.substr(1) : strPath;
    return true;
}

uint32_t CKZFileTimeCache::VerifyFilename(const char*) const
{
    return RESULT_OK;
}

uint32_t CKZFileTimeCache::VerifyFilesize(const char* szPath, uint32_t dwSize) const
{
    const CKZFileDetails* pDetails = GetFileDetails(szPath);
    if (!pDetails)
        return RESULT_MISSING;
    return pDetails->m_dwSize == dwSize ? RESULT_OK : RESULT_SIZE;
}

uint32_t CKZFileTimeCache::VerifyChecksum(const char* szPath, uint32_t dwCrc, bool bCompareWithOriginal) const
{
    const CKZFileDetails* pDetails = GetFileDetails(szPath);
    if (!pDetails)
        return RESULT_MISSING;
    const uint32_t dwExpected = bCompareWithOriginal ? pDetails->m_dwOriginalCrc : pDetails->m_dwExportedCrc;
    return dwExpected == dwCrc ? RESULT_OK : RESULT_CHECKSUM;
}

void CKZFileTimeCache::ZipSplit(int32_t iMaxZipSize)
{
    std::vector<CKZFileDetails*> vecRecords;
    for (auto& entry : m_mapFiles)
        vecRecords.push_back(entry.second);
    // Stable, so that the same catalogue always splits the same way.
    std::stable_sort(vecRecords.begin(), vecRecords.end(),
                     [](const CKZFileDetails* a, const CKZFileDetails* b) { return a->m_dwStage < b->m_dwStage; });
    uint32_t dwZip = 0;
    int64_t accumulated = 0; // 64 bits: two large files must not wrap below the limit
    bool bZipEmpty = true;
    uint32_t dwZipStage = 0;
    for (CKZFileDetails* pRecord : vecRecords)
    {
        // A zip belongs to one download stage: a stage that holds a zip back must not hold back files of
        // an earlier stage, so every stage starts a zip of its own.
        if (!bZipEmpty && pRecord->m_dwStage != dwZipStage)
        {
            ++dwZip;
            accumulated = 0;
        }
        pRecord->m_dwZipIndex = dwZip;
        dwZipStage = pRecord->m_dwStage;
        bZipEmpty = false;
        accumulated += pRecord->m_dwSize;
        if (accumulated > iMaxZipSize)
        {
            ++dwZip;
            accumulated = 0;
            bZipEmpty = true;
        }
    }
}

bool CKZFileTimeCache::SaveZipInfo(const std::string& strPath, const std::string& strRoot) const
{
    if (strPath.empty())
        return true;
    std::ofstream f(strPath, std::ios::out | std::ios::trunc);
    if (f.fail())
        KZ_REPORT_EVENT(s_recordZipStream, "%s", "");
    f << "file\tstage\tzipIndex\tdependee\n" << std::flush;
    std::set<std::string> setWritten;
    for (const auto& entry : m_mapFiles)
    {
        const CKZFileDetails& r = *entry.second;
        const std::string strAbsolutePath = r.GetPath(CKZPath(strRoot)).GetString();
        if (!CKZFile::FileExists(strAbsolutePath.c_str()))
        {
            KZ_REPORT_EVENT(s_recordZipExists, "%s", "");
            KZOutput::Print(KZOutput::LEVEL_INFO, "Not found: %s", strAbsolutePath.c_str());
        }
        if (strAbsolutePath.empty())
            continue;
        std::string strUpper = r.m_strName;
        for (char& c : strUpper)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        if (!setWritten.insert(strUpper).second)
            continue;
        f << strAbsolutePath << '\t' << r.m_dwStage << '\t' << r.m_dwZipIndex << '\t' << r.m_strStagePath << '\n'
          << std::flush;
    }
    return true;
}

bool CKZFileTimeCache::SaveDownloadStageInfo(const std::string& strPath) const
{
    if (strPath.empty())
        return true;
    std::ofstream f(strPath, std::ios::out | std::ios::trunc);
    if (f.fail())
    {
        KZ_REPORT_EVENT(s_recordZipStream, "%s", "");
        return false;
    }
    f << "stage\tsize\tcompressedSize\tPercentage\n";
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> mapStages;
    uint32_t dwTotal = 0;
    for (const auto& entry : m_mapFiles)
    {
        auto& sums = mapStages[entry.second->m_dwStage];
        sums.first += entry.second->m_dwSize;
        sums.second += entry.second->m_dwCompressedSize;
        dwTotal += entry.second->m_dwSize;
    }
    for (const auto& stage : mapStages)
    {
        const float fPercentage = static_cast<float>(stage.second.first) / static_cast<float>(dwTotal) * 100.0f;
        f << stage.first << '\t' << stage.second.first << '\t' << stage.second.second << '\t' << fPercentage << '\n';
    }
    return !f.fail();
}

uint32_t CKZFileTimeCache::GetFileVersionFromFilePath(const CKZPath& path)
{
    CKZFileV file;
    if (!file.Open(path.c_str(), "rb"))
        return 0xFFFFFFFF;
    uint32_t dwVersion = 0xFFFFFFFF;
    file.Serialize(&dwVersion, 1);
    return dwVersion;
}

uint32_t CKZFileTimeCache::GetFileCountFromFilePath(const CKZPath& path)
{
    CKZFileV file;
    if (!file.Open(path.c_str(), "rb"))
        return 0;
    uint32_t dwWords[2] = {0, 0};
    file.Serialize(dwWords, 2);
    return file.m_bShortRead ? 0 : dwWords[1];
}
