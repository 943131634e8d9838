#pragma once
// HTTP operations of the system: each call is one blocking transfer over its own libcurl easy
// handle (or the handle of a transfer session), so they may run on several threads at once.

#include <cstdint>
#include <mutex>
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

// A download that receives nothing for this many seconds is abandoned (60 unless changed; large
// downloads have no overall limit). Meant for tests and for hosts with other needs.
void SetStallTimeout(long seconds);

// Bytes per second that each transfer may receive (0: no limit). A transfer takes the value when
// it starts; one already running keeps the limit it began with.
void SetReceiveRateLimit(uint64_t qwBytesPerSecond);
uint64_t GetReceiveRateLimit();

// "TVK/" and the build number: the user agent of every request.
std::string GetAgentString();

// The certificate authorities that HTTPS peers are checked against (null or empty: the system's).
void SetCertificateAuthorityFile(const char* szPath);

// Downloads a URL (used exactly as given, no redirects) into a local file; true only for status 200
// (or 206 for a resumed transfer). The file stays behind on failure, empty after an HTTP error or
// partial after a broken transfer. pHttpStatus, when given, receives the answer's status (0 when no
// answer arrived). pSession, when given, lends its handle and connections.
// pResumeTime resumes a broken transfer: on entry, when it is 0 or more and the local file holds
// bytes, only the rest is asked for, on condition (If-Range) that the server's file still has this
// Last-Modified time (seconds since 1970); a server that ignores the range or whose file changed
// sends the whole file, which then replaces the partial one. On return it holds the Last-Modified
// time of the answer (-1 when there was none), which is what the next try passes back.
// pbWriteFailed receives whether the local file could not be created or written (a full disk, a
// folder not writable).
bool HttpGetFile(const char* szUrl, const char* szLocalPath, uint32_t dwConnectTimeoutMs, void* pUser,
                 ProgressCallback pCallback, int64_t* pHttpStatus = nullptr, CKZTransferSession* pSession = nullptr,
                 int64_t* pResumeTime = nullptr, bool* pbWriteFailed = nullptr);
// HEAD request: true when the server reports both a file time and a positive length. An "https"
// URL is fetched without certificate checks.
bool HttpRequestInfo(const char* szUrl, uint64_t* pSize, uint64_t* pTime, curl_slist* pHeaders);
// The same HEAD request with the certificate checks of HttpGetFile and the answer's status.
bool HttpRequestInfoChecked(const char* szUrl, uint64_t* pSize, uint64_t* pTime, int64_t* pHttpStatus,
                            CKZTransferSession* pSession = nullptr);
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
