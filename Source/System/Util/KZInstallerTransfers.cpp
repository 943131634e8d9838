#include "System/Util/KZInstallerTransfers.h"

#include "Base/Debug/KZOutput.h"
#include "Base/Util/KZKillPoint.h"

#include <algorithm>
#include <sys/stat.h>
#include <sys/time.h>

namespace
{
// The modification time of a partial local file, -1 when there is none to continue.
int64_t PartialFileTime(const std::string& strPath)
{
    struct stat info;
    if (stat(strPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0)
        return -1;
    return static_cast<int64_t>(info.st_mtime);
}

void SetModificationTime(const std::string& strPath, int64_t seconds)
{
    struct timeval times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
    utimes(strPath.c_str(), times);
}
} // namespace

CKZInstallerTransfers::CKZInstallerTransfers(std::unique_ptr<IKZTransferClient> pClient, CKZInstallProgress& progress,
                                             const CKZRetryPolicy& policy, CKZWorkerGroup& workers,
                                             CKZRunControl& control)
    : m_pClient(std::move(pClient)), m_progress(progress), m_policy(policy), m_workers(workers), m_control(control)
{
    m_pClient->SetControl(control.Transfers());
}

bool CKZInstallerTransfers::WaitUntilRunning()
{
    return m_control.WaitWhilePaused([this] { return m_workers.StopRequested(); });
}

void CKZInstallerTransfers::SetServer(const std::string& strScheme, const std::string& strServer)
{
    m_strScheme = strScheme;
    m_strServer = strServer;
    m_pClient->SetServer(strScheme, strServer);
}

std::string CKZInstallerTransfers::Url(const std::string& strRemoteName) const
{
    return KZRemoteUrl(m_strScheme, m_strServer, strRemoteName);
}

bool CKZInstallerTransfers::Fetch(const char* szLocalName, const char* szRemoteName, unsigned slot,
                                  const char* szLocalDir, int64_t* pResumeTime, uint64_t qwMaxBytes)
{
    if (!WaitUntilRunning())
        return false;
    const unsigned index = std::min(slot, CKZInstallProgress::kUncountedSlot);
    m_bLastMismatched[index] = false;
    bool bListed = true;
    const SKZReleaseFile* pSigned = SignedEntry(szRemoteName, bListed);
    if (!bListed)
    {
        KZOutput::Print(KZOutput::LEVEL_INFO, "%s is not part of the signed release", szRemoteName);
        m_bLastRefused[index] = true;
        return false;
    }
    // A bound of 0 would mean none: an empty signed file may take one byte, which its check refuses.
    if (pSigned)
        qwMaxBytes = std::max<uint64_t>(1, qwMaxBytes ? std::min(qwMaxBytes, pSigned->qwSize) : pSigned->qwSize);
    m_progress.SetSlotBytes(slot, 0);
    IKZTransferClient::SFetch fetch;
    fetch.strRemoteName = szRemoteName;
    fetch.strLocalPath = (szLocalDir && *szLocalDir ? std::string(szLocalDir) : m_strInstallRoot) + szLocalName;
    fetch.slot = slot;
    fetch.resumeTime = pResumeTime ? (*pResumeTime >= 0 ? *pResumeTime : PartialFileTime(fetch.strLocalPath)) : -1;
    fetch.qwMaxBytes = qwMaxBytes;
    // The digest is taken as the bytes arrive, so that a whole download is not read a second time.
    KZSignature::CHasher hasher;
    if (pSigned)
        fetch.bodyObserver = [&hasher](const void* pData, size_t length) { hasher.Add(pData, length); };
    KZInternet::SKZTransferResult result;
    const bool bResult =
        m_pClient->Fetch(fetch, [this, slot](uint64_t qwDone, uint64_t) { m_progress.SetSlotBytes(slot, qwDone); }, result);
    if (pResumeTime)
        *pResumeTime = result.resumeTime;
    if (!bResult && pResumeTime && result.resumeTime >= 0 && PartialFileTime(fetch.strLocalPath) >= 0)
        SetModificationTime(fetch.strLocalPath, result.resumeTime);
    m_bLastRefused[index] = result.Refused();
    // More than the signed size is as much a wrong file as other bytes of that size.
    m_bLastMismatched[index] = pSigned && result.bTooLarge;
    const std::string strUrl = Url(szRemoteName);
    if (result.bWriteFailed)
        KZOutput::Print(KZOutput::LEVEL_INFO, "Could not write %s (disk full or not writable)", fetch.strLocalPath.c_str());
    if (result.bTooLarge)
        KZOutput::Print(KZOutput::LEVEL_INFO, "%s sent more than the %llu bytes it may hold", strUrl.c_str(),
                        static_cast<unsigned long long>(qwMaxBytes));
    if (bResult && pSigned && !MatchesRelease(fetch.strLocalPath, *pSigned, hasher))
    {
        KZOutput::Print(KZOutput::LEVEL_INFO, "%s does not match the signed release", strUrl.c_str());
        CKZFile::RemoveFile(fetch.strLocalPath.c_str());
        if (pResumeTime)
            *pResumeTime = -1;
        m_bLastRefused[index] = true;
        m_bLastMismatched[index] = true;
        m_progress.SetSlotBytes(slot, 0);
        return false;
    }
    if (bResult)
    {
        KZKillPoint::Reached("download-done");
        return true; // the caller turns the slot's bytes into credited bytes
    }
    m_progress.SetSlotBytes(slot, 0); // a failed transfer takes back what it had shown
    KZOutput::Print(KZOutput::LEVEL_INFO, "KZInternet::HttpGetFile failed to download %s", strUrl.c_str());
    return false;
}

const SKZReleaseFile* CKZInstallerTransfers::SignedEntry(const char* szRemoteName, bool& bListed) const
{
    bListed = true;
    if (!m_pRelease)
        return nullptr;
    const SKZReleaseFile* pSigned = m_pRelease->Find(szRemoteName);
    bListed = pSigned != nullptr;
    return pSigned;
}

bool CKZInstallerTransfers::MatchesRelease(const std::string& strPath, const SKZReleaseFile& signedFile,
                                           KZSignature::CHasher& hasher)
{
    struct stat info;
    if (stat(strPath.c_str(), &info) != 0 || static_cast<uint64_t>(info.st_size) != signedFile.qwSize)
        return false;
    // Fewer bytes seen than the file holds: the answer continued a partial file.
    if (hasher.Bytes() == signedFile.qwSize)
        return hasher.Finish() == signedFile.digest;
    KZSignature::Digest digest;
    uint64_t qwSize = 0;
    return KZSignature::HashFile(strPath, digest, &qwSize) && qwSize == signedFile.qwSize &&
           digest == signedFile.digest;
}

bool CKZInstallerTransfers::Probe(const char* szRemoteName, uint64_t* pSize, SKZFileTime* pTime)
{
    if (!WaitUntilRunning())
        return false;
    uint64_t qwSize = 0, qwTime = 0;
    KZInternet::SKZTransferResult result;
    const bool bAnswered = m_pClient->Probe(szRemoteName, qwSize, qwTime, result);
    // Only a server error or no answer at all may go away on another try; any other answer that
    // gives no size and time is final.
    m_bLastProbeRefused = result.bNotTrusted || (result.httpStatus != 0 && result.httpStatus < 500);
    m_bLastProbeAnswered = result.httpStatus != 0;
    if (!bAnswered)
        return false;
    if (pSize)
        *pSize = qwSize;
    // Converted, so that an install marker carries the server's time.
    if (pTime)
        UnixTimeToFileTime(static_cast<int64_t>(qwTime), pTime);
    return true;
}

bool CKZInstallerTransfers::WasRefused(unsigned slot) const
{
    return m_bLastRefused[std::min(slot, CKZInstallProgress::kUncountedSlot)];
}

// A server that drops a connection now and then must not end a run that one more try would
// finish; a refusal is final.
bool CKZInstallerTransfers::RetryExchange(const std::function<bool(bool& bRefused)>& attempt)
{
    SKZRetryState tries;
    for (;;)
    {
        bool bRefused = false;
        if (attempt(bRefused))
            return true;
        tries.CountFailure(bRefused, m_policy);
        if (tries.Exhausted(CKZRetryPolicy::kExchange) || !m_workers.Pause(tries.dwDelayMs))
            return false;
    }
}

bool CKZInstallerTransfers::ProbeExchange(const char* szRemoteName, uint64_t* pSize, SKZFileTime* pTime)
{
    return RetryExchange([&](bool& bRefused) {
        if (Probe(szRemoteName, pSize, pTime))
            return true;
        bRefused = m_bLastProbeRefused;
        return false;
    });
}

// The server gives the file's size first, so that no answer can fill the disk beyond it.
bool CKZInstallerTransfers::FetchBoundedExchange(const char* szLocalName, const char* szRemoteName, unsigned slot,
                                                 uint64_t qwLimit)
{
    return RetryExchange([&](bool& bRefused) {
        uint64_t qwSize = 0;
        if (!Probe(szRemoteName, &qwSize, nullptr))
        {
            bRefused = m_bLastProbeRefused;
            return false;
        }
        if (Fetch(szLocalName, szRemoteName, slot, nullptr, nullptr, qwLimit ? std::min(qwSize, qwLimit) : qwSize))
            return true;
        bRefused = WasRefused(slot) && !m_bLastMismatched[std::min(slot, CKZInstallProgress::kUncountedSlot)];
        return false;
    });
}

bool CKZInstallerTransfers::FetchText(const char* szRemoteName, uint64_t qwLimit, std::string& strText)
{
    const std::string strPath = m_strInstallRoot + szRemoteName;
    const bool bFetched = FetchBoundedExchange(szRemoteName, szRemoteName, CKZInstallProgress::kUncountedSlot, qwLimit) &&
                          CKZFile::ReadText(strText, strPath.c_str());
    CKZFile::RemoveFile(strPath.c_str());
    return bFetched;
}
