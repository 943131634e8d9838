#include "Tools/Common/KZToolReleaseFiles.h"

#include "System/KZInstallLayout.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
struct SCloseFile
{
    void operator()(FILE* pFile) const { fclose(pFile); }
};

std::string CannotRead(const std::string& strPath, int error)
{
    return "cannot read " + strPath + ": " + strerror(error);
}
} // namespace

namespace KZToolRelease
{
bool WriteFileDurably(const std::string& strPath, bool bMustBeNew, unsigned mode, const std::string& strText)
{
    const int fd = open(strPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (bMustBeNew ? O_EXCL : O_TRUNC),
                        static_cast<mode_t>(mode));
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < strText.size())
    {
        const ssize_t n = write(fd, strText.data() + done, strText.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    const bool bWritten = done == strText.size() && fsync(fd) == 0;
    const int error = errno;
    close(fd);
    if (!bWritten)
        unlink(strPath.c_str());
    errno = error;
    return bWritten;
}

const char* const kSecretKeyComment = "# kzpatch secret signing key: keep it private";
const char* const kPublicKeyComment = "# kzpatch public key";

bool ReadBounded(const std::string& strPath, uint64_t maxBytes, std::string& strBytes, std::string& strWhy)
{
    struct stat status;
    if (stat(strPath.c_str(), &status) != 0)
    {
        strWhy = errno == ENOENT ? "no such file: " + strPath : CannotRead(strPath, errno);
        return false;
    }
    if (S_ISDIR(status.st_mode))
    {
        strWhy = "is a directory, not a file: " + strPath;
        return false;
    }
    const std::unique_ptr<FILE, SCloseFile> pFile(fopen(strPath.c_str(), "rb"));
    if (!pFile)
    {
        strWhy = CannotRead(strPath, errno);
        return false;
    }
    strBytes.clear();
    char buffer[65536];
    // A pipe or a growing file has no size to trust: the bound holds for what is read.
    while (const size_t n = fread(buffer, 1, sizeof(buffer), pFile.get()))
    {
        if (strBytes.size() + n > maxBytes)
        {
            strWhy = strPath + " is larger than " + std::to_string(maxBytes) + " bytes";
            return false;
        }
        strBytes.append(buffer, n);
    }
    if (ferror(pFile.get()))
    {
        strWhy = CannotRead(strPath, errno);
        return false;
    }
    return true;
}

bool ReadSecretKeyFile(const std::string& strPath, KZSignature::SecretSeed& seed, std::string& strWhy)
{
    std::string strText;
    if (!ReadBounded(strPath, kMaxKeyFileBytes, strText, strWhy))
        return false;
    if (strText.compare(0, strlen(kPublicKeyComment), kPublicKeyComment) == 0 ||
        strText.find(std::string("\n") + kPublicKeyComment) != std::string::npos)
    {
        strWhy = strPath + " holds a public key: signing takes the secret key";
        return false;
    }
    if (!KZSignature::ParseSecret(strText, seed))
    {
        strWhy = strPath + " is not a secret key file: it must hold one key of 64 hex digits";
        return false;
    }
    return true;
}

bool ReadPublicKeyFile(const std::string& strPath, std::vector<KZSignature::PublicKey>& keys, std::string& strWhy)
{
    std::string strText;
    if (!ReadBounded(strPath, kMaxKeyFileBytes, strText, strWhy))
        return false;
    if (!KZSignature::ParseKeys(strText, keys) || keys.empty())
    {
        strWhy = strPath + " is not a public key file: it must hold keys of 64 hex digits";
        return false;
    }
    return true;
}

std::string ManifestPathOf(const std::string& strTreeOrFile)
{
    std::error_code error;
    if (!fs::is_directory(strTreeOrFile, error))
        return strTreeOrFile;
    return (fs::path(strTreeOrFile) / KZInstallLayout::kManifestName).string();
}

bool ReadManifest(const std::string& strPath, std::string& strText, CKZReleaseManifest& manifest, std::string& strWhy)
{
    if (!ReadBounded(strPath, CKZReleaseManifest::kMaxBytes, strText, strWhy))
        return false;
    std::string strBody, strReason;
    KZSignature::Signature signature;
    if (!CKZReleaseManifest::SplitSigned(strText, strBody, signature))
        strReason = "it does not end in a signature line";
    else if (!manifest.ParseBody(strBody, strReason))
        strReason = strReason.empty() ? "it cannot be read" : strReason;
    else
        return true;
    strWhy = strPath + " is not a release manifest: " + strReason;
    return false;
}

std::vector<STreeProblem> CompareTree(const CKZReleaseManifest& manifest, const std::string& strRoot)
{
    std::vector<STreeProblem> problems;
    const auto expected = [](const SKZReleaseFile& file) {
        return std::to_string(file.qwSize) + " " + KZSignature::ToHex(file.digest);
    };
    for (const auto& entry : manifest.Files())
    {
        const fs::path path = fs::path(strRoot) / entry.first;
        std::error_code error;
        const fs::file_status status = fs::status(path, error);
        if (!fs::exists(status))
        {
            problems.push_back({"missing", entry.first, expected(entry.second), ""});
            continue;
        }
        if (!fs::is_regular_file(status))
        {
            problems.push_back({"unreadable", entry.first, expected(entry.second), "not a regular file"});
            continue;
        }
        KZSignature::Digest digest;
        uint64_t qwSize = 0;
        if (!KZSignature::HashFile(path.string(), digest, &qwSize))
            problems.push_back({"unreadable", entry.first, expected(entry.second), "cannot be read"});
        else if (qwSize != entry.second.qwSize)
            problems.push_back({"size", entry.first, std::to_string(entry.second.qwSize), std::to_string(qwSize)});
        else if (digest != entry.second.digest)
            problems.push_back(
                {"digest", entry.first, KZSignature::ToHex(entry.second.digest), KZSignature::ToHex(digest)});
    }
    std::error_code error;
    std::vector<STreeProblem> unlisted;
    for (fs::recursive_directory_iterator it(strRoot, error), end; !error && it != end; it.increment(error))
    {
        std::error_code ignored;
        if (!it->is_regular_file(ignored))
            continue;
        const std::string strPath = it->path().lexically_relative(strRoot).generic_string();
        if (strPath != KZInstallLayout::kManifestName && !manifest.Find(strPath))
            unlisted.push_back({"unlisted", strPath, "", std::to_string(it->file_size(ignored))});
    }
    if (error)
        problems.push_back({"unreadable", strRoot, "", error.message()});
    std::sort(unlisted.begin(), unlisted.end(),
              [](const STreeProblem& a, const STreeProblem& b) { return a.strPath < b.strPath; });
    problems.insert(problems.end(), unlisted.begin(), unlisted.end());
    return problems;
}
} // namespace KZToolRelease
