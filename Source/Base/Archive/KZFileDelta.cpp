#include "Base/Archive/KZFileDelta.h"

// The stable output buffer is among the library's advanced parameters.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace
{
const unsigned kMinWindowLog = 10;
const unsigned kMaxWindowLog = 31;
const size_t kOutputChunk = 1u << 20;
const size_t kFrameHeaderMax = 18; // magic, descriptor, window, dictionary ID and content size
// A block that only repeats the base costs about ten bytes for its 128 KiB: a slice this small
// decodes a few blocks at most.
const size_t kInPlaceInputSlice = 64;

struct SCompressor
{
    void operator()(ZSTD_CCtx* p) const { ZSTD_freeCCtx(p); }
};
struct SDecompressor
{
    void operator()(ZSTD_DCtx* p) const { ZSTD_freeDCtx(p); }
};

unsigned HighBit(uint64_t qwValue)
{
    unsigned bit = 0;
    while (qwValue >>= 1)
        ++bit;
    return bit;
}

// A window that reaches from any place of the target back over the whole base: the log of twice
// the larger of the two, as `zstd --patch-from` chooses it.
unsigned WindowLogFor(uint64_t qwBase, uint64_t qwTarget)
{
    return std::clamp(HighBit(std::max(qwBase, qwTarget)) + 1, kMinWindowLog, kMaxWindowLog);
}

bool Failed(size_t code, std::string& strWhy)
{
    if (!ZSTD_isError(code))
        return false;
    strWhy = ZSTD_getErrorName(code);
    return true;
}
} // namespace

namespace KZFileDelta
{
bool Make(const uint8_t* pBase, size_t baseSize, const uint8_t* pTarget, size_t targetSize, int level,
          const Writer& write, std::string& strWhy)
{
    if (baseSize > kMaxFileSize || targetSize > kMaxFileSize)
    {
        strWhy = "a base or target of 2 GiB or more";
        return false;
    }
    std::unique_ptr<ZSTD_CCtx, SCompressor> pContext(ZSTD_createCCtx());
    if (!pContext)
    {
        strWhy = "out of memory";
        return false;
    }
    ZSTD_CCtx* pCctx = pContext.get();
    const unsigned windowLog = WindowLogFor(baseSize, targetSize);
    // One worker thread, as `zstd --patch-from` has by default: its long-distance matcher keeps the
    // whole base in reach, where the one in this thread loses the base's runs in large files (deltas
    // three times as large on a 100 MB pair). A library built without threads refuses it and
    // compresses in this thread.
    ZSTD_CCtx_setParameter(pCctx, ZSTD_c_nbWorkers, 1);
    if (Failed(ZSTD_CCtx_setParameter(pCctx, ZSTD_c_compressionLevel, level), strWhy) ||
        Failed(ZSTD_CCtx_setParameter(pCctx, ZSTD_c_windowLog, static_cast<int>(windowLog)), strWhy) ||
        Failed(ZSTD_CCtx_setParameter(pCctx, ZSTD_c_enableLongDistanceMatching, 1), strWhy) ||
        Failed(ZSTD_CCtx_setParameter(pCctx, ZSTD_c_checksumFlag, 1), strWhy) ||
        Failed(ZSTD_CCtx_setParameter(pCctx, ZSTD_c_contentSizeFlag, 1), strWhy) ||
        Failed(ZSTD_CCtx_setPledgedSrcSize(pCctx, targetSize), strWhy) ||
        Failed(ZSTD_CCtx_refPrefix(pCctx, baseSize ? pBase : nullptr, baseSize), strWhy))
        return false;
    std::vector<uint8_t> output(std::max(ZSTD_CStreamOutSize(), kOutputChunk));
    ZSTD_inBuffer in = {targetSize ? pTarget : nullptr, targetSize, 0};
    for (;;)
    {
        ZSTD_outBuffer out = {output.data(), output.size(), 0};
        const size_t remaining = ZSTD_compressStream2(pCctx, &out, &in, ZSTD_e_end);
        if (Failed(remaining, strWhy))
            return false;
        if (out.pos && !write(output.data(), out.pos))
        {
            strWhy = "the delta could not be written";
            return false;
        }
        if (remaining == 0)
            return true;
    }
}

const char* ResultText(EResult result)
{
    switch (result)
    {
    case APPLIED:
        return "applied";
    case MALFORMED:
        return "the delta is malformed or does not fit the base";
    case WRONG_SIZE:
        return "the delta does not declare the target's size";
    case READ_FAILED:
        return "the delta could not be read";
    case WRITE_FAILED:
        return "the target could not be written";
    }
    return "unknown result";
}

bool StartsLikeDelta(const void* pData, size_t size)
{
    const uint8_t* p = static_cast<const uint8_t*>(pData);
    return size >= 4 && (p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24) == ZSTD_MAGICNUMBER;
}

namespace
{
// Decodes the target either through a chunk of its own to the writer (pInPlace null) or straight
// into pInPlace, which holds the qwTargetSize bytes the frame must declare; then the writer is told
// of each piece as it is decoded, and the decoder keeps no window buffer of its own.
EResult Decode(const uint8_t* pBase, size_t baseSize, const Reader& read, uint8_t* pInPlace, const Writer& write,
               uint64_t qwTargetSize, std::string& strWhy)
{
    std::vector<uint8_t> input(ZSTD_DStreamInSize());
    size_t filled = 0;
    bool bEnded = false; // the reader has said the delta ends
    // The frame header is at most 18 bytes: gather them before anything is decoded.
    while (filled < kFrameHeaderMax)
    {
        const int64_t got = read(input.data() + filled, input.size() - filled);
        if (got < 0)
            return strWhy = ResultText(READ_FAILED), READ_FAILED;
        if (got == 0)
        {
            bEnded = true;
            break;
        }
        filled += static_cast<size_t>(got);
    }
    if (!StartsLikeDelta(input.data(), filled))
        return strWhy = "not a delta", MALFORMED;
    const unsigned long long qwDeclared = ZSTD_getFrameContentSize(input.data(), filled);
    if (qwDeclared == ZSTD_CONTENTSIZE_ERROR)
        return strWhy = "its frame header is damaged", MALFORMED;
    if (qwDeclared == ZSTD_CONTENTSIZE_UNKNOWN || qwDeclared > kMaxFileSize ||
        (qwTargetSize != kAnySize && qwDeclared != qwTargetSize))
        return strWhy = ResultText(WRONG_SIZE), WRONG_SIZE;
    // Without the checksum (the descriptor's bit 2) a wrong base would give wrong bytes unnoticed.
    if ((input[4] & 0x04) == 0)
        return strWhy = "its frame carries no checksum", MALFORMED;

    std::unique_ptr<ZSTD_DCtx, SDecompressor> pContext(ZSTD_createDCtx());
    if (!pContext)
        return strWhy = "out of memory", MALFORMED;
    ZSTD_DCtx* pDctx = pContext.get();
    // The decoder's window buffer is bounded by the declared size; its window by base and target.
    const unsigned windowLog = std::clamp(HighBit(baseSize + qwDeclared) + 2, kMinWindowLog, kMaxWindowLog);
    if (Failed(ZSTD_DCtx_setParameter(pDctx, ZSTD_d_windowLogMax, static_cast<int>(windowLog)), strWhy) ||
        Failed(ZSTD_DCtx_refPrefix(pDctx, baseSize ? pBase : nullptr, baseSize), strWhy) ||
        (pInPlace && Failed(ZSTD_DCtx_setParameter(pDctx, ZSTD_d_stableOutBuffer, 1), strWhy)))
        return MALFORMED;

    std::vector<uint8_t> chunk(pInPlace ? 0 : kOutputChunk);
    ZSTD_outBuffer out = pInPlace ? ZSTD_outBuffer{pInPlace, static_cast<size_t>(qwDeclared), 0}
                                  : ZSTD_outBuffer{chunk.data(), chunk.size(), 0};
    uint64_t qwWritten = 0;
    ZSTD_inBuffer in = {input.data(), filled, 0};
    for (;;)
    {
        const size_t before = pInPlace ? out.pos : 0;
        if (!pInPlace)
            out.pos = 0;
        // In place, the decoder gets a few blocks' input a call, so that each piece the writer is told
        // of stays small (one call could otherwise decode tens of megabytes of unchanged blocks).
        ZSTD_inBuffer slice = in;
        if (pInPlace)
            slice.size = std::min(in.size, in.pos + kInPlaceInputSlice);
        const size_t hint = ZSTD_decompressStream(pDctx, &out, &slice);
        in.pos = slice.pos;
        if (ZSTD_isError(hint))
            return strWhy = ZSTD_getErrorName(hint), MALFORMED;
        const size_t produced = out.pos - before;
        qwWritten += produced;
        if (qwWritten > qwDeclared)
            return strWhy = "it writes more than it declares", MALFORMED;
        if (produced && !write(static_cast<const uint8_t*>(out.dst) + before, produced))
            return strWhy = ResultText(WRITE_FAILED), WRITE_FAILED;
        if (hint == 0)
        {
            // One frame, and nothing after it.
            if (in.pos != in.size)
                return strWhy = "bytes follow its frame", MALFORMED;
            const int64_t got = bEnded ? 0 : read(input.data(), 1);
            if (got < 0)
                return strWhy = ResultText(READ_FAILED), READ_FAILED;
            if (got > 0)
                return strWhy = "bytes follow its frame", MALFORMED;
            if (qwWritten != qwDeclared)
                return strWhy = "it writes less than it declares", MALFORMED;
            return APPLIED;
        }
        // The decoder has more to give from what it holds; in place it holds no output.
        if (in.pos < in.size || (!pInPlace && out.pos == out.size))
            continue;
        if (bEnded)
            return strWhy = "it is cut short", MALFORMED;
        const int64_t got = read(input.data(), input.size());
        if (got < 0)
            return strWhy = ResultText(READ_FAILED), READ_FAILED;
        bEnded = got == 0;
        in = {input.data(), static_cast<size_t>(got), 0};
    }
}

} // namespace

EResult Apply(const uint8_t* pBase, size_t baseSize, const Reader& read, const Writer& write, uint64_t qwTargetSize,
              std::string& strWhy)
{
    return Decode(pBase, baseSize, read, nullptr, write, qwTargetSize, strWhy);
}

EResult ApplyInPlace(const uint8_t* pBase, size_t baseSize, const Reader& read, uint8_t* pTarget, size_t targetSize,
                     const Writer& observe, std::string& strWhy)
{
    // An empty target has nowhere to be decoded into; the writer sees nothing of it either way.
    if (targetSize == 0)
        return Decode(pBase, baseSize, read, nullptr, observe, 0, strWhy);
    return Decode(pBase, baseSize, read, pTarget, observe, targetSize, strWhy);
}
} // namespace KZFileDelta
