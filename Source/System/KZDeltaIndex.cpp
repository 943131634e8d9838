#include "System/KZDeltaIndex.h"

#include "Base/Util/KZString.h"
#include "System/KZInstallLayout.h"

#include <cstdio>

namespace
{
const char* const kMagic = "kzpatch-delta-index";
const size_t kMaxNameLength = 255;

// The next word up to a single space; false at the end of the line.
bool NextWord(const std::string& strLine, size_t& at, std::string& strWord)
{
    const size_t end = strLine.find(' ', at);
    if (end == std::string::npos)
        return false;
    strWord = strLine.substr(at, end - at);
    at = end + 1;
    return true;
}

bool ParseCrc(const std::string& strHex, uint32_t& dwCrc)
{
    std::array<uint8_t, 4> bytes{};
    if (!KZSignature::FromLowerHex(strHex, bytes))
        return false;
    dwCrc = static_cast<uint32_t>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
    return true;
}

bool ParseSize(const std::string& strText, uint32_t& dwSize)
{
    uint64_t qwValue = 0;
    if (!KZStringParseDecimal(strText, qwValue) || qwValue > CKZDeltaIndex::kMaxFileSize)
        return false;
    dwSize = static_cast<uint32_t>(qwValue);
    return true;
}

std::string CrcText(uint32_t dwCrc)
{
    char szText[9];
    snprintf(szText, sizeof(szText), "%08x", dwCrc);
    return szText;
}
} // namespace

std::string SKZDelta::ServerPath() const
{
    return KZInstallLayout::DeltaName(strName, dwBaseCrc);
}

bool CKZDeltaIndex::IsFileName(const std::string& strName)
{
    if (strName.empty() || strName.size() > kMaxNameLength || strName == "." || strName == "..")
        return false;
    for (const unsigned char c : strName)
        if (c < 0x20 || c == 0x7f || c == '/' || c == '\\')
            return false;
    return true;
}

bool CKZDeltaIndex::Add(const SKZDelta& delta)
{
    if (!IsFileName(delta.strName) || delta.qwDeltaSize > kMaxFileSize || delta.dwBaseSize > kMaxFileSize ||
        delta.dwTargetSize > kMaxFileSize || delta.qwPublication > m_qwPublication)
        return false;
    return m_deltas.emplace(std::make_pair(delta.strName, delta.dwBaseCrc), delta).second;
}

const SKZDelta* CKZDeltaIndex::Find(const std::string& strName, uint32_t dwBaseSize, uint32_t dwBaseCrc) const
{
    const auto it = m_deltas.find(std::make_pair(strName, dwBaseCrc));
    return it != m_deltas.end() && it->second.dwBaseSize == dwBaseSize ? &it->second : nullptr;
}

std::string CKZDeltaIndex::Text() const
{
    std::string strText = std::string(kMagic) + " " + std::to_string(kFormatVersion) + "\n";
    strText += "publication " + std::to_string(m_qwPublication) + "\n";
    for (const auto& entry : m_deltas)
    {
        const SKZDelta& delta = entry.second;
        strText += "delta " + std::to_string(delta.dwBaseSize) + " " + CrcText(delta.dwBaseCrc) + " " +
                   std::to_string(delta.dwTargetSize) + " " + CrcText(delta.dwTargetCrc) + " " +
                   KZSignature::ToHex(delta.targetDigest) + " " + std::to_string(delta.qwDeltaSize) + " " +
                   std::to_string(delta.qwPublication) + " " + delta.strName + "\n";
    }
    return strText;
}

bool CKZDeltaIndex::Parse(const std::string& strText, std::string& strWhy)
{
    m_qwPublication = 0;
    m_deltas.clear();
    if (strText.size() > kMaxBytes || strText.empty() || strText.back() != '\n')
    {
        strWhy = "it is empty, too large or cut short";
        return false;
    }
    size_t number = 0;
    for (size_t start = 0; start < strText.size();)
    {
        const size_t end = strText.find('\n', start);
        const std::string strLine = strText.substr(start, end - start);
        start = end + 1;
        ++number;
        size_t at = 0;
        std::string strWord;
        uint64_t qwValue = 0;
        bool bValid = false;
        if (number == 1)
            bValid = NextWord(strLine, at, strWord) && strWord == kMagic &&
                     KZStringParseDecimal(strLine.substr(at), qwValue) && qwValue == kFormatVersion;
        else if (number == 2)
            bValid = NextWord(strLine, at, strWord) && strWord == "publication" &&
                     KZStringParseDecimal(strLine.substr(at), m_qwPublication);
        else
            bValid = ParseDelta(strLine);
        if (!bValid)
        {
            strWhy = "line " + std::to_string(number) + " is not valid";
            m_qwPublication = 0;
            m_deltas.clear();
            return false;
        }
    }
    if (number < 2)
    {
        strWhy = "it lacks its publication line";
        m_qwPublication = 0;
        return false;
    }
    return true;
}

bool CKZDeltaIndex::ParseDelta(const std::string& strLine)
{
    std::string words[8];
    size_t at = 0;
    for (std::string& strWord : words)
        if (!NextWord(strLine, at, strWord))
            return false;
    SKZDelta delta;
    delta.strName = strLine.substr(at);
    uint32_t dwDeltaSize = 0;
    if (words[0] != "delta" || !ParseSize(words[1], delta.dwBaseSize) || !ParseCrc(words[2], delta.dwBaseCrc) ||
        !ParseSize(words[3], delta.dwTargetSize) || !ParseCrc(words[4], delta.dwTargetCrc) ||
        !KZSignature::FromLowerHex(words[5], delta.targetDigest) || !ParseSize(words[6], dwDeltaSize) ||
        !KZStringParseDecimal(words[7], delta.qwPublication))
        return false;
    delta.qwDeltaSize = dwDeltaSize;
    return Add(delta);
}
