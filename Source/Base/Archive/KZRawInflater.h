#pragma once
// Inflates one raw deflate stream (no zlib or gzip wrapper, as zip entries hold it) piece by
// piece, through the storage acceleration library's inflate, which decodes several times as fast
// as zlib's. Input and output are the caller's buffers; nothing is copied on the way.

#include <cstddef>
#include <cstdint>
#include <memory>

struct inflate_state;

class CKZRawInflater
{
public:
    enum EResult
    {
        RESULT_MORE,    // the stream goes on: more input, or more room for output, is needed
        RESULT_END,     // the stream's last block was decoded and all of it handed out
        RESULT_DAMAGED, // the input is not a valid deflate stream
    };

    CKZRawInflater();
    ~CKZRawInflater();
    CKZRawInflater(const CKZRawInflater&) = delete;
    CKZRawInflater& operator=(const CKZRawInflater&) = delete;

    // Decodes from pIn (advanced past what was consumed, inLeft reduced) into pOut, at most outSize
    // bytes; produced receives the bytes written. Bytes that follow the stream's end are not part of
    // it, though some of them may have been consumed.
    EResult Inflate(const uint8_t*& pIn, size_t& inLeft, uint8_t* pOut, size_t outSize, size_t& produced);

private:
    std::unique_ptr<inflate_state> m_pState;
};
