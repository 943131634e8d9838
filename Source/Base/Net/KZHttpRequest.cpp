#include "Base/Net/KZHttpRequest.h"

#include "Base/Hash/KZHashSHA1.h"
#include "Base/Net/KZInternet.h"
#include "Base/Net/KZRequestSecrets.h"
#include "Base/Util/KZString.h"
#include "Base/Util/KZUTF8.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
std::string Formatted(const char* szFormat, double value)
{
    char buffer[64];
    snprintf(buffer, sizeof(buffer), szFormat, value);
    return buffer;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Replaces the escapes of a quoted JSON value; \u and four hexadecimal digits become UTF-8. Any
// other backslash sequence is kept as it stands.
std::string Unescape(const std::string& strRaw)
{
    std::string strOut;
    for (size_t i = 0; i < strRaw.size(); ++i)
    {
        if (strRaw[i] != '\\' || i + 1 >= strRaw.size())
        {
            strOut += strRaw[i];
            continue;
        }
        const char c = strRaw[i + 1];
        static const char s_from[] = "\"/\\bfnrt";
        static const char s_to[] = "\"/\\\b\f\n\r\t";
        if (const char* p = strchr(s_from, c); p && c)
        {
            strOut += s_to[p - s_from];
            ++i;
            continue;
        }
        if (c == 'u' && i + 5 < strRaw.size() && HexValue(strRaw[i + 2]) >= 0 && HexValue(strRaw[i + 3]) >= 0 &&
            HexValue(strRaw[i + 4]) >= 0 && HexValue(strRaw[i + 5]) >= 0)
        {
            uint32_t code = 0;
            for (size_t k = 2; k < 6; ++k)
                code = code * 16 + static_cast<uint32_t>(HexValue(strRaw[i + k]));
            char buffer[4];
            strOut.append(buffer, static_cast<size_t>(u8_wc_toutf8(buffer, code)));
            i += 5;
            continue;
        }
        strOut += '\\';
    }
    return strOut;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
} // namespace

void CKZHttpRequest::Reset()
{
    m_vecParameters.clear();
    m_mapValues.clear();
    m_strResponse.clear();
}

void CKZHttpRequest::Add(const std::string& strName, const std::string& strValue)
{
    m_vecParameters.push_back({strName, strValue, KZ_HTTP_REQUEST_PARAMETER_TEXT});
}

void CKZHttpRequest::Add(const std::string& strName, uint32_t dwValue)
{
    m_vecParameters.push_back({strName, std::to_string(dwValue), KZ_HTTP_REQUEST_PARAMETER_NUMBER});
}

void CKZHttpRequest::Add(const std::string& strName, int32_t iValue)
{
    m_vecParameters.push_back({strName, std::to_string(iValue), KZ_HTTP_REQUEST_PARAMETER_NUMBER});
}

void CKZHttpRequest::Add(const std::string& strName, float fValue)
{
    m_vecParameters.push_back({strName, Formatted("%.3f", fValue), KZ_HTTP_REQUEST_PARAMETER_NUMBER});
}

void CKZHttpRequest::AddGroup(const std::string& strName)
{
    m_vecParameters.push_back({strName, "", KZ_HTTP_REQUEST_PARAMETER_GROUP_BEGIN});
}

void CKZHttpRequest::EndGroup()
{
    m_vecParameters.push_back({"", "", KZ_HTTP_REQUEST_PARAMETER_GROUP_END});
}

std::string CKZHttpRequest::BuildJsonRequestString(const std::vector<CKZHttpRequestParameter>& vecParameters)
{
    std::string strJson = "{\n";
    int depth = 1;
    bool bGroupJustOpened = false;
    for (size_t i = 0; i < vecParameters.size(); ++i)
    {
        const CKZHttpRequestParameter& parameter = vecParameters[i];
        if (parameter.type == KZ_HTTP_REQUEST_PARAMETER_GROUP_END)
        {
            // The closing brace sits one level deeper than the line that opened the group.
            strJson += "\n" + std::string(static_cast<size_t>(depth > 0 ? depth : 0), '\t') + "}";
            --depth;
            bGroupJustOpened = false;
            continue;
        }
        if (i > 0 && !bGroupJustOpened)
            strJson += ",\n";
        strJson += std::string(static_cast<size_t>(depth > 0 ? depth : 0), '\t') + "\"" + parameter.name;
        if (parameter.type == KZ_HTTP_REQUEST_PARAMETER_GROUP_BEGIN)
        {
            strJson += "\": {\n";
            bGroupJustOpened = true;
            ++depth;
        }
        else
        {
            if (parameter.type == KZ_HTTP_REQUEST_PARAMETER_NUMBER)
                strJson += "\": " + parameter.value;
            else
                strJson += "\": \"" + parameter.value + "\"";
            bGroupJustOpened = false;
        }
    }
    strJson += "\n}\n";
    return strJson;
}

bool CKZHttpRequest::SendJsonWithSignature(const std::string& strUrlIn, const std::string& strPathIn)
{
    std::string strUrl = strUrlIn;
    std::string strPath = strPathIn;
    const size_t scheme = strUrl.compare(0, 7, "http://") == 0 ? 7 : strUrl.compare(0, 8, "https://") == 0 ? 8 : 0;
    const size_t slash = strUrl.find('/', scheme);
    if (slash != std::string::npos)
    {
        if (strPath.empty())
            strPath = strUrl.substr(slash);
        strUrl.erase(slash);
    }
    const std::string strBody = BuildJsonRequestString(m_vecParameters);
    strPath += "?Rand=" + std::to_string(rand());
    const int version = rand() % 20;
    strPath += "&version=" + std::to_string(version);
    CKZHashSHA1 sha1;
    const std::string strSigned = strBody + KZRequestSecrets::Get(static_cast<unsigned>(version));
    sha1.ComputeHash(strSigned.data(), static_cast<uint32_t>(strSigned.size()));
    std::string strDigest;
    sha1.GetHash(strDigest, 0);
    strPath += "&hash=" + strDigest;

    int curlCode = m_CurlCode;
    const bool bPosted = KZInternet::HttpRequestPost(strUrl.c_str(), strPath.c_str(), strBody.c_str(), m_strResponse,
                                                     KZInternet::CreateHeader("application/json"), false,
                                                     &m_iHttpStatus, &curlCode);
    m_CurlCode = curlCode;
    if (!bPosted)
        return false;
    ParseResult(m_strResponse);
    return true;
}

void CKZHttpRequest::ParseResult(const std::string& strResponse)
{
    if (strResponse.empty())
        return;
    if (strResponse[0] == '-')
        ParseDashForm(strResponse);
    else if (strResponse[0] == '{')
        ParseJsonForm(strResponse);
}

// "-key=value-other=thing": pieces between '-' and '=' taken in pairs.
void CKZHttpRequest::ParseDashForm(const std::string& strText)
{
    const std::vector<std::string> vecPieces = KZStringTokenize(strText, "-=");
    for (size_t i = 0; i + 1 < vecPieces.size(); i += 2)
    {
        std::string strKey = vecPieces[i];
        std::string strValue = vecPieces[i + 1];
        KZStringTrim(strKey, "{ \"\t\n\r}");
        KZStringTrim(strValue, "{ \"\t\n\r}");
        m_mapValues[strKey] = strValue;
    }
}

// A flat scan: every "key": value pair at any depth lands in the one map.
void CKZHttpRequest::ParseJsonForm(const std::string& strText)
{
    size_t position = 0;
    for (;;)
    {
        const size_t keyOpen = strText.find('"', position);
        if (keyOpen == std::string::npos)
            return;
        const size_t keyClose = strText.find('"', keyOpen + 1);
        if (keyClose == std::string::npos)
            return;
        const std::string strKey = strText.substr(keyOpen + 1, keyClose - keyOpen - 1);
        const size_t colon = strText.find(':', keyClose + 1);
        if (colon == std::string::npos)
            return;
        size_t value = colon + 1;
        while (value < strText.size() && IsBlank(strText[value]))
            ++value;
        if (value >= strText.size())
            return;
        if (strText[value] == '"')
        {
            const size_t valueClose = strText.find('"', value + 1);
            if (valueClose == std::string::npos)
            {
                m_mapValues[strKey] = Unescape(strText.substr(value + 1));
                return;
            }
            m_mapValues[strKey] = Unescape(strText.substr(value + 1, valueClose - value - 1));
            position = valueClose + 1;
        }
        else if (strText[value] == '{')
        {
            m_mapValues[strKey] = "";
            position = value + 1;
        }
        else
        {
            const size_t end = strText.find_first_of(" \t\n\r,{}", value);
            std::string strValue = strText.substr(value, end == std::string::npos ? std::string::npos : end - value);
            if (strValue == "true")
                strValue = "1";
            else if (strValue == "false")
                strValue = "0";
            m_mapValues[strKey] = strValue;
            if (end == std::string::npos)
                return;
            position = end;
        }
    }
}

std::string CKZHttpRequest::GetValueString(const std::string& strKey, const std::string& strDefault) const
{
    const auto found = m_mapValues.find(strKey);
    return found == m_mapValues.end() ? strDefault : found->second;
}

int32_t CKZHttpRequest::GetValueInt(const std::string& strKey, int32_t iDefault) const
{
    const auto found = m_mapValues.find(strKey);
    return found == m_mapValues.end() ? iDefault : atoi(found->second.c_str());
}

uint32_t CKZHttpRequest::GetValueUInt(const std::string& strKey, uint32_t dwDefault) const
{
    const auto found = m_mapValues.find(strKey);
    return found == m_mapValues.end() ? dwDefault : static_cast<uint32_t>(atoi(found->second.c_str()));
}

float CKZHttpRequest::GetValueFloat(const std::string& strKey, float fDefault) const
{
    const auto found = m_mapValues.find(strKey);
    return found == m_mapValues.end() ? fDefault : static_cast<float>(atof(found->second.c_str()));
}
