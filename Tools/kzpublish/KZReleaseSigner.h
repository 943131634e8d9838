#pragma once
// The signed release of a publication: Data.manifest at the server tree's root, listing every file of
// the tree with its size and digest, signed with the publisher's secret key. The key and the release
// number are settled before the tree is written, so that a bad key or a release number that does not
// grow leaves the tree as it was; the manifest is written once the tree is complete.

#include "Base/Hash/KZSignature.h"

#include <cstdint>
#include <string>

class CKZReleaseSigner
{
public:
    struct SOptions
    {
        std::string strKeyPath;
        int64_t expiresDays = 30;
        uint64_t qwRelease = 0; // 0: one more than the release published before
    };
    enum EPrepared
    {
        PREPARED,
        PREPARE_FAILED, // a key or a manifest that cannot be read
        PREPARE_USAGE,  // a release number not above the one published before
    };

    CKZReleaseSigner(const SOptions& options, const std::string& strServerDir, const std::string& strPreviousDir);
    ~CKZReleaseSigner();
    CKZReleaseSigner(const CKZReleaseSigner&) = delete;
    CKZReleaseSigner& operator=(const CKZReleaseSigner&) = delete;

    // Reads the secret key and the releases of the manifests in the server and previous trees.
    EPrepared Prepare();
    // Lists the tree as it now stands, signs it and puts the manifest in place at once.
    bool Write(int64_t now);

    uint64_t Release() const { return m_qwRelease; }
    int64_t Expires() const { return m_expires; }
    size_t Files() const { return m_files; }
    std::string PublicKeyHex() const;
    const std::string& GetError() const { return m_strError; }

    // Removes the manifest an earlier signed publication left in a tree now published unsigned;
    // true when there was one. strError is set when it could not be removed.
    static bool RemoveStale(const std::string& strServerDir, std::string& strError);

private:
    // The highest release of the manifests found; false when one is there but cannot be read.
    bool PreviousRelease(uint64_t& qwRelease, std::string& strFrom);

    SOptions m_options;
    std::string m_strServerDir, m_strPreviousDir;
    KZSignature::SecretSeed m_seed{};
    uint64_t m_qwRelease = 0;
    int64_t m_expires = 0;
    size_t m_files = 0;
    std::string m_strError;
};
