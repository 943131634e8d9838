// kzpatch_patch: one delta applied to one file, on the caller's thread.

#include "PatchLibrary/KZPatchAPI.h"

#include "Base/Core/KZFile.h"
#include "System/Util/KZJPatch.h"

#include <cstdio>

namespace
{
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

// The three files go through the standard back end, whose handles are the streams the patcher reads.
extern "C" int kzpatch_patch(const char* originalPath, const char* patchPath, const char* outputPath)
{
    if (!originalPath || !patchPath || !outputPath)
        return 4;
    CKZFile original(*KZFileIO::GetStandardInterface());
    if (!original.Open(originalPath, "rb"))
        return 4;
    CKZFile patch(*KZFileIO::GetStandardInterface());
    if (!patch.Open(patchPath, "rb"))
        return 5;
    CKZFile output(*KZFileIO::GetStandardInterface());
    if (!output.Open(outputPath, "wb"))
        return 6;
    int result = MapPatchResult(KZEngine::JPatch(static_cast<FILE*>(original.GetHandle()),
                                                 static_cast<FILE*>(patch.GetHandle()),
                                                 static_cast<FILE*>(output.GetHandle()), 0));
    // Buffered bytes that cannot be written show only when the output is flushed.
    if (fflush(static_cast<FILE*>(output.GetHandle())) != 0 && result == 0)
        result = 3;
    return result;
}
