#include "Base/Core/KZFileDetails.h"

#include "Base/Debug/KZLog.h"

namespace
{
const char* const s_szFile = "Source/Base/Core/KZFileDetails";
const CKZLog::SEventRecord s_recordRelative = {s_szFile, "GetRelativePath", "!m_strFilePath.empty()",
                                               CKZLog::EVENT_ASSERT, 0, 154};
const CKZLog::SEventRecord s_recordPath = {s_szFile, "GetPath", "!m_strFilePath.empty()", CKZLog::EVENT_ASSERT, 0,
                                           163};

// The record's keys in the order of their declaring lines 112 to 123.
enum EKey
{
    KEY_NAME,
    KEY_TIME,
    KEY_ORIGINAL_CRC,
    KEY_EXPORTED_CRC,
    KEY_PATH,
    KEY_PRIO,
    KEY_SIZE,
    KEY_USER_DATA,
    KEY_COMPRESSED_SIZE,
    KEY_ZIP_INDEX,
    KEY_STAGE,
    KEY_STAGE_PATH,
};

const CKZKey& Key(EKey key)
{
    // Keys of the record, declared on first use at their fixed source lines.
    static const CKZKey s_keys[] = {
        {KZEngine::Hash("name"), "name", s_szFile, 112},
        {KZEngine::Hash("time"), "time", s_szFile, 113},
        {KZEngine::Hash("original_crc"), "original_crc", s_szFile, 114},
        {KZEngine::Hash("exported_crc"), "exported_crc", s_szFile, 115},
        {KZEngine::Hash("path"), "path", s_szFile, 116},
        {KZEngine::Hash("prio"), "prio", s_szFile, 117},
        {KZEngine::Hash("size"), "size", s_szFile, 118},
        {KZEngine::Hash("user_data"), "user_data", s_szFile, 119},
        {KZEngine::Hash("compressed_size"), "compressed_size", s_szFile, 120},
        {KZEngine::Hash("zip_index"), "zip_index", s_szFile, 121},
        {KZEngine::Hash("stage"), "stage", s_szFile, 122},
        {KZEngine::Hash("stage_path"), "stage_path", s_szFile, 123},
    };
    return s_keys[key];
}
}

CKZFileDetails::CKZFileDetails(const char* szName, const char* szPath, const SKZFileTime& time,
                               uint32_t dwOriginalCrc, uint32_t dwExportedCrc, int32_t iPrio, uint32_t dwSize,
                               uint32_t dwCompressedSize, uint32_t dwUserData, uint32_t dwStage, uint32_t dwZipIndex)
    : m_strName(szName ? szName : ""), m_Time(time), m_dwOriginalCrc(dwOriginalCrc), m_dwExportedCrc(dwExportedCrc),
      m_iPrio(iPrio), m_dwSize(dwSize), m_dwCompressedSize(dwCompressedSize), m_dwStage(dwStage),
      m_dwZipIndex(dwZipIndex), m_dwUserData(dwUserData), m_strFilePath(szPath ? szPath : "")
{
}

void CKZFileDetails::Serialize(CKZSerializer* pSerializer)
{
    pSerializer->Serialize(Key(KEY_NAME), m_strName, "");
    pSerializer->Serialize(Key(KEY_PATH), m_strFilePath, "");
    pSerializer->Serialize(Key(KEY_STAGE_PATH), m_strStagePath, "");
    pSerializer->Serialize(Key(KEY_TIME), m_Time);
    pSerializer->Serialize(Key(KEY_ORIGINAL_CRC), m_dwOriginalCrc);
    pSerializer->Serialize(Key(KEY_EXPORTED_CRC), m_dwExportedCrc);
    pSerializer->Serialize(Key(KEY_PRIO), m_iPrio);
    pSerializer->Serialize(Key(KEY_SIZE), m_dwSize);
    pSerializer->Serialize(Key(KEY_COMPRESSED_SIZE), m_dwCompressedSize);
    pSerializer->Serialize(Key(KEY_STAGE), m_dwStage);
    pSerializer->Serialize(Key(KEY_ZIP_INDEX), m_dwZipIndex);
    pSerializer->Serialize(Key(KEY_USER_DATA), m_dwUserData);
}

std::string CKZFileDetails::GetRelativePath() const
{
    if (m_strFilePath.empty())
        KZ_REPORT_EVENT(s_recordRelative, "%s", "");
    return m_strFilePath;
}

CKZPath CKZFileDetails::GetPath(const CKZPath& root) const
{
    if (m_strFilePath.empty())
        KZ_REPORT_EVENT(s_recordPath, "%s", "");
    return CKZPath::FilePath(CKZPath(root.c_str(), m_strFilePath.c_str(), nullptr).GetString());
}
