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

// The input named by "TEXT" or "--file PATH" at args[first]; false when it is missing or unreadable.
bool ReadInput(const std::vector<std::string>& args, size_t first, std::string& strInput, std::string& strError)
{
    if (args.size() == first + 1 && args[first] != "--file")
    {
        strInput = args[first];
        return true;
    }
    if (args.size() != first + 2 || args[first] != "--file")
        return false;
    return KZTool::ReadInputFile(args[first + 1], strInput, strError);
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

int RunHash(const std::vector<std::string>& args)
{
    if (args.empty())
        return KZTool::Usage("hash");
    const std::string& strAlgorithm = args[0];
    const bool bMac = strAlgorithm == "hmac-sha1" || strAlgorithm == "hmac-sha512";
    std::string strInput;
    std::string strError;
    if (!ReadInput(args, bMac ? 2 : 1, strInput, strError))
        return strError.empty() ? KZTool::Usage("hash") : KZTool::Fail(strError);
    if (strInput.size() > std::numeric_limits<uint32_t>::max() && (bMac || strAlgorithm == "base64"))
        return KZTool::Fail("input too large for " + strAlgorithm);
    if (bMac)
    {
        printf("%s\n", MacDigest(strAlgorithm, args[1], strInput).c_str());
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
                                    "prints a digest (lower-case hex), Base64 text or decoded bytes", RunHash});
}
