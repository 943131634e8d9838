#include "System/Util/KZJPatch.h"

#include "Base/Debug/KZLog.h"

#include "Base/Platform/KZPlatform.h"

#include <cstddef>
#include <sys/stat.h>
#include <vector>

namespace
{
const char* const s_szFile = "Source/System/Util/KZJPatch";

const int ESC = 0xA7;
const int MOD = 0xA6;
const int INS = 0xA5;
const int DEL = 0xA4;
const int EQL = 0xA3;
const int BKT = 0xA2;

enum EOperation
{
    OPERATION_NONE,
    OPERATION_MODIFY,
    OPERATION_INSERT,
    OPERATION_DELETE,
    OPERATION_EQUAL,
    OPERATION_BACKTRACK,
};

// A length number; *pbMalformed is set when the delta ends inside it or it is a 64-bit length.
int64_t ReadNumber(FILE* pFile, bool* pbMalformed)
{
    const int b = getc_unlocked(pFile);
    if (b == EOF)
    {
        *pbMalformed = true;
        return 0;
    }
    if (b < 252)
        return b + 1;
    if (b == 255)
    {
        KZ_ERROR(s_szFile, "64-bit length numbers not supported!");
        *pbMalformed = true;
        return -1;
    }
    static const int s_widths[3] = {1, 2, 4};
    const int width = s_widths[b - 252];
    int64_t value = 0;
    for (int k = 0; k < width; ++k)
    {
        const int next = getc_unlocked(pFile);
        if (next == EOF)
            *pbMalformed = true;
        value = value * 256 + next;
    }
    return b == 252 ? value + 253 : value;
}

bool Seek(FILE* pFile, int64_t offset)
{
    return offset == 0 || fseeko(pFile, static_cast<off_t>(offset), SEEK_CUR) == 0;
}

const int64_t kBlock = 4096;
// Equal runs at least this long are copied by the kernel where both files allow it.
const int64_t kKernelCopyThreshold = 64 * 1024;
const size_t kCopyBufferSize = 1 << 20;

// Copies n bytes of the old file to the output inside the kernel, when both are regular files
// whose descriptors allow it and the old file holds all n bytes; answers the bytes copied and
// leaves both streams after them.
int64_t CopyEqualInKernel(FILE* pOriginal, FILE* pOutput, int64_t n)
{
    const int fdIn = fileno(pOriginal), fdOut = fileno(pOutput);
    struct stat original;
    if (n < kKernelCopyThreshold || fdIn < 0 || fdOut < 0 || fstat(fdIn, &original) != 0 ||
        !S_ISREG(original.st_mode) || fflush(pOutput) != 0)
        return 0;
    const int64_t in = ftello(pOriginal), out = ftello(pOutput);
    // A short old file takes the block copy, which writes exactly the complete blocks it can read.
    if (in < 0 || out < 0 || in + n > original.st_size)
        return 0;
    int64_t copied = 0;
    while (copied < n)
    {
        const int64_t step = KZPlatform::CopyFileRange(fdIn, in + copied, fdOut, out + copied,
                                                       static_cast<uint64_t>(n - copied));
        if (step <= 0)
            break;
        copied += step;
    }
    if (copied > 0 && (fseeko(pOriginal, static_cast<off_t>(in + copied), SEEK_SET) != 0 ||
                       fseeko(pOutput, static_cast<off_t>(out + copied), SEEK_SET) != 0))
        return -1;
    return copied;
}

// Copies n bytes of the old file to the output. Where the old file ends early, exactly the complete
// 4096-byte blocks that could be read are written before the read error.
int CopyEqual(FILE* pOriginal, FILE* pOutput, int64_t n, std::vector<unsigned char>& buffer)
{
    const int64_t inKernel = CopyEqualInKernel(pOriginal, pOutput, n);
    if (inKernel < 0)
    {
        KZ_ERROR(s_szFile, "Error writing output file.");
        return KZEngine::JPATCH_WRITE_ERROR;
    }
    n -= inKernel;
    if (n > 0 && buffer.empty())
        buffer.resize(kCopyBufferSize);
    while (n > 0)
    {
        const size_t piece = n > static_cast<int64_t>(buffer.size()) ? buffer.size() : static_cast<size_t>(n);
        const size_t got = fread(buffer.data(), 1, piece, pOriginal);
        const size_t usable = got == piece ? got : got / kBlock * kBlock;
        if (fwrite(buffer.data(), 1, usable, pOutput) != usable)
        {
            KZ_ERROR(s_szFile, "Error writing output file.");
            return KZEngine::JPATCH_WRITE_ERROR;
        }
        if (got != piece)
        {
            KZ_ERROR(s_szFile, "Error reading original file.");
            return KZEngine::JPATCH_READ_ERROR;
        }
        n -= static_cast<int64_t>(piece);
    }
    return KZEngine::JPATCH_OK;
}

int Malformed()
{
    KZ_ERROR(s_szFile, "Malformed patch file: it ends inside an operation or holds an unsupported length.");
    return KZEngine::JPATCH_MALFORMED_DELTA;
}

// The three streams belong to the one caller for the length of a patch: no stream lock per byte.
bool Put(int c, FILE* pOutput)
{
    return putc_unlocked(c, pOutput) != EOF;
}
} // namespace

int64_t ufGetInt(FILE* pFile)
{
    bool bMalformed = false;
    return ReadNumber(pFile, &bMalformed);
}

namespace
{
using namespace KZEngine;

// The operation codes that move in the old file: each reads its count and positions the old file,
// settling the bytes that modify runs overtook.
int Backtrack(FILE* pOriginal, FILE* pPatch, int64_t& pending)
{
    bool bMalformed = false;
    const int64_t n = ReadNumber(pPatch, &bMalformed);
    if (bMalformed)
        return Malformed();
    if (!Seek(pOriginal, pending - n))
    {
        KZ_ERROR(s_szFile, "Could not position on original file (seek back %td - %td).\n",
                 static_cast<ptrdiff_t>(pending), static_cast<ptrdiff_t>(n));
        return JPATCH_SEEK_ERROR;
    }
    pending = 0;
    return JPATCH_OK;
}

int Equal(FILE* pOriginal, FILE* pPatch, FILE* pOutput, int64_t& pending, std::vector<unsigned char>& buffer)
{
    bool bMalformed = false;
    const int64_t n = ReadNumber(pPatch, &bMalformed);
    if (bMalformed)
        return Malformed();
    if (pending > 0)
    {
        if (!Seek(pOriginal, pending))
        {
            KZ_ERROR(s_szFile, "Could not position on original file (skip %td).\n", static_cast<ptrdiff_t>(pending));
            return JPATCH_SEEK_ERROR;
        }
        pending = 0;
    }
    return CopyEqual(pOriginal, pOutput, n, buffer);
}

int Delete(FILE* pOriginal, FILE* pPatch, int64_t& pending)
{
    bool bMalformed = false;
    const int64_t n = ReadNumber(pPatch, &bMalformed);
    if (bMalformed)
        return Malformed();
    if (!Seek(pOriginal, n + pending))
    {
        KZ_ERROR(s_szFile, "Could not position on original file (seek %td + %td).\n", static_cast<ptrdiff_t>(n),
                 static_cast<ptrdiff_t>(pending));
        return JPATCH_SEEK_ERROR;
    }
    pending = 0;
    return JPATCH_OK;
}

// One data byte (two after an escape that starts no code): outside an insert it replaces a byte of
// the old file, also where the writer left out the modify code (after equal, delete, backtrack, or
// at the very start).
int Data(int c, bool bEscaped, FILE* pOutput, EOperation& operation, int64_t& pending)
{
    if ((bEscaped && !Put(ESC, pOutput)) || !Put(c, pOutput))
    {
        KZ_ERROR(s_szFile, "Error writing output file.");
        return JPATCH_WRITE_ERROR;
    }
    if (operation != OPERATION_INSERT)
    {
        operation = OPERATION_MODIFY;
        pending += bEscaped ? 2 : 1;
    }
    return JPATCH_OK;
}
} // namespace

namespace KZEngine
{
int JPatch(FILE* pOriginal, FILE* pPatch, FILE* pOutput, int)
{
    EOperation operation = OPERATION_NONE;
    std::vector<unsigned char> buffer;
    // Old-file bytes the output has overtaken in modify runs; the next move of the old file settles them.
    int64_t pending = 0;
    for (;;)
    {
        int c = getc_unlocked(pPatch);
        if (c == EOF)
        {
            // End of file is the end of the delta; a failed read is not.
            if (!ferror(pPatch))
                return JPATCH_OK;
            KZ_ERROR(s_szFile, "Error reading patch file.");
            return JPATCH_MALFORMED_DELTA;
        }
        bool bEscaped = false;
        int result = JPATCH_OK;
        if (c == ESC)
        {
            const int d = getc_unlocked(pPatch);
            switch (d)
            {
            case EOF: return Malformed();
            case BKT: result = Backtrack(pOriginal, pPatch, pending), operation = OPERATION_BACKTRACK; break;
            case EQL: result = Equal(pOriginal, pPatch, pOutput, pending, buffer), operation = OPERATION_EQUAL; break;
            case DEL: result = Delete(pOriginal, pPatch, pending), operation = OPERATION_DELETE; break;
            case INS: operation = OPERATION_INSERT; break;
            case MOD: operation = OPERATION_MODIFY; break;
            case ESC: c = d; break;                    // the data byte 0xA7
            default: c = d, bEscaped = true; break;    // the data bytes 0xA7 and d
            }
            if (result != JPATCH_OK)
                return result;
            if (d != ESC && !bEscaped)
                continue;
        }
        if ((result = Data(c, bEscaped, pOutput, operation, pending)) != JPATCH_OK)
            return result;
    }
}
} // namespace KZEngine
