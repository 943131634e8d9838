// kztool commands over the exported patch interface: the launch arguments. A whole patch run is
// kzlaunch's job, the one launcher of this repository.

#include "KZTool.h"

#include "PatchLibrary/KZPatchAPI.h"

#include <cstdio>
#include <cstdlib>

namespace
{
int RunArgs(const std::vector<std::string>& args)
{
    if (args.size() != 6)
        return KZTool::Usage("args");
    char* pEnd = nullptr;
    const long userId = strtol(args[3].c_str(), &pEnd, 10);
    if (*pEnd != '\0')
        return KZTool::Usage("args");
    printf("%s\n", kzpatch_get_executable_args(args[0].c_str(), args[1].c_str(), args[2].c_str(),
                                               static_cast<int>(userId), args[4].c_str(), args[5].c_str()));
    return KZTool::RESULT_OK;
}

const KZTool::CRegistration s_args({"args", "LANGUAGE HASH SERVER USERID METRICS GROUP",
                                    "prints the client's launch argument text", RunArgs});
}
