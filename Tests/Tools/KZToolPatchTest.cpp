// kztool run: a whole patch run from the command line, as scripts/run.sh starts it.

#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"
#include "Fixtures/KZTestHttpServer.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace
{
class KZToolPatchTest : public CKZTestWithDirectory
{
protected:
    KZToolPatchTest() : CKZTestWithDirectory("kztoolpatch") {}
};

const std::string kTool = KZ_BINARY_DIR "/kztool ";
}

TEST_F(KZToolPatchTest, RunInstallsIntoAnEmptyDirectory)
{
    ASSERT_EQ(system(("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/server_tree_gen.py " + Path("server") + " " +
                      Path("expected") + " --packs 2 > /dev/null")
                         .c_str()),
              0);
    fs::create_directories(m_dir / "project");
    CKZTestHttpServer server(Path("server"));
    ASSERT_NE(server.Port(), 0);
    const std::string strOutput =
        KZTestRunCommand(kTool + "run " + Path("project") + " " + server.Host() + " --timeout 60 2>/dev/null");
    EXPECT_NE(strOutput.find("status\t7\nerror\t0\n"), std::string::npos) << strOutput;
    EXPECT_EQ(KZTestReadFile(m_dir / "project" / "PackFiles" / "p_00000001.csa"),
              KZTestReadFile(m_dir / "expected" / "PackFiles" / "p_00000001.csa"));

    // A server without the client application: the run fails and the tool says so.
    fs::remove(m_dir / "server" / "TVKClientOSX.zip");
    fs::remove_all(m_dir / "project");
    fs::create_directories(m_dir / "project");
    const std::string strFailed =
        KZTestRunCommand(kTool + "run " + Path("project") + " " + server.Host() + " --timeout 60 2>/dev/null; echo exit $?");
    EXPECT_NE(strFailed.find("status\t8\n"), std::string::npos) << strFailed;
    EXPECT_NE(strFailed.find("exit 1"), std::string::npos) << strFailed;
}
