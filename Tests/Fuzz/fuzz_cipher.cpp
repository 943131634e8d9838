// The entry cipher: opening sealed bytes of any content, and sealing then opening any content. The
// first eight bytes choose the entry key numbers, as an enciphered zip entry's stored words do.
#include "Base/Archive/KZCrypto.h"
#include "Fuzz/KZFuzzSupport.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size)
{
    if (size < 8 || size > (1u << 20))
        return 0;
    uint32_t adwNumbers[2];
    memcpy(adwNumbers, pData, sizeof(adwNumbers));
    uint32_t adwKey[8];
    CKZCrypto::MakeEntryKey(adwNumbers[0], adwNumbers[1], adwKey);
    CKZCrypto crypto;
    crypto.SetKey(adwKey);
    crypto.SetCiperIteration(pData[0]);

    const uint8_t* pBody = pData + 8;
    const uint32_t dwLength = static_cast<uint32_t>(size - 8);
    std::vector<uint8_t> plain(dwLength + 16);
    uint32_t dwPlainLength = 0;
    if (crypto.Decrypt(pBody, dwLength, plain.data(), static_cast<uint32_t>(plain.size()), &dwPlainLength) == 1 &&
        dwPlainLength > dwLength)
        KZFuzz::Finding("opened more bytes than were sealed");

    // An empty buffer seals but never opens: it has no first byte for the key check.
    if (dwLength == 0)
        return 0;
    std::vector<uint8_t> sealed(dwLength + 16);
    uint32_t dwWritten = 0;
    if (crypto.Encrypt(pBody, dwLength, sealed.data(), static_cast<uint32_t>(sealed.size()), &dwWritten) != 0)
        KZFuzz::Finding("sealing refused a buffer with room for it");
    if (crypto.Decrypt(sealed.data(), dwWritten, plain.data(), static_cast<uint32_t>(plain.size()), &dwPlainLength) != 1 ||
        dwPlainLength != dwLength || memcmp(plain.data(), pBody, dwLength) != 0)
        KZFuzz::Finding("sealed bytes do not open to what was sealed");
    // A buffer cut short never opens past its end.
    if (dwWritten > 0)
        crypto.Decrypt(sealed.data(), dwWritten - 1, plain.data(), static_cast<uint32_t>(plain.size()), &dwPlainLength);
    return 0;
}
