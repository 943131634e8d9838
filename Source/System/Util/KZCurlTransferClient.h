#pragma once
// The installer's transfers over libcurl: one kept connection per download slot, so that a run of
// many small files pays for one connection (and one TLS handshake) per slot, not one per file.

#include "System/Util/KZTransferClient.h"

class CKZCurlTransferClient : public IKZTransferClient
{
public:
    static constexpr unsigned kSessions = 2;

    void SetServer(const std::string& strScheme, const std::string& strServer) override;
    void SetControl(const KZInternet::SKZTransferControl* pControl) override { m_pControl = pControl; }
    bool Fetch(const SFetch& fetch, const Progress& progress, KZInternet::SKZTransferResult& result) override;
    bool Probe(const std::string& strRemoteName, uint64_t& qwSize, uint64_t& qwTime,
               KZInternet::SKZTransferResult& result) override;

private:
    std::string m_strScheme = "http://";
    std::string m_strServer;
    CKZTransferSession m_sessions[kSessions];
    const KZInternet::SKZTransferControl* m_pControl = nullptr;
};
