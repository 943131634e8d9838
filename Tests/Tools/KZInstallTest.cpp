// cmake --install into a temporary prefix, then a small C launcher built against what it installed,
// once through pkg-config and once through find_package, and run.

#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace
{
class KZInstallTest : public CKZTestWithDirectory
{
protected:
    KZInstallTest() : CKZTestWithDirectory("kzinstall") {}
    SKZTestCommandResult Run(const std::string& strCommand)
    {
        return KZTestRunCommandIn(m_dir.string(), strCommand, Path("run"));
    }
};

const char* const kLauncher = R"(#include <kzpatch/KZPatchAPI.h>
#include <stdio.h>
int main(void)
{
    printf("%s %d\n", kzpatch_get_version(), (int)kzpatch_get_status());
    return 0;
}
)";
}

TEST_F(KZInstallTest, ALauncherBuildsAgainstTheInstalledLibraryBothWays)
{
    // A sanitized library needs the sanitizers' runtimes in every program that loads it.
    if (KZ_SANITIZED)
        GTEST_SKIP() << "built with sanitizers";
    SKZTestCommandResult result = Run("cmake --install " KZ_BINARY_DIR " --prefix prefix");
    ASSERT_EQ(result.status, 0) << result.err;
    for (const char* szFile : {"include/kzpatch/KZPatchAPI.h", "lib/libkzpatch.so", "bin/kztool", "bin/kzlaunch",
                               "bin/kzpublish", "lib/pkgconfig/kzpatch.pc", "lib/cmake/kzpatch/kzpatchConfig.cmake"})
        EXPECT_TRUE(fs::exists(m_dir / "prefix" / szFile)) << szFile;
    EXPECT_NE(KZTestRunCommand("objdump -p " + Path("prefix/lib/libkzpatch.so")).find("SONAME               libkzpatch.so.1\n"),
              std::string::npos);
    result = Run("prefix/bin/kztool --version");
    EXPECT_EQ(result.out, "kztool " KZ_VERSION "\n") << result.err;
    EXPECT_EQ(Run("prefix/bin/kzlaunch").status, 2) << "runs, finding the library beside its bin/";

    std::ofstream(m_dir / "launcher.c") << kLauncher;
    const std::string strExpected = KZ_VERSION " 0\n";
    result = Run("cc -std=c99 -Wall -Werror launcher.c -o by-pkg-config "
                 "$(PKG_CONFIG_PATH=prefix/lib/pkgconfig pkg-config --cflags --libs kzpatch) -Wl,-rpath,prefix/lib && "
                 "./by-pkg-config");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, strExpected);

    fs::create_directories(m_dir / "package");
    fs::copy_file(m_dir / "launcher.c", m_dir / "package" / "launcher.c");
    std::ofstream(m_dir / "package" / "CMakeLists.txt")
        << "cmake_minimum_required(VERSION 3.25)\nproject(launcher C)\nfind_package(kzpatch 1 REQUIRED)\n"
           "add_executable(launcher launcher.c)\ntarget_link_libraries(launcher PRIVATE kzpatch::kzpatch)\n";
    result = Run("cmake -S package -B package/build -G Ninja -DCMAKE_PREFIX_PATH=" + Path("prefix") +
                 " >/dev/null && cmake --build package/build >/dev/null && package/build/launcher");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, strExpected);
}
