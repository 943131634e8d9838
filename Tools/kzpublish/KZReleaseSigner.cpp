#include "KZReleaseSigner.h"

#include "Tools/Common/KZToolReleaseFiles.h"

#include "System/KZInstallLayout.h"
#include "System/KZReleaseManifest.h"

#include <sodium.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
const int64_t kSecondsPerDay = 86400;

fs::path ManifestIn(const std::string& strTree)
{
    return fs::path(strTree) / KZInstallLayout::kManifestName;
}
} // namespace

CKZReleaseSigner::CKZReleaseSigner(const SOptions& options, const std::string& strServerDir,
                                   const std::string& strPreviousDir)
    : m_options(options), m_strServerDir(strServerDir), m_strPreviousDir(strPreviousDir)
{
}

CKZReleaseSigner::~CKZReleaseSigner()
{
    sodium_memzero(m_seed.data(), m_seed.size());
}

std::string CKZReleaseSigner::PublicKeyHex() const
{
    return KZSignature::ToHex(KZSignature::PublicKeyOf(m_seed));
}

bool CKZReleaseSigner::PreviousRelease(uint64_t& qwRelease, std::string& strFrom)
{
    qwRelease = 0;
    for (const std::string& strTree : {m_strServerDir, m_strPreviousDir})
    {
        std::error_code error;
        const fs::path path = ManifestIn(strTree);
        if (strTree.empty() || !fs::exists(path, error))
            continue;
        std::string strText, strWhy;
        CKZReleaseManifest manifest;
        if (!KZToolRelease::ReadManifest(path.string(), strText, manifest, strWhy))
        {
            m_strError = strWhy;
            return false;
        }
        if (manifest.Release() > qwRelease)
        {
            qwRelease = manifest.Release();
            strFrom = path.string();
        }
    }
    return true;
}

CKZReleaseSigner::EPrepared CKZReleaseSigner::Prepare()
{
    if (!KZToolRelease::ReadSecretKeyFile(m_options.strKeyPath, m_seed, m_strError))
        return PREPARE_FAILED;
    uint64_t qwPrevious = 0;
    std::string strFrom;
    const bool bKnown = PreviousRelease(qwPrevious, strFrom);
    if (m_options.qwRelease == 0)
    {
        // Without a number of its own the release follows the last one, which must then be known.
        if (!bKnown)
        {
            m_strError = "cannot number the release: " + m_strError + " (give --release N)";
            return PREPARE_FAILED;
        }
        if (qwPrevious >= static_cast<uint64_t>(INT64_MAX))
        {
            m_strError = "release " + std::to_string(qwPrevious) + " of " + strFrom + " has no release after it";
            return PREPARE_FAILED;
        }
        m_qwRelease = qwPrevious + 1;
        m_strError.clear();
        return PREPARED;
    }
    m_strError.clear();
    if (bKnown && m_options.qwRelease <= qwPrevious)
    {
        m_strError = "--release " + std::to_string(m_options.qwRelease) + " is not above release " +
                     std::to_string(qwPrevious) + " of " + strFrom + ": release numbers only grow";
        return PREPARE_USAGE;
    }
    m_qwRelease = m_options.qwRelease;
    return PREPARED;
}

bool CKZReleaseSigner::Write(int64_t now)
{
    CKZReleaseManifest manifest;
    std::string strWhy;
    if (!manifest.AddTree(m_strServerDir, strWhy))
    {
        m_strError = "cannot list the published tree for its manifest: " + strWhy;
        return false;
    }
    m_expires = now + m_options.expiresDays * kSecondsPerDay;
    manifest.SetRelease(m_qwRelease);
    manifest.SetExpires(m_expires);
    m_files = manifest.Files().size();
    // Beside its final name, so that the rename stays on one file system and replaces it at once.
    const fs::path target = ManifestIn(m_strServerDir);
    const fs::path temporary =
        fs::path(m_strServerDir) / ("." + std::string(KZInstallLayout::kManifestName) + ".tmp-" +
                                    std::to_string(getpid()));
    std::error_code error;
    if (!KZToolRelease::WriteFileDurably(temporary.string(), false, 0644, manifest.Signed(m_seed)))
    {
        m_strError = "cannot write " + temporary.string() + ": " + strerror(errno);
        return false;
    }
    fs::rename(temporary, target, error);
    if (error)
    {
        m_strError = "cannot move " + temporary.string() + " to " + target.string() + ": " + error.message();
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return false;
    }
    return true;
}

bool CKZReleaseSigner::RemoveStale(const std::string& strServerDir, std::string& strError)
{
    std::error_code error;
    const fs::path path = ManifestIn(strServerDir);
    if (!fs::exists(fs::symlink_status(path, error)))
        return false;
    if (!fs::remove(path, error) || error)
    {
        strError = "cannot remove " + path.string() + ": " + error.message();
        return false;
    }
    return true;
}
