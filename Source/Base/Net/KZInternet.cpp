#include "Base/Net/KZInternet.h"

#include "Base/Core/KZFile.h"
#include "Base/Hash/KZHashSHA1.h"
#include "Base/Net/KZHttpRequest.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <curl/curl.h>
#include <memory>
#include <mutex>

const std::string HTTP_PREFIX = "http://";
const std::string HTTPS_PREFIX = "https://";
const std::string HTTP_SCHEMES[2] = {HTTP_PREFIX, HTTPS_PREFIX};

namespace
{
const char* const s_szBuildNumber = "83236";
std::atomic<long> s_stallTimeoutSeconds{60};
// Read when a transfer starts, so a change holds from the next transfer on.
std::atomic<uint64_t> s_qwReceiveRateLimit{0};
std::mutex s_caFileMutex;
std::string s_strCaFile;

// Peers are checked (libcurl's default); a configured authority file replaces the system's.
void SetCertificateAuthority(CURL* pCurl)
{
    std::lock_guard<std::mutex> lock(s_caFileMutex);
    if (!s_strCaFile.empty())
        curl_easy_setopt(pCurl, CURLOPT_CAINFO, s_strCaFile.c_str());
}

// libcurl keeps the receive rate under the limit by pausing between reads, but one read pass takes
// up to 100 buffers of whatever the socket holds: on a fast link a small file would arrive in one
// pass. With a limit the buffer is cut so that one pass holds about a twentieth of a second's worth.
void ApplyReceiveRateLimit(CURL* pCurl)
{
    const uint64_t qwLimit = s_qwReceiveRateLimit.load();
    if (qwLimit == 0)
        return;
    const uint64_t qwMax = static_cast<uint64_t>(INT64_MAX);
    curl_easy_setopt(pCurl, CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(qwLimit < qwMax ? qwLimit : qwMax));
    const uint64_t qwBuffer = std::min<uint64_t>(std::max<uint64_t>(qwLimit / 2000, 1024), CURL_MAX_WRITE_SIZE);
    curl_easy_setopt(pCurl, CURLOPT_BUFFERSIZE, static_cast<long>(qwBuffer));
}

// libcurl's global state lives as long as the library is loaded.
class CKZGlobals
{
public:
    CKZGlobals() { curl_global_init(CURL_GLOBAL_ALL); }
    ~CKZGlobals() { curl_global_cleanup(); }
    CKZGlobals(const CKZGlobals&) = delete;
    CKZGlobals& operator=(const CKZGlobals&) = delete;
};
CKZGlobals g_curlGlobals;

struct SProgressTarget
{
    KZInternet::ProgressCallback pCallback;
    void* pUser;
};

size_t writer(char* pData, size_t size, size_t count, std::string* pString)
{
    if (!pString)
        return 0;
    pString->append(pData, size * count);
    return size * count;
}

size_t throw_away(char*, size_t size, size_t count, void*)
{
    return size * count;
}

int progress(void* pClient, curl_off_t downloadTotal, curl_off_t downloadedNow, curl_off_t, curl_off_t)
{
    const SProgressTarget* pTarget = static_cast<const SProgressTarget*>(pClient);
    pTarget->pCallback(pTarget->pUser, static_cast<uint64_t>(downloadedNow), static_cast<uint64_t>(downloadTotal));
    return 0;
}

std::string WithScheme(const char* szUrl)
{
    return CKZHttpRequest::UrlHasSchemePrefix(szUrl) ? std::string(szUrl) : HTTP_PREFIX + szUrl;
}

// The relaxation is keyed on the URL as given, case-sensitively: "HTTPS://" gets none.
void RelaxHttps(CURL* pCurl, const char* szUrl)
{
    if (strncmp(szUrl, "https", 5) != 0)
        return;
    curl_easy_setopt(pCurl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(pCurl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(pCurl, CURLOPT_FOLLOWLOCATION, 1L);
}

// A transfer owns the header list it is given from its first line on, so that every way out frees it.
struct SHeaderListFree
{
    void operator()(curl_slist* pList) const { curl_slist_free_all(pList); }
};
typedef std::unique_ptr<curl_slist, SHeaderListFree> HeaderList;

// What the requests with a scheme fix-up share. libcurl copies the texts it is given.
void SetRequestOptions(CURL* pCurl, const char* szGivenUrl, const std::string& strUrl, curl_slist* pHeaders)
{
    RelaxHttps(pCurl, szGivenUrl);
    if (pHeaders)
        curl_easy_setopt(pCurl, CURLOPT_HTTPHEADER, pHeaders);
    curl_easy_setopt(pCurl, CURLOPT_URL, strUrl.c_str());
    curl_easy_setopt(pCurl, CURLOPT_USERAGENT, KZInternet::GetAgentString().c_str());
    ApplyReceiveRateLimit(pCurl);
}
} // namespace

namespace KZInternet
{
void SetReceiveRateLimit(uint64_t qwBytesPerSecond)
{
    s_qwReceiveRateLimit = qwBytesPerSecond;
}

uint64_t GetReceiveRateLimit()
{
    return s_qwReceiveRateLimit.load();
}

void SetStallTimeout(long seconds)
{
    s_stallTimeoutSeconds = seconds;
}

void SetCertificateAuthorityFile(const char* szPath)
{
    std::lock_guard<std::mutex> lock(s_caFileMutex);
    s_strCaFile = szPath ? szPath : "";
}

std::string GetAgentString()
{
    return std::string("TVK/") + s_szBuildNumber;
}

bool HttpGetFile(const char* szUrl, const char* szLocalPath, uint32_t dwConnectTimeoutMs, void* pUser,
                 ProgressCallback pCallback, int64_t* pHttpStatus, bool* pbWriteFailed)
{
    if (pHttpStatus)
        *pHttpStatus = 0;
    bool bWriteFailedIgnored = false;
    bool& bWriteFailed = pbWriteFailed ? *pbWriteFailed : bWriteFailedIgnored;
    bWriteFailed = false;
    // libcurl's default writer fills the stream of the standard back end.
    CKZFile file(*KZFileIO::GetStandardInterface());
    if (!file.Open(szLocalPath, "wb"))
    {
        bWriteFailed = true;
        return false;
    }
    long httpStatus = 0;
    CURL* pCurl = curl_easy_init();
    if (!pCurl)
        return false;
    const std::string strAgent = GetAgentString();
    SProgressTarget target = {pCallback, pUser};
    curl_easy_setopt(pCurl, CURLOPT_URL, szUrl);
    curl_easy_setopt(pCurl, CURLOPT_USERAGENT, strAgent.c_str());
    SetCertificateAuthority(pCurl);
    ApplyReceiveRateLimit(pCurl);
    curl_easy_setopt(pCurl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(pCurl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pCurl, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(pCurl, CURLOPT_FAILONERROR, 1L);
    if (pUser && pCallback)
    {
        curl_easy_setopt(pCurl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(pCurl, CURLOPT_XFERINFOFUNCTION, progress);
        curl_easy_setopt(pCurl, CURLOPT_XFERINFODATA, &target);
    }
    curl_easy_setopt(pCurl, CURLOPT_WRITEDATA, file.GetHandle());
    curl_easy_setopt(pCurl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(dwConnectTimeoutMs));
    // No overall limit, but a server that stops sending must not hold the caller forever.
    curl_easy_setopt(pCurl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(pCurl, CURLOPT_LOW_SPEED_TIME, s_stallTimeoutSeconds.load());
    const CURLcode result = curl_easy_perform(pCurl);
    curl_easy_getinfo(pCurl, CURLINFO_RESPONSE_CODE, &httpStatus);
    curl_easy_cleanup(pCurl);
    if (pHttpStatus)
        *pHttpStatus = httpStatus;
    if (result != CURLE_OK)
    {
        bWriteFailed = result == CURLE_WRITE_ERROR;
        return false;
    }
    // A short write (disk full) shows only when the stream is flushed.
    const bool bFlushed = fflush(static_cast<FILE*>(file.GetHandle())) == 0;
    bWriteFailed = !bFlushed;
    return httpStatus == 200 && bFlushed;
}

bool HttpRequestInfo(const char* szUrl, uint64_t* pSize, uint64_t* pTime, curl_slist* pHeaders)
{
    const HeaderList headers(pHeaders);
    const std::string strUrl = WithScheme(szUrl);
    long fileTime = -1;
    curl_off_t contentLength = 0;
    CURL* pCurl = curl_easy_init();
    if (!pCurl)
        return false;
    SetRequestOptions(pCurl, szUrl, strUrl, pHeaders);
    curl_easy_setopt(pCurl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(pCurl, CURLOPT_FILETIME, 1L);
    curl_easy_setopt(pCurl, CURLOPT_HEADERFUNCTION, throw_away);
    curl_easy_setopt(pCurl, CURLOPT_HEADER, 0L);
    curl_easy_setopt(pCurl, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(pCurl, CURLOPT_CONNECTTIMEOUT, 15L);
    bool bResult = false;
    if (curl_easy_perform(pCurl) == CURLE_OK &&
        curl_easy_getinfo(pCurl, CURLINFO_FILETIME, &fileTime) == CURLE_OK && fileTime >= 0)
    {
        if (pTime)
            *pTime = static_cast<uint64_t>(fileTime);
        if (curl_easy_getinfo(pCurl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &contentLength) == CURLE_OK &&
            contentLength > 0)
        {
            bResult = true;
            if (pSize)
                *pSize = static_cast<uint64_t>(contentLength);
        }
    }
    curl_easy_cleanup(pCurl);
    return bResult;
}

bool HttpRequestInfoChecked(const char* szUrl, uint64_t* pSize, uint64_t* pTime, int64_t* pHttpStatus)
{
    long fileTime = -1;
    long httpStatus = 0;
    curl_off_t contentLength = 0;
    CURL* pCurl = curl_easy_init();
    if (!pCurl)
        return false;
    const std::string strAgent = GetAgentString();
    curl_easy_setopt(pCurl, CURLOPT_URL, szUrl);
    curl_easy_setopt(pCurl, CURLOPT_USERAGENT, strAgent.c_str());
    SetCertificateAuthority(pCurl);
    ApplyReceiveRateLimit(pCurl);
    curl_easy_setopt(pCurl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pCurl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(pCurl, CURLOPT_FILETIME, 1L);
    curl_easy_setopt(pCurl, CURLOPT_HEADERFUNCTION, throw_away);
    curl_easy_setopt(pCurl, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(pCurl, CURLOPT_CONNECTTIMEOUT, 15L);
    bool bResult = false;
    if (curl_easy_perform(pCurl) == CURLE_OK)
    {
        curl_easy_getinfo(pCurl, CURLINFO_RESPONSE_CODE, &httpStatus);
        if (httpStatus == 200 && curl_easy_getinfo(pCurl, CURLINFO_FILETIME, &fileTime) == CURLE_OK &&
            fileTime >= 0 &&
            curl_easy_getinfo(pCurl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &contentLength) == CURLE_OK &&
            contentLength > 0)
        {
            bResult = true;
            if (pTime)
                *pTime = static_cast<uint64_t>(fileTime);
            if (pSize)
                *pSize = static_cast<uint64_t>(contentLength);
        }
    }
    curl_easy_cleanup(pCurl);
    if (pHttpStatus)
        *pHttpStatus = httpStatus;
    return bResult;
}

bool HttpRequest(const char* szUrl, std::string& strResponse, curl_slist* pHeaders)
{
    const HeaderList headers(pHeaders);
    const std::string strUrl = WithScheme(szUrl);
    CURL* pCurl = curl_easy_init();
    if (!pCurl)
        return false;
    SetRequestOptions(pCurl, szUrl, strUrl, pHeaders);
    curl_easy_setopt(pCurl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(pCurl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pCurl, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(pCurl, CURLOPT_WRITEDATA, &strResponse);
    curl_easy_setopt(pCurl, CURLOPT_WRITEFUNCTION, writer);
    curl_easy_setopt(pCurl, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(pCurl, CURLOPT_CONNECTTIMEOUT, 15L);
    const CURLcode result = curl_easy_perform(pCurl);
    curl_easy_cleanup(pCurl);
    return result == CURLE_OK;
}

bool HttpRequestPost(const char* szUrl, const char* szSuffix, const char* szBody, std::string& strResponse,
                     curl_slist* pHeaders, bool, int64_t* pHttpStatus, int* pCurlCode)
{
    const HeaderList headers(pHeaders ? pHeaders : CreateHeader("application/x-www-form-urlencoded"));
    const std::string strUrl = WithScheme(szUrl) + szSuffix;
    CURL* pCurl = curl_easy_init();
    if (!pCurl)
    {
        if (pCurlCode)
            *pCurlCode = CURLE_FAILED_INIT;
        return false;
    }
    SetRequestOptions(pCurl, szUrl, strUrl, headers.get());
    curl_easy_setopt(pCurl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pCurl, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(pCurl, CURLOPT_POSTFIELDSIZE, static_cast<long>(strlen(szBody)));
    curl_easy_setopt(pCurl, CURLOPT_POSTFIELDS, szBody);
    curl_easy_setopt(pCurl, CURLOPT_WRITEDATA, &strResponse);
    curl_easy_setopt(pCurl, CURLOPT_WRITEFUNCTION, writer);
    curl_easy_setopt(pCurl, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(pCurl, CURLOPT_CONNECTTIMEOUT, 15L);
    const CURLcode result = curl_easy_perform(pCurl);
    if (pHttpStatus)
    {
        long httpStatus = 0;
        curl_easy_getinfo(pCurl, CURLINFO_RESPONSE_CODE, &httpStatus);
        *pHttpStatus = httpStatus;
    }
    curl_easy_cleanup(pCurl);
    if (pCurlCode)
        *pCurlCode = result;
    return result == CURLE_OK;
}

curl_slist* CreateHeader(const char* szContentType)
{
    curl_slist* pList = curl_slist_append(nullptr, (std::string("Content-Type: ") + szContentType).c_str());
    return curl_slist_append(pList, "Accept: */*");
}

curl_slist* CreateHeader(const char* szMessage, uint32_t dwCustomerId, const char* szKey, const char* szScheme,
                         const char* szContentType)
{
    CKZHMacSha1 hmac;
    hmac.ComputeHash(szMessage, szKey);
    std::string strDigest;
    hmac.GetHash(strDigest, 0);
    curl_slist* pList = CreateHeader(szContentType);
    char szLine[512];
    snprintf(szLine, sizeof(szLine), "Authorization: %s CustomerID=%d, Mac=%s", szScheme, static_cast<int>(dwCustomerId),
             strDigest.c_str());
    return curl_slist_append(pList, szLine);
}
} // namespace KZInternet

std::string URLEncodeString(const char* szText)
{
    static const char s_hex[] = "0123456789ABCDEF";
    std::string strOut;
    for (const char* p = szText; *p; ++p)
    {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (isalnum(c))
            strOut += static_cast<char>(c);
        else if (isspace(c))
            strOut += '+';
        else
        {
            strOut += '%';
            strOut += s_hex[c >> 4];
            strOut += s_hex[c & 15];
        }
    }
    return strOut;
}

// A '%' not followed by two hexadecimal digits is copied as it stands.
std::string URLDecodeString(const char* szText)
{
    std::string strOut;
    for (const char* p = szText; *p; ++p)
    {
        if (*p == '%' && isxdigit(static_cast<unsigned char>(p[1])) && isxdigit(static_cast<unsigned char>(p[2])))
        {
            const char hex[3] = {p[1], p[2], 0};
            strOut += static_cast<char>(strtoul(hex, nullptr, 16));
            p += 2;
        }
        else
            strOut += *p;
    }
    return strOut;
}
