// The README's launcher example that cancels and retries, compiled as C99 by the build and run against
// the fixture server: a try that fails is followed by one that succeeds, and a cancelled update
// started again in the same process resumes.

#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"
#include "Fixtures/KZTestHttpServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
const std::string kExample = KZ_BINARY_DIR "/kz_readme_retry_launcher ";

class KZPatchRetryExampleTest : public CKZTestWithDirectory
{
protected:
    KZPatchRetryExampleTest() : CKZTestWithDirectory("kzpatch_retry_example") {}
    void Generate(const std::string& strOptions)
    {
        fs::create_directories(m_dir / "project");
        ASSERT_EQ(system(("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/server_tree_gen.py " + Path("server") + " " +
                          Path("expected") + " " + strOptions + " > /dev/null")
                             .c_str()),
                  0);
    }
    std::string Check(const std::string& strOptions)
    {
        return KZTestRunCommand("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/server_tree_gen.py --check " +
                                Path("project") + " " + strOptions + " 2>&1");
    }
};
} // namespace

TEST_F(KZPatchRetryExampleTest, IsTheReadmesWordForWord)
{
    const std::string strReadme = KZTestReadFile(KZ_SOURCE_DIR "/README.md");
    const std::string strExample =
        KZTestReadFile(KZ_SOURCE_DIR "/Tests/Fixtures/retry_example/update_with_retries.c");
    ASSERT_FALSE(strExample.empty());
    EXPECT_NE(strReadme.find("```c\n" + strExample + "```"), std::string::npos);
}

// The server refuses the first run's client application; the second try of the example succeeds.
TEST_F(KZPatchRetryExampleTest, RetriesAFailedRun)
{
    Generate("--packs 2");
    CKZTestHttpServer server(Path("server"), {"--rule", "GET:/TVKClientOSX.zip:fail:404:1"});
    ASSERT_NE(server.Port(), 0);
    const SKZTestCommandResult result =
        KZTestRunCommandIn(m_dir.string(), kExample + Path("project") + " " + server.Host(), Path("retry"));
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.err.find("try 1: the project directory is missing or the client application could not be updated"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("try 2:"), std::string::npos) << result.err;
    EXPECT_NE(result.out.find("start " + Path("project") + "/TVKClient.app"), std::string::npos) << result.out;
    EXPECT_EQ(Check("--packs 2"), "ok\n");
}

// SIGINT, the example's Cancel button, in the middle of a 2 MB zip sent at 400 kB/s: the update is
// cancelled, reset and started again in the same process, and completes.
TEST_F(KZPatchRetryExampleTest, CancelledUpdateStartedAgainCompletes)
{
    const std::string strShape = "--packs 2 --files 2 --big-file 2000000 --stored";
    Generate(strShape);
    CKZTestHttpServer server(Path("server"), {"--rule", "GET:/Data0.zip:slow:400000"});
    ASSERT_NE(server.Port(), 0);
    const pid_t pid = KZTestStartCommand("exec " + kExample + Path("project") + " " + server.Host() + " >" +
                                         Path("cancel.out") + " 2>" + Path("cancel.err"));
    ASSERT_GT(pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!fs::exists(m_dir / "project" / "Data0.zip") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(pid, SIGINT);
    const int status = KZTestWaitForProcess(pid, 60);
    const std::string strOut = KZTestReadFile(m_dir / "cancel.out");
    const std::string strErr = KZTestReadFile(m_dir / "cancel.err");
    EXPECT_EQ(status, 0) << strOut << strErr;
    EXPECT_NE(strErr.find("try 1: cancelled"), std::string::npos) << strErr;
    EXPECT_NE(strOut.find("cancelled; updating again"), std::string::npos) << strOut;
    EXPECT_NE(strOut.find("start " + Path("project") + "/TVKClient.app"), std::string::npos) << strOut;
    EXPECT_EQ(Check(strShape), "ok\n");
}
