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
#include <ctime>
#include <curl/curl.h>
#include <memory>
#include <mutex>
#include <strings.h>
#include <unistd.h>

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
    const uint64_t* pqwBase; // bytes on disk that the answer continues
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
    const uint64_t qwBase = pTarget->pqwBase ? *pTarget->pqwBase : 0;
    pTarget->pCallback(pTarget->pUser, qwBase + static_cast<uint64_t>(downloadedNow),
                       qwBase + static_cast<uint64_t>(downloadTotal));
    return 0;
}

// The handle a transfer uses: its session's when that is free, else one of its own.
class CHandle
{
public:
    explicit CHandle(CKZTransferSession* pSession)
    {
        if (pSession && (m_pCurl = static_cast<CURL*>(pSession->Acquire())) != nullptr)
            m_pSession = pSession;
        else
            m_pCurl = curl_easy_init();
    }
    ~CHandle()
    {
        if (m_pSession)
            m_pSession->Release();
        else if (m_pCurl)
            curl_easy_cleanup(m_pCurl);
    }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    CURL* Get() const { return m_pCurl; }

private:
    CURL* m_pCurl = nullptr;
    CKZTransferSession* m_pSession = nullptr;
};

// Where a download's body goes: after qwOffset bytes already on disk when the answer continues
// them (206 from exactly there), else from the start of the file.
struct SBodyTarget
{
    FILE* pFile;
    CURL* pCurl;
    uint64_t qwOffset;
    int64_t rangeStart; // the first byte of the answer's Content-Range, -1 without one
    bool bStarted;
    bool bFailed;
    bool bWrongPart; // failed on the answer, not on the local file
};

// Empties the file for a whole answer.
bool StartOver(SBodyTarget& body)
{
    body.qwOffset = 0;
    return fflush(body.pFile) == 0 && ftruncate(fileno(body.pFile), 0) == 0 && fseeko(body.pFile, 0, SEEK_SET) == 0;
}

size_t WriteBody(char* pData, size_t size, size_t count, void* pUser)
{
    SBodyTarget& body = *static_cast<SBodyTarget*>(pUser);
    if (!body.bStarted)
    {
        body.bStarted = true;
        long status = 0;
        curl_easy_getinfo(body.pCurl, CURLINFO_RESPONSE_CODE, &status);
        const bool bContinues = status == 206 && body.qwOffset > 0 && body.rangeStart == int64_t(body.qwOffset);
        // A part that does not start where the file ends belongs nowhere: the transfer fails, and
        // the emptied file makes the next try ask for the whole file.
        if (status == 206 && !bContinues)
        {
            StartOver(body);
            body.bFailed = true;
            body.bWrongPart = true;
        }
        else if (!bContinues && body.qwOffset > 0 && !StartOver(body))
            body.bFailed = true;
    }
    if (body.bFailed)
        return 0;
    return fwrite(pData, 1, size * count, body.pFile);
}

// Notes the start of a "Content-Range: bytes FIRST-LAST/LENGTH" header line.
size_t ReadRangeHeader(char* pData, size_t size, size_t count, void* pUser)
{
    SBodyTarget& body = *static_cast<SBodyTarget*>(pUser);
    const size_t length = size * count;
    static const char s_szName[] = "content-range:";
    const size_t nameLength = sizeof(s_szName) - 1;
    if (length > nameLength && strncasecmp(pData, s_szName, nameLength) == 0)
    {
        const std::string strValue(pData + nameLength, length - nameLength);
        unsigned long long first = 0;
        if (sscanf(strValue.c_str(), " bytes %llu-", &first) == 1)
            body.rangeStart = static_cast<int64_t>(first);
    }
    return length;
}

// An HTTP date (IMF-fixdate) of seconds since 1970, independent of the locale.
std::string HttpDate(int64_t seconds)
{
    static const char* const s_days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const s_months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t time = static_cast<time_t>(seconds);
    struct tm parts = {};
    if (!gmtime_r(&time, &parts))
        return "";
    char szDate[64];
    snprintf(szDate, sizeof(szDate), "%s, %02d %s %04d %02d:%02d:%02d GMT", s_days[parts.tm_wday % 7], parts.tm_mday,
             s_months[parts.tm_mon % 12], parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return szDate;
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

CKZTransferSession::~CKZTransferSession()
{
    if (m_pCurl)
        curl_easy_cleanup(static_cast<CURL*>(m_pCurl));
}

void* CKZTransferSession::Acquire()
{
    if (!m_mutex.try_lock())
        return nullptr;
    if (m_pCurl)
        curl_easy_reset(static_cast<CURL*>(m_pCurl)); // options back to defaults, connections kept
    else
        m_pCurl = curl_easy_init();
    if (!m_pCurl)
        m_mutex.unlock();
    return m_pCurl;
}

void CKZTransferSession::Release()
{
    m_mutex.unlock();
}

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
                 ProgressCallback pCallback, int64_t* pHttpStatus, CKZTransferSession* pSession, int64_t* pResumeTime,
                 bool* pbWriteFailed)
{
    if (pHttpStatus)
        *pHttpStatus = 0;
    bool bWriteFailedIgnored = false;
    bool& bWriteFailed = pbWriteFailed ? *pbWriteFailed : bWriteFailedIgnored;
    bWriteFailed = false;
    const int64_t resumeTime = pResumeTime ? *pResumeTime : -1;
    if (pResumeTime)
        *pResumeTime = -1;
    // libcurl's answers go into the stream of the standard back end. A resumed transfer keeps the
    // bytes on disk and writes after them.
    CKZFile file(*KZFileIO::GetStandardInterface());
    uint64_t qwOnDisk = 0;
    if (resumeTime >= 0 && file.Open(szLocalPath, "r+b"))
    {
        FILE* pStream = static_cast<FILE*>(file.GetHandle());
        const off_t end = fseeko(pStream, 0, SEEK_END) == 0 ? ftello(pStream) : -1;
        qwOnDisk = end > 0 ? static_cast<uint64_t>(end) : 0;
        if (end < 0)
            file.Close();
    }
    if (!file.IsOpen() && !file.Open(szLocalPath, "wb"))
    {
        bWriteFailed = true;
        return false;
    }
    FILE* pStream = static_cast<FILE*>(file.GetHandle());
    const CHandle handle(pSession);
    CURL* pCurl = handle.Get();
    if (!pCurl)
        return false;
    const std::string strAgent = GetAgentString();
    SBodyTarget body = {pStream, pCurl, qwOnDisk, -1, false, false, false};
    SProgressTarget target = {pCallback, pUser, &body.qwOffset};
    curl_easy_setopt(pCurl, CURLOPT_URL, szUrl);
    curl_easy_setopt(pCurl, CURLOPT_USERAGENT, strAgent.c_str());
    SetCertificateAuthority(pCurl);
    ApplyReceiveRateLimit(pCurl);
    curl_easy_setopt(pCurl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(pCurl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pCurl, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(pCurl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(pCurl, CURLOPT_FILETIME, 1L);
    if (pUser && pCallback)
    {
        curl_easy_setopt(pCurl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(pCurl, CURLOPT_XFERINFOFUNCTION, progress);
        curl_easy_setopt(pCurl, CURLOPT_XFERINFODATA, &target);
    }
    curl_easy_setopt(pCurl, CURLOPT_WRITEFUNCTION, WriteBody);
    curl_easy_setopt(pCurl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(pCurl, CURLOPT_HEADERFUNCTION, ReadRangeHeader);
    curl_easy_setopt(pCurl, CURLOPT_HEADERDATA, &body);
    curl_easy_setopt(pCurl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(dwConnectTimeoutMs));
    // No overall limit, but a server that stops sending must not hold the caller forever.
    curl_easy_setopt(pCurl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(pCurl, CURLOPT_LOW_SPEED_TIME, s_stallTimeoutSeconds.load());
    HeaderList ifRange;
    if (qwOnDisk > 0)
    {
        ifRange.reset(curl_slist_append(nullptr, ("If-Range: " + HttpDate(resumeTime)).c_str()));
        curl_easy_setopt(pCurl, CURLOPT_HTTPHEADER, ifRange.get());
        curl_easy_setopt(pCurl, CURLOPT_RANGE, (std::to_string(qwOnDisk) + "-").c_str());
    }
    CURLcode result = curl_easy_perform(pCurl);
    long httpStatus = 0;
    curl_easy_getinfo(pCurl, CURLINFO_RESPONSE_CODE, &httpStatus);
    if (httpStatus == 416 && qwOnDisk > 0 && StartOver(body))
    {
        // The partial file is not shorter than the server's: it is no part of it, fetch it whole.
        curl_easy_setopt(pCurl, CURLOPT_RANGE, nullptr);
        curl_easy_setopt(pCurl, CURLOPT_HTTPHEADER, nullptr);
        result = curl_easy_perform(pCurl);
        curl_easy_getinfo(pCurl, CURLINFO_RESPONSE_CODE, &httpStatus);
    }
    // A whole answer without a body still replaces the partial file.
    if (result == CURLE_OK && httpStatus == 200 && body.qwOffset > 0 && !StartOver(body))
        result = CURLE_WRITE_ERROR;
    long fileTime = -1;
    if ((httpStatus == 200 || httpStatus == 206) && curl_easy_getinfo(pCurl, CURLINFO_FILETIME, &fileTime) == CURLE_OK &&
        pResumeTime)
        *pResumeTime = fileTime;
    if (pHttpStatus)
        *pHttpStatus = httpStatus;
    if (result != CURLE_OK)
    {
        bWriteFailed = result == CURLE_WRITE_ERROR && !body.bWrongPart;
        return false;
    }
    // A short write (disk full) shows only when the stream is flushed.
    const bool bFlushed = fflush(pStream) == 0;
    bWriteFailed = !bFlushed;
    return (httpStatus == 200 || (httpStatus == 206 && body.qwOffset > 0)) && bFlushed;
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

bool HttpRequestInfoChecked(const char* szUrl, uint64_t* pSize, uint64_t* pTime, int64_t* pHttpStatus,
                            CKZTransferSession* pSession)
{
    long fileTime = -1;
    long httpStatus = 0;
    curl_off_t contentLength = 0;
    const CHandle handle(pSession);
    CURL* pCurl = handle.Get();
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
