// kzpatch_patch: one delta applied to one file, on the caller's thread.

#include "PatchLibrary/KZPatchAPI.h"

#include "System/Util/KZJPatch.h"

#include <cstdio>
#include <memory>

namespace
{
struct SFileCloser
{
    void operator()(FILE* pFile) const { fclose(pFile); }
};
typedef std::unique_ptr<FILE, SFileCloser> FilePtr;

int MapPatchResult(int result)
{
    switch (result)
    {
    case KZEngine::JPATCH_OK:
        return 0;
    case KZEngine::JPATCH_READ_ERROR:
        return 1;
    case KZEngine::JPATCH_WRITE_ERROR:
        return 3;
    case KZEngine::JPATCH_SEEK_ERROR:
        return 2;
    default:
        return 7;
    }
}
}

extern "C" int kzpatch_patch(const char* originalPath, const char* patchPath, const char* outputPath)
{
    if (!originalPath || !patchPath || !outputPath)
        return 4;
    FilePtr pOriginal(fopen(originalPath, "rb"));
    if (!pOriginal)
        return 4;
    FilePtr pPatch(fopen(patchPath, "rb"));
    if (!pPatch)
        return 5;
    FilePtr pOutput(fopen(outputPath, "wb"));
    if (!pOutput)
        return 6;
    int result = MapPatchResult(KZEngine::JPatch(pOriginal.get(), pPatch.get(), pOutput.get(), 0));
    // Buffered bytes that cannot be written show only when the output is closed.
    if (fclose(pOutput.release()) != 0 && result == 0)
        result = 3;
    return result;
}
