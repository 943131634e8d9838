// A launcher built against the interface header of before the download stage and rate limit
// functions: the README's example, compiled as C99 by the build, runs against the current library.

#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"
#include "Fixtures/KZTestHttpServer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace
{
class KZPatchOldHeaderTest : public CKZTestWithDirectory
{
protected:
    KZPatchOldHeaderTest() : CKZTestWithDirectory("kzpatch_oldheader") {}
};
} // namespace

TEST_F(KZPatchOldHeaderTest, ReadmeExampleRunsAgainstTheNewLibrary)
{
    // The built example is the README's, word for word.
    const std::string strReadme = KZTestReadFile(KZ_SOURCE_DIR "/README.md");
    const std::string strExample = KZTestReadFile(KZ_SOURCE_DIR "/Tests/Fixtures/launcher_example/update_client.c");
    ASSERT_FALSE(strExample.empty());
    EXPECT_NE(strReadme.find("```c\n" + strExample + "```"), std::string::npos);

    ASSERT_EQ(system(("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/server_tree_gen.py " + Path("server") + " " +
                      Path("expected") + " --packs 2 --stages > /dev/null")
                         .c_str()),
              0);
    fs::create_directories(m_dir / "project");
    CKZTestHttpServer server(Path("server"));
    ASSERT_NE(server.Port(), 0);
    const SKZTestCommandResult result = KZTestRunCommandIn(
        m_dir.string(), KZ_BINARY_DIR "/kz_readme_launcher " + Path("project") + " " + server.Host(), Path("example"));
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("start " + Path("project") + "/TVKClient.app with -Language=\"en\""), std::string::npos)
        << result.out;
    EXPECT_EQ(KZTestReadFile(m_dir / "project" / "PackFiles" / "p_00000001.csa"),
              KZTestReadFile(m_dir / "expected" / "PackFiles" / "p_00000001.csa"));
}
