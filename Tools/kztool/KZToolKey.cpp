// kztool key: the key pair a publisher signs releases with.

#include "KZTool.h"

#include "Base/Hash/KZSignature.h"
#include "Tools/Common/KZToolReleaseFiles.h"

#include <sodium.h>

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
std::string Refusal(const std::string& strPath, int error)
{
    return error == EEXIST ? strPath + " exists already: a key file is never overwritten"
                           : KZTool::SystemReason("cannot create " + strPath, error);
}

int RunGenerate(const CKZToolArguments& arguments)
{
    const std::string& strSecret = arguments[0];
    const std::string& strPublic = arguments[1];
    if (strSecret == strPublic)
        return KZTool::Fail("the secret and the public key need files of their own");
    // Both names are checked before either file is made; O_EXCL then closes the race.
    struct stat status;
    for (const std::string* pPath : {&strSecret, &strPublic})
        if (lstat(pPath->c_str(), &status) == 0)
            return KZTool::Fail(Refusal(*pPath, EEXIST));

    KZSignature::PublicKey publicKey;
    KZSignature::SecretSeed seed;
    KZSignature::GenerateKeyPair(publicKey, seed);
    std::string strSecretText =
        std::string(KZToolRelease::kSecretKeyComment) + "\n" + KZSignature::ToHex(seed) + "\n";
    sodium_memzero(seed.data(), seed.size());
    const bool bSecret = KZToolRelease::WriteFileDurably(strSecret, true, 0600, strSecretText);
    const int secretError = errno;
    sodium_memzero(&strSecretText[0], strSecretText.size());
    if (!bSecret)
        return KZTool::Fail(Refusal(strSecret, secretError));
    const std::string strPublicHex = KZSignature::ToHex(publicKey);
    if (!KZToolRelease::WriteFileDurably(strPublic, true, 0644, std::string(KZToolRelease::kPublicKeyComment) + "\n" + strPublicHex + "\n"))
    {
        const int error = errno;
        // A secret without its public half would only be a puzzle later.
        unlink(strSecret.c_str());
        return KZTool::Fail(Refusal(strPublic, error));
    }
    printf("secret\t%s\npublic\t%s\t%s\n", strSecret.c_str(), strPublic.c_str(), strPublicHex.c_str());
    return KZTool::RESULT_OK;
}

const KZTool::CRegistration s_generate(
    {"key generate", "SECRET_FILE PUBLIC_FILE",
     "makes an Ed25519 key pair for signed releases: the secret key (mode 0600) for kzpublish --sign-key, the "
     "public key for launchers; refuses to overwrite either file",
     RunGenerate, CKZToolArguments(2)});
} // namespace
