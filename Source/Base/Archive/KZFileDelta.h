#pragma once
// A delta from a base file to a target file: one zstd frame compressed with the base's bytes as
// its prefix and long-distance matching over the whole base, so that every run the target shares
// with the base, wherever it moved, costs a few bytes. The frame records the target's size and a
// checksum of it; `zstd --patch-from=BASE` reads and writes frames of this kind.
//
// Applying one needs the base in memory (mapped, typically) and either a window of the target's
// size at most, or the target's own memory; the delta itself is read piece by piece.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace KZFileDelta
{
// Bases and targets are at most this large, as pack files hold them.
constexpr uint64_t kMaxFileSize = 0x7FFFFFFF;
constexpr int kDefaultLevel = 19;
// Apply's qwTargetSize for "whatever size the delta declares, up to kMaxFileSize".
constexpr uint64_t kAnySize = UINT64_MAX;

// Bytes read into the buffer, 0 at the end of the delta, -1 on failure.
typedef std::function<int64_t(void* pBuffer, size_t size)> Reader;
// False when the bytes could not be taken; the operation stops there.
typedef std::function<bool(const void* pData, size_t size)> Writer;

// Writes the delta that turns the base into the target; false with the reason.
bool Make(const uint8_t* pBase, size_t baseSize, const uint8_t* pTarget, size_t targetSize, int level,
          const Writer& write, std::string& strWhy);

enum EResult
{
    APPLIED = 0,
    MALFORMED,     // not one whole delta frame, or it does not fit the base
    WRONG_SIZE,    // it declares another target size than the one asked for, or none
    READ_FAILED,
    WRITE_FAILED,
};
const char* ResultText(EResult result);

// Rebuilds the target from the base and a delta. Nothing is trusted: the frame must declare the
// target's size (qwTargetSize unless kAnySize) and carry a checksum of it, its window is allowed to
// cover base and target and no more, and the frame's checksum and end must come where it says.
EResult Apply(const uint8_t* pBase, size_t baseSize, const Reader& read, const Writer& write, uint64_t qwTargetSize,
              std::string& strWhy);

// As Apply, but the target is decoded straight into pTarget, which holds exactly the targetSize bytes
// the delta must declare (a file mapped at that size, typically): the decoder then needs no window
// of its own, so applying costs little memory beyond the base. The observer is told of each piece as
// it is decoded, in order; false from it stops with WRITE_FAILED.
EResult ApplyInPlace(const uint8_t* pBase, size_t baseSize, const Reader& read, uint8_t* pTarget, size_t targetSize,
                     const Writer& observe, std::string& strWhy);

// The first bytes of a delta (a zstd frame's magic number).
bool StartsLikeDelta(const void* pData, size_t size);
} // namespace KZFileDelta
