// kztool hash: the library's digests of a text or of a file's bytes.

#include "KZTool.h"

#include "Base/Hash/KZBase64.h"
#include "Base/Hash/KZHashSHA1.h"
#include "Base/Hash/KZHashSHA512.h"
#include "Base/Hash/KZStringHash.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <limits>

namespace
{
std::string Hex(const uint8_t* pBytes, size_t count)
{
    std::string strHex;
    char digits[3];
    for (size_t i = 0; i < count; ++i)
    {
        snprintf(digits, sizeof(digits), "%02x", pBytes[i]);
        strHex += digits;
    }
    return strHex;
}


// The digests take 32-bit counts: feed longer inputs in pieces.
template <typename Hash>
void AddAll(Hash& hash, const std::string& strInput)
{
    constexpr size_t kPiece = 1u << 30;
    for (size_t done = 0; done < strInput.size(); done += kPiece)
        hash.Add(strInput.data() + done, static_cast<uint32_t>(std::min(kPiece, strInput.size() - done)));
}

std::string Digest(const std::string& strAlgorithm, const std::string& strInput, bool& bKnown)
{
    bKnown = true;
    if (strAlgorithm == "crc32")
    {
        uLong crc = crc32(0L, Z_NULL, 0);
        crc = crc32_z(crc, reinterpret_cast<const Bytef*>(strInput.data()), strInput.size());
        char text[9];
        snprintf(text, sizeof(text), "%08lx", crc);
        return text;
    }
    if (strAlgorithm == "sha1")
    {
        CKZHashSHA1 hash;
        hash.Begin();
        AddAll(hash, strInput);
        hash.End();
        uint8_t digest[20];
        hash.GetHash(digest);
        return Hex(digest, sizeof(digest));
    }
    if (strAlgorithm == "sha512")
    {
        CKZHashSHA512 hash;
        hash.Begin();
        AddAll(hash, strInput);
        hash.End();
        uint8_t digest[64];
        hash.GetHash(digest, sizeof(digest));
        return Hex(digest, sizeof(digest));
    }
    if (strAlgorithm == "elf")
    {
        // The key-id hash reads a C string: the input ends at its first zero byte.
        char text[9];
        snprintf(text, sizeof(text), "%08x", KZEngine::Hash(strInput.c_str()));
        return text;
    }
    if (strAlgorithm == "base64")
        return CKZBase64::Encode(strInput.data(), static_cast<uint32_t>(strInput.size()));
    bKnown = false;
    return std::string();
}

std::string MacDigest(const std::string& strAlgorithm, const std::string& strKey, const std::string& strInput)
{
    const uint32_t dwKeyLength = static_cast<uint32_t>(strKey.size());
    const uint32_t dwLength = static_cast<uint32_t>(strInput.size());
    if (strAlgorithm == "hmac-sha1")
    {
        CKZHMacSha1 mac;
        mac.ComputeHash(strInput.data(), dwLength, strKey.data(), dwKeyLength);
        uint8_t digest[20];
        mac.GetHash(digest);
        return Hex(digest, sizeof(digest));
    }
    CKZHMacSha512 mac;
    mac.ComputeHash(strInput.data(), dwLength, strKey.data(), dwKeyLength);
    uint8_t digest[64];
    mac.GetHash(digest, sizeof(digest));
    return Hex(digest, sizeof(digest));
}

// The words are read here: whether a KEY comes before TEXT depends on the algorithm.
int RunHash(const CKZToolArguments& words)
{
    const bool bMac = words.Count() > 0 && (words[0] == "hmac-sha1" || words[0] == "hmac-sha512");
    const size_t first = bMac ? 2 : 1; // where TEXT or --file PATH stands
    CKZToolArguments arguments(first, first + 1);
    arguments.AddOption("--file", 1, CKZToolArguments::REPEAT_REFUSED);
    // TEXT or --file PATH, one of them.
    if (!arguments.Parse(words.Positionals()) || arguments.Has("--file") == (arguments.Count() > first))
        return KZTool::Usage("hash");
    const bool bFile = arguments.Has("--file");
    const std::string& strAlgorithm = arguments[0];
    std::string strInput = bFile ? std::string() : arguments[first];
    std::string strError;
    if (bFile && !KZTool::ReadInputFile(arguments.Value("--file"), strInput, strError))
        return KZTool::Fail(strError);
    if (strInput.size() > std::numeric_limits<uint32_t>::max() && (bMac || strAlgorithm == "base64"))
        return KZTool::Fail("input too large for " + strAlgorithm);
    if (bMac)
    {
        printf("%s\n", MacDigest(strAlgorithm, arguments[1], strInput).c_str());
        return KZTool::RESULT_OK;
    }
    if (strAlgorithm == "unbase64")
    {
        // Decoded bytes go out unchanged, without a line end, so binary data survives.
        const std::string strBytes = CKZBase64::Decode(strInput);
        fwrite(strBytes.data(), 1, strBytes.size(), stdout);
        return KZTool::RESULT_OK;
    }
    bool bKnown = false;
    const std::string strDigest = Digest(strAlgorithm, strInput, bKnown);
    if (!bKnown)
        return KZTool::Fail("unknown algorithm " + strAlgorithm);
    printf("%s\n", strDigest.c_str());
    return KZTool::RESULT_OK;
}

const KZTool::CRegistration s_hash({"hash",
                                    "crc32|sha1|sha512|base64|unbase64|elf TEXT|--file PATH, or "
                                    "hmac-sha1|hmac-sha512 KEY TEXT|--file PATH",
                                    "prints a digest (lower-case hex), Base64 text or decoded bytes", RunHash,
                                    CKZToolArguments(0, CKZToolArguments::UNLIMITED)});
}
