#pragma once
// A signed release: every file a server tree serves, with its size and SHA-256 digest, the
// release number (which only grows) and the time the release expires, signed with Ed25519. It is a
// text file beside the catalogue ("Data.manifest"), lines ending in "\n":
//
//   kzpatch-release-manifest 1
//   release 12
//   expires 2027-01-08T06:54:24Z
//   file 8010822 9f2c...e1 Data.ccx            (size, 64 hex digits, the path on the server)
//   ...
//   signature 4a1b...07                        (128 hex digits, over every byte before this line)

#include "Base/Hash/KZSignature.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct SKZReleaseFile
{
    uint64_t qwSize = 0;
    KZSignature::Digest digest{};
};

class CKZReleaseManifest
{
public:
    static constexpr uint32_t kFormatVersion = 1;
    // A manifest's text is refused beyond this size: about 200,000 files.
    static constexpr uint64_t kMaxBytes = 32ull << 20;

    enum EVerdict
    {
        VERDICT_TRUSTED = 0,
        VERDICT_MALFORMED,   // not a manifest of this format, or damaged
        VERDICT_UNSIGNED,    // no trusted key signed it
        VERDICT_EXPIRED,     // its expiry time has passed
        VERDICT_ROLLBACK,    // an older release than one accepted already
    };

    uint64_t Release() const { return m_qwRelease; }
    int64_t Expires() const { return m_expires; }
    const std::map<std::string, SKZReleaseFile>& Files() const { return m_files; }
    // The signed entry of a path on the server, or null when the release has none.
    const SKZReleaseFile* Find(const std::string& strPath) const;

    void SetRelease(uint64_t qwRelease) { m_qwRelease = qwRelease; }
    void SetExpires(int64_t expires) { m_expires = expires; }
    // False for a path no manifest may hold (see IsServerPath).
    bool AddFile(const std::string& strPath, const SKZReleaseFile& file);

    // Adds every regular file below a server tree's root but the manifest itself, with its size and
    // digest; false, with strWhy, for a file that cannot be read or a name no manifest may hold.
    bool AddTree(const std::string& strRoot, std::string& strWhy);

    // The text without its signature line, and the whole signed text.
    std::string Body() const;
    std::string Signed(const KZSignature::SecretSeed& seed) const;

    // Reads a whole signed text into this manifest and checks it: signed by one of the keys, not
    // expired at now, no older than release qwAccepted. The manifest is read only once its signature
    // holds; strWhy tells what failed.
    EVerdict Check(const std::string& strText, const std::vector<KZSignature::PublicKey>& keys, int64_t now,
                   uint64_t qwAccepted, std::string& strWhy);
    // The key of keys that signed the text, or -1.
    static int SigningKey(const std::string& strText, const std::vector<KZSignature::PublicKey>& keys);
    // Reads the body of a text (everything before its signature line), signature unchecked.
    bool ParseBody(const std::string& strBody, std::string& strWhy);
    // Splits a text into its body and signature; false unless it ends in one well-formed signature line.
    static bool SplitSigned(const std::string& strText, std::string& strBody, KZSignature::Signature& signature);

    // A relative path of "/"-separated names, none "." or "..", without control characters or "\".
    static bool IsServerPath(const std::string& strPath);
    // "2027-01-08T06:54:24Z" of a time in seconds since 1970 (UTC), and back.
    static std::string FormatTime(int64_t seconds);
    static bool ParseTime(const std::string& strText, int64_t& seconds);

private:
    bool ParseLine(const std::string& strLine, size_t number, std::string& strWhy);

    uint64_t m_qwRelease = 0;
    int64_t m_expires = 0;
    std::map<std::string, SKZReleaseFile> m_files;
};
