#include "Base/Archive/KZRawInflater.h"

#include <isa-l/igzip_lib.h>

#include <algorithm>

namespace
{
// The library counts its buffers in 32 bits.
const size_t kMaxPiece = size_t(1) << 30;
} // namespace

CKZRawInflater::CKZRawInflater() : m_pState(new inflate_state)
{
    isal_inflate_init(m_pState.get());
    m_pState->crc_flag = ISAL_DEFLATE;
}

CKZRawInflater::~CKZRawInflater() = default;

CKZRawInflater::EResult CKZRawInflater::Inflate(const uint8_t*& pIn, size_t& inLeft, uint8_t* pOut, size_t outSize,
                                                size_t& produced)
{
    inflate_state& state = *m_pState;
    produced = 0;
    if (state.block_state == ISAL_BLOCK_FINISH)
        return RESULT_END;
    // The library does not write through next_in; its interface only lacks the const.
    state.next_in = const_cast<uint8_t*>(pIn);
    state.avail_in = static_cast<uint32_t>(std::min(inLeft, kMaxPiece));
    state.next_out = pOut;
    state.avail_out = static_cast<uint32_t>(std::min(outSize, kMaxPiece));
    const uint32_t dwInBefore = state.avail_in;
    const uint32_t dwOutBefore = state.avail_out;
    const int result = isal_inflate(&state);
    const size_t consumed = dwInBefore - state.avail_in;
    pIn += consumed;
    inLeft -= consumed;
    produced = dwOutBefore - state.avail_out;
    if (result < 0)
        return RESULT_DAMAGED;
    // A preset dictionary is never part of a zip entry's stream.
    if (result == ISAL_NEED_DICT)
        return RESULT_DAMAGED;
    return state.block_state == ISAL_BLOCK_FINISH ? RESULT_END : RESULT_MORE;
}
