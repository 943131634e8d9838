// File deltas of arbitrary bytes applied to a base taken from the input, and deltas made from the input's
// halves applied back. The first two bytes give the base's length (at most 4 KiB, little-endian low 13
// bits) and, in their top three bits, how many bytes a read hands over; the base follows, the delta is
// the rest. A delta may write only what it declares and, when it applies, exactly that.
#include "Fuzz/KZFuzzSupport.h"
#include "Base/Archive/KZFileDelta.h"

#include <zstd.h>

#include <cstring>

namespace
{
const size_t kMaxBase = 4096;
// Asked for by size this one, and by any size only when it declares at most this much.
const uint64_t kFixedSize = 1024;
const uint64_t kMaxAnySize = 256 * 1024;
const size_t kPieces[] = {1, 3, 17, 256, 4096, 65536, 1u << 20, SIZE_MAX};

KZFileDelta::EResult ApplyChecked(const uint8_t* pBase, size_t baseSize, const uint8_t* pDelta, size_t deltaSize,
                                  size_t piece, uint64_t qwSize, uint64_t qwBound, std::string* pOut)
{
    size_t at = 0;
    uint64_t qwWritten = 0;
    const auto read = [&](void* pBuffer, size_t size) {
        const size_t count = std::min({size, piece, deltaSize - at});
        if (count)
            memcpy(pBuffer, pDelta + at, count);
        at += count;
        return static_cast<int64_t>(count);
    };
    const auto write = [&](const void* pData, size_t size) {
        qwWritten += size;
        if (qwWritten > qwBound)
            KZFuzz::Finding("a delta writes more than it declares");
        if (pOut)
            pOut->append(static_cast<const char*>(pData), size);
        return true;
    };
    std::string strWhy;
    const KZFileDelta::EResult result = KZFileDelta::Apply(pBase, baseSize, read, write, qwSize, strWhy);
    if (result == KZFileDelta::APPLIED && qwWritten != qwBound)
        KZFuzz::Finding("an applied delta writes less than it declares");
    if (result != KZFileDelta::APPLIED && strWhy.empty())
        KZFuzz::Finding("a refusal without a reason");
    if (result == KZFileDelta::READ_FAILED || result == KZFileDelta::WRITE_FAILED)
        KZFuzz::Finding(std::string("a failure nobody caused: ") + KZFileDelta::ResultText(result));
    return result;
}

void RoundTrip(const uint8_t* pData, size_t size)
{
    const size_t half = std::min(size / 2, kMaxBase);
    const uint8_t* pBase = pData;
    const uint8_t* pTarget = pData + size / 2;
    const size_t targetSize = std::min(size - size / 2, kMaxBase);
    std::string strDelta, strWhy;
    const int level = 1 + (size % 3);
    if (!KZFileDelta::Make(pBase, half, pTarget, targetSize, level,
                           [&](const void* p, size_t n) {
                               strDelta.append(static_cast<const char*>(p), n);
                               return true;
                           },
                           strWhy))
        KZFuzz::Finding("a delta could not be made: " + strWhy);
    if (!KZFileDelta::StartsLikeDelta(strDelta.data(), strDelta.size()))
        KZFuzz::Finding("a made delta does not start like one");
    std::string strOut;
    if (ApplyChecked(pBase, half, reinterpret_cast<const uint8_t*>(strDelta.data()), strDelta.size(), 1 + size % 64,
                     targetSize, targetSize, &strOut) != KZFileDelta::APPLIED)
        KZFuzz::Finding("a made delta does not apply");
    if (strOut.size() != targetSize || (targetSize && memcmp(strOut.data(), pTarget, targetSize) != 0))
        KZFuzz::Finding("a made delta gives other bytes");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size)
{
    if (size < 2)
        return 0;
    const size_t baseSize = std::min<size_t>((pData[0] | pData[1] << 8) & 0x1FFF, std::min(kMaxBase, size - 2));
    const size_t piece = kPieces[pData[1] >> 5];
    const uint8_t* pBase = pData + 2;
    const uint8_t* pDelta = pBase + baseSize;
    const size_t deltaSize = size - 2 - baseSize;

    const unsigned long long qwDeclared = ZSTD_getFrameContentSize(pDelta, deltaSize);
    // Skippable frames declare a size of 0 to zstd; they are no deltas.
    const bool bSized = KZFileDelta::StartsLikeDelta(pDelta, deltaSize) && qwDeclared != ZSTD_CONTENTSIZE_UNKNOWN &&
                        qwDeclared != ZSTD_CONTENTSIZE_ERROR;
    const KZFileDelta::EResult fixed =
        ApplyChecked(pBase, baseSize, pDelta, deltaSize, piece, kFixedSize, kFixedSize, nullptr);
    if (fixed != KZFileDelta::WRONG_SIZE && bSized && qwDeclared != kFixedSize)
        KZFuzz::Finding("a delta of another size is not refused for its size");
    if (bSized && qwDeclared <= kMaxAnySize)
    {
        const KZFileDelta::EResult any =
            ApplyChecked(pBase, baseSize, pDelta, deltaSize, piece, KZFileDelta::kAnySize, qwDeclared, nullptr);
        if (qwDeclared == kFixedSize && any != fixed)
            KZFuzz::Finding("the same delta applies differently by size and by any size");
    }
    RoundTrip(pData, size);
    return 0;
}
