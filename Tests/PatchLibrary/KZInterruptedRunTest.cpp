// Interrupted runs: kzlaunch, the reference launcher, drives a new install or an update through
// libkzpatch.so and is killed with SIGKILL at a named place of the library (KZ_KILL_POINT, see
// Source/Base/Util/KZKillPoint.h); a second kzlaunch then runs to the end. The rerun must leave
// exactly the published client and no file that a clean run does not leave.

#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"
#include "Fixtures/KZTestHttpServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <set>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
namespace fs = std::filesystem;

const std::string kGenerator = "python3 " KZ_SOURCE_DIR "/Tests/Fixtures/server_tree_gen.py ";

enum class ERunKind
{
    NewInstall, // an empty project, client version 1 on the server
    Update,     // client version 1 installed, version 2 on the server
    DeltaUpdate, // the same with edited files, two of them offered as deltas
};

struct SKillCase
{
    ERunKind kind;
    const char* szPoint; // "NAME" or "NAME#N"
};

// Shown by the test runner instead of the case's bytes.
void PrintTo(const SKillCase& killCase, std::ostream* pOut)
{
    *pOut << (killCase.kind == ERunKind::NewInstall ? "new install, "
              : killCase.kind == ERunKind::Update   ? "update, "
                                                    : "delta update, ")
          << killCase.szPoint;
}

bool IsUpdate(ERunKind kind)
{
    return kind != ERunKind::NewInstall;
}

// The client the server publishes (and the rerun must leave), as the generator's options.
std::string Shape(ERunKind kind)
{
    if (kind == ERunKind::NewInstall)
        return " --packs 2 --files 3 --client 1";
    return kind == ERunKind::Update ? " --packs 4 --files 3 --client 2" : " --packs 4 --files 3 --client 2 --edits";
}

// How a process ended: its exit status, or 128 + the signal that ended it; -1 when it had to be
// stopped after the time limit.
int RunLauncher(const fs::path& project, const std::string& strServer, const char* szKillPoint,
                const fs::path& log)
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        if (szKillPoint)
            setenv("KZ_KILL_POINT", szKillPoint, 1);
        else
            unsetenv("KZ_KILL_POINT");
        FILE* pLog = freopen(log.c_str(), "a", stdout);
        if (pLog)
            dup2(fileno(pLog), 2);
        execl(KZ_BINARY_DIR "/kzlaunch", "kzlaunch", project.c_str(), strServer.c_str(), "--timeout", "100",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid < 0 ? -1 : KZTestWaitForProcess(pid, 120);
}

// Every file and folder below a directory, relative to it, folders with a trailing "/".
std::set<std::string> Tree(const fs::path& root)
{
    std::set<std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        tree.insert(fs::relative(entry.path(), root).string() + (entry.is_directory() ? "/" : ""));
    return tree;
}

class KZInterruptedRunTest : public ::testing::TestWithParam<SKillCase>
{
protected:
    void SetUp() override
    {
        std::string strName = std::string("kzkill_") + GetParam().szPoint;
        for (char& c : strName)
            if (c == '#')
                c = '_';
        m_base = KZTestFreshDirectory(strName + (GetParam().kind == ERunKind::NewInstall ? "_new"
                                                 : GetParam().kind == ERunKind::Update   ? "_update"
                                                                                         : "_delta"));
        m_project = m_base / "project";
        m_server = m_base / "server";
        m_expected = m_base / "expected";
        fs::create_directories(m_project);
        const std::string strShape = Shape(GetParam().kind);
        const bool bDeltas = GetParam().kind == ERunKind::DeltaUpdate;
        if (IsUpdate(GetParam().kind))
        {
            KZTestRunCommand(kGenerator + (m_base / "old_server").string() + " " + (m_base / "old_expected").string() +
                             " --packs 4 --files 3 --client 1 --install " + m_project.string() +
                             (bDeltas ? " --edits" : ""));
            // An installed client application, so that its replacement can be interrupted too.
            fs::create_directories(m_project / "TVKClient.app/Contents");
            std::ofstream(m_project / "TVKClient.app/Contents/Info.plist") << "old";
        }
        KZTestRunCommand(kGenerator + m_server.string() + " " + m_expected.string() + strShape +
                         (bDeltas ? " --deltas 1" : ""));
    }
    void TearDown() override
    {
        if (!HasFailure())
            fs::remove_all(m_base);
    }

    // The published client and nothing else: the generator's reader, `kztool verify`, the server's
    // catalogue, and the files a clean run leaves.
    void ExpectPublishedContent() const
    {
        const std::string strCheck =
            KZTestRunCommand(kGenerator + "--check " + m_project.string() + Shape(GetParam().kind) + " 2>&1");
        EXPECT_EQ(strCheck, "ok\n");
        const SKZTestCommandResult verify = KZTestRunCommandIn(
            m_base.string(), KZ_BINARY_DIR "/kztool verify " + m_project.string(), (m_base / "verify").string());
        EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
        EXPECT_EQ(KZTestReadFile(m_project / "Data.ccx"), KZTestReadFile(m_server / "Data.ccx"));
        EXPECT_EQ(KZTestReadFile(m_project / "TVKClient.app/Contents/Info.plist"), "client 1");

        // The lock file stays: removing it while another run may open it would let two runs hold it.
        std::set<std::string> expected = {"Data/", "Data.ccx", "Data.lock", "Data.update", "PackFiles/", "TVKClientOSX.zip",
                                          "TVKClient.app/", "TVKClient.app/Contents/",
                                          "TVKClient.app/Contents/Info.plist", "TVKClient.app/Contents/MacOS/",
                                          "TVKClient.app/Contents/MacOS/TVKClient"};
        for (const std::string& strPack : Tree(m_expected / "PackFiles"))
            expected.insert("PackFiles/" + strPack);
        const std::set<std::string> actual = Tree(m_project);
        for (const std::string& strPath : actual)
            EXPECT_TRUE(expected.count(strPath)) << "stray " << strPath;
        for (const std::string& strPath : expected)
            EXPECT_TRUE(actual.count(strPath) || strPath == "Data/") << "missing " << strPath;
    }

    fs::path m_base, m_project, m_server, m_expected;
};

TEST_P(KZInterruptedRunTest, RerunEndsWithThePublishedClient)
{
    CKZTestHttpServer server(m_server.string());
    ASSERT_NE(server.Port(), 0);
    const fs::path log = m_base / "launcher.log";
    ASSERT_EQ(RunLauncher(m_project, server.Host(), GetParam().szPoint, log), 128 + SIGKILL)
        << "the kill point was not reached\n"
        << KZTestReadFile(log);
    const fs::path rerunLog = m_base / "rerun.log";
    ASSERT_EQ(RunLauncher(m_project, server.Host(), nullptr, rerunLog), 0) << KZTestReadFile(rerunLog);
    ExpectPublishedContent();
    // An interrupted update is resumed as an update: its packs are never left in a state that only a
    // whole new install could repair.
    if (IsUpdate(GetParam().kind))
    {
        EXPECT_EQ(KZTestReadFile(rerunLog).find("New Install"), std::string::npos) << KZTestReadFile(rerunLog);
    }
}

// New install with two packs: downloads are the client application, the stage catalogue, Data0.zip,
// Data1.zip and the catalogue; unpacked entries are the client's two, then two per zip.
const SKillCase kNewInstallPoints[] = {
    {ERunKind::NewInstall, "download-done#1"},     {ERunKind::NewInstall, "download-done#2"},
    {ERunKind::NewInstall, "download-done#3"},     {ERunKind::NewInstall, "download-done#4"},
    {ERunKind::NewInstall, "download-done#5"},     {ERunKind::NewInstall, "unzip-entry#1"},
    {ERunKind::NewInstall, "unzip-entry#3"},       {ERunKind::NewInstall, "unzip-entry#4"},
    {ERunKind::NewInstall, "unzip-entry#6"},       {ERunKind::NewInstall, "full-zip-unpacked#1"},
    {ERunKind::NewInstall, "full-zip-unpacked#2"}, {ERunKind::NewInstall, "catalogue-written"},
    {ERunKind::NewInstall, "catalogue-installed"},
};

// Update from version 1 to 2 over four packs: downloads are the catalogue, the client application and
// four update zips; packs 0 and 1 are rebuilt (too much of them changes), pack 2 only gains a moved
// file, appended to its data file (or to a clone of it) with a new header, and pack 3 is kept. The
// renames: data and header of packs 0 and 1, then pack 2's header (and, with a clone, its data).
const SKillCase kUpdatePoints[] = {
    {ERunKind::Update, "download-done#1"},     {ERunKind::Update, "download-done#2"},
    {ERunKind::Update, "download-done#3"},     {ERunKind::Update, "download-done#6"},
    {ERunKind::Update, "client-set-aside"},    {ERunKind::Update, "unzip-entry#2"},
    {ERunKind::Update, "unzip-entry#4"},       {ERunKind::Update, "unzip-entry#6"},
    {ERunKind::Update, "pack-rebuilt#1"},      {ERunKind::Update, "pack-appended#1"},
    {ERunKind::Update, "pack-rebuilt#3"},      {ERunKind::Update, "pack-data-renamed#1"},
    {ERunKind::Update, "pack-data-renamed#2"}, {ERunKind::Update, "pack-renamed#2"},
    {ERunKind::Update, "pack-renamed#3"},      {ERunKind::Update, "packs-renamed"},
    {ERunKind::Update, "catalogue-written"},   {ERunKind::Update, "catalogue-installed"},
};

// The same update with two files patched by deltas: killed while a delta's result is written, and
// once each result is complete, before it joins the pack merge.
const SKillCase kDeltaUpdatePoints[] = {
    {ERunKind::DeltaUpdate, "delta-applying#1"},
    {ERunKind::DeltaUpdate, "delta-applied#1"},
    {ERunKind::DeltaUpdate, "delta-applied#2"},
};

std::string CaseName(const ::testing::TestParamInfo<SKillCase>& info)
{
    std::string strName = info.param.szPoint;
    for (char& c : strName)
        if (!isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return strName;
}

INSTANTIATE_TEST_SUITE_P(NewInstall, KZInterruptedRunTest, ::testing::ValuesIn(kNewInstallPoints), CaseName);
INSTANTIATE_TEST_SUITE_P(Update, KZInterruptedRunTest, ::testing::ValuesIn(kUpdatePoints), CaseName);
INSTANTIATE_TEST_SUITE_P(DeltaUpdate, KZInterruptedRunTest, ::testing::ValuesIn(kDeltaUpdatePoints), CaseName);
} // namespace
