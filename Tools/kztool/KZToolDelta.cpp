// kztool delta: applies a delta patch through the exported patch function.

#include "KZTool.h"

#include "PatchLibrary/KZPatchAPI.h"

#include <cstdio>

namespace
{
const char* ResultMeaning(int result)
{
    static const char* const s_meanings[] = {
        "output written completely",
        "the original file could not be read",
        "the original file could not be positioned",
        "the output file could not be written",
        "the original file could not be opened",
        "the patch file could not be opened",
        "the output file could not be created",
        "the patch file is malformed or the patcher failed otherwise",
    };
    return result >= 0 && result <= 7 ? s_meanings[result] : "unknown result";
}

int RunApply(const CKZToolArguments& arguments)
{
    const int result = kzpatch_patch(arguments[0].c_str(), arguments[1].c_str(), arguments[2].c_str());
    printf("result\tmeaning\n%d\t%s\n", result, ResultMeaning(result));
    return result == 0 ? KZTool::RESULT_OK : KZTool::Fail(ResultMeaning(result));
}

const KZTool::CRegistration s_apply({"delta apply", "OLD DELTA OUT", "rebuilds OUT from OLD and a delta patch",
                                     RunApply, CKZToolArguments(3), {0, 1}});
}
