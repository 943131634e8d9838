// kztool commands over the exported patch interface: the launch arguments. A whole patch run is
// kzlaunch's job, the one launcher of this repository.

#include "KZTool.h"

#include "PatchLibrary/KZPatchAPI.h"

#include <cstdint>
#include <cstdio>

namespace
{
int RunArgs(const CKZToolArguments& arguments)
{
    printf("%s\n", kzpatch_get_executable_args(arguments[0].c_str(), arguments[1].c_str(), arguments[2].c_str(),
                                               static_cast<int>(arguments.NumberAt(3)), arguments[4].c_str(),
                                               arguments[5].c_str()));
    return KZTool::RESULT_OK;
}

const KZTool::CRegistration s_args({"args", "LANGUAGE HASH SERVER USERID METRICS GROUP",
                                    "prints the client's launch argument text", RunArgs,
                                    CKZToolArguments(6).AddNumberAt(3, INT32_MIN, INT32_MAX)});
}
