#include "System/Util/KZCurlTransferClient.h"

#include <cctype>

namespace
{
void ForwardProgress(void* pUser, uint64_t qwDone, uint64_t qwTotal)
{
    (*static_cast<const IKZTransferClient::Progress*>(pUser))(qwDone, qwTotal);
}
} // namespace

std::string KZRemoteUrl(const std::string& strScheme, const std::string& strServer, const std::string& strRemoteName)
{
    static const char s_hex[] = "0123456789ABCDEF";
    std::string strUrl = strScheme + strServer + "/";
    for (const char ch : strRemoteName)
    {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/')
            strUrl += static_cast<char>(c);
        else
        {
            strUrl += '%';
            strUrl += s_hex[c >> 4];
            strUrl += s_hex[c & 15];
        }
    }
    return strUrl;
}

void CKZCurlTransferClient::SetServer(const std::string& strScheme, const std::string& strServer)
{
    m_strScheme = strScheme;
    m_strServer = strServer;
}

bool CKZCurlTransferClient::Fetch(const SFetch& fetch, const Progress& progress, KZInternet::SKZTransferResult& result)
{
    const std::string strUrl = KZRemoteUrl(m_strScheme, m_strServer, fetch.strRemoteName);
    KZInternet::SKZDownloadRequest request;
    request.szUrl = strUrl.c_str();
    request.szLocalPath = fetch.strLocalPath.c_str();
    request.pUser = progress ? const_cast<Progress*>(&progress) : nullptr;
    request.pCallback = progress ? ForwardProgress : nullptr;
    request.pSession = fetch.slot < kSessions ? &m_sessions[fetch.slot] : nullptr;
    request.resumeTime = fetch.resumeTime;
    request.qwMaxBytes = fetch.qwMaxBytes;
    request.pControl = m_pControl;
    request.bodyObserver = fetch.bodyObserver;
    return KZInternet::HttpGetFile(request, result);
}

bool CKZCurlTransferClient::Probe(const std::string& strRemoteName, uint64_t& qwSize, uint64_t& qwTime,
                                  KZInternet::SKZTransferResult& result)
{
    return KZInternet::HttpRequestInfoChecked(KZRemoteUrl(m_strScheme, m_strServer, strRemoteName).c_str(), &qwSize,
                                              &qwTime, &result, &m_sessions[0], m_pControl);
}
