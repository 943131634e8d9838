#pragma once
// The installer's side of its transfers: one download or probe through the transfer client, with
// the slot's progress, the run's messages and the verdict the retry policy goes by; and the single
// exchanges (the catalogue probe, the catalogue, the client application) tried under the policy's
// exchange limits.

#include "Base/Core/KZFile.h"
#include "System/KZReleaseManifest.h"
#include "System/Util/KZInstallProgress.h"
#include "System/Util/KZRetryPolicy.h"
#include "System/Util/KZRunControl.h"
#include "System/Util/KZTransferClient.h"
#include "System/Util/KZWorkerGroup.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class CKZInstallerTransfers
{
public:
    CKZInstallerTransfers(std::unique_ptr<IKZTransferClient> pClient, CKZInstallProgress& progress,
                          const CKZRetryPolicy& policy, CKZWorkerGroup& workers, CKZRunControl& control);
    CKZInstallerTransfers(const CKZInstallerTransfers&) = delete;
    CKZInstallerTransfers& operator=(const CKZInstallerTransfers&) = delete;

    void SetServer(const std::string& strScheme, const std::string& strServer);
    // The URL of a file on the server, its name percent-encoded per path segment.
    std::string Url(const std::string& strRemoteName) const;
    void SetInstallRoot(const std::string& strInstallRoot) { m_strInstallRoot = strInstallRoot; }
    // Set before any worker starts: from then on a file the release does not list is refused, its
    // size bounds its transfer, and a file whose size or digest differs counts as refused and is
    // removed, so that the next try fetches it whole.
    void SetRelease(std::shared_ptr<const CKZReleaseManifest> pRelease) { m_pRelease = std::move(pRelease); }
    bool HasRelease() const { return m_pRelease != nullptr; }
    // A file Fetch would ask for: any file without a release, else a file the release lists.
    bool MayFetch(const char* szRemoteName) const
    {
        bool bListed = true;
        SignedEntry(szRemoteName, bListed);
        return bListed;
    }

    // One download into the install root (or szLocalDir) in a slot; qwMaxBytes bounds what the
    // server may send. On success the slot keeps its bytes until the caller credits them.
    // pResumeTime, when given, is the entry's resume time: a retry continues the partial file. A
    // partial file found without one (a run before this one broke off) is continued on condition
    // that its modification time is still the server's, which a broken transfer leaves it with.
    // While the run is held the transfer waits before it starts.
    bool Fetch(const char* szLocalName, const char* szRemoteName, unsigned slot, const char* szLocalDir,
               int64_t* pResumeTime, uint64_t qwMaxBytes);
    // Size and time of one file on the server; false when the server gives either not.
    bool Probe(const char* szRemoteName, uint64_t* pSize, SKZFileTime* pTime);
    // The last probe got an answer from the server, whatever it was.
    bool ProbeWasAnswered() const { return m_bLastProbeAnswered; }
    // The last download in the slot was refused (see CKZRetryPolicy).
    bool WasRefused(unsigned slot) const;

    // Probe as one exchange.
    bool ProbeExchange(const char* szRemoteName, uint64_t* pSize, SKZFileTime* pTime);
    // A file fetched whole as one exchange, bounded by the size a probe gives for it just before
    // and by qwLimit when not 0. A file that differs from its signed release is asked for again as
    // an unanswered try.
    bool FetchBoundedExchange(const char* szLocalName, const char* szRemoteName, unsigned slot, uint64_t qwLimit = 0);
    // A small file beside the catalogue read whole, as such an exchange in the uncounted slot: it
    // passes through the install root under its own name and nothing of it stays there.
    bool FetchText(const char* szRemoteName, uint64_t qwLimit, std::string& strText);

private:
    // False when the run was cancelled or is stopping while it waited.
    bool WaitUntilRunning();
    // attempt answers whether the try worked and, when not, whether it was refused.
    bool RetryExchange(const std::function<bool(bool& bRefused)>& attempt);
    // The signed entry of a remote file, or null when no release is set; bListed false when a
    // release is set and does not list the file.
    const SKZReleaseFile* SignedEntry(const char* szRemoteName, bool& bListed) const;
    // hasher saw the bytes as they came; when they are not the whole file the file is read again.
    static bool MatchesRelease(const std::string& strPath, const SKZReleaseFile& signedFile, KZSignature::CHasher& hasher);

    std::unique_ptr<IKZTransferClient> m_pClient;
    CKZInstallProgress& m_progress;
    const CKZRetryPolicy& m_policy;
    CKZWorkerGroup& m_workers;
    CKZRunControl& m_control;
    std::string m_strScheme = "http://";
    std::string m_strServer;
    std::string m_strInstallRoot;
    std::atomic<bool> m_bLastRefused[CKZInstallProgress::kUncountedSlot + 1] = {{false}, {false}, {false}};
    std::atomic<bool> m_bLastMismatched[CKZInstallProgress::kUncountedSlot + 1] = {{false}, {false}, {false}};
    std::atomic<bool> m_bLastProbeRefused{false};
    std::atomic<bool> m_bLastProbeAnswered{false};
    std::shared_ptr<const CKZReleaseManifest> m_pRelease;
};
