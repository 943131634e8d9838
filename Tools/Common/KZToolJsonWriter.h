#pragma once
// JSON text as the tools print it: compact, members in the order written. Strings escape '"', '\'
// and the control characters (as \u00XX); every other byte passes unchanged, so UTF-8 names stay
// readable. The writer keeps the commas; the caller keeps keys and values in their places.

#include <cstdint>
#include <string>
#include <vector>

class CKZToolJsonWriter
{
public:
    CKZToolJsonWriter& BeginObject();
    CKZToolJsonWriter& EndObject();
    CKZToolJsonWriter& BeginArray();
    CKZToolJsonWriter& EndArray();
    // The name of the object member whose value comes next.
    CKZToolJsonWriter& Key(const std::string& strKey);
    CKZToolJsonWriter& String(const std::string& strValue);
    CKZToolJsonWriter& Unsigned(uint64_t value);
    CKZToolJsonWriter& Bool(bool bValue);

    const std::string& Text() const { return m_strText; }

    // The text as a JSON string, quotes included.
    static std::string Quoted(const std::string& strText);

private:
    // Starts a value or a key: a comma before every one but the first in its array or object.
    void Separate();
    CKZToolJsonWriter& Open(char bracket);
    CKZToolJsonWriter& Close(char bracket);

    std::string m_strText;
    std::vector<bool> m_vecEmpty; // per open array or object: nothing written in it yet
    bool m_bAfterKey = false;
};
