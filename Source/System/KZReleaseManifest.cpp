#include "System/KZReleaseManifest.h"

#include "Base/Util/KZString.h"
#include "System/KZInstallLayout.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace
{
const char* const kMagic = "kzpatch-release-manifest";
const char* const kSignatureWord = "signature ";
const size_t kMaxPathLength = 4096;

// The line's first word and the rest after one space.
bool SplitWord(const std::string& strLine, const char* szWord, std::string& strRest)
{
    const std::string strPrefix = std::string(szWord) + " ";
    if (strLine.compare(0, strPrefix.size(), strPrefix) != 0)
        return false;
    strRest = strLine.substr(strPrefix.size());
    return true;
}
} // namespace

const SKZReleaseFile* CKZReleaseManifest::Find(const std::string& strPath) const
{
    const auto it = m_files.find(strPath);
    return it == m_files.end() ? nullptr : &it->second;
}

bool CKZReleaseManifest::AddFile(const std::string& strPath, const SKZReleaseFile& file)
{
    if (!IsServerPath(strPath) || file.qwSize > static_cast<uint64_t>(INT64_MAX))
        return false;
    m_files[strPath] = file;
    return true;
}

bool CKZReleaseManifest::AddTree(const std::string& strRoot, std::string& strWhy)
{
    namespace fs = std::filesystem;
    std::error_code error;
    for (fs::recursive_directory_iterator it(strRoot, error), end; !error && it != end; it.increment(error))
    {
        if (!it->is_regular_file(error))
            continue;
        const std::string strPath = it->path().lexically_relative(strRoot).generic_string();
        if (strPath == KZInstallLayout::kManifestName)
            continue;
        SKZReleaseFile file;
        if (!KZSignature::HashFile(it->path().string(), file.digest, &file.qwSize))
        {
            strWhy = "cannot read " + it->path().string();
            return false;
        }
        if (!AddFile(strPath, file))
        {
            strWhy = "a manifest cannot name " + strPath;
            return false;
        }
    }
    if (error)
        strWhy = "cannot list " + strRoot + ": " + error.message();
    return !error;
}

std::string CKZReleaseManifest::Body() const
{
    std::string strBody = std::string(kMagic) + " " + std::to_string(kFormatVersion) + "\n";
    strBody += "release " + std::to_string(m_qwRelease) + "\n";
    strBody += "expires " + FormatTime(m_expires) + "\n";
    for (const auto& entry : m_files)
        strBody += "file " + std::to_string(entry.second.qwSize) + " " + KZSignature::ToHex(entry.second.digest) + " " +
                   entry.first + "\n";
    return strBody;
}

std::string CKZReleaseManifest::Signed(const KZSignature::SecretSeed& seed) const
{
    const std::string strBody = Body();
    const KZSignature::Signature signature = KZSignature::Sign(strBody.data(), strBody.size(), seed);
    return strBody + kSignatureWord + KZSignature::ToHex(signature) + "\n";
}

bool CKZReleaseManifest::SplitSigned(const std::string& strText, std::string& strBody,
                                     KZSignature::Signature& signature)
{
    if (strText.size() > kMaxBytes || strText.empty() || strText.back() != '\n')
        return false;
    const size_t lastBreak = strText.rfind('\n', strText.size() - 2);
    const size_t lineStart = lastBreak == std::string::npos ? 0 : lastBreak + 1;
    const std::string strLine = strText.substr(lineStart, strText.size() - 1 - lineStart);
    std::string strHex;
    if (!SplitWord(strLine, "signature", strHex) || !KZSignature::FromLowerHex(strHex, signature))
        return false;
    strBody = strText.substr(0, lineStart);
    return true;
}

int CKZReleaseManifest::SigningKey(const std::string& strText, const std::vector<KZSignature::PublicKey>& keys)
{
    std::string strBody;
    KZSignature::Signature signature;
    if (!SplitSigned(strText, strBody, signature))
        return -1;
    for (size_t i = 0; i < keys.size(); ++i)
        if (KZSignature::Verify(signature, strBody.data(), strBody.size(), keys[i]))
            return static_cast<int>(i);
    return -1;
}

CKZReleaseManifest::EVerdict CKZReleaseManifest::Check(const std::string& strText,
                                                       const std::vector<KZSignature::PublicKey>& keys, int64_t now,
                                                       uint64_t qwAccepted, std::string& strWhy)
{
    *this = CKZReleaseManifest(); // nothing of an earlier text stays behind a refusal
    std::string strBody;
    KZSignature::Signature signature;
    if (!SplitSigned(strText, strBody, signature))
    {
        strWhy = "it does not end in a signature line";
        return VERDICT_MALFORMED;
    }
    if (SigningKey(strText, keys) < 0)
    {
        strWhy = "no trusted key signed it";
        return VERDICT_UNSIGNED;
    }
    if (!ParseBody(strBody, strWhy))
        return VERDICT_MALFORMED;
    if (now > m_expires)
    {
        strWhy = "it expired on " + FormatTime(m_expires);
        return VERDICT_EXPIRED;
    }
    if (m_qwRelease < qwAccepted)
    {
        strWhy = "it is release " + std::to_string(m_qwRelease) + ", older than release " + std::to_string(qwAccepted) +
                 " installed here";
        return VERDICT_ROLLBACK;
    }
    return VERDICT_TRUSTED;
}

bool CKZReleaseManifest::ParseBody(const std::string& strBody, std::string& strWhy)
{
    // A refused body leaves the manifest empty, not holding the lines before the bad one.
    const auto refuse = [this]() {
        m_qwRelease = 0;
        m_expires = 0;
        m_files.clear();
        return false;
    };
    refuse();
    if (strBody.size() > kMaxBytes || (!strBody.empty() && strBody.back() != '\n'))
    {
        strWhy = "it is too large or cut short";
        return false;
    }
    size_t number = 0;
    for (size_t start = 0; start < strBody.size();)
    {
        const size_t end = strBody.find('\n', start);
        if (!ParseLine(strBody.substr(start, end - start), ++number, strWhy))
            return refuse();
        start = end + 1;
    }
    if (number < 3)
    {
        strWhy = "it lacks its release or expiry line";
        return refuse();
    }
    return true;
}

bool CKZReleaseManifest::ParseLine(const std::string& strLine, size_t number, std::string& strWhy)
{
    strWhy = "line " + std::to_string(number) + " is not valid";
    std::string strRest;
    uint64_t qwValue = 0;
    if (number == 1)
        return SplitWord(strLine, kMagic, strRest) && KZStringParseDecimal(strRest, qwValue) && qwValue == kFormatVersion;
    if (number == 2)
        return SplitWord(strLine, "release", strRest) && KZStringParseDecimal(strRest, m_qwRelease);
    if (number == 3)
        return SplitWord(strLine, "expires", strRest) && ParseTime(strRest, m_expires);
    // file SIZE DIGEST PATH
    if (!SplitWord(strLine, "file", strRest))
        return false;
    const size_t sizeEnd = strRest.find(' ');
    if (sizeEnd == std::string::npos || strRest.size() < sizeEnd + 1 + 64 + 2 || strRest[sizeEnd + 65] != ' ')
        return false;
    SKZReleaseFile file;
    const std::string strPath = strRest.substr(sizeEnd + 66);
    if (!KZStringParseDecimal(strRest.substr(0, sizeEnd), file.qwSize) ||
        !KZSignature::FromLowerHex(strRest.substr(sizeEnd + 1, 64), file.digest) || !IsServerPath(strPath))
        return false;
    if (m_files.count(strPath))
    {
        strWhy = "line " + std::to_string(number) + " names " + strPath + " a second time";
        return false;
    }
    m_files.emplace(strPath, file);
    return true;
}

bool CKZReleaseManifest::IsServerPath(const std::string& strPath)
{
    if (strPath.empty() || strPath.size() > kMaxPathLength)
        return false;
    for (const unsigned char c : strPath)
        if (c < 0x20 || c == 0x7f || c == '\\')
            return false;
    for (size_t start = 0;;)
    {
        const size_t end = strPath.find('/', start);
        const std::string strName = strPath.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (strName.empty() || strName == "." || strName == "..")
            return false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

std::string CKZReleaseManifest::FormatTime(int64_t seconds)
{
    const time_t value = static_cast<time_t>(seconds);
    struct tm parts = {};
    char szText[32] = "";
    if (gmtime_r(&value, &parts))
        strftime(szText, sizeof(szText), "%Y-%m-%dT%H:%M:%SZ", &parts);
    return szText;
}

bool CKZReleaseManifest::ParseTime(const std::string& strText, int64_t& seconds)
{
    // Exactly "YYYY-MM-DDTHH:MM:SSZ".
    static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
    if (strText.size() != sizeof(kShape) - 1)
        return false;
    for (size_t i = 0; i < strText.size(); ++i)
        if (kShape[i] == 'd' ? (strText[i] < '0' || strText[i] > '9') : strText[i] != kShape[i])
            return false;
    const auto field = [&strText](size_t at, size_t length) { return std::stoi(strText.substr(at, length)); };
    struct tm parts = {};
    parts.tm_year = field(0, 4) - 1900;
    parts.tm_mon = field(5, 2) - 1;
    parts.tm_mday = field(8, 2);
    parts.tm_hour = field(11, 2);
    parts.tm_min = field(14, 2);
    parts.tm_sec = field(17, 2);
    if (parts.tm_year < 70 || parts.tm_mon > 11 || parts.tm_mday < 1 || parts.tm_mday > 31 || parts.tm_hour > 23 ||
        parts.tm_min > 59 || parts.tm_sec > 59)
        return false;
    seconds = static_cast<int64_t>(timegm(&parts));
    // A day the month does not have (February 30) comes back as another date.
    return FormatTime(seconds) == strText;
}
