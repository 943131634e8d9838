#pragma once
// Rebuilds a new file from an old file and a delta in the escape-coded delta format: data bytes
// and operations that copy, skip, back up over or replace bytes of the old file.

#include <cstdint>
#include <cstdio>

namespace KZEngine
{
enum EJPatchResult : int
{
    JPATCH_OK = 0,
    JPATCH_READ_ERROR = 1,      // the old file could not be read
    JPATCH_WRITE_ERROR = 2,     // the output could not be written
    JPATCH_SEEK_ERROR = 3,      // the old file could not be positioned
    JPATCH_MALFORMED_DELTA = 4, // the delta ends inside an operation or holds a 64-bit length
};

// Applies a delta. The old file is read and moved with relative seeks, the delta read byte by byte,
// the output written in order; none of the three is opened or closed here. The last argument is
// not used. Output already written stays written on failure.
int JPatch(FILE* pOriginal, FILE* pPatch, FILE* pOutput, int unused);
}

// Reads one length number of the delta: 0..251 -> 1..252, 252 -> one more byte + 253, 253 -> two
// bytes big-endian, 254 -> four bytes big-endian, 255 (a 64-bit length) -> -1 with an Error event.
// End of file at the first byte gives 0.
int64_t ufGetInt(FILE* pFile);
