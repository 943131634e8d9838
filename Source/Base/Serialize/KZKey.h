#pragma once
// Serialization keys: every stored value is labelled with the 32-bit hash of a readable name. Each
// declaration registers its key so that ids can be turned back into names and names into ids; two
// different declarations under one id are fatal. Registration and look-ups may run on any thread:
// keys declared as function-local statics register when a worker first uses them.

#include <cstddef>
#include <cstdint>
#include <string>

class CKZKey
{
public:
    // The declaring form: registers the key under its id and name.
    CKZKey(uint32_t dwId, const char* szName, const char* szFile, uint32_t dwLine);
    // A key for a bare id, named by its registered name; not registered.
    explicit CKZKey(uint32_t dwId);

    uint32_t GetId() const { return m_dwId; }
    const std::string& GetName() const { return m_strName; }
    const std::string& GetFile() const { return m_strFile; }
    uint32_t GetLine() const { return m_dwLine; }
    operator uint32_t() const { return m_dwId; }

    // The registered name of an id; an unknown id is a fatal error ("No key found").
    static std::string ToString(uint32_t dwId);
    // The registered name of an id, for callers that handle an unknown id themselves.
    static bool FindName(uint32_t dwId, std::string& strName);
    // The id of a name: the registered one, else the hash a declaration would give.
    static uint32_t ToKey(const std::string& strName);
    // How many ids are registered.
    static size_t GetRegisteredCount();

    static const CKZKey ms_KeyNull;

private:
    uint32_t m_dwId;
    std::string m_strName;
    std::string m_strFile;
    uint32_t m_dwLine;
};

// Declares a file-local key: KZ_KEY(s_keyPath, "szpath");
#define KZ_KEY(variable, name) static const CKZKey variable(KZEngine::Hash(name), name, __FILE__, __LINE__)

// A unique numeric identity of an object, stored under "fileId".
class CKZFileId
{
public:
    CKZFileId() = default;
    explicit CKZFileId(uint32_t dwId) : m_dwId(dwId) {}
    // A new id: the hash of the text of a newly generated UUID.
    void RefreshFileId();
    uint32_t GetId() const { return m_dwId; }
    void SetId(uint32_t dwId) { m_dwId = dwId; }
    bool operator==(const CKZFileId& other) const { return m_dwId == other.m_dwId; }

private:
    uint32_t m_dwId = 0;
};

class CKZSerializer;

class IKZSerializableUniqueObject
{
public:
    virtual ~IKZSerializableUniqueObject() = default;
    // Stores the object's id under "fileId"; ids stay unique within one serializer.
    virtual void Serialize(CKZSerializer* pSerializer);
    CKZFileId& GetFileId() { return m_FileId; }

protected:
    CKZFileId m_FileId;
};
