#pragma once
// What an installer asks of its server: a file into a local path, and a file's size and time. The
// installer reaches the network only through this interface; CKZCurlTransferClient is the real
// one, tests give a fake of their own.

#include "Base/Net/KZInternet.h"

#include <cstdint>
#include <functional>
#include <string>

class IKZTransferClient
{
public:
    // (bytes so far, bytes in all) of the transfer under way.
    typedef std::function<void(uint64_t, uint64_t)> Progress;

    struct SFetch
    {
        std::string strRemoteName; // below the server's address, "/" between segments
        std::string strLocalPath;
        unsigned slot = 0;         // transfers of one slot may share a connection
        int64_t resumeTime = -1;   // see KZInternet::SKZDownloadRequest
        uint64_t qwMaxBytes = 0;   // 0: no bound
        // See KZInternet::SKZDownloadRequest; a client that does not call it leaves the check to a
        // read of the whole file.
        std::function<void(const void*, size_t)> bodyObserver;
    };

    virtual ~IKZTransferClient() = default;
    // The pause and cancel requests every later transfer follows (fakes may ignore them).
    virtual void SetControl(const KZInternet::SKZTransferControl* pControl) { (void)pControl; }
    // The server every later request goes to: "http://" or "https://", and "host[:port][/path]".
    virtual void SetServer(const std::string& strScheme, const std::string& strServer) = 0;
    virtual bool Fetch(const SFetch& fetch, const Progress& progress, KZInternet::SKZTransferResult& result) = 0;
    // A file's size and time (seconds since 1970); false when the server gives either not.
    virtual bool Probe(const std::string& strRemoteName, uint64_t& qwSize, uint64_t& qwTime,
                       KZInternet::SKZTransferResult& result) = 0;
};

// The URL of a file on a server: its name percent-encoded, "/" kept between segments.
std::string KZRemoteUrl(const std::string& strScheme, const std::string& strServer, const std::string& strRemoteName);
