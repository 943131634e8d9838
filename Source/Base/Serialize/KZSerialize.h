#pragma once
// The keyed binary serializer: a tree of keyed values in two flat buffers, an array of 12-byte nodes
// and a buffer of content records. One Serialize method per object serves both directions: in save
// mode each call records a value, in load mode it looks the value up by key and fills it in.

#include "Base/Core/KZValueType.h"
#include "Base/Hash/KZStringHash.h"
#include "Base/Math/KZMath.h"
#include "Base/Serialize/KZKey.h"

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

struct SKZSerializerNode
{
    enum ENodeType : uint32_t
    {
        NODE_TYPE_CONTAINER = 0x100,
        NODE_TYPE_CONTENT = 0x200,
        NODE_TYPE_ARRAY_CONTENT = 0x400,
        NODE_TYPE_EMBEDDED = 0x800,
    };
    static constexpr uint32_t NO_PARENT = 0xFFFFFFFF;

    uint32_t m_dwKey;
    // Container: index of its parent container; content: offset of its content record; embedded
    // content: the value itself.
    uint32_t m_dwInternalContent;
    uint32_t m_dwFlags;

    bool IsContainer() const { return (m_dwFlags & NODE_TYPE_CONTAINER) != 0; }
    bool IsEmbedded() const { return (m_dwFlags & NODE_TYPE_EMBEDDED) != 0; }
    bool HasContent() const { return (m_dwFlags & (NODE_TYPE_CONTENT | NODE_TYPE_ARRAY_CONTENT)) != 0; }
    uint32_t GetValueType() const { return m_dwFlags & 0xFF; }
};
static_assert(sizeof(SKZSerializerNode) == 12, "the node is the 12-byte unit of the file format");

// One growable byte buffer, growing in steps of 1 MiB. The buffer moves when it grows, so its
// users keep offsets, never pointers.
class CKZSerializeAllocator
{
public:
    CKZSerializeAllocator();
    ~CKZSerializeAllocator();
    CKZSerializeAllocator(const CKZSerializeAllocator&) = delete;
    CKZSerializeAllocator& operator=(const CKZSerializeAllocator&) = delete;

    // Reserves `size` more bytes and answers the offset of the first.
    uint32_t Malloc(uint32_t size);
    uint8_t* GetBase() const { return m_pBase; }
    uint32_t GetUsed() const { return static_cast<uint32_t>(m_pNext - m_pBase); }

private:
    uint32_t m_dwCapacity;
    uint8_t* m_pBase;
    uint8_t* m_pNext;
};

// The serializer's own keys, declared once for every source file that includes this header.
namespace KZSerializeKeys
{
static const CKZKey s_keyVecSize(KZEngine::Hash("vec.size"), "vec.size", "Source/Base/Serialize/KZSerialize.h", 89);
static const CKZKey s_keyArraySaveCount(KZEngine::Hash("array.saveCount"), "array.saveCount",
                                        "Source/Base/Serialize/KZSerialize.h", 90);
static const CKZKey s_keyMapKey(KZEngine::Hash("map.key"), "map.key", "Source/Base/Serialize/KZSerialize.h", 91);
static const CKZKey s_keyMapValue(KZEngine::Hash("map.value"), "map.value", "Source/Base/Serialize/KZSerialize.h",
                                  92);
static const CKZKey s_keyFileId(KZEngine::Hash("fileId"), "fileId", "Source/Base/Serialize/KZSerialize.h", 93);
}

class CKZSerializer;
struct SKZFileTime;

class IKZSerializable
{
public:
    virtual ~IKZSerializable() = default;
    virtual void Serialize(CKZSerializer* pSerializer) = 0;
};

enum SERIALIZE_MODE : uint32_t
{
    SERIALIZE_MODE_LOAD = 0,
    SERIALIZE_MODE_SAVE = 1,
};

// The type number a scalar is stored with.
template <typename T> struct KZSerializeValueType;
template <> struct KZSerializeValueType<int32_t> { static constexpr uint32_t value = KZ_VALUE_INT; };
template <> struct KZSerializeValueType<uint32_t> { static constexpr uint32_t value = KZ_VALUE_UINT; };
template <> struct KZSerializeValueType<float> { static constexpr uint32_t value = KZ_VALUE_FLOAT; };
template <> struct KZSerializeValueType<bool> { static constexpr uint32_t value = KZ_VALUE_BOOL; };
template <> struct KZSerializeValueType<uint16_t> { static constexpr uint32_t value = KZ_VALUE_UINT16; };
template <> struct KZSerializeValueType<uint8_t> { static constexpr uint32_t value = KZ_VALUE_UINT8; };
template <> struct KZSerializeValueType<CKZVector2> { static constexpr uint32_t value = KZ_VALUE_VECTOR2; };
template <> struct KZSerializeValueType<CKZVector3> { static constexpr uint32_t value = KZ_VALUE_VECTOR3; };
template <> struct KZSerializeValueType<CKZVector4> { static constexpr uint32_t value = KZ_VALUE_VECTOR4; };
template <> struct KZSerializeValueType<CKZQuaternion> { static constexpr uint32_t value = KZ_VALUE_QUATERNION; };
template <> struct KZSerializeValueType<CKZColor> { static constexpr uint32_t value = KZ_VALUE_COLOR; };

class CKZSerializer
{
public:
    // Save mode.
    CKZSerializer();
    // The given mode over an empty tree (load mode: the XML reader fills it).
    explicit CKZSerializer(SERIALIZE_MODE eMode);
    // Load mode over a binary image of `size` bytes, used in place (an old-layout image is converted
    // in place first). An image that is not well formed is reported and read as an empty tree.
    CKZSerializer(char* pImage, uint64_t size);
    ~CKZSerializer();
    CKZSerializer(const CKZSerializer&) = delete;
    CKZSerializer& operator=(const CKZSerializer&) = delete;

    SERIALIZE_MODE GetMode() const { return m_eMode; }
    bool IsSaving() const { return m_eMode == SERIALIZE_MODE_SAVE; }
    bool IsLoading() const { return m_eMode == SERIALIZE_MODE_LOAD; }
    // False when the image given to the load constructor was refused.
    bool IsImageValid() const { return m_bImageValid; }

    // Tree.
    uint32_t CreateContainerNode(uint32_t dwKey);
    const SKZSerializerNode* FindContainerByKey(uint32_t dwKey);
    // The current scope becomes its parent.
    void LeaveScope();
    bool EnterNextSiblingScope();
    uint32_t GetContainerCountInScope() const;
    const SKZSerializerNode* FindNodeByKey(uint32_t dwKey, uint32_t dwNodeTypeMask);
    uint32_t GetCurrentScope() const { return m_dwCurrentScope; }
    // Back to the root with the look-up cursor at the start, as after loading an image.
    void ResetScope()
    {
        m_dwCurrentScope = 0;
        m_dwCursor = 0;
    }

    // Content.
    void CreateContentNode(uint32_t dwKey, const void* pData, uint32_t dwSize, uint32_t dwValueType,
                           uint32_t dwNodeType);
    void CreateEmbeddedContentNode(uint32_t dwKey, const void* pData, uint32_t dwSize, uint32_t dwValueType);
    bool GetContentByKey(void* pDestination, uint32_t dwKey, uint32_t dwSize, uint32_t dwNodeTypeMask);
    const void* GetNodeContent(const SKZSerializerNode* pNode) const;
    void* GetMutableNodeContent(SKZSerializerNode* pNode);
    uint32_t GetNodeContentSize(const SKZSerializerNode* pNode) const;
    void ShrinkNodeContentSize(SKZSerializerNode* pNode, uint32_t dwNewSize);

    // Buffers.
    const SKZSerializerNode* GetNodeBuffer() const;
    SKZSerializerNode* GetMutableNodeBuffer();
    uint32_t GetNodeCount() const { return m_dwNodeCount; }
    uint32_t GetNodeBufferSize() const { return m_dwNodeCount * 12; }
    const uint8_t* GetContentBuffer() const;
    uint8_t* GetMutableContentBuffer();
    uint32_t GetContentBufferSize() const;

    // Scrambled strings: load mode reads the flag "enc", save mode writes it when set.
    void DecryptStrings();
    void SetEncryptStrings(bool bEncrypt) { m_bEncryptStrings = bEncrypt; }
    bool GetEncryptStrings() const { return m_bEncryptStrings; }

    // Typed values: one call per value, the same call loads or saves.
    template <typename T> void Serialize(const CKZKey& key, T& value);
    void Serialize(const CKZKey& key, std::string& strValue, const char* szDefault = "");
    void Serialize(const CKZKey& key, CKZFileId& fileId);
    void Serialize(const CKZKey& key, CKZBox& box);
    // A file time: a container with "filetime.lowDatetime" and "filetime.highDatetime".
    void Serialize(const CKZKey& key, SKZFileTime& time);
    template <typename T> void Serialize(const CKZKey& key, std::vector<T>& vecObjects);

    // Runs `members` inside the container `key`: created when saving, found when loading (absent:
    // nothing runs and the structure stays as it is).
    template <typename Members> void SerializeStructure(const CKZKey& key, Members members);

    template <typename T> static T DefaultValue() { return T(); }

private:
    void Init();
    bool AdoptImage(char* pImage, uint64_t size);
    void InsertNode(const SKZSerializerNode& node);
    const SKZSerializerNode* Node(uint32_t dwIndex) const;
    uint32_t ParentOf(uint32_t dwIndex) const;
    const SKZSerializerNode* MatchInScope(uint32_t dwFrom, uint32_t dwTo, uint32_t dwKey, uint32_t dwMask);
    template <typename T> void SaveScalar(uint32_t dwKey, const T& value);

    SERIALIZE_MODE m_eMode;
    CKZSerializeAllocator* m_pNodeAllocator = nullptr;
    CKZSerializeAllocator* m_pContentAllocator = nullptr;
    SKZSerializerNode* m_pNodeBuffer = nullptr; // only over an image; not owned
    uint8_t* m_pContentBuffer = nullptr;        // only over an image; not owned
    uint64_t m_qwImageContentSize = 0;
    uint32_t m_dwCurrentScope = SKZSerializerNode::NO_PARENT;
    uint32_t m_dwCursor = 0;
    uint32_t m_dwNodeCount = 0;
    bool m_bEncryptStrings = false;
    bool m_bImageValid = true;
    std::set<uint32_t> m_usedFileIds = {0};
};

template <> inline CKZQuaternion CKZSerializer::DefaultValue<CKZQuaternion>() { return CKZQuaternion(); }

template <typename T> void CKZSerializer::SaveScalar(uint32_t dwKey, const T& value)
{
    if (sizeof(T) <= 4)
        CreateEmbeddedContentNode(dwKey, &value, sizeof(T), KZSerializeValueType<T>::value);
    else
        CreateContentNode(dwKey, &value, sizeof(T), KZSerializeValueType<T>::value,
                          SKZSerializerNode::NODE_TYPE_CONTENT);
}

template <typename T> void CKZSerializer::Serialize(const CKZKey& key, T& value)
{
    if (IsSaving())
    {
        if (value != DefaultValue<T>())
            SaveScalar(key.GetId(), value);
        return;
    }
    if (!GetContentByKey(&value, key.GetId(), sizeof(T), SKZSerializerNode::NODE_TYPE_CONTENT))
        value = DefaultValue<T>();
}

template <typename Members> void CKZSerializer::SerializeStructure(const CKZKey& key, Members members)
{
    if (IsSaving())
        CreateContainerNode(key.GetId());
    else if (!FindContainerByKey(key.GetId()))
        return;
    members();
    LeaveScope();
}

// A vector: its count under "vec.size", then one container (key 0) per element.
template <typename T> void CKZSerializer::Serialize(const CKZKey& key, std::vector<T>& vecObjects)
{
    if (IsSaving())
    {
        CreateContainerNode(key.GetId());
        uint32_t dwCount = static_cast<uint32_t>(vecObjects.size());
        Serialize(KZSerializeKeys::s_keyVecSize, dwCount);
        for (T& object : vecObjects)
        {
            CreateContainerNode(CKZKey::ms_KeyNull.GetId());
            object.Serialize(this);
            LeaveScope();
        }
        LeaveScope();
        return;
    }
    if (!FindContainerByKey(key.GetId()))
        return;
    uint32_t dwCount = 0;
    Serialize(KZSerializeKeys::s_keyVecSize, dwCount);
    // A stored image holds one container per element: a larger count is corrupt data, and must not
    // make us allocate more than the image could hold.
    const uint32_t dwContainers = GetContainerCountInScope();
    if (dwCount > dwContainers)
        dwCount = dwContainers;
    if (dwCount != 0)
        vecObjects.resize(dwCount);
    for (uint32_t i = 0; i < dwCount; ++i)
    {
        if (!FindContainerByKey(CKZKey::ms_KeyNull.GetId()))
            continue;
        vecObjects[i].Serialize(this);
        LeaveScope();
    }
    LeaveScope();
}
