#pragma once
// The XML form of a serializer: objects for containers, one element per value named by its type,
// arrays with separated elements, keys by name.

#include "Base/Serialize/KZFileParser.h"

#include <string>

class CKZFileParserXML : public CKZFileParser
{
public:
    // Value text of one stored value (the content's bytes, at most `size` of them, are read).
    static std::string ValueToText(uint32_t dwType, const void* pData, uint32_t dwSize);
    // The bytes of a value of that type parsed from its text; false for a type without a text form.
    static bool TextToValue(uint32_t dwType, const std::string& strText, std::string& strBytes);
    // The element name of a value type ("uint", "vector3", ...); empty for an unknown number.
    static const char* TypeName(uint32_t dwType);
    // Bytes of one element of a type (0 for the types without a fixed size).
    static uint32_t SizeFromType(uint32_t dwType);

    void InternalSaveToFile(CKZFile& file, CKZSerializer& serializer) override;
    std::unique_ptr<CKZSerializer> InternalLoadFromFile(CKZFile& file) override;

private:
    bool NextElement();
    void ReadValue(CKZSerializer& serializer, uint32_t dwKey);
    uint32_t ReadKey() const;
    void WriteContent(CKZSerializer& serializer, const SKZSerializerNode& node, std::string& strOut) const;

    const char* m_pPosition = nullptr;
    const char* m_pEnd = nullptr;
    const char* m_pTagStart = nullptr;
    int m_version = 0;
    uint32_t m_ValueType = 0;
    bool m_bArray = false;
    std::string m_strElementName;
    char m_separator = ';';
};
