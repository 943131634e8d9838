#include "Base/Serialize/KZFileParserXML.h"

#include "Base/Core/KZValue.h"
#include "Base/Debug/KZLog.h"
#include "Base/Util/KZString.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{
const char* const s_szFile = "Source/Base/Serialize/KZFileParserXML";
const size_t kMaxName = 255;
const size_t kMaxTag = 2047;
// Deeper nesting than this is not data anyone writes; it is refused rather than followed.
const size_t kMaxDepth = 512;

const CKZLog::SEventRecord s_recordNotInMemory = {s_szFile, "InternalLoadFromFile", "file.IsOpenInMemory()",
                                                  CKZLog::EVENT_FATALASSERT, 0, 237};
const CKZLog::SEventRecord s_recordElementSize = {s_szFile, "SaveNode", "dwElementSize", CKZLog::EVENT_ASSERT, 0, 179};

std::string Escaped(const std::string& strText)
{
    std::string strOut;
    for (char c : strText)
    {
        switch (c)
        {
        case '"': strOut += "&quot;"; break;
        case '&': strOut += "&amp;"; break;
        case '\'': strOut += "&apos;"; break;
        case '<': strOut += "&lt;"; break;
        case '>': strOut += "&gt;"; break;
        default: strOut += c;
        }
    }
    return strOut;
}

std::string Unescaped(const std::string& strText)
{
    static const char* const s_entities[][2] = {{"&quot;", "\""}, {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"},
                                                {"&apos;", "'"}};
    std::string strOut;
    for (size_t i = 0; i < strText.size(); ++i)
    {
        bool bReplaced = false;
        if (strText[i] == '&')
            for (const auto& entity : s_entities)
                if (strText.compare(i, strlen(entity[0]), entity[0]) == 0)
                {
                    strOut += entity[1];
                    i += strlen(entity[0]) - 1;
                    bReplaced = true;
                    break;
                }
        if (!bReplaced)
            strOut += strText[i];
    }
    return strOut;
}

bool StartsWith(const std::string& strText, const char* szPrefix)
{
    return strText.compare(0, strlen(szPrefix), szPrefix) == 0;
}

// Floats are written and read with all their digits; other types have one text form.
uint32_t PrecisionCode(uint32_t dwType)
{
    return dwType == KZ_VALUE_FLOAT ? CKZValue::FORMAT_PRECISE : CKZValue::FORMAT_DEFAULT;
}

// The name of a key for the XML form. An id that no source declares is written as "#" and its
// number (read back as that number), instead of ending the process over outside data.
std::string KeyName(uint32_t dwKey)
{
    std::string strName;
    return CKZKey::FindName(dwKey, strName) ? strName : "#" + std::to_string(dwKey);
}

uint32_t KeyFromName(const std::string& strName)
{
    if (strName.size() > 1 && strName[0] == '#' && strName.find_first_not_of("0123456789", 1) == std::string::npos)
        return static_cast<uint32_t>(strtoul(strName.c_str() + 1, nullptr, 10));
    return CKZKey::ToKey(strName);
}
} // namespace

const char* CKZFileParserXML::TypeName(uint32_t dwType)
{
    return dwType < KZ_VALUE_TYPE_COUNT ? CKZValue::sm_pszValueTypeNames[dwType] : "";
}

uint32_t CKZFileParserXML::SizeFromType(uint32_t dwType)
{
    uint32_t dwSize = 0;
    return CKZValue::SizeFromType(dwSize, static_cast<KZ_VALUE_TYPE>(dwType)) ? dwSize : 0;
}

std::string CKZFileParserXML::ValueToText(uint32_t dwType, const void* pData, uint32_t dwSize)
{
    // The form has no text for wide strings (they are not read back either).
    if (dwType == KZ_VALUE_USTRING)
        return std::string();
    // A value without bytes reads as zeros.
    static const uint8_t s_abZeros[16] = {0};
    if (!pData || dwSize == 0)
    {
        pData = s_abZeros;
        dwSize = sizeof(s_abZeros);
    }
    CKZValue value;
    value.SetData(pData, static_cast<KZ_VALUE_TYPE>(dwType), PrecisionCode(dwType), 0, dwSize);
    return dwType == KZ_VALUE_STRING ? Escaped(value.ConstChar()) : std::string(value.ConstChar());
}

bool CKZFileParserXML::TextToValue(uint32_t dwType, const std::string& strText, std::string& strBytes)
{
    // Strings are stored from the text itself; the types without a fixed size have no parse.
    if (dwType == KZ_VALUE_STRING || dwType == KZ_VALUE_COLOR || SizeFromType(dwType) == 0)
        return false;
    CKZValue value;
    value.SetType(static_cast<KZ_VALUE_TYPE>(dwType), PrecisionCode(dwType));
    value = strText.c_str();
    strBytes.assign(static_cast<const char*>(value.ToRawPtr()), value.GetSize());
    return true;
}

void CKZFileParserXML::WriteContent(CKZSerializer& serializer, const SKZSerializerNode& node, std::string& strOut) const
{
    const uint32_t dwType = node.GetValueType();
    const std::string strKey = node.m_dwKey ? KeyName(node.m_dwKey) : std::string();
    const void* pData = serializer.GetNodeContent(&node);
    const uint32_t dwSize = serializer.GetNodeContentSize(&node);
    if (node.IsEmbedded() || !(node.m_dwFlags & SKZSerializerNode::NODE_TYPE_ARRAY_CONTENT))
    {
        strOut += node.m_dwKey ? KZStringFormat("<%s key=\"", TypeName(dwType)) + strKey + "\">"
                               : KZStringFormat("<%s>", TypeName(dwType));
        strOut += ValueToText(dwType, pData, dwSize) + KZStringFormat("</%s>\n", TypeName(dwType));
        return;
    }
    strOut += node.m_dwKey ? "<array key=\"" + strKey + "\" type=\"" + TypeName(dwType) + "\">"
                           : std::string("<array type=\"") + TypeName(dwType) + "\">";
    const uint32_t dwElementSize = SizeFromType(dwType);
    if (dwElementSize == 0)
        KZ_REPORT_EVENT(s_recordElementSize, "%s", "");
    else
        for (uint32_t i = 0; i < dwSize / dwElementSize; ++i)
            strOut += (i ? std::string(1, ';') : std::string()) +
                      ValueToText(dwType, static_cast<const uint8_t*>(pData) + i * dwElementSize, dwElementSize);
    strOut += "</array>\n";
}

// The node order makes the tree walk a forward scan; the open containers are kept on a stack, so
// the depth of the data does not decide the depth of the call stack.
void CKZFileParserXML::InternalSaveToFile(CKZFile& file, CKZSerializer& serializer)
{
    std::string strOut = KZStringFormat("<?xml version=\"1.0\"?>\n<root>\n\t<version>%d</version>\n", 3);
    strOut.reserve(1 << 20);
    const SKZSerializerNode* pNodes = serializer.GetNodeBuffer();
    std::vector<uint32_t> vecOpen;
    auto indent = [&] { return std::string(vecOpen.size() + 1, '\t'); };
    auto closeTop = [&] {
        vecOpen.pop_back();
        strOut += indent() + "</object>\n";
    };
    for (uint32_t i = 0; i < serializer.GetNodeCount(); ++i)
    {
        const SKZSerializerNode& node = pNodes[i];
        if (node.IsContainer())
        {
            while (!vecOpen.empty() && (node.m_dwInternalContent < vecOpen.back() ||
                                        node.m_dwInternalContent == SKZSerializerNode::NO_PARENT))
                closeTop();
            strOut += indent() + (node.m_dwKey ? "<object key=\"" + KeyName(node.m_dwKey) + "\">\n"
                                               : std::string("<object>\n"));
            vecOpen.push_back(i);
        }
        else if (node.HasContent())
        {
            strOut += indent();
            WriteContent(serializer, node, strOut);
        }
    }
    while (!vecOpen.empty())
        closeTop();
    strOut += "</root>";
    file.Write(strOut.data(), 1, static_cast<int>(strOut.size()));
}

bool CKZFileParserXML::NextElement()
{
    if (m_pPosition < m_pEnd && *m_pPosition == '<')
        ++m_pPosition;
    m_ValueType = 0;
    m_bArray = false;
    const char* pOpen = static_cast<const char*>(memchr(m_pPosition, '<', static_cast<size_t>(m_pEnd - m_pPosition)));
    if (!pOpen)
        return false;
    m_pPosition = pOpen;
    m_pTagStart = pOpen;
    const char* pClose = static_cast<const char*>(memchr(pOpen, '>', static_cast<size_t>(m_pEnd - pOpen)));
    const char* pNameEnd = pClose ? pClose : m_pEnd;
    std::string strName(pOpen + 1, static_cast<size_t>(pNameEnd - pOpen - 1) < kMaxName
                                       ? static_cast<size_t>(pNameEnd - pOpen - 1)
                                       : kMaxName);
    const size_t first = strName.find_first_not_of(' ');
    strName = first == std::string::npos ? std::string() : strName.substr(first, strName.find_last_not_of(' ') - first + 1);
    m_strElementName = strName;
    if (StartsWith(strName, "object"))
        return true;
    if (StartsWith(strName, "array"))
    {
        m_bArray = true;
        const size_t type = strName.find("type=\"");
        if (type != std::string::npos)
        {
            const size_t end = strName.find('"', type + 6);
            strName = strName.substr(type + 6, end == std::string::npos ? std::string::npos : end - type - 6);
        }
    }
    m_ValueType = CKZValue::ValueTypeFromStr(strName.substr(0, strName.find(' ')).c_str());
    return true;
}

uint32_t CKZFileParserXML::ReadKey() const
{
    const char* pClose = static_cast<const char*>(memchr(m_pTagStart, '>', static_cast<size_t>(m_pEnd - m_pTagStart)));
    size_t length = static_cast<size_t>((pClose ? pClose : m_pEnd) - m_pTagStart);
    const std::string strTag(m_pTagStart, length < kMaxTag ? length : kMaxTag);
    const size_t key = strTag.find("key");
    if (key == std::string::npos)
        return 0;
    const size_t open = strTag.find('"', key);
    if (open == std::string::npos)
        return 0;
    const size_t close = strTag.find('"', open + 1);
    if (close == std::string::npos)
        return 0;
    return KeyFromName(strTag.substr(open + 1, std::min(close - open - 1, kMaxName)));
}

void CKZFileParserXML::ReadValue(CKZSerializer& serializer, uint32_t dwKey)
{
    const char* pClose = static_cast<const char*>(memchr(m_pPosition, '>', static_cast<size_t>(m_pEnd - m_pPosition)));
    const char* pText = pClose ? pClose + 1 : m_pEnd;
    const char* pTextEnd = static_cast<const char*>(memchr(pText, '<', static_cast<size_t>(m_pEnd - pText)));
    if (!pTextEnd)
        pTextEnd = m_pEnd;
    const std::string strText(pText, static_cast<size_t>(pTextEnd - pText));
    m_pPosition = pTextEnd;
    if (m_bArray)
    {
        const uint32_t dwElementSize = SizeFromType(m_ValueType);
        if (dwElementSize == 0)
            return; // no array of a type without a fixed size
        std::string strBytes, strElement;
        size_t start = 0;
        for (;;)
        {
            const size_t separator = strText.find(m_separator, start);
            TextToValue(m_ValueType, strText.substr(start, separator == std::string::npos ? std::string::npos
                                                                                          : separator - start),
                        strElement);
            strBytes += strElement;
            if (separator == std::string::npos)
                break;
            start = separator + 1;
        }
        serializer.CreateContentNode(dwKey, strBytes.data(), static_cast<uint32_t>(strBytes.size()), m_ValueType,
                                     SKZSerializerNode::NODE_TYPE_ARRAY_CONTENT);
        return;
    }
    if (m_ValueType == KZ_VALUE_STRING)
    {
        const std::string strValue = strText.find('&') == std::string::npos ? strText : Unescaped(strText);
        serializer.CreateContentNode(dwKey, strValue.c_str(), static_cast<uint32_t>(strValue.size() + 1),
                                     KZ_VALUE_STRING, SKZSerializerNode::NODE_TYPE_CONTENT);
        return;
    }
    std::string strBytes;
    if (TextToValue(m_ValueType, strText, strBytes))
        serializer.CreateContentNode(dwKey, strBytes.data(), static_cast<uint32_t>(strBytes.size()), m_ValueType,
                                     SKZSerializerNode::NODE_TYPE_CONTENT);
}

std::unique_ptr<CKZSerializer> CKZFileParserXML::InternalLoadFromFile(CKZFile& file)
{
    if (!file.GetFileStartPtr())
    {
        KZ_REPORT_EVENT(s_recordNotInMemory, "File need to be openInMemory!");
        return nullptr;
    }
    std::unique_ptr<CKZSerializer> pSerializer(new CKZSerializer(SERIALIZE_MODE_LOAD));
    m_pPosition = static_cast<const char*>(file.GetFileStartPtr());
    m_pEnd = m_pPosition + file.GetLength();
    m_version = 0;
    while (NextElement())
    {
        if (m_strElementName == "version")
        {
            const char* pClose = static_cast<const char*>(memchr(m_pPosition, '>', static_cast<size_t>(m_pEnd - m_pPosition)));
            const char* pOpen = pClose ? static_cast<const char*>(memchr(pClose, '<', static_cast<size_t>(m_pEnd - pClose))) : nullptr;
            if (!pOpen || pOpen - pClose - 1 > 31)
                return nullptr;
            m_version = atoi(std::string(pClose + 1, pOpen).c_str());
            continue;
        }
        if (!StartsWith(m_strElementName, "object"))
            continue;
        m_separator = m_version < 2 ? ',' : ';';
        // Inside the root object: objects open containers, closing tags leave them.
        size_t depth = 0;
        while (NextElement())
        {
            if (StartsWith(m_strElementName, "/"))
            {
                if (depth == 0)
                    break;
                pSerializer->LeaveScope();
                --depth;
                continue;
            }
            const uint32_t dwKey = ReadKey();
            if (m_ValueType == 0)
            {
                if (depth >= kMaxDepth)
                    return nullptr;
                pSerializer->CreateContainerNode(dwKey);
                // An empty element ("<object/>") closes itself.
                if (!m_strElementName.empty() && m_strElementName.back() == '/')
                    pSerializer->LeaveScope();
                else
                    ++depth;
                continue;
            }
            ReadValue(*pSerializer, dwKey);
        }
        pSerializer->ResetScope();
        return pSerializer;
    }
    return nullptr;
}
