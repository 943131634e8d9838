#include "Base/Serialize/KZKey.h"

#include "Base/Debug/KZLog.h"
#include "Base/Hash/KZStringHash.h"

#include <strings.h>

namespace
{
const CKZLog::SEventRecord s_collisionRecord = {"Source/Base/Serialize/KZKey", "CKZKey",
                                                "it == GetMapKeyToString().end()", CKZLog::EVENT_FATALASSERT, 0,
                                                29};
const CKZLog::SEventRecord s_unknownRecord = {"Source/Base/Serialize/KZKey", "ToString", "false",
                                              CKZLog::EVENT_FATALASSERT, 0, 50};
}

const CKZKey CKZKey::ms_KeyNull(0, "", "", 0);

// The registries live until the process ends: keys of other files may still be looked up while
// static objects are destroyed, so they are deliberately never freed.
std::map<uint32_t, CKZKey*>& CKZKey::GetMapKeyToString()
{
    static std::map<uint32_t, CKZKey*>* s_pMap = new std::map<uint32_t, CKZKey*>;
    return *s_pMap;
}

std::map<std::string, CKZKey*>& CKZKey::GetMapStringToKey()
{
    static std::map<std::string, CKZKey*>* s_pMap = new std::map<std::string, CKZKey*>;
    return *s_pMap;
}

CKZKey::CKZKey(uint32_t dwId, const char* szName, const char* szFile, uint32_t dwLine)
    : m_dwId(dwId), m_strName(szName), m_strFile(szFile), m_dwLine(dwLine)
{
    const auto it = GetMapKeyToString().find(dwId);
    if (it != GetMapKeyToString().end())
    {
        const CKZKey& other = *it->second;
        // The same declaration again (a header key seen by another source file), or the same name
        // declared elsewhere: the id means the same, so there is nothing to report.
        if ((other.m_dwLine == m_dwLine && strcasecmp(other.m_strFile.c_str(), m_strFile.c_str()) == 0) ||
            other.m_strName == m_strName)
            return;
        KZ_REPORT_EVENT(s_collisionRecord,
                        "Key collision!!!\nKey A %s %d file %s line %d\nKey B %s %d file %s line %d",
                        other.m_strName.c_str(), static_cast<int>(other.m_dwId), other.m_strFile.c_str(),
                        static_cast<int>(other.m_dwLine), m_strName.c_str(), static_cast<int>(m_dwId),
                        m_strFile.c_str(), static_cast<int>(m_dwLine));
    }
    GetMapKeyToString()[dwId] = this;
    GetMapStringToKey()[m_strName] = this;
}

CKZKey::CKZKey(uint32_t dwId) : m_dwId(dwId), m_strName(ToString(dwId)), m_dwLine(0) {}

std::string CKZKey::ToString(uint32_t dwId)
{
    const auto it = GetMapKeyToString().find(dwId);
    if (it != GetMapKeyToString().end())
        return it->second->m_strName;
    KZ_REPORT_EVENT(s_unknownRecord, "No key found");
    return "No key found";
}

uint32_t CKZKey::ToKey(const std::string& strName)
{
    const auto it = GetMapStringToKey().find(strName);
    return it != GetMapStringToKey().end() ? it->second->m_dwId : KZEngine::Hash(strName.c_str());
}
