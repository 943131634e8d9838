// kztool commands over the exported patch interface: the launch arguments and a whole patch run,
// driven exactly as a launcher drives it.

#include "KZTool.h"

#include "PatchLibrary/KZPatchAPI.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

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

// Polls the status until it leaves `from` or the deadline passes.
KZPatchStatus WaitWhile(KZPatchStatus from, std::chrono::steady_clock::time_point deadline, bool bShowProgress)
{
    KZPatchStatus status = kzpatch_get_status();
    while (status == from && std::chrono::steady_clock::now() < deadline)
    {
        if (bShowProgress)
            fprintf(stderr, "\rprogress %5.1f%%  files %u/%u  bytes %llu/%llu", 100.0 * kzpatch_get_progress(),
                    kzpatch_get_current_files(), kzpatch_get_total_files(),
                    static_cast<unsigned long long>(kzpatch_get_current_bytes()),
                    static_cast<unsigned long long>(kzpatch_get_total_bytes()));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        status = kzpatch_get_status();
    }
    if (bShowProgress)
        fprintf(stderr, "\n");
    return status;
}

int RunPatch(const std::vector<std::string>& args)
{
    if (args.size() != 2 && args.size() != 4)
        return KZTool::Usage("run");
    long timeoutSeconds = 3600;
    if (args.size() == 4)
    {
        if (args[2] != "--timeout")
            return KZTool::Usage("run");
        timeoutSeconds = strtol(args[3].c_str(), nullptr, 10);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    if (!kzpatch_init(args[0].c_str(), args[1].c_str()))
        return KZTool::Fail("the patch interface refused to initialise");
    KZPatchStatus status = WaitWhile(KZ_PATCH_INITIALIZING, deadline, false);
    printf("initialised: status %d, %s\n", status, kzpatch_is_new_install() ? "new install" : "update");
    if (status == KZ_PATCH_INITIALIZED && kzpatch_start())
    {
        status = WaitWhile(KZ_PATCH_UPDATING_CLIENT, deadline, false);
        status = WaitWhile(KZ_PATCH_INSTALLING, deadline, true);
    }
    printf("status\t%d\nerror\t%d\nexecutable\t%s\narguments\t%s\n", status, kzpatch_get_error_code(),
           kzpatch_get_executable_path(), kzpatch_get_executable_args("en", "", args[1].c_str(), 0, "", ""));
    if (status == KZ_PATCH_DONE && kzpatch_destroy())
        WaitWhile(KZ_PATCH_DESTROYING, deadline, false);
    return status == KZ_PATCH_DONE ? KZTool::RESULT_OK : KZTool::Fail("the patch run did not complete");
}

const KZTool::CRegistration s_args({"args", "LANGUAGE HASH SERVER USERID METRICS GROUP",
                                    "prints the client's launch argument text", RunArgs});
const KZTool::CRegistration s_run({"run", "PROJECT_DIR SERVER [--timeout SECONDS]",
                                   "runs a whole patch run as a launcher does and prints the outcome", RunPatch});
}
