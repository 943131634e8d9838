#pragma once
// A signed JSON request: named parameters written as a JSON object, posted with a signature in the
// query string, and the answer parsed into a flat key/value map read with typed getters.

#include <cstdint>
#include <map>
#include <string>
#include <strings.h>
#include <vector>

class CKZHttpRequest
{
public:
    enum KZ_HTTP_REQUEST_PARAMERTER_TYPE : uint32_t
    {
        KZ_HTTP_REQUEST_PARAMETER_TEXT = 0,
        KZ_HTTP_REQUEST_PARAMETER_NUMBER = 1,
        KZ_HTTP_REQUEST_PARAMETER_GROUP_BEGIN = 2,
        KZ_HTTP_REQUEST_PARAMETER_GROUP_END = 3,
    };

    struct CKZHttpRequestParameter
    {
        std::string name;
        std::string value;
        KZ_HTTP_REQUEST_PARAMERTER_TYPE type;
    };

    CKZHttpRequest() = default;
    virtual ~CKZHttpRequest() = default;

    void Reset();
    void Add(const std::string& strName, const std::string& strValue);
    void Add(const std::string& strName, const char* szValue) { Add(strName, std::string(szValue)); }
    void Add(const std::string& strName, uint32_t dwValue);
    void Add(const std::string& strName, int32_t iValue);
    void Add(const std::string& strName, float fValue);
    void AddGroup(const std::string& strName);
    void EndGroup();

    bool SendJsonWithSignature(const std::string& strUrl, const std::string& strPath);
    static std::string BuildJsonRequestString(const std::vector<CKZHttpRequestParameter>& vecParameters);
    void ParseResult(const std::string& strResponse);

    std::string GetValueString(const std::string& strKey, const std::string& strDefault) const;
    int32_t GetValueInt(const std::string& strKey, int32_t iDefault) const;
    uint32_t GetValueUInt(const std::string& strKey, uint32_t dwDefault) const;
    float GetValueFloat(const std::string& strKey, float fDefault) const;
    bool ValueExists(const std::string& strKey) const { return m_mapValues.count(strKey) != 0; }

    const std::string& GetResponse() const { return m_strResponse; }
    int64_t GetHttpStatus() const { return m_iHttpStatus; }
    int GetCurlCode() const { return m_CurlCode; }

    // True when the text begins with "http://" or "https://", in any letter case.
    static bool UrlHasSchemePrefix(const char* szUrl)
    {
        return strncasecmp(szUrl, "http://", 7) == 0 || strncasecmp(szUrl, "https://", 8) == 0;
    }
    static bool UrlHasSchemePrefix(const std::string& strUrl) { return UrlHasSchemePrefix(strUrl.c_str()); }

private:
    void ParseDashForm(const std::string& strText);
    void ParseJsonForm(const std::string& strText);

    std::vector<CKZHttpRequestParameter> m_vecParameters;
    std::string m_strResponse;
    std::map<std::string, std::string> m_mapValues;
    int64_t m_iHttpStatus = 0;
    int m_CurlCode = 2; // CURLE_FAILED_INIT until a post has run
};
