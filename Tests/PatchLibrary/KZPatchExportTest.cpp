// The shared library as a launcher sees it: loaded with dlopen, exporting only kzpatch_* functions.

#include <gtest/gtest.h>

#include <cstdio>
#include <dlfcn.h>
#include <set>
#include <string>

namespace
{
const char* const kLibrary = KZ_BINARY_DIR "/libkzpatch.so";
}

TEST(KZPatchExport, OnlyPatchFunctionsAreExported)
{
    FILE* pPipe = popen((std::string("nm -D --defined-only ") + kLibrary).c_str(), "r");
    ASSERT_NE(pPipe, nullptr);
    std::set<std::string> symbols;
    char szLine[512];
    while (fgets(szLine, sizeof(szLine), pPipe))
    {
        char szType[8], szName[400];
        if (sscanf(szLine, "%*s %7s %399s", szType, szName) == 2)
            symbols.insert(szName);
    }
    ASSERT_EQ(pclose(pPipe), 0);
    for (const std::string& strName : symbols)
        EXPECT_EQ(strName.compare(0, 8, "kzpatch_"), 0) << strName;
    for (const char* szName : {"kzpatch_init", "kzpatch_start", "kzpatch_destroy", "kzpatch_get_status",
                               "kzpatch_get_error_code", "kzpatch_is_new_install", "kzpatch_get_progress",
                               "kzpatch_get_current_files", "kzpatch_get_total_files", "kzpatch_get_current_bytes",
                               "kzpatch_get_total_bytes", "kzpatch_get_current_download_bytes",
                               "kzpatch_get_total_download_bytes", "kzpatch_get_executable_path",
                               "kzpatch_get_executable_args", "kzpatch_patch", "kzpatch_force_crash",
                               "kzpatch_get_download_stage_count", "kzpatch_is_download_stage_info_available",
                               "kzpatch_get_download_stages_in_sync", "kzpatch_is_first_download_stage_ready",
                               "kzpatch_get_download_stage_current_bytes", "kzpatch_get_download_stage_total_bytes",
                               "kzpatch_set_download_rate_limit", "kzpatch_get_download_rate_limit",
                               "kzpatch_get_version", "kzpatch_get_error_text", "kzpatch_set_log_callback",
                               "kzpatch_cancel", "kzpatch_pause", "kzpatch_resume", "kzpatch_is_paused",
                               "kzpatch_reset", "kzpatch_get_required_disk_bytes", "kzpatch_get_free_disk_bytes",
                               "kzpatch_set_trusted_keys"})
        EXPECT_EQ(symbols.count(szName), 1u) << szName;
}

TEST(KZPatchExport, ALauncherLoadsAndCallsIt)
{
    void* pLibrary = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(pLibrary, nullptr) << dlerror();
    typedef int (*GetStatus)();
    typedef const char* (*GetArgs)(const char*, const char*, const char*, int, const char*, const char*);
    const auto getStatus = reinterpret_cast<GetStatus>(dlsym(pLibrary, "kzpatch_get_status"));
    const auto getArgs = reinterpret_cast<GetArgs>(dlsym(pLibrary, "kzpatch_get_executable_args"));
    ASSERT_NE(getStatus, nullptr);
    ASSERT_NE(getArgs, nullptr);
    EXPECT_EQ(getStatus(), 0);
    EXPECT_STREQ(getArgs("de", "h", "s", 5, "m", "g"),
                 " -Language=\"de\" -LauncherHash=\"h\" -LauncherServer=s -NetworkUserId=5 -MetricsServer=\"m\""
                 " -MetricsGroup=\"g\" -DataPath=\"\"");
    typedef const char* (*GetVersion)();
    const auto getVersion = reinterpret_cast<GetVersion>(dlsym(pLibrary, "kzpatch_get_version"));
    ASSERT_NE(getVersion, nullptr);
    EXPECT_STREQ(getVersion(), KZ_VERSION);
    dlclose(pLibrary);
}
