#include "Base/Serialize/KZSerializeVersionConverter.h"

#include "Base/Serialize/KZSerialize.h"

#include <cstring>
#include <vector>

namespace
{
struct SOldRecord
{
    uint32_t dwKey;
    uint32_t dwParent;
    uint32_t dwData;
    uint16_t wFlags;
};

SOldRecord ReadRecord(const char* p)
{
    SOldRecord record;
    memcpy(&record.dwKey, p, 4);
    memcpy(&record.dwParent, p + 4, 4);
    memcpy(&record.dwData, p + 8, 4);
    memcpy(&record.wFlags, p + 12, 2);
    return record;
}
}

bool CKZSerializeVersionConverter::Version0(char* pImage, uint64_t size)
{
    if (size < 4)
        return false;
    uint32_t dwCount;
    memcpy(&dwCount, pImage, 4);
    if (dwCount == 0 || 4 + uint64_t(dwCount) * 16 > size)
        return false;
    const char* pRecords = pImage + 4;
    const char* pContent = pRecords + uint64_t(dwCount) * 16;
    const uint64_t qwContentSize = size - 4 - uint64_t(dwCount) * 16;

    // Replays the records into a save-mode serializer; the open containers are old record indices.
    CKZSerializer serializer;
    std::vector<uint32_t> vecOpen = {0};
    for (uint32_t i = 1; i < dwCount; ++i)
    {
        const SOldRecord record = ReadRecord(pRecords + uint64_t(i) * 16);
        while (vecOpen.size() > 1 && vecOpen.back() != record.dwParent)
        {
            vecOpen.pop_back();
            serializer.LeaveScope();
        }
        if (vecOpen.back() != record.dwParent)
            return false;
        const uint32_t dwFlags = record.wFlags;
        if (dwFlags & SKZSerializerNode::NODE_TYPE_CONTAINER)
        {
            serializer.CreateContainerNode(record.dwKey);
            vecOpen.push_back(i);
        }
        else if (dwFlags & SKZSerializerNode::NODE_TYPE_EMBEDDED)
            serializer.CreateEmbeddedContentNode(record.dwKey, &record.dwData, 4, dwFlags & 0xFF);
        else
        {
            if (uint64_t(record.dwData) + 4 > qwContentSize)
                return false;
            uint32_t dwSize;
            memcpy(&dwSize, pContent + record.dwData, 4);
            if (uint64_t(record.dwData) + 4 + dwSize > qwContentSize)
                return false;
            const uint32_t dwNodeType = dwFlags & SKZSerializerNode::NODE_TYPE_ARRAY_CONTENT
                                            ? SKZSerializerNode::NODE_TYPE_ARRAY_CONTENT
                                            : SKZSerializerNode::NODE_TYPE_CONTENT;
            serializer.CreateContentNode(record.dwKey, pContent + record.dwData + 4, dwSize, dwFlags & 0xFF,
                                         dwNodeType);
        }
    }
    const uint64_t qwNodes = serializer.GetNodeBufferSize();
    const uint64_t qwNewContent = serializer.GetContentBufferSize();
    if (8 + qwNodes + qwNewContent > size)
        return false;
    const uint32_t dwHeader[2] = {serializer.GetNodeCount(), 3};
    memcpy(pImage, dwHeader, 8);
    memcpy(pImage + 8, serializer.GetNodeBuffer(), qwNodes);
    memcpy(pImage + 8 + qwNodes, serializer.GetContentBuffer(), qwNewContent);
    // Bytes after the converted image are cleared so that nothing of the old layout remains.
    memset(pImage + 8 + qwNodes + qwNewContent, 0, size - 8 - qwNodes - qwNewContent);
    return true;
}
