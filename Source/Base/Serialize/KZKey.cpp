#include "Base/Serialize/KZKey.h"

#include "Base/Debug/KZLog.h"
#include "Base/Hash/KZStringHash.h"

#include <map>
#include <mutex>

#include <strings.h>

namespace
{
const CKZLog::SEventRecord s_collisionRecord = {"Source/Base/Serialize/KZKey", "CKZKey",
                                                "it == GetMapKeyToString().end()", CKZLog::EVENT_FATALASSERT, 0,
                                                29};
const CKZLog::SEventRecord s_unknownRecord = {"Source/Base/Serialize/KZKey", "ToString", "false",
                                              CKZLog::EVENT_FATALASSERT, 0, 50};

// The two registries and their lock. They live until the process ends: keys of other files may
// still be looked up while static objects are destroyed, so they are deliberately never freed.
struct SKeyRegistry
{
    std::mutex mutex;
    std::map<uint32_t, const CKZKey*> idToKey;
    std::map<std::string, const CKZKey*> nameToKey;
};

SKeyRegistry& Registry()
{
    static SKeyRegistry* s_pRegistry = new SKeyRegistry;
    return *s_pRegistry;
}
} // namespace

const CKZKey CKZKey::ms_KeyNull(0, "", "", 0);

CKZKey::CKZKey(uint32_t dwId, const char* szName, const char* szFile, uint32_t dwLine)
    : m_dwId(dwId), m_strName(szName), m_strFile(szFile), m_dwLine(dwLine)
{
    SKeyRegistry& registry = Registry();
    std::unique_lock<std::mutex> lock(registry.mutex);
    const auto it = registry.idToKey.find(dwId);
    if (it != registry.idToKey.end())
    {
        const CKZKey other = *it->second;
        // The same declaration again (a header key seen by another source file), or the same name
        // declared elsewhere: the id means the same, so there is nothing to report.
        if ((other.m_dwLine == m_dwLine && strcasecmp(other.m_strFile.c_str(), m_strFile.c_str()) == 0) ||
            other.m_strName == m_strName)
            return;
        // Reported without the lock: a handler may look keys up.
        lock.unlock();
        KZ_REPORT_EVENT(s_collisionRecord,
                        "Key collision!!!\nKey A %s %d file %s line %d\nKey B %s %d file %s line %d",
                        other.m_strName.c_str(), static_cast<int>(other.m_dwId), other.m_strFile.c_str(),
                        static_cast<int>(other.m_dwLine), m_strName.c_str(), static_cast<int>(m_dwId),
                        m_strFile.c_str(), static_cast<int>(m_dwLine));
        lock.lock();
    }
    registry.idToKey[dwId] = this;
    registry.nameToKey[m_strName] = this;
}

CKZKey::CKZKey(uint32_t dwId) : m_dwId(dwId), m_strName(ToString(dwId)), m_dwLine(0) {}

std::string CKZKey::ToString(uint32_t dwId)
{
    std::string strName;
    if (FindName(dwId, strName))
        return strName;
    KZ_REPORT_EVENT(s_unknownRecord, "No key found");
    return "No key found";
}

bool CKZKey::FindName(uint32_t dwId, std::string& strName)
{
    SKeyRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const auto it = registry.idToKey.find(dwId);
    if (it == registry.idToKey.end())
        return false;
    strName = it->second->m_strName;
    return true;
}

uint32_t CKZKey::ToKey(const std::string& strName)
{
    SKeyRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const auto it = registry.nameToKey.find(strName);
    return it != registry.nameToKey.end() ? it->second->m_dwId : KZEngine::Hash(strName.c_str());
}

size_t CKZKey::GetRegisteredCount()
{
    SKeyRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return registry.idToKey.size();
}
