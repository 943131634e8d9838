// A delta of arbitrary bytes applied to one fixed old file, as kzpatch_patch applies it.
#include "Fuzz/KZFuzzSupport.h"
#include "System/Util/KZJPatch.h"

#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size)
{
    FILE* pOriginal = fopen(KZ_SOURCE_DIR "/Tests/Fixtures/jdiff/small.old", "rb");
    if (!pOriginal)
        KZFuzz::Finding("the old file is missing");
    const std::filesystem::path patch = KZFuzz::ScratchDirectory() / "delta.jdf";
    KZFuzz::WriteFile(patch, pData, size);
    FILE* pPatch = fopen(patch.c_str(), "rb");
    FILE* pOutput = fopen("/dev/null", "wb");
    if (!pPatch || !pOutput)
        KZFuzz::Finding("cannot open the delta or the output");
    const int result = KZEngine::JPatch(pOriginal, pPatch, pOutput, 0);
    if (result < KZEngine::JPATCH_OK || result > KZEngine::JPATCH_MALFORMED_DELTA)
        KZFuzz::Finding("an unknown result");
    fclose(pOutput);
    fclose(pPatch);
    fclose(pOriginal);
    return 0;
}
