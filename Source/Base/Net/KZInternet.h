#pragma once
// HTTP operations of the system: each call is one blocking transfer over its own libcurl easy
// handle (or the handle of a transfer session), so they may run on several threads at once. Every
// request checks HTTPS peers and speaks HTTP or HTTPS only; redirects are followed only from HTTPS
// to HTTPS, by the requests that are not downloads.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <functional>
#include <string>

struct curl_slist;

extern const std::string HTTP_PREFIX;
extern const std::string HTTPS_PREFIX;
extern const std::string HTTP_SCHEMES[2];

// A libcurl handle kept across the transfers of one download slot: they share its connections, so
// a run of many small files pays for one connection (and one TLS handshake), not one per file. One
// transfer at a time uses it; a transfer that finds it busy takes a handle of its own.
class CKZTransferSession
{
public:
    CKZTransferSession() = default;
    ~CKZTransferSession();
    CKZTransferSession(const CKZTransferSession&) = delete;
    CKZTransferSession& operator=(const CKZTransferSession&) = delete;

    // The handle, reset to its defaults but keeping its connections; null when busy or when libcurl
    // cannot make one. Release gives it back.
    void* Acquire();
    void Release();

private:
    std::mutex m_mutex;
    void* m_pCurl = nullptr;
};

namespace KZInternet
{
// Called with (user pointer, bytes downloaded so far, bytes to download in all).
typedef void (*ProgressCallback)(void* pUser, uint64_t qwDone, uint64_t qwTotal);

// A download that receives less than the floor (1 KiB unless changed) in any window of this many
// seconds is abandoned as too slow (60 unless changed; large downloads have no overall limit).
// Meant for tests and for hosts with other needs.
void SetStallTimeout(long seconds);
void SetSlowTransferFloor(uint64_t qwBytes);

// Bytes per second that each transfer may receive (0: no limit). A transfer takes the value when
// it starts; one already running keeps the limit it began with.
void SetReceiveRateLimit(uint64_t qwBytesPerSecond);
uint64_t GetReceiveRateLimit();

// "TVK/" and the build number: the user agent of every request.
std::string GetAgentString();

// The certificate authorities that HTTPS peers are checked against (null or empty: the system's).
// Every request checks the peer's certificate and name.
void SetCertificateAuthorityFile(const char* szPath);

// What a caller asks of its transfers under way, read by each at least once a second: to hold them
// (receiving nothing, keeping the connection), or to stop them.
struct SKZTransferControl
{
    std::atomic<bool> bPause{false};
    std::atomic<bool> bCancel{false};
};

// One download into a local file.
struct SKZDownloadRequest
{
    const char* szUrl = nullptr;       // used exactly as given; no redirects are followed
    const char* szLocalPath = nullptr;
    uint32_t dwConnectTimeoutMs = 15000;
    void* pUser = nullptr;             // progress calls need both the pointer and the callback
    ProgressCallback pCallback = nullptr;
    CKZTransferSession* pSession = nullptr; // lends its handle and connections when given
    // Resumes a broken transfer: when it is 0 or more and the local file holds bytes, only the rest
    // is asked for, on condition (If-Range) that the server's file still has this Last-Modified time
    // (seconds since 1970); a server that ignores the range or whose file changed sends the whole
    // file, which then replaces the partial one.
    int64_t resumeTime = -1;
    // The most the file may hold in all (0: no bound). An answer that announces more, or sends more,
    // fails at once and leaves no file behind.
    uint64_t qwMaxBytes = 0;
    // Pauses and cancels the transfer when given; paused time counts towards no limit.
    const SKZTransferControl* pControl = nullptr;
    // Sees every body byte as it is written, in order: the whole file unless the answer continued
    // bytes already on disk.
    std::function<void(const void*, size_t)> bodyObserver;
};

// How a request ended.
struct SKZTransferResult
{
    int64_t httpStatus = 0;      // 0: no answer arrived
    int curlCode = 0;            // libcurl's result
    int64_t resumeTime = -1;     // the answer's Last-Modified (what the next try passes back), -1 without
    bool bWriteFailed = false;   // the local file could not be created or written (a full disk)
    bool bTooLarge = false;      // more than the request's bound was announced or sent
    bool bTooSlow = false;       // less than the floor arrived in a window
    bool bNotTrusted = false;    // the peer's certificate or name did not pass the checks
    bool bCancelled = false;     // stopped by its control

    // An answer that asking again at once will not change: 300 to 499, a file over its bound, a
    // disk that cannot take it, a peer not trusted. Anything else (no answer, a server error, a body
    // cut short or too slow) may go away on another try.
    bool Refused() const;
    // One line on why the request failed, for people.
    std::string Describe() const;
};

// Downloads a URL into a local file; true only for status 200 (or 206 continuing the partial file).
// The file stays behind on failure, empty after an HTTP error or partial after a broken transfer,
// except when the answer was over its bound.
bool HttpGetFile(const SKZDownloadRequest& request, SKZTransferResult& result);
bool HttpGetFile(const char* szUrl, const char* szLocalPath, uint32_t dwConnectTimeoutMs, void* pUser,
                 ProgressCallback pCallback);
// HEAD request: true when the server reports both a file time and a positive length.
bool HttpRequestInfo(const char* szUrl, uint64_t* pSize, uint64_t* pTime, curl_slist* pHeaders);
// The same HEAD request, true only for status 200, with how it ended (pResult may be null).
bool HttpRequestInfoChecked(const char* szUrl, uint64_t* pSize, uint64_t* pTime, SKZTransferResult* pResult,
                            CKZTransferSession* pSession = nullptr, const SKZTransferControl* pControl = nullptr);
// GET into a string (appended to); true when the transfer completed, whatever the status.
bool HttpRequest(const char* szUrl, std::string& strResponse, curl_slist* pHeaders);
// POST of a body to URL + suffix; true when the transfer completed, whatever the status.
bool HttpRequestPost(const char* szUrl, const char* szSuffix, const char* szBody, std::string& strResponse,
                     curl_slist* pHeaders, bool bUnused, int64_t* pHttpStatus, int* pCurlCode);

// Header lists; every transfer that is given one frees it.
curl_slist* CreateHeader(const char* szContentType);
curl_slist* CreateHeader(const char* szMessage, uint32_t dwCustomerId, const char* szKey, const char* szScheme,
                         const char* szContentType);
}

std::string URLEncodeString(const char* szText);
std::string URLDecodeString(const char* szText);
