// kzlaunch, the reference launcher, run as a process against the fixture server over loopback.

#include "Base/Net/KZInternet.h"
#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"
#include "Fixtures/KZTestHttpServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
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
                                "kinds = sorted(set(o[\"type\"] for o in objects[:-1]))\n"
                                "last = objects[-1]\n"
                                "print(len(objects) > 1, kinds, last[\"type\"], last[\"result\"], last[\"status\"], "
                                "last[\"error_code\"], last[\"error\"], last[\"executable\"].endswith(\"/TVKClient.app\"))' " +
                                Path("lines.json") + " 2>&1");
    }

    // A launcher running beside the test, its streams in OUT_NAME.out and OUT_NAME.err.
    pid_t StartLauncher(const std::string& strOptions, const std::string& strOutName)
    {
        return KZTestStartCommand("exec " + kLaunch + Path("project") + " " + m_server->Host() + " " + strOptions +
                                  " >" + Path(strOutName + ".out") + " 2>" + Path(strOutName + ".err"));
    }
    static int WaitForLauncher(pid_t pid) { return KZTestWaitForProcess(pid, 60); }
    static bool WaitUntil(const std::function<bool()>& condition)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!condition())
        {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    bool OutputHas(const std::string& strName, const std::string& strText) const
    {
        return KZTestReadFile(m_dir / strName).find(strText) != std::string::npos;
    }
    // The body bytes the server has sent since it started.
    uintmax_t BytesSent() const
    {
        std::string strJson;
        KZInternet::HttpRequest(("http://" + m_server->Host() + "/_count/_bytes").c_str(), strJson, nullptr);
        const size_t at = strJson.find(':');
        return at == std::string::npos ? 0 : std::stoull(strJson.substr(at + 1));
    }
    std::string Check(const std::string& strShape)
    {
        return KZTestRunCommand("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/server_tree_gen.py --check " +
                                Path("project") + " " + strShape + " 2>&1");
    }

    std::unique_ptr<CKZTestHttpServer> m_server;
};

// A new install whose first zip is 4 MB, sent at 400 kB/s by the server: ten seconds to cancel in.
const std::string kSlowShape = "--packs 2 --files 2 --big-file 4000000 --stored";
const std::vector<std::string> kSlowZip = {"GET:/Data0.zip:slow:400000"};
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
    EXPECT_EQ(SummariseJson(done.out), "True ['progress'] result done 7 0  True\n") << done.out;
    EXPECT_NE(done.err.find("kzpatch debug:"), std::string::npos) << "the library's lines go to stderr";

    Generate("--packs 1 --version 257");
    Serve();
    const SKZTestCommandResult failed = Launch("--json --timeout 60");
    EXPECT_EQ(failed.status, 1) << failed.err;
    EXPECT_EQ(SummariseJson(failed.out), "True ['progress'] result failed 8 4 catalogue version not supported False\n")
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
                               "a b --user-id 1x", "a b --unknown 1", "a b --trusted-keys"})
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
    // The library's lines stand on lines of their own, the progress line drawn again below them.
    const size_t line = strDrawn.find("\r\033[KFile ");
    ASSERT_NE(line, std::string::npos) << strDrawn;
    EXPECT_EQ(strDrawn.compare(strDrawn.find("Data.ccx not found", line), 20, "Data.ccx not found\r\n"), 0) << strDrawn;
    EXPECT_EQ(strDrawn.find("0/0File"), std::string::npos) << strDrawn;
}

// A second launcher on a folder that one is patching exits 1 with "folder in use" at once and leaves
// the first alone; after a kill -9 of the first a new run starts and completes.
TEST_F(KZLaunchTest, OneLauncherPerFolder)
{
    Generate(kSlowShape);
    Serve(kSlowZip);
    const pid_t first = StartLauncher("--timeout 60", "first");
    ASSERT_GT(first, 0);
    ASSERT_TRUE(WaitUntil([this] { return OutputHas("first.err", "download 0."); })) << "the first run downloads";
    const auto start = std::chrono::steady_clock::now();
    const SKZTestCommandResult second = Launch("--timeout 60");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(second.status, 1) << second.err;
    EXPECT_NE(second.err.find("error code 10: folder in use"), std::string::npos) << second.err;
    EXPECT_EQ(waitpid(first, nullptr, WNOHANG), 0) << "the first run goes on";

    kill(first, SIGKILL);
    EXPECT_EQ(WaitForLauncher(first), 128 + SIGKILL);
    Serve();
    const SKZTestCommandResult after = Launch("--timeout 60");
    EXPECT_EQ(after.status, 0) << after.err;
    EXPECT_EQ(Check(kSlowShape), "ok\n");
}

// SIGUSR1 pauses, SIGUSR2 resumes and SIGTERM cancels: each is reported as a JSON event, the progress
// says "paused" while held, and the cancelled launcher exits 143 with a "cancelled" result once its
// workers have stopped. The next launcher resumes the broken transfer instead of starting over.
TEST_F(KZLaunchTest, SignalsPauseResumeAndCancelAndTheRerunResumes)
{
    Generate(kSlowShape);
    Serve(kSlowZip);
    const pid_t launcher = StartLauncher("--json --timeout 60", "json");
    ASSERT_GT(launcher, 0);
    ASSERT_TRUE(WaitUntil([this] { return OutputHas("json.out", "\"status\":4"); }));
    kill(launcher, SIGUSR1);
    ASSERT_TRUE(WaitUntil([this] { return OutputHas("json.out", "\"paused\":true"); }));
    EXPECT_TRUE(OutputHas("json.out", "{\"type\":\"pause\"}\n"));
    kill(launcher, SIGUSR2);
    ASSERT_TRUE(WaitUntil([this] { return OutputHas("json.out", "{\"type\":\"resume\"}\n"); }));
    kill(launcher, SIGTERM);
    EXPECT_EQ(WaitForLauncher(launcher), 143);
    EXPECT_TRUE(OutputHas("json.out", "{\"type\":\"cancel\"}\n"));
    EXPECT_EQ(SummariseJson(KZTestReadFile(m_dir / "json.out")),
              "True ['cancel', 'pause', 'progress', 'resume'] result cancelled 8 7 cancelled False\n");
    EXPECT_TRUE(OutputHas("json.err", "cancelled by signal 15; the next run resumes"));

    // Ctrl-C in the lines mode, while paused: the progress line says so; exit 130.
    const pid_t lines = StartLauncher("--timeout 60", "lines");
    ASSERT_GT(lines, 0);
    ASSERT_TRUE(WaitUntil([this] { return OutputHas("lines.err", "download 0."); }));
    kill(lines, SIGUSR1);
    ASSERT_TRUE(WaitUntil([this] { return OutputHas("lines.err", "  paused\n"); }));
    kill(lines, SIGINT);
    EXPECT_EQ(WaitForLauncher(lines), 130);

    Serve();
    const SKZTestCommandResult rerun = Launch("--timeout 60");
    EXPECT_EQ(rerun.status, 0) << rerun.err;
    EXPECT_EQ(Check(kSlowShape), "ok\n");
    EXPECT_LT(BytesSent(), fs::file_size(m_dir / "server" / "Data0.zip")) << "the rerun continued the zip";
}

// A run that needs more than the disk holds is refused before its downloads, said in numbers.
TEST_F(KZLaunchTest, DiskShortfallInWords)
{
    Generate(kSlowShape);
    if (mount("tmpfs", Path("project").c_str(), "tmpfs", 0, "size=2m") != 0)
        GTEST_SKIP() << "this machine refuses to mount a small file system";
    Serve();
    const SKZTestCommandResult result = Launch("--timeout 60");
    umount2(Path("project").c_str(), MNT_DETACH);
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_NE(result.err.find("error code 8: not enough disk space"), std::string::npos) << result.err;
    // The 4 MB zip unpacked, and twice its download: one zip unpacks while the next arrives.
    EXPECT_NE(result.err.find("kzlaunch: the run needs 11.5 MB on the disk of " + Path("project") +
                              ", and only 2.0 MB are free"),
              std::string::npos)
        << result.err;
}

// With --trusted-keys a tree that kzpublish signed installs and records its release; one signed with
// another key ends in "not trusted" with nothing installed; a key file that gives no keys is wrong usage.
TEST_F(KZLaunchTest, TrustedKeysInstallOnlyTheReleaseTheyVouchFor)
{
    fs::create_directories(m_dir / "client" / "maps");
    std::ofstream(m_dir / "client" / "maps" / "a.map") << std::string(20000, 'a');
    std::ofstream(m_dir / "client" / "b.txt") << "bbb";
    fs::create_directories(m_dir / "app");
    std::ofstream(m_dir / "app" / "Info.plist") << "app";
    const std::string strTool = KZ_BINARY_DIR "/kztool key generate ";
    ASSERT_EQ(system((strTool + Path("k.secret") + " " + Path("k.public") + " > /dev/null").c_str()), 0);
    ASSERT_EQ(system((strTool + Path("o.secret") + " " + Path("o.public") + " > /dev/null").c_str()), 0);
    const auto publish = [this](const char* szKey) {
        const SKZTestCommandResult result = KZTestRunCommandIn(
            m_dir.string(), KZ_BINARY_DIR "/kzpublish client server --app app --sign-key " + std::string(szKey),
            Path("publish"));
        ASSERT_EQ(result.status, 0) << result.err;
    };
    fs::create_directories(m_dir / "project");
    publish("k.secret");
    Serve();
    SKZTestCommandResult result = Launch("--timeout 60 --trusted-keys " + Path("k.public"));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("Signed release 1 of 7 files"), std::string::npos) << result.out;
    EXPECT_EQ(KZTestReadFile(m_dir / "project" / "Data.release"), "1\n");
    EXPECT_EQ(KZTestReadFile(m_dir / "project" / "Data.ccx"), KZTestReadFile(m_dir / "server" / "Data.ccx"));

    // The next release, signed with the other key, is refused before anything of it is installed.
    std::ofstream(m_dir / "client" / "b.txt") << "changed";
    publish("o.secret");
    const std::string strInstalled = KZTestReadFile(m_dir / "project" / "Data.ccx");
    result = Launch("--timeout 60 --trusted-keys " + Path("k.public"));
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_NE(result.err.find("error code 9: not trusted"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("did not pass the check against the trusted keys of " + Path("k.public")),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.out.find("executable\t"), std::string::npos);
    EXPECT_EQ(KZTestReadFile(m_dir / "project" / "Data.ccx"), strInstalled);
    EXPECT_EQ(KZTestReadFile(m_dir / "project" / "Data.release"), "1\n");
    result = Launch("--json --timeout 60 --trusted-keys " + Path("k.public"));
    EXPECT_EQ(SummariseJson(result.out), "True ['progress'] result failed 8 9 not trusted False\n") << result.out;

    // Both keys trusted: the new release installs.
    std::ofstream(m_dir / "both.public") << KZTestReadFile(m_dir / "k.public") << KZTestReadFile(m_dir / "o.public");
    result = Launch("--timeout 60 --trusted-keys " + Path("both.public"));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(KZTestReadFile(m_dir / "project" / "Data.release"), "2\n");

    std::ofstream(m_dir / "comments.public") << "# nothing but a comment\n\n";
    std::ofstream(m_dir / "garbage.public") << "not-a-key\n";
    std::ofstream(m_dir / "huge.public") << std::string(70000, ' ');
    for (const char* szFile : {"nowhere.public", "comments.public", "garbage.public", "huge.public"})
    {
        result = Launch("--timeout 60 --trusted-keys " + Path(szFile));
        EXPECT_EQ(result.status, 2) << szFile;
        EXPECT_NE(result.err.find(std::string("kzlaunch: ") + (szFile[0] == 'n' ? "cannot read" : "the trusted keys")),
                  std::string::npos)
            << result.err;
        EXPECT_NE(result.err.find("usage: kzlaunch PROJECT_DIR SERVER"), std::string::npos) << szFile;
    }
}
