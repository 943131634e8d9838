#include "Base/Net/KZInternet.h"

#include "Base/Core/KZFile.h"
#include "Base/Core/KZIOInterface.h"
#include "Base/Hash/KZHashSHA1.h"
#include "Base/Net/KZHttpRequest.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <chrono>
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
// The exchanges that are not downloads: the connection within 15 s, the whole answer within 25 s
// (a limit below the connect time-out would make it the only one).
const long kConnectTimeoutSeconds = 15;
const long kExchangeTimeoutSeconds = 25;
const long kPostTimeoutSeconds = 30;
const long kMaxRedirects = 10;
std::atomic<long> s_stallTimeoutSeconds{60};
std::atomic<uint64_t> s_qwSlowTransferFloor{1024};
// Read when a transfer starts, so a change holds from the next transfer on.
std::atomic<uint64_t> s_qwReceiveRateLimit{0};
std::mutex s_caFileMutex;
std::string s_strCaFile;

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

// What every request sets, whatever it is: the URL, the agent, HTTP and HTTPS only, no signals,
// the peer checks (libcurl's default) against the configured authorities, the rate limit.
void ApplyCommonOptions(CURL* pCurl, const std::string& strUrl)
{
    // libcurl keeps copies of the texts it is given.
    curl_easy_setopt(pCurl, CURLOPT_URL, strUrl.c_str());
    curl_easy_setopt(pCurl, CURLOPT_USERAGENT, KZInternet::GetAgentString().c_str());
    curl_easy_setopt(pCurl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(pCurl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pCurl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(pCurl, CURLOPT_SSL_VERIFYHOST, 2L);
    {
        std::lock_guard<std::mutex> lock(s_caFileMutex);
        if (!s_strCaFile.empty())
            curl_easy_setopt(pCurl, CURLOPT_CAINFO, s_strCaFile.c_str());
    }
    ApplyReceiveRateLimit(pCurl);
}

// An HTTPS exchange may follow redirects, to HTTPS only; a plain one follows none.
void ApplyRedirectRule(CURL* pCurl, const std::string& strUrl)
{
    if (strncasecmp(strUrl.c_str(), "https://", 8) != 0)
        return;
    curl_easy_setopt(pCurl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(pCurl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(pCurl, CURLOPT_MAXREDIRS, kMaxRedirects);
}

// What every exchange that is not a download sets: the common options, the redirect rule, the
// caller's header list and the time limits.
void ApplyExchangeOptions(CURL* pCurl, const std::string& strUrl, curl_slist* pHeaders, long timeoutSeconds)
{
    ApplyCommonOptions(pCurl, strUrl);
    ApplyRedirectRule(pCurl, strUrl);
    if (pHeaders)
        curl_easy_setopt(pCurl, CURLOPT_HTTPHEADER, pHeaders);
    curl_easy_setopt(pCurl, CURLOPT_TIMEOUT, timeoutSeconds);
    curl_easy_setopt(pCurl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
}

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

// The handle a transfer uses: its session's when that is free, else one of its own.
class CHandle
{
public:
    explicit CHandle(CKZTransferSession* pSession = nullptr)
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

// A transfer owns the header list it is given from its first line on, so that every way out frees it.
struct SHeaderListFree
{
    void operator()(curl_slist* pList) const { curl_slist_free_all(pList); }
};
typedef std::unique_ptr<curl_slist, SHeaderListFree> HeaderList;

// Bytes that arrived in any window of the stall time: a transfer that stays below the floor for a
// whole window is abandoned. The samples hold the byte count about once a second, the oldest one
// being the last at or before the window's start.
class CThroughputFloor
{
public:
    CThroughputFloor()
        : m_window(std::chrono::seconds(s_stallTimeoutSeconds.load())), m_qwFloor(s_qwSlowTransferFloor.load())
    {
        m_samples.emplace_back(Clock::now(), 0);
    }
    // Paused time counts towards no window: the samples start again after a pause.
    void Restart(uint64_t qwReceived)
    {
        m_samples.clear();
        m_samples.emplace_back(Clock::now(), qwReceived);
    }
    bool TooSlow(uint64_t qwReceived)
    {
        const Clock::time_point now = Clock::now();
        if (now - m_samples.back().first >= std::chrono::milliseconds(250))
            m_samples.emplace_back(now, qwReceived);
        while (m_samples.size() > 1 && m_samples[1].first <= now - m_window)
            m_samples.pop_front();
        const auto& oldest = m_samples.front();
        return oldest.first <= now - m_window && qwReceived - oldest.second < m_qwFloor;
    }

private:
    typedef std::chrono::steady_clock Clock;
    const Clock::duration m_window;
    const uint64_t m_qwFloor;
    std::deque<std::pair<Clock::time_point, uint64_t>> m_samples;
};

// Where a download's body goes: after qwOffset bytes already on disk when the answer continues
// them (206 from exactly there), else from the start of the file.
struct SBodyTarget
{
    FILE* pFile = nullptr;
    CURL* pCurl = nullptr;
    uint64_t qwOffset = 0;
    uint64_t qwMaxBytes = 0;    // 0: no bound
    int64_t rangeStart = -1;    // the first byte of the answer's Content-Range, -1 without one
    int64_t rangeLength = -1;   // the whole length after its "/", -1 without one
    int64_t contentLength = -1; // the answer's Content-Length, -1 without one
    uint64_t qwWritten = 0;     // body bytes written by this answer
    bool bStarted = false;
    bool bFailed = false;
    bool bWrongPart = false;    // failed on the answer, not on the local file
    bool bTooLarge = false;
    bool bTooSlow = false;
    bool bPaused = false;
    bool bCancelled = false;
    const KZInternet::SKZTransferControl* pControl = nullptr;
    KZInternet::ProgressCallback pCallback = nullptr;
    void* pUser = nullptr;
    const std::function<void(const void*, size_t)>* pObserver = nullptr;
    CThroughputFloor floor;
};

// Empties the file for a whole answer.
bool StartOver(SBodyTarget& body)
{
    body.qwOffset = 0;
    return fflush(body.pFile) == 0 && ftruncate(fileno(body.pFile), 0) == 0 && fseeko(body.pFile, 0, SEEK_SET) == 0;
}

bool Continues(const SBodyTarget& body, long status)
{
    return status == 206 && body.qwOffset > 0 && body.rangeStart == int64_t(body.qwOffset);
}

// The file the answer announces, in all, is larger than the bound.
bool AnnouncesTooMuch(const SBodyTarget& body, long status)
{
    if (body.qwMaxBytes == 0)
        return false;
    if (body.rangeLength >= 0 && uint64_t(body.rangeLength) > body.qwMaxBytes)
        return true;
    const uint64_t qwBase = Continues(body, status) ? body.qwOffset : 0;
    return body.contentLength >= 0 && qwBase + uint64_t(body.contentLength) > body.qwMaxBytes;
}

size_t WriteBody(char* pData, size_t size, size_t count, void* pUser)
{
    SBodyTarget& body = *static_cast<SBodyTarget*>(pUser);
    if (!body.bStarted)
    {
        body.bStarted = true;
        long status = 0;
        curl_easy_getinfo(body.pCurl, CURLINFO_RESPONSE_CODE, &status);
        const bool bContinues = Continues(body, status);
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
    const size_t length = size * count;
    if (body.qwMaxBytes != 0 && body.qwOffset + body.qwWritten + length > body.qwMaxBytes)
    {
        body.bTooLarge = body.bFailed = true;
        return 0;
    }
    if (!KZFileIO::AdmitWrite(length))
        return 0;
    const size_t written = fwrite(pData, 1, length, body.pFile);
    body.qwWritten += written;
    if (body.pObserver && *body.pObserver)
        (*body.pObserver)(pData, written);
    return written;
}

bool ParseNumber(const std::string& strText, int64_t& value)
{
    unsigned long long number = 0;
    if (sscanf(strText.c_str(), " %llu", &number) != 1 || number > static_cast<unsigned long long>(INT64_MAX))
        return false;
    value = static_cast<int64_t>(number);
    return true;
}

// Notes Content-Length and "Content-Range: bytes FIRST-LAST/LENGTH"; at the end of the headers an
// answer that announces more than the bound is refused before any of its body is taken.
size_t ReadHeader(char* pData, size_t size, size_t count, void* pUser)
{
    SBodyTarget& body = *static_cast<SBodyTarget*>(pUser);
    const size_t length = size * count;
    const std::string strLine(pData, length);
    static const char s_szRange[] = "content-range:";
    static const char s_szLength[] = "content-length:";
    if (strncasecmp(strLine.c_str(), s_szRange, sizeof(s_szRange) - 1) == 0)
    {
        unsigned long long first = 0, last = 0, whole = 0;
        const char* szValue = strLine.c_str() + sizeof(s_szRange) - 1;
        if (sscanf(szValue, " bytes %llu-%llu/%llu", &first, &last, &whole) == 3)
            body.rangeLength = whole > static_cast<unsigned long long>(INT64_MAX) ? INT64_MAX : int64_t(whole);
        if (sscanf(szValue, " bytes %llu-", &first) == 1)
            body.rangeStart = static_cast<int64_t>(first);
    }
    else if (strncasecmp(strLine.c_str(), s_szLength, sizeof(s_szLength) - 1) == 0)
    {
        if (!ParseNumber(strLine.substr(sizeof(s_szLength) - 1), body.contentLength))
            body.contentLength = INT64_MAX; // a length too large to read is too large
    }
    else if (strLine == "\r\n" || strLine == "\n")
    {
        long status = 0;
        curl_easy_getinfo(body.pCurl, CURLINFO_RESPONSE_CODE, &status);
        if ((status == 200 || status == 206) && AnnouncesTooMuch(body, status))
        {
            body.bTooLarge = true;
            return 0;
        }
    }
    return length;
}

// Holds or releases the transfer as its control asks; libcurl calls the progress function at least
// once a second, also while the transfer is held.
void FollowPause(SBodyTarget& body, uint64_t qwReceived)
{
    const bool bWanted = body.pControl && body.pControl->bPause;
    if (bWanted == body.bPaused)
        return;
    body.bPaused = bWanted;
    curl_easy_pause(body.pCurl, bWanted ? CURLPAUSE_RECV : CURLPAUSE_CONT);
    if (!bWanted)
        body.floor.Restart(qwReceived);
}

int DownloadProgress(void* pClient, curl_off_t downloadTotal, curl_off_t downloadedNow, curl_off_t, curl_off_t)
{
    SBodyTarget& body = *static_cast<SBodyTarget*>(pClient);
    if (body.pControl && body.pControl->bCancel)
    {
        body.bCancelled = true;
        return 1;
    }
    FollowPause(body, static_cast<uint64_t>(downloadedNow));
    if (!body.bPaused && body.floor.TooSlow(static_cast<uint64_t>(downloadedNow)))
    {
        body.bTooSlow = true;
        return 1;
    }
    if (body.pCallback && body.pUser)
        body.pCallback(body.pUser, body.qwOffset + static_cast<uint64_t>(downloadedNow),
                       body.qwOffset + static_cast<uint64_t>(downloadTotal));
    return 0;
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

bool IsTrustFailure(CURLcode code)
{
    return code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE ||
           code == CURLE_SSL_ISSUER_ERROR || code == CURLE_SSL_PINNEDPUBKEYNOTMATCH;
}

// The local file of a download: kept after qwOnDisk bytes when a resume asks for it, else empty.
bool OpenLocalFile(CKZFile& file, const char* szPath, bool bResume, uint64_t& qwOnDisk)
{
    qwOnDisk = 0;
    if (bResume && file.Open(szPath, "r+b"))
    {
        FILE* pStream = static_cast<FILE*>(file.GetHandle());
        const off_t end = fseeko(pStream, 0, SEEK_END) == 0 ? ftello(pStream) : -1;
        qwOnDisk = end > 0 ? static_cast<uint64_t>(end) : 0;
        if (end < 0)
            file.Close();
    }
    return file.IsOpen() || file.Open(szPath, "wb");
}

void SetDownloadOptions(CURL* pCurl, SBodyTarget& body, const KZInternet::SKZDownloadRequest& request)
{
    curl_easy_setopt(pCurl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(pCurl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(pCurl, CURLOPT_FILETIME, 1L);
    // The progress function also keeps the floor, so it runs with or without a caller's callback.
    curl_easy_setopt(pCurl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(pCurl, CURLOPT_XFERINFOFUNCTION, DownloadProgress);
    curl_easy_setopt(pCurl, CURLOPT_XFERINFODATA, &body);
    curl_easy_setopt(pCurl, CURLOPT_WRITEFUNCTION, WriteBody);
    curl_easy_setopt(pCurl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(pCurl, CURLOPT_HEADERFUNCTION, ReadHeader);
    curl_easy_setopt(pCurl, CURLOPT_HEADERDATA, &body);
    // No overall limit: a server that stops sending, or sends too little, is left by the throughput
    // floor of the progress function, which also knows when the transfer is held.
    curl_easy_setopt(pCurl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.dwConnectTimeoutMs));
}

// Performs the download; a range the server finds outside its file (416) is asked for again whole.
CURLcode PerformDownload(CURL* pCurl, SBodyTarget& body, int64_t resumeTime, long& httpStatus)
{
    HeaderList ifRange;
    if (body.qwOffset > 0)
    {
        ifRange.reset(curl_slist_append(nullptr, ("If-Range: " + HttpDate(resumeTime)).c_str()));
        curl_easy_setopt(pCurl, CURLOPT_HTTPHEADER, ifRange.get());
        curl_easy_setopt(pCurl, CURLOPT_RANGE, (std::to_string(body.qwOffset) + "-").c_str());
    }
    CURLcode result = curl_easy_perform(pCurl);
    curl_easy_getinfo(pCurl, CURLINFO_RESPONSE_CODE, &httpStatus);
    if (httpStatus == 416 && body.qwOffset > 0 && StartOver(body))
    {
        // The partial file is not shorter than the server's: it is no part of it, fetch it whole.
        curl_easy_setopt(pCurl, CURLOPT_RANGE, nullptr);
        curl_easy_setopt(pCurl, CURLOPT_HTTPHEADER, nullptr);
        body.rangeStart = body.rangeLength = body.contentLength = -1;
        result = curl_easy_perform(pCurl);
        curl_easy_getinfo(pCurl, CURLINFO_RESPONSE_CODE, &httpStatus);
    }
    // A whole answer without a body still replaces the partial file.
    if (result == CURLE_OK && httpStatus == 200 && body.qwOffset > 0 && !StartOver(body))
        result = CURLE_WRITE_ERROR;
    return result;
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

void SetSlowTransferFloor(uint64_t qwBytes)
{
    s_qwSlowTransferFloor = qwBytes;
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

bool SKZTransferResult::Refused() const
{
    return (httpStatus >= 300 && httpStatus < 500) || bWriteFailed || bTooLarge || bNotTrusted;
}

std::string SKZTransferResult::Describe() const
{
    if (bNotTrusted)
        return "the server's certificate is not trusted";
    if (bTooLarge)
        return "the server sent more than the file may hold";
    if (bWriteFailed)
        return "the local file could not be written";
    if (bTooSlow)
        return "the transfer was too slow";
    if (httpStatus != 0 && httpStatus != 200 && httpStatus != 206)
        return "HTTP status " + std::to_string(httpStatus);
    if (httpStatus != 0)
        return "the transfer broke off or timed out";
    return "no answer from the server";
}

bool HttpGetFile(const SKZDownloadRequest& request, SKZTransferResult& result)
{
    result = SKZTransferResult();
    // libcurl's answers go into the stream of the standard back end. A resumed transfer keeps the
    // bytes on disk and writes after them.
    CKZFile file(*KZFileIO::GetStandardInterface());
    uint64_t qwOnDisk = 0;
    if (!OpenLocalFile(file, request.szLocalPath, request.resumeTime >= 0, qwOnDisk))
    {
        result.bWriteFailed = true;
        return false;
    }
    const CHandle handle(request.pSession);
    CURL* pCurl = handle.Get();
    if (!pCurl)
        return false;
    SBodyTarget body;
    body.pFile = static_cast<FILE*>(file.GetHandle());
    body.pCurl = pCurl;
    body.qwOffset = qwOnDisk;
    body.qwMaxBytes = request.qwMaxBytes;
    body.pCallback = request.pCallback;
    body.pUser = request.pUser;
    body.pControl = request.pControl;
    body.pObserver = &request.bodyObserver;
    ApplyCommonOptions(pCurl, request.szUrl);
    SetDownloadOptions(pCurl, body, request);
    long httpStatus = 0;
    const CURLcode code = PerformDownload(pCurl, body, request.resumeTime, httpStatus);
    long fileTime = -1;
    if ((httpStatus == 200 || httpStatus == 206) && curl_easy_getinfo(pCurl, CURLINFO_FILETIME, &fileTime) == CURLE_OK)
        result.resumeTime = fileTime;
    result.httpStatus = httpStatus;
    result.curlCode = code;
    result.bTooLarge = body.bTooLarge;
    result.bTooSlow = body.bTooSlow;
    result.bCancelled = body.bCancelled;
    result.bNotTrusted = IsTrustFailure(code);
    if (body.bTooLarge)
    {
        // Nothing of an answer over its bound is kept, nor resumed.
        file.Close();
        CKZFile::RemoveFile(request.szLocalPath);
        result.resumeTime = -1;
        return false;
    }
    if (code != CURLE_OK)
    {
        result.bWriteFailed = code == CURLE_WRITE_ERROR && !body.bWrongPart;
        return false;
    }
    // A short write (disk full) shows only when the stream is flushed.
    const bool bFlushed = fflush(body.pFile) == 0;
    result.bWriteFailed = !bFlushed;
    return (httpStatus == 200 || (httpStatus == 206 && body.qwOffset > 0)) && bFlushed;
}

bool HttpGetFile(const char* szUrl, const char* szLocalPath, uint32_t dwConnectTimeoutMs, void* pUser,
                 ProgressCallback pCallback)
{
    SKZDownloadRequest request;
    request.szUrl = szUrl;
    request.szLocalPath = szLocalPath;
    request.dwConnectTimeoutMs = dwConnectTimeoutMs;
    request.pUser = pUser;
    request.pCallback = pCallback;
    SKZTransferResult result;
    return HttpGetFile(request, result);
}

static int CancelOnly(void* pControl, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<const SKZTransferControl*>(pControl)->bCancel ? 1 : 0;
}

// A HEAD request; true for an answer with both a file time and a positive length (and, when
// bStatusChecked, status 200).
static bool HeadRequest(const std::string& strUrl, curl_slist* pHeaders, CKZTransferSession* pSession, bool bStatusChecked,
                        uint64_t* pSize, uint64_t* pTime, SKZTransferResult* pResult,
                        const SKZTransferControl* pControl = nullptr)
{
    const HeaderList headers(pHeaders);
    const CHandle handle(pSession);
    CURL* pCurl = handle.Get();
    if (!pCurl)
        return false;
    ApplyExchangeOptions(pCurl, strUrl, pHeaders, kExchangeTimeoutSeconds);
    curl_easy_setopt(pCurl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(pCurl, CURLOPT_FILETIME, 1L);
    curl_easy_setopt(pCurl, CURLOPT_HEADERFUNCTION, throw_away);
    curl_easy_setopt(pCurl, CURLOPT_HEADER, 0L);
    if (pControl)
    {
        curl_easy_setopt(pCurl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(pCurl, CURLOPT_XFERINFOFUNCTION, CancelOnly);
        curl_easy_setopt(pCurl, CURLOPT_XFERINFODATA, const_cast<SKZTransferControl*>(pControl));
    }
    const CURLcode code = curl_easy_perform(pCurl);
    long httpStatus = 0, fileTime = -1;
    curl_off_t contentLength = 0;
    curl_easy_getinfo(pCurl, CURLINFO_RESPONSE_CODE, &httpStatus);
    if (pResult)
    {
        *pResult = SKZTransferResult();
        pResult->httpStatus = httpStatus;
        pResult->curlCode = code;
        pResult->bNotTrusted = IsTrustFailure(code);
        pResult->bCancelled = code == CURLE_ABORTED_BY_CALLBACK;
    }
    if (code != CURLE_OK || (bStatusChecked && httpStatus != 200) ||
        curl_easy_getinfo(pCurl, CURLINFO_FILETIME, &fileTime) != CURLE_OK || fileTime < 0)
        return false;
    if (pTime)
        *pTime = static_cast<uint64_t>(fileTime);
    if (curl_easy_getinfo(pCurl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &contentLength) != CURLE_OK || contentLength <= 0)
        return false;
    if (pSize)
        *pSize = static_cast<uint64_t>(contentLength);
    return true;
}

bool HttpRequestInfo(const char* szUrl, uint64_t* pSize, uint64_t* pTime, curl_slist* pHeaders)
{
    return HeadRequest(WithScheme(szUrl), pHeaders, nullptr, false, pSize, pTime, nullptr);
}

bool HttpRequestInfoChecked(const char* szUrl, uint64_t* pSize, uint64_t* pTime, SKZTransferResult* pResult,
                            CKZTransferSession* pSession, const SKZTransferControl* pControl)
{
    uint64_t qwSize = 0, qwTime = 0;
    if (!HeadRequest(WithScheme(szUrl), nullptr, pSession, true, &qwSize, &qwTime, pResult, pControl))
        return false;
    if (pSize)
        *pSize = qwSize;
    if (pTime)
        *pTime = qwTime;
    return true;
}

bool HttpRequest(const char* szUrl, std::string& strResponse, curl_slist* pHeaders)
{
    const HeaderList headers(pHeaders);
    const std::string strUrl = WithScheme(szUrl);
    const CHandle handle;
    CURL* pCurl = handle.Get();
    if (!pCurl)
        return false;
    ApplyExchangeOptions(pCurl, strUrl, pHeaders, kExchangeTimeoutSeconds);
    curl_easy_setopt(pCurl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(pCurl, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(pCurl, CURLOPT_WRITEDATA, &strResponse);
    curl_easy_setopt(pCurl, CURLOPT_WRITEFUNCTION, writer);
    return curl_easy_perform(pCurl) == CURLE_OK;
}

bool HttpRequestPost(const char* szUrl, const char* szSuffix, const char* szBody, std::string& strResponse,
                     curl_slist* pHeaders, bool, int64_t* pHttpStatus, int* pCurlCode)
{
    const HeaderList headers(pHeaders ? pHeaders : CreateHeader("application/x-www-form-urlencoded"));
    const std::string strUrl = WithScheme(szUrl) + szSuffix;
    const CHandle handle;
    CURL* pCurl = handle.Get();
    if (!pCurl)
    {
        if (pCurlCode)
            *pCurlCode = CURLE_FAILED_INIT;
        return false;
    }
    ApplyExchangeOptions(pCurl, strUrl, headers.get(), kPostTimeoutSeconds);
    curl_easy_setopt(pCurl, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(pCurl, CURLOPT_POSTFIELDSIZE, static_cast<long>(strlen(szBody)));
    curl_easy_setopt(pCurl, CURLOPT_POSTFIELDS, szBody);
    curl_easy_setopt(pCurl, CURLOPT_WRITEDATA, &strResponse);
    curl_easy_setopt(pCurl, CURLOPT_WRITEFUNCTION, writer);
    const CURLcode result = curl_easy_perform(pCurl);
    if (pHttpStatus)
    {
        long httpStatus = 0;
        curl_easy_getinfo(pCurl, CURLINFO_RESPONSE_CODE, &httpStatus);
        *pHttpStatus = httpStatus;
    }
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
