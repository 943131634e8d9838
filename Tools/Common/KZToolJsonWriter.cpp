#include "Tools/Common/KZToolJsonWriter.h"

#include <cstdio>

CKZToolJsonWriter& CKZToolJsonWriter::BeginObject()
{
    return Open('{');
}

CKZToolJsonWriter& CKZToolJsonWriter::EndObject()
{
    return Close('}');
}

CKZToolJsonWriter& CKZToolJsonWriter::BeginArray()
{
    return Open('[');
}

CKZToolJsonWriter& CKZToolJsonWriter::EndArray()
{
    return Close(']');
}

CKZToolJsonWriter& CKZToolJsonWriter::Key(const std::string& strKey)
{
    Separate();
    m_strText += Quoted(strKey) + ":";
    m_bAfterKey = true;
    return *this;
}

CKZToolJsonWriter& CKZToolJsonWriter::String(const std::string& strValue)
{
    Separate();
    m_strText += Quoted(strValue);
    return *this;
}

CKZToolJsonWriter& CKZToolJsonWriter::Unsigned(uint64_t value)
{
    Separate();
    m_strText += std::to_string(value);
    return *this;
}

CKZToolJsonWriter& CKZToolJsonWriter::Bool(bool bValue)
{
    Separate();
    m_strText += bValue ? "true" : "false";
    return *this;
}

std::string CKZToolJsonWriter::Quoted(const std::string& strText)
{
    std::string strOut = "\"";
    for (const char c : strText)
    {
        if (c == '"' || c == '\\')
            strOut += std::string("\\") + c;
        else if (static_cast<unsigned char>(c) < 0x20)
        {
            char escaped[8];
            snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
            strOut += escaped;
        }
        else
            strOut += c;
    }
    return strOut + "\"";
}

void CKZToolJsonWriter::Separate()
{
    if (m_bAfterKey)
    {
        m_bAfterKey = false;
        return;
    }
    if (m_vecEmpty.empty())
        return;
    if (!m_vecEmpty.back())
        m_strText += ",";
    m_vecEmpty.back() = false;
}

CKZToolJsonWriter& CKZToolJsonWriter::Open(char bracket)
{
    Separate();
    m_strText += bracket;
    m_vecEmpty.push_back(true);
    return *this;
}

CKZToolJsonWriter& CKZToolJsonWriter::Close(char bracket)
{
    m_strText += bracket;
    if (!m_vecEmpty.empty())
        m_vecEmpty.pop_back();
    return *this;
}
