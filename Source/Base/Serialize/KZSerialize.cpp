#include "Base/Serialize/KZSerialize.h"

#include "Base/Core/KZFile.h"
#include "Base/Debug/KZLog.h"
#include "Base/Serialize/KZSerializeVersionConverter.h"

#include <cstdlib>
#include <cstring>

namespace
{
const char* const s_szFile = "Source/Base/Serialize/KZSerialize";
const CKZKey s_keyEncrypt(KZEngine::Hash("enc"), "enc", "Source/Base/Serialize/KZSerialize.cpp", 13);
const CKZKey s_keyBoxMin(KZEngine::Hash("box.min"), "box.min", "Source/Base/Serialize/KZSerialize.cpp", 14);
const CKZKey s_keyBoxMax(KZEngine::Hash("box.max"), "box.max", "Source/Base/Serialize/KZSerialize.cpp", 15);

const uint32_t kStep = 1048576;
const uint32_t kFormatVersion = 3;

const CKZLog::SEventRecord s_recordSizeZero = {s_szFile, "CreateContentNode", "dwSize", CKZLog::EVENT_ASSERT, 0, 265};
const CKZLog::SEventRecord s_recordEmbeddedSize = {
    s_szFile, "CreateEmbeddedContentNode",
    "dwSize <= sizeof(decltype(SKZSerializerNode::m_dwInternalContent))", CKZLog::EVENT_ASSERT, 0, 211};
const CKZLog::SEventRecord s_recordMismatch = {s_szFile, "GetContentByKey",
                                               "GetNodeContentSize( pContent ) >= dwSize", CKZLog::EVENT_ASSERT, 0,
                                               351};
#define KZ_NOT_CONTENT_EXPRESSION                                                                             \
    "pNode->m_dwFlags & SKZSerializerNode::NODE_TYPE_CONTENT || pNode->m_dwFlags & "                         \
    "SKZSerializerNode::NODE_TYPE_ARRAY_CONTENT"
const CKZLog::SEventRecord s_recordContentSize = {s_szFile, "GetNodeContentSize", KZ_NOT_CONTENT_EXPRESSION,
                                                  CKZLog::EVENT_ASSERT, 0, 445};
const CKZLog::SEventRecord s_recordContent = {s_szFile, "GetNodeContent", KZ_NOT_CONTENT_EXPRESSION,
                                              CKZLog::EVENT_ASSERT, 0, 468};
const CKZLog::SEventRecord s_recordMutableContent = {s_szFile, "GetMutableNodeContent", KZ_NOT_CONTENT_EXPRESSION,
                                                     CKZLog::EVENT_ASSERT, 0, 479};
const CKZLog::SEventRecord s_recordShrink = {s_szFile, "ShrinkNodeContentSize", "*pSize >= dwNewSize",
                                             CKZLog::EVENT_ASSERT, 0, 460};
const CKZLog::SEventRecord s_recordImage = {s_szFile, "CKZSerializer", "pFilePtr", CKZLog::EVENT_ASSERT, 0, 87};

uint32_t ReadU32(const char* p)
{
    uint32_t value;
    memcpy(&value, p, 4);
    return value;
}

uint8_t Scramble(char c, uint32_t k, int direction)
{
    return static_cast<uint8_t>(static_cast<uint8_t>(c) + direction * static_cast<int>(k));
}
} // namespace

CKZSerializeAllocator::CKZSerializeAllocator()
    : m_dwCapacity(kStep), m_pBase(static_cast<uint8_t*>(malloc(kStep))), m_pNext(m_pBase)
{
    if (!m_pBase)
        throw std::bad_alloc();
}

CKZSerializeAllocator::~CKZSerializeAllocator()
{
    free(m_pBase);
}

uint32_t CKZSerializeAllocator::Malloc(uint32_t size)
{
    const uint32_t dwUsed = GetUsed();
    if (m_dwCapacity - dwUsed < size)
    {
        const uint64_t qwCapacity = uint64_t(m_dwCapacity) + (size > kStep ? size : 0) + kStep;
        if (qwCapacity > 0xFFFFFFFFull)
            throw std::bad_alloc();
        uint8_t* pNew = static_cast<uint8_t*>(malloc(qwCapacity));
        if (!pNew)
            throw std::bad_alloc();
        memcpy(pNew, m_pBase, dwUsed);
        free(m_pBase);
        m_pBase = pNew;
        m_pNext = pNew + dwUsed;
        m_dwCapacity = static_cast<uint32_t>(qwCapacity);
    }
    m_pNext += size;
    return dwUsed;
}

CKZSerializer::CKZSerializer() : CKZSerializer(SERIALIZE_MODE_SAVE) {}

CKZSerializer::CKZSerializer(SERIALIZE_MODE eMode) : m_eMode(eMode)
{
    Init();
}

CKZSerializer::CKZSerializer(char* pImage, uint64_t size) : m_eMode(SERIALIZE_MODE_LOAD)
{
    if (!pImage)
        KZ_REPORT_EVENT(s_recordImage, "%s", "");
    if (pImage && AdoptImage(pImage, size))
        return;
    // A refused image reads as an empty tree: every look-up gives its default.
    if (pImage)
        KZ_EVENT(s_szFile, CKZLog::EVENT_ASSERT, "bImageValid", "Serialized image refused: %llu bytes",
                 static_cast<unsigned long long>(size));
    m_bImageValid = false;
    m_pNodeBuffer = nullptr;
    m_pContentBuffer = nullptr;
    Init();
}

CKZSerializer::~CKZSerializer()
{
    delete m_pNodeAllocator;
    delete m_pContentAllocator;
}

void CKZSerializer::Init()
{
    m_pNodeAllocator = new CKZSerializeAllocator;
    m_pContentAllocator = new CKZSerializeAllocator;
    m_dwNodeCount = 0;
    m_dwCurrentScope = SKZSerializerNode::NO_PARENT;
    CreateContainerNode(CKZKey::ms_KeyNull.GetId());
    m_dwCursor = 0;
}

// Checks every index and offset of an image once, so that no later look-up can leave it.
bool CKZSerializer::AdoptImage(char* pImage, uint64_t size)
{
    if (size < 8)
        return false;
    if (ReadU32(pImage + 4) == 0 && !CKZSerializeVersionConverter::Version0(pImage, size))
        return false;
    const uint64_t qwCount = ReadU32(pImage);
    if (ReadU32(pImage + 4) != kFormatVersion || qwCount == 0 || 8 + qwCount * 12 > size)
        return false;
    SKZSerializerNode* pNodes = reinterpret_cast<SKZSerializerNode*>(pImage + 8);
    const uint64_t qwContentSize = size - 8 - qwCount * 12;
    for (uint64_t i = 0; i < qwCount; ++i)
    {
        const SKZSerializerNode& node = pNodes[i];
        if (i == 0 && !node.IsContainer())
            return false;
        // Containers come in pre-order: a parent always precedes its children.
        if (node.IsContainer() && (i == 0 ? node.m_dwInternalContent != SKZSerializerNode::NO_PARENT
                                          : node.m_dwInternalContent >= i ||
                                                !pNodes[node.m_dwInternalContent].IsContainer()))
            return false;
        if (node.HasContent() && !node.IsEmbedded())
        {
            const uint64_t qwOffset = node.m_dwInternalContent;
            if (qwOffset + 4 > qwContentSize ||
                qwOffset + 4 + ReadU32(pImage + 8 + qwCount * 12 + qwOffset) > qwContentSize)
                return false;
        }
    }
    m_pNodeBuffer = pNodes;
    m_pContentBuffer = reinterpret_cast<uint8_t*>(pImage + 8 + qwCount * 12);
    m_qwImageContentSize = qwContentSize;
    m_dwNodeCount = static_cast<uint32_t>(qwCount);
    m_dwCurrentScope = 0;
    m_dwCursor = 0;
    return true;
}

const SKZSerializerNode* CKZSerializer::GetNodeBuffer() const
{
    return m_pNodeBuffer ? m_pNodeBuffer : reinterpret_cast<const SKZSerializerNode*>(m_pNodeAllocator->GetBase());
}

SKZSerializerNode* CKZSerializer::GetMutableNodeBuffer()
{
    return m_pNodeBuffer ? m_pNodeBuffer : reinterpret_cast<SKZSerializerNode*>(m_pNodeAllocator->GetBase());
}

const uint8_t* CKZSerializer::GetContentBuffer() const
{
    return m_pContentBuffer ? m_pContentBuffer : m_pContentAllocator->GetBase();
}

uint8_t* CKZSerializer::GetMutableContentBuffer()
{
    return m_pContentBuffer ? m_pContentBuffer : m_pContentAllocator->GetBase();
}

uint32_t CKZSerializer::GetContentBufferSize() const
{
    if (!m_pContentBuffer)
        return m_pContentAllocator->GetUsed();
    for (uint32_t i = m_dwNodeCount; i-- > 0;)
    {
        const SKZSerializerNode& node = GetNodeBuffer()[i];
        if (node.HasContent() && !node.IsEmbedded())
            return node.m_dwInternalContent + 4 + ReadU32(reinterpret_cast<const char*>(m_pContentBuffer) +
                                                          node.m_dwInternalContent);
    }
    return 0;
}

const SKZSerializerNode* CKZSerializer::Node(uint32_t dwIndex) const
{
    return dwIndex < m_dwNodeCount ? GetNodeBuffer() + dwIndex : nullptr;
}

uint32_t CKZSerializer::ParentOf(uint32_t dwIndex) const
{
    const SKZSerializerNode* pNode = Node(dwIndex);
    return pNode ? pNode->m_dwInternalContent : SKZSerializerNode::NO_PARENT;
}

uint32_t CKZSerializer::CreateContainerNode(uint32_t dwKey)
{
    // A serializer over an image only reads; the image is not grown.
    KZ_ASSERT(s_szFile, m_pNodeAllocator);
    if (!m_pNodeAllocator)
        return SKZSerializerNode::NO_PARENT;
    m_pNodeAllocator->Malloc(sizeof(SKZSerializerNode));
    SKZSerializerNode& node = GetMutableNodeBuffer()[m_dwNodeCount];
    node = {dwKey, m_dwCurrentScope, SKZSerializerNode::NODE_TYPE_CONTAINER};
    m_dwCurrentScope = m_dwNodeCount++;
    return m_dwCurrentScope;
}

void CKZSerializer::LeaveScope()
{
    m_dwCurrentScope = ParentOf(m_dwCurrentScope);
}

// Content nodes of a container sit right after it, before the next container node.
void CKZSerializer::InsertNode(const SKZSerializerNode& node)
{
    KZ_ASSERT(s_szFile, m_pNodeAllocator);
    if (!m_pNodeAllocator)
        return;
    m_pNodeAllocator->Malloc(sizeof(SKZSerializerNode));
    SKZSerializerNode* pNodes = GetMutableNodeBuffer();
    uint32_t dwPlace = m_dwCurrentScope + 1;
    while (dwPlace < m_dwNodeCount && !pNodes[dwPlace].IsContainer())
        ++dwPlace;
    if (dwPlace < m_dwNodeCount)
    {
        for (uint32_t i = dwPlace; i < m_dwNodeCount; ++i)
            if (pNodes[i].IsContainer() && pNodes[i].m_dwInternalContent >= dwPlace &&
                pNodes[i].m_dwInternalContent != SKZSerializerNode::NO_PARENT)
                ++pNodes[i].m_dwInternalContent;
        memmove(pNodes + dwPlace + 1, pNodes + dwPlace, (m_dwNodeCount - dwPlace) * sizeof(SKZSerializerNode));
    }
    pNodes[dwPlace] = node;
    ++m_dwNodeCount;
}

void CKZSerializer::CreateContentNode(uint32_t dwKey, const void* pData, uint32_t dwSize, uint32_t dwValueType,
                                      uint32_t dwNodeType)
{
    if (dwSize == 0)
        KZ_REPORT_EVENT(s_recordSizeZero, "%s", "");
    if (!m_pContentAllocator)
        return;
    const uint32_t dwOffset = m_pContentAllocator->Malloc(4 + dwSize);
    uint8_t* pRecord = m_pContentAllocator->GetBase() + dwOffset;
    memcpy(pRecord, &dwSize, 4);
    if (pData)
        memcpy(pRecord + 4, pData, dwSize);
    else
        memset(pRecord + 4, 0, dwSize);
    InsertNode({dwKey, dwOffset, (dwValueType & 0xFF) | dwNodeType});
}

void CKZSerializer::CreateEmbeddedContentNode(uint32_t dwKey, const void* pData, uint32_t dwSize,
                                              uint32_t dwValueType)
{
    if (dwSize > 4)
    {
        KZ_REPORT_EVENT(s_recordEmbeddedSize, "%s", "");
        dwSize = 4;
    }
    uint32_t dwValue = 0;
    if (pData)
        memcpy(&dwValue, pData, dwSize);
    InsertNode({dwKey, dwValue,
                (dwValueType & 0xFF) | SKZSerializerNode::NODE_TYPE_CONTENT | SKZSerializerNode::NODE_TYPE_EMBEDDED});
}

const void* CKZSerializer::GetNodeContent(const SKZSerializerNode* pNode) const
{
    if (!pNode->HasContent())
    {
        KZ_REPORT_EVENT(s_recordContent, "%s", "");
        return nullptr;
    }
    if (pNode->IsEmbedded())
        return &pNode->m_dwInternalContent;
    return GetContentBuffer() + pNode->m_dwInternalContent + 4;
}

void* CKZSerializer::GetMutableNodeContent(SKZSerializerNode* pNode)
{
    if (!pNode->HasContent())
    {
        KZ_REPORT_EVENT(s_recordMutableContent, "%s", "");
        return nullptr;
    }
    if (pNode->IsEmbedded())
        return &pNode->m_dwInternalContent;
    return GetMutableContentBuffer() + pNode->m_dwInternalContent + 4;
}

uint32_t CKZSerializer::GetNodeContentSize(const SKZSerializerNode* pNode) const
{
    if (!pNode->HasContent())
    {
        KZ_REPORT_EVENT(s_recordContentSize, "%s", "");
        return 0;
    }
    if (pNode->IsEmbedded())
        return 4;
    return ReadU32(reinterpret_cast<const char*>(GetContentBuffer()) + pNode->m_dwInternalContent);
}

void CKZSerializer::ShrinkNodeContentSize(SKZSerializerNode* pNode, uint32_t dwNewSize)
{
    if (!pNode->HasContent() || pNode->IsEmbedded())
        return;
    uint8_t* pSize = GetMutableContentBuffer() + pNode->m_dwInternalContent;
    uint32_t dwSize = ReadU32(reinterpret_cast<const char*>(pSize));
    if (dwSize < dwNewSize)
    {
        KZ_REPORT_EVENT(s_recordShrink, "%s", "");
        return;
    }
    memcpy(pSize, &dwNewSize, 4);
}

bool CKZSerializer::GetContentByKey(void* pDestination, uint32_t dwKey, uint32_t dwSize, uint32_t dwNodeTypeMask)
{
    const SKZSerializerNode* pContent = FindNodeByKey(dwKey, dwNodeTypeMask);
    if (!pContent || !pContent->HasContent())
        return false;
    const uint32_t dwStored = GetNodeContentSize(pContent);
    if (dwStored < dwSize)
        KZ_REPORT_EVENT(s_recordMismatch, "Serialize type mismatch. Read size %d actual size %d",
                        static_cast<int>(dwSize), static_cast<int>(dwStored));
    // Beyond the stored bytes the destination is zero-filled, never read from outside the record.
    const uint32_t dwCopy = dwStored < dwSize ? dwStored : dwSize;
    memcpy(pDestination, GetNodeContent(pContent), dwCopy);
    memset(static_cast<uint8_t*>(pDestination) + dwCopy, 0, dwSize - dwCopy);
    return true;
}

const SKZSerializerNode* CKZSerializer::MatchInScope(uint32_t dwFrom, uint32_t dwTo, uint32_t dwKey, uint32_t dwMask)
{
    for (uint32_t i = dwFrom; i < dwTo && i < m_dwNodeCount; ++i)
    {
        const SKZSerializerNode& node = GetNodeBuffer()[i];
        if (node.IsContainer())
            return nullptr;
        if (node.m_dwKey == dwKey && (node.m_dwFlags & dwMask))
        {
            m_dwCursor = i;
            return &node;
        }
    }
    return nullptr;
}

const SKZSerializerNode* CKZSerializer::FindNodeByKey(uint32_t dwKey, uint32_t dwNodeTypeMask)
{
    if (dwNodeTypeMask & SKZSerializerNode::NODE_TYPE_CONTAINER)
        return FindContainerByKey(dwKey);
    if (const SKZSerializerNode* pFound = MatchInScope(m_dwCursor + 1, m_dwNodeCount, dwKey, dwNodeTypeMask))
        return pFound;
    return MatchInScope(m_dwCurrentScope + 1, m_dwCursor + 1, dwKey, dwNodeTypeMask);
}

const SKZSerializerNode* CKZSerializer::FindContainerByKey(uint32_t dwKey)
{
    if (m_dwCurrentScope >= m_dwNodeCount)
        return nullptr;
    auto scan = [&](uint32_t dwFrom, uint32_t dwTo) -> const SKZSerializerNode* {
        for (uint32_t i = dwFrom; i < dwTo && i < m_dwNodeCount; ++i)
        {
            const SKZSerializerNode& node = GetNodeBuffer()[i];
            if (!node.IsContainer())
                continue;
            if (node.m_dwInternalContent == m_dwCurrentScope && node.m_dwKey == dwKey)
            {
                m_dwCurrentScope = m_dwCursor = i;
                return &node;
            }
            if (node.m_dwInternalContent < m_dwCurrentScope || node.m_dwInternalContent == SKZSerializerNode::NO_PARENT)
                return nullptr; // left the current scope's subtree
        }
        return nullptr;
    };
    if (const SKZSerializerNode* pFound = scan(m_dwCursor + 1, m_dwNodeCount))
        return pFound;
    return scan(m_dwCurrentScope + 1, m_dwCursor + 1);
}

bool CKZSerializer::EnterNextSiblingScope()
{
    const uint32_t dwParent = ParentOf(m_dwCurrentScope);
    for (uint32_t i = m_dwCursor + 1; i < m_dwNodeCount; ++i)
    {
        const SKZSerializerNode& node = GetNodeBuffer()[i];
        if (node.IsContainer() && node.m_dwInternalContent == dwParent)
        {
            m_dwCurrentScope = m_dwCursor = i;
            return true;
        }
    }
    return false;
}

uint32_t CKZSerializer::GetContainerCountInScope() const
{
    uint32_t dwCount = 0;
    for (uint32_t i = m_dwCurrentScope + 1; i < m_dwNodeCount; ++i)
    {
        const SKZSerializerNode& node = GetNodeBuffer()[i];
        if (!node.IsContainer())
            continue;
        if (node.m_dwInternalContent < m_dwCurrentScope || node.m_dwInternalContent == SKZSerializerNode::NO_PARENT)
            break;
        dwCount += node.m_dwInternalContent == m_dwCurrentScope;
    }
    return dwCount;
}

void CKZSerializer::DecryptStrings()
{
    if (IsLoading())
    {
        uint8_t bFlag = 0;
        m_bEncryptStrings = GetContentByKey(&bFlag, s_keyEncrypt.GetId(), 1, SKZSerializerNode::NODE_TYPE_CONTENT) &&
                            bFlag != 0;
    }
    else if (m_bEncryptStrings)
    {
        const bool bFlag = true;
        CreateEmbeddedContentNode(s_keyEncrypt.GetId(), &bFlag, 1, KZ_VALUE_BOOL);
    }
}

void CKZSerializer::Serialize(const CKZKey& key, std::string& strValue, const char* szDefault)
{
    if (IsSaving())
    {
        std::string strStored = strValue;
        const uint32_t k = static_cast<uint32_t>(strStored.size() % 16) + 1;
        if (m_bEncryptStrings)
            for (char& c : strStored)
                c = static_cast<char>(Scramble(c, k, -1));
        const uint64_t qwSize = uint64_t(strStored.size()) + 1;
        if (strStored.size() >= 1 && strStored.size() <= 3)
            CreateEmbeddedContentNode(key.GetId(), strStored.c_str(), static_cast<uint32_t>(qwSize), KZ_VALUE_STRING);
        else
            CreateContentNode(key.GetId(), strStored.c_str(), static_cast<uint32_t>(qwSize), KZ_VALUE_STRING,
                              SKZSerializerNode::NODE_TYPE_CONTENT);
        return;
    }
    const SKZSerializerNode* pNode = FindNodeByKey(key.GetId(), SKZSerializerNode::NODE_TYPE_CONTENT);
    if (!pNode)
    {
        strValue = szDefault ? szDefault : "";
        return;
    }
    const char* pData = static_cast<const char*>(GetNodeContent(pNode));
    const uint32_t dwStored = GetNodeContentSize(pNode);
    if (!m_bEncryptStrings)
    {
        strValue.assign(pData, strnlen(pData, dwStored));
        return;
    }
    const size_t n = pNode->IsEmbedded() ? strnlen(pData, 4) : (dwStored > 0 ? dwStored - 1 : 0);
    const uint32_t k = static_cast<uint32_t>(n % 16) + 1;
    strValue.resize(n);
    for (size_t i = 0; i < n; ++i)
        strValue[i] = static_cast<char>(Scramble(pData[i], k, +1));
}

void CKZSerializer::Serialize(const CKZKey& key, CKZFileId& fileId)
{
    if (IsSaving())
    {
        while (m_usedFileIds.count(fileId.GetId()))
            fileId.RefreshFileId();
        m_usedFileIds.insert(fileId.GetId());
        const uint32_t dwId = fileId.GetId();
        CreateEmbeddedContentNode(key.GetId(), &dwId, 4, KZ_VALUE_UINT);
        return;
    }
    uint32_t dwId = 0;
    if (!GetContentByKey(&dwId, key.GetId(), 4, SKZSerializerNode::NODE_TYPE_CONTENT))
        dwId = 0;
    fileId.SetId(dwId);
}

void IKZSerializableUniqueObject::Serialize(CKZSerializer* pSerializer)
{
    pSerializer->Serialize(KZSerializeKeys::s_keyFileId, m_FileId);
}

void CKZSerializer::Serialize(const CKZKey& key, CKZBox& box)
{
    SerializeStructure(key, [&] {
        Serialize(s_keyBoxMin, box.min);
        Serialize(s_keyBoxMax, box.max);
    });
}

void CKZSerializer::Serialize(const CKZKey& key, SKZFileTime& time)
{
    static const std::string s_strPrefix = "filetime.";
    static const std::string s_strLow = s_strPrefix + "lowDatetime";
    static const std::string s_strHigh = s_strPrefix + "highDatetime";
    static const CKZKey s_keyLow(KZEngine::Hash(s_strLow.c_str()), s_strLow.c_str(), "Source/Base/Core/KZFileDetails", 6);
    static const CKZKey s_keyHigh(KZEngine::Hash(s_strHigh.c_str()), s_strHigh.c_str(), "Source/Base/Core/KZFileDetails",
                                  7);
    SerializeStructure(key, [&] {
        Serialize(s_keyLow, time.lowDatetime);
        Serialize(s_keyHigh, time.highDatetime);
    });
}
