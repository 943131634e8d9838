#pragma once
// Transfer clients for the installer's tests: one that answers from a local directory standing in
// for the server, with hooks that hold or refuse a request; and one that passes requests on to
// another client and lets a test answer some probes itself.

#include "System/Util/KZTransferClient.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

class CKZDirectoryTransferClient : public IKZTransferClient
{
public:
    explicit CKZDirectoryTransferClient(std::filesystem::path server) : m_server(std::move(server)) {}
    ~CKZDirectoryTransferClient() override
    {
        if (onDestroy)
            onDestroy();
    }

    // Called before every fetch; false makes the fetch fail without an answer.
    std::function<bool(const std::string& strRemoteName)> beforeFetch;
    // Whether the server answers a probe of the name at all (every name by default).
    std::function<bool(const std::string& strRemoteName)> answersProbe;
    // Called as the installer lets go of the client, after its workers have ended.
    std::function<void()> onDestroy;

    void SetServer(const std::string&, const std::string&) override {}
    bool Fetch(const SFetch& fetch, const Progress&, KZInternet::SKZTransferResult& result) override
    {
        result = KZInternet::SKZTransferResult();
        if (beforeFetch && !beforeFetch(fetch.strRemoteName))
            return false;
        std::error_code error;
        if (!std::filesystem::is_regular_file(m_server / fetch.strRemoteName, error))
        {
            result.httpStatus = 404;
            return false;
        }
        result.httpStatus = 200;
        return std::filesystem::copy_file(m_server / fetch.strRemoteName, fetch.strLocalPath,
                                          std::filesystem::copy_options::overwrite_existing, error);
    }
    bool Probe(const std::string& strRemoteName, uint64_t& qwSize, uint64_t& qwTime,
               KZInternet::SKZTransferResult& result) override
    {
        result = KZInternet::SKZTransferResult();
        if (answersProbe && !answersProbe(strRemoteName))
            return false;
        std::error_code error;
        if (!std::filesystem::is_regular_file(m_server / strRemoteName, error))
        {
            result.httpStatus = 404;
            return false;
        }
        result.httpStatus = 200;
        qwSize = std::filesystem::file_size(m_server / strRemoteName, error);
        qwTime = 1700000000;
        return true;
    }

private:
    std::filesystem::path m_server;
};

// Passes every request to another client; probe, when set, may answer a probe first (true: answered).
class CKZForwardingTransferClient : public IKZTransferClient
{
public:
    explicit CKZForwardingTransferClient(std::unique_ptr<IKZTransferClient> pInner) : m_pInner(std::move(pInner)) {}

    std::function<bool(const std::string& strRemoteName, uint64_t& qwSize, uint64_t& qwTime)> probe;

    void SetServer(const std::string& strScheme, const std::string& strServer) override
    {
        m_pInner->SetServer(strScheme, strServer);
    }
    bool Fetch(const SFetch& fetch, const Progress& progress, KZInternet::SKZTransferResult& result) override
    {
        return m_pInner->Fetch(fetch, progress, result);
    }
    bool Probe(const std::string& strRemoteName, uint64_t& qwSize, uint64_t& qwTime,
               KZInternet::SKZTransferResult& result) override
    {
        if (m_pInner->Probe(strRemoteName, qwSize, qwTime, result))
            return true;
        return probe && probe(strRemoteName, qwSize, qwTime);
    }

private:
    std::unique_ptr<IKZTransferClient> m_pInner;
};
