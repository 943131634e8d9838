// The signed release manifest over arbitrary bytes: the whole check with one trusted key, and the body
// reader directly, also behind a valid signature, so that the fuzzer reaches it without forging one.
// A body that reads writes out again as the same release. The key text reader runs on the bytes too.
#include "Fuzz/KZFuzzSupport.h"
#include "System/KZReleaseManifest.h"

namespace
{
typedef CKZReleaseManifest Manifest;

// RFC 8032 TEST 1's key pair: the seed signs inputs, so the fuzzer need not forge signatures.
const KZSignature::SecretSeed& Seed()
{
    static const KZSignature::SecretSeed s_seed = [] {
        KZSignature::SecretSeed seed{};
        if (!KZSignature::FromHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60", seed))
            KZFuzz::Finding("the test seed does not read");
        return seed;
    }();
    return s_seed;
}

const std::vector<KZSignature::PublicKey>& Keys()
{
    static const std::vector<KZSignature::PublicKey> s_keys{KZSignature::PublicKeyOf(Seed())};
    return s_keys;
}

bool SameRelease(const Manifest& a, const Manifest& b)
{
    if (a.Release() != b.Release() || a.Expires() != b.Expires() || a.Files().size() != b.Files().size())
        return false;
    for (auto i = a.Files().begin(), j = b.Files().begin(); i != a.Files().end(); ++i, ++j)
        if (i->first != j->first || i->second.qwSize != j->second.qwSize || i->second.digest != j->second.digest)
            return false;
    return true;
}

void ExpectEmpty(const Manifest& manifest, const char* szWhere)
{
    if (manifest.Release() != 0 || manifest.Expires() != 0 || !manifest.Files().empty())
        KZFuzz::Finding(std::string("a refused manifest keeps what it read: ") + szWhere);
}

// A manifest that read: its body reads back the same, and its signed text is trusted.
void ExpectRoundTrip(const Manifest& manifest)
{
    const std::string strBody = manifest.Body();
    Manifest again;
    std::string strWhy;
    if (!again.ParseBody(strBody, strWhy))
        KZFuzz::Finding("a written body does not read: " + strWhy);
    if (!SameRelease(manifest, again))
        KZFuzz::Finding("a written body reads as another release");
    if (again.Body() != strBody)
        KZFuzz::Finding("writing a body twice gives two texts");
    const std::string strSigned = manifest.Signed(Seed());
    if (strSigned.compare(0, strBody.size(), strBody) != 0)
        KZFuzz::Finding("the signed text does not start with the body");
    if (again.Check(strSigned, Keys(), manifest.Expires(), manifest.Release(), strWhy) != Manifest::VERDICT_TRUSTED ||
        !SameRelease(manifest, again))
        KZFuzz::Finding("a signed manifest is not trusted: " + strWhy);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size)
{
    if (size > (1u << 20))
        return 0;
    const std::string strText(reinterpret_cast<const char*>(pData), size);
    std::string strWhy;

    // The whole text as a client receives it.
    Manifest checked;
    const Manifest::EVerdict verdict = checked.Check(strText, Keys(), 0, 0, strWhy);
    std::string strSplitBody;
    KZSignature::Signature signature{};
    const bool bSplit = Manifest::SplitSigned(strText, strSplitBody, signature);
    if (verdict == Manifest::VERDICT_TRUSTED || verdict == Manifest::VERDICT_EXPIRED)
    {
        if (!bSplit || Manifest::SigningKey(strText, Keys()) != 0)
            KZFuzz::Finding("a manifest passed its signature check without a valid signature");
        if (verdict == Manifest::VERDICT_TRUSTED)
            ExpectRoundTrip(checked);
    }
    else if (verdict == Manifest::VERDICT_MALFORMED && bSplit && Manifest::SigningKey(strText, Keys()) == 0)
        ExpectEmpty(checked, "check");
    else if (verdict == Manifest::VERDICT_ROLLBACK)
        KZFuzz::Finding("release 0 accepted and still a rollback");
    if (bSplit && strSplitBody.size() >= strText.size())
        KZFuzz::Finding("the body is not shorter than the signed text");

    // The bytes as a body, read directly.
    Manifest body;
    const bool bBody = body.ParseBody(strText, strWhy);
    if (bBody)
        ExpectRoundTrip(body);
    else
        ExpectEmpty(body, "body");

    // The bytes as a body behind a valid signature: the verdict follows what the body reader said.
    const std::string strSigned = strText + "signature " +
                                  KZSignature::ToHex(KZSignature::Sign(strText.data(), strText.size(), Seed())) + "\n";
    Manifest signedBody;
    const uint64_t qwRelease = body.Release();
    const int64_t expires = body.Expires();
    const Manifest::EVerdict bodyVerdict = signedBody.Check(strSigned, Keys(), expires, qwRelease, strWhy);
    if (bodyVerdict != (bBody ? Manifest::VERDICT_TRUSTED : Manifest::VERDICT_MALFORMED))
        KZFuzz::Finding("a signed body's verdict differs from what its reader said: " + strWhy);
    if (bBody)
    {
        if (!SameRelease(body, signedBody))
            KZFuzz::Finding("the checked manifest differs from its body");
        if (expires < INT64_MAX && signedBody.Check(strSigned, Keys(), expires + 1, 0, strWhy) != Manifest::VERDICT_EXPIRED)
            KZFuzz::Finding("trusted past its expiry");
        if (qwRelease < UINT64_MAX &&
            signedBody.Check(strSigned, Keys(), 0, qwRelease + 1, strWhy) != Manifest::VERDICT_ROLLBACK)
            KZFuzz::Finding("an older release is not a rollback");
    }

    // The bytes as a key text: the keys it holds read back from their own text.
    std::vector<KZSignature::PublicKey> keys;
    if (KZSignature::ParseKeys(strText, keys))
    {
        std::string strKeys;
        for (const KZSignature::PublicKey& key : keys)
            strKeys += KZSignature::ToHex(key) + "\n";
        std::vector<KZSignature::PublicKey> again;
        if (!KZSignature::ParseKeys(strKeys, again) || again != keys)
            KZFuzz::Finding("a key text does not read back");
    }
    else if (!keys.empty())
        KZFuzz::Finding("a refused key text keeps keys");
    return 0;
}
