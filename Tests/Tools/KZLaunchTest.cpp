// kzlaunch, the reference launcher, run as a process against the fixture server over loopback.

#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"
#include "Fixtures/KZTestHttpServer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace
{
const std::string kLaunch = KZ_BINARY_DIR "/kzlaunch ";

class KZLaunchTest : public CKZTestWithDirectory
{
protected:
    KZLaunchTest() : CKZTestWithDirectory("kzlaunch") {}

    void Generate(const std::string& strOptions)
    {
        fs::remove_all(m_dir / "server");
        fs::remove_all(m_dir / "project");
        fs::create_directories(m_dir / "project");
        ASSERT_EQ(system(("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/server_tree_gen.py " + Path("server") + " " +
                          Path("expected") + " " + strOptions + " > /dev/null")
                             .c_str()),
                  0);
    }
    void Serve(const std::vector<std::string>& vecRules = {})
    {
        std::vector<std::string> vecSwitches;
        for (const std::string& strRule : vecRules)
        {
            vecSwitches.push_back("--rule");
            vecSwitches.push_back(strRule);
        }
        m_server.reset(new CKZTestHttpServer(Path("server"), vecSwitches));
        ASSERT_NE(m_server->Port(), 0);
    }
    SKZTestCommandResult Launch(const std::string& strOptions, const std::string& strServerPath = "")
    {
        return KZTestRunCommandIn(m_dir.string(),
                                  kLaunch + Path("project") + " " + m_server->Host() + strServerPath + " " + strOptions,
                                  Path("launch"));
    }
    // Checks every stdout line as JSON and answers a summary of them from Python's parser.
    std::string SummariseJson(const std::string& strOut)
    {
        std::ofstream(m_dir / "lines.json", std::ios::binary) << strOut;
        return KZTestRunCommand("python3 -c 'import json, sys\n"
                                "objects = [json.loads(line) for line in open(sys.argv[1])]\n"
                                "kinds = set(o[\"type\"] for o in objects[:-1])\n"
                                "last = objects[-1]\n"
                                "print(len(objects) > 1, kinds, last[\"type\"], last[\"result\"], last[\"status\"], "
                                "last[\"error_code\"], last[\"error\"], last[\"executable\"].endswith(\"/TVKClient.app\"))' " +
                                Path("lines.json") + " 2>&1");
    }

    std::unique_ptr<CKZTestHttpServer> m_server;
};
} // namespace

TEST_F(KZLaunchTest, DoneRunPrintsTheClientAndItsArguments)
{
    Generate("--packs 2 --stages");
    Serve();
    const SKZTestCommandResult result =
        Launch("--timeout 60 --language de --launcher-hash h1 --user-id 42 --metrics-server m.example --metrics-group g");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("executable\t" + Path("project") + "/TVKClient.app\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("arguments\t -Language=\"de\" -LauncherHash=\"h1\" -LauncherServer=" + m_server->Host() +
                              " -NetworkUserId=42 -MetricsServer=\"m.example\" -MetricsGroup=\"g\" -DataPath=\"" +
                              Path("project") + "\"\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("kzpatch debug: transitioning from 4 to 7"), std::string::npos) << "the library's lines";
    // Not a terminal: plain lines, no redrawing.
    EXPECT_NE(result.err.find("%  files "), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find('\r'), std::string::npos);
    EXPECT_EQ(KZTestReadFile(m_dir / "project" / "PackFiles" / "p_00000001.csa"),
              KZTestReadFile(m_dir / "expected" / "PackFiles" / "p_00000001.csa"));
}

TEST_F(KZLaunchTest, JsonLinesAloneOnStdout)
{
    Generate("--packs 2 --stages --stored --file-size 100000");
    Serve();
    const SKZTestCommandResult done = Launch("--json --limit-rate 1m --timeout 60");
    ASSERT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(SummariseJson(done.out), "True {'progress'} result done 7 0  True\n") << done.out;
    EXPECT_NE(done.err.find("kzpatch debug:"), std::string::npos) << "the library's lines go to stderr";

    Generate("--packs 1 --version 257");
    Serve();
    const SKZTestCommandResult failed = Launch("--json --timeout 60");
    EXPECT_EQ(failed.status, 1) << failed.err;
    EXPECT_EQ(SummariseJson(failed.out), "True {'progress'} result failed 8 4 catalogue version not supported False\n")
        << failed.out;
}

// Each way a run fails ends with status 1 and the code said in words.
TEST_F(KZLaunchTest, FailuresExitOneWithTheCodeInWords)
{
    struct SCase
    {
        const char* szGenerate;
        std::vector<std::string> vecRules;
        const char* szExpected;
    };
    const SCase cases[] = {
        {"--packs 1", {"ANY:/Data.ccx:fail:404:0"}, "error code 1: server unreachable"},
        {"--packs 1", {"GET:/Data.ccx:fail:404:0"}, "error code 2: catalogue download failed"},
        {"--packs 1 --version 257", {}, "error code 4: catalogue version not supported"},
        {"--packs 1", {"GET:/Data0.zip:fail:404:0"}, "error code 6: a zip could not be downloaded or installed"},
        {"--packs 1", {"GET:/TVKClientOSX.zip:fail:404:0"}, "error code 0: the project directory is missing"},
    };
    for (const SCase& test : cases)
    {
        SCOPED_TRACE(test.szExpected);
        Generate(test.szGenerate);
        Serve(test.vecRules);
        const SKZTestCommandResult result = Launch("--timeout 60");
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find(test.szExpected), std::string::npos) << result.err;
        EXPECT_EQ(result.out.find("executable\t"), std::string::npos);
    }
}

TEST_F(KZLaunchTest, WrongUsageAndTimeOut)
{
    for (const char* szArgs : {"", "onlyone", "a b c", "a b --timeout", "a b --timeout -1", "a b --limit-rate fast",
                               "a b --limit-rate 99999999999999m",
                               "a b --user-id 1x", "a b --unknown 1"})
    {
        const SKZTestCommandResult result = KZTestRunCommandIn(m_dir.string(), kLaunch + szArgs, Path("usage"));
        EXPECT_EQ(result.status, 2) << szArgs;
        EXPECT_NE(result.err.find("usage: kzlaunch PROJECT_DIR SERVER"), std::string::npos) << szArgs;
    }

    // Every request stalls for ten seconds; the launcher gives up after one.
    Generate("--packs 1");
    Serve({"ANY:*:delay:10000"});
    const SKZTestCommandResult result = Launch("--timeout 1 --json");
    EXPECT_EQ(result.status, 3) << result.err;
    EXPECT_NE(result.err.find("timed out after 1 seconds"), std::string::npos) << result.err;
    EXPECT_NE(result.out.find("\"result\":\"timed out\""), std::string::npos) << result.out;
}

// On a terminal the progress is one line drawn over and over.
TEST_F(KZLaunchTest, ProgressLineOnATerminal)
{
    Generate("--packs 2 --files 1 --stages --stored --file-size 200000");
    Serve();
    const int status =
        system(("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/pty_run.py " + Path("terminal.txt") + " 60 " + kLaunch +
                Path("project") + " " + m_server->Host() + " --limit-rate 400k --timeout 60 > /dev/null")
                   .c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string strDrawn = KZTestReadFile(m_dir / "terminal.txt");
    EXPECT_NE(strDrawn.find("\r"), std::string::npos) << strDrawn;
    EXPECT_NE(strDrawn.find("\033[K"), std::string::npos) << strDrawn;
    EXPECT_NE(strDrawn.find("%  files "), std::string::npos) << strDrawn;
    EXPECT_NE(strDrawn.find(" KB/s  left "), std::string::npos) << strDrawn;
    EXPECT_NE(strDrawn.find("stages 1/2  first stage ready"), std::string::npos) << strDrawn;
}
