// kztool as a new user meets it: versions, help per command and per group, usage errors that show
// only the command at hand, errors that name their cause, and the commands that work on folders.

#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"
#include "Fixtures/KZTestHttpServer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace
{
const std::string kTool = KZ_BINARY_DIR "/kztool ";

class KZToolMannersTest : public CKZTestWithDirectory
{
protected:
    KZToolMannersTest() : CKZTestWithDirectory("kztoolmanners") {}
    SKZTestCommandResult Run(const std::string& strArgs)
    {
        return KZTestRunCommandIn(m_dir.string(), kTool + strArgs, Path("run"));
    }
};
}

TEST_F(KZToolMannersTest, VersionsHelpAndUsage)
{
    SKZTestCommandResult result = Run("--version");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "kztool " KZ_VERSION "\n");
    EXPECT_EQ(KZTestRunCommand(KZ_BINARY_DIR "/kzpublish --version"), "kzpublish " KZ_VERSION "\n");

    result = Run("zip add --help");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out.rfind("usage: kztool zip add ZIP FILE|DIR [NAME]\n", 0), 0u) << result.out;

    // Wrong usage shows that command's usage line alone.
    std::ofstream(m_dir / "f.txt") << "f";
    ASSERT_EQ(Run("zip add a.zip f.txt").status, 0);
    ASSERT_EQ(Run("catalogue add c f.txt f.txt").status, 0);
    for (const char* szArgs : {"zip add", "zip seal a.zip f.txt key 1", "zip unseal a.zip k out", "catalogue split c x",
                               "catalogue add c f.txt f.txt --prio 9999999999", "verify"})
    {
        result = Run(szArgs);
        EXPECT_EQ(result.status, 2) << szArgs;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << szArgs << ": " << result.err;
        EXPECT_EQ(result.err.rfind(std::string("usage: kztool ") + std::string(szArgs).substr(0, 7), 0), 0u)
            << result.err;
    }

    // A group alone, or with a word it does not know, lists the group's commands only.
    for (const char* szArgs : {"zip", "zip frobnicate"})
    {
        result = Run(szArgs);
        EXPECT_EQ(result.status, 2) << szArgs;
        EXPECT_NE(result.err.find("  zip extract "), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("catalogue"), std::string::npos) << result.err;
    }
    result = Run("zip --help");
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find("  zip seal "), std::string::npos) << result.out;
}

TEST_F(KZToolMannersTest, ErrorsNameTheirCauseAndFailedDownloadsKeepTheFile)
{
    std::ofstream(m_dir / "file.txt") << "payload";
    SKZTestCommandResult result = Run("zip add nowhere/a.zip file.txt");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "kztool: cannot write nowhere/a.zip: No such file or directory\n");
    result = Run("zip unseal " + Path("file.txt") + " 1 out");
    EXPECT_EQ(result.status, 1);

    CKZTestHttpServer server(m_dir.string());
    ASSERT_NE(server.Port(), 0);
    std::ofstream(m_dir / "kept.txt") << "old content";
    result = Run("http get " + server.Url("missing.bin") + " kept.txt");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("HTTP status 404"), std::string::npos) << result.err;
    EXPECT_EQ(KZTestReadFile(m_dir / "kept.txt"), "old content");
    result = Run("http get http://127.0.0.1:1/x kept.txt");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("no answer"), std::string::npos) << result.err;
    EXPECT_EQ(KZTestReadFile(m_dir / "kept.txt"), "old content");
    result = Run("http get " + server.Url("file.txt") + " kept.txt");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(KZTestReadFile(m_dir / "kept.txt"), "payload");
    for (const auto& entry : fs::directory_iterator(m_dir))
        EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos) << entry.path();
}

// A certificate nobody vouches for is said to be the cause, on one line, after no progress line.
TEST_F(KZToolMannersTest, UntrustedCertificateIsNamed)
{
    const fs::path cert = m_dir / "cert.pem", key = m_dir / "key.pem";
    ASSERT_TRUE(CKZTestHttpServer::MakeCertificate(cert.string(), key.string()));
    std::ofstream(m_dir / "file.txt") << "payload";
    CKZTestHttpServer server(m_dir.string(), {"--tls", cert.string(), key.string()});
    ASSERT_NE(server.Port(), 0);
    const std::string strUrl = "https://" + server.Host() + "/file.txt";
    SKZTestCommandResult result = Run("http get " + strUrl + " got.txt");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "kztool: download failed: " + strUrl + ": the server's certificate is not trusted\n");
    result = Run("http info " + strUrl);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "kztool: no size and time for " + strUrl + ": the server's certificate is not trusted\n");
    EXPECT_FALSE(fs::exists(m_dir / "got.txt"));
}

TEST_F(KZToolMannersTest, FoldersGoIntoZipsAndCataloguesInOneCall)
{
    fs::create_directories(m_dir / "tree" / "sub" / "deeper");
    std::ofstream(m_dir / "tree" / "a.txt") << "a";
    std::ofstream(m_dir / "tree" / "sub" / "deeper" / "b.txt") << "bb";
    SKZTestCommandResult result = Run("zip add t.zip tree");
    ASSERT_EQ(result.status, 0) << result.err;
    result = Run("zip add t.zip tree other");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(KZTestRunCommand("unzip -Z1 " + Path("t.zip")),
              "tree/a.txt\ntree/sub/deeper/b.txt\nother/a.txt\nother/sub/deeper/b.txt\n");

    fs::create_directories(m_dir / "client");
    for (int i = 0; i < 300; ++i)
        std::ofstream(m_dir / "client" / ("f" + std::to_string(i) + ".bin")) << i;
    result = Run("catalogue add cat.ccx client --prio 3");
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string strShown = Run("catalogue show cat.ccx").out;
    EXPECT_EQ(std::count(strShown.begin(), strShown.end(), '\n'), 301);
    EXPECT_NE(strShown.find("f17.bin\tData/f17.bin\t2\t2\t"), std::string::npos) << strShown.substr(0, 400);
}
