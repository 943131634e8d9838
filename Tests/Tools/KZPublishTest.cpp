// kzpublish as a content team runs it: client folders published into server trees that the library
// installs over loopback, republished with --previous, and the inputs it must refuse.

#include "Tools/kzpublish/KZPublishRules.h"

#include "PatchLibrary/KZPatchAPI.h"
#include "PatchLibrary/KZPatchInternal.h"
#include "System/KZPackFileArchive.h"
#include "System/Util/KZFileTimeCache.h"

#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"
#include "Fixtures/KZTestHttpServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>

namespace fs = std::filesystem;

namespace
{
const std::string kPublish = KZ_BINARY_DIR "/kzpublish";

bool WaitUntil(const std::function<bool()>& condition, int seconds = 120)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void WriteFile(const fs::path& path, const std::string& strBytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << strBytes;
}

std::string RandomBytes(std::mt19937& random, size_t size)
{
    std::string strBytes(size, '\0');
    for (char& c : strBytes)
        c = static_cast<char>(random() & 0x3F); // compressible, like most game data
    return strBytes;
}

// Every file below a folder: relative path -> bytes.
std::map<std::string, std::string> FolderFiles(const fs::path& dir)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file())
            files[entry.path().lexically_relative(dir).generic_string()] = KZTestReadFile(entry.path());
    return files;
}

// Every packed file of an installed pack folder: path inside the client folder -> bytes.
std::map<std::string, std::string> PackedFiles(const fs::path& packDirectory)
{
    std::map<std::string, std::string> files;
    CKZPackFileArchive archive;
    if (!archive.OpenPackFile(CKZPath(packDirectory.string() + "/")))
        return files;
    for (unsigned int i = 0; i < archive.GetPackFileCount(); ++i)
        for (unsigned int j = 0; j < archive.GetPackedFileCount(i); ++j)
        {
            std::string strPath = archive.GetPackedFilePath(i, j);
            std::replace(strPath.begin(), strPath.end(), '\\', '/');
            void* pHandle = archive.Open(strPath.c_str(), "rb");
            std::string strBytes(archive.GetPackedFileLength(i, j), '\0');
            if (pHandle && !strBytes.empty())
                archive.Read(&strBytes[0], 1, static_cast<int>(strBytes.size()), pHandle);
            if (pHandle)
                archive.Close(pHandle);
            files[strPath] = strBytes; // the path below the download directory
        }
    return files;
}

// The same paths with the same bytes, without printing megabytes when they differ.
void ExpectSameFiles(const std::map<std::string, std::string>& actual, const std::map<std::string, std::string>& expected)
{
    EXPECT_EQ(actual.size(), expected.size());
    for (const auto& file : expected)
    {
        const auto it = actual.find(file.first);
        EXPECT_TRUE(it != actual.end() && it->second == file.second) << file.first;
    }
}

class KZPublishTest : public CKZTestWithDirectory
{
protected:
    KZPublishTest() : CKZTestWithDirectory("kzpublish") {}
    void SetUp() override
    {
        CKZTestWithDirectory::SetUp();
        KZPatch::ResetForTesting();
        WriteFile(m_dir / "app" / "Contents" / "Info.plist", "client v1");
        WriteFile(m_dir / "rules", "# stages\nshaders/**  0\nmaps/**  1\n**/*.ogg 2\n");
    }
    void TearDown() override
    {
        KZPatch::ResetForTesting();
        CKZTestWithDirectory::TearDown();
    }

    // Version 1: shaders (stage 0), maps (stage 1), sounds (stage 2), a few hundred kB in all.
    void MakeClient(const fs::path& client)
    {
        std::mt19937 random(7);
        for (int i = 0; i < 12; ++i)
            WriteFile(client / "shaders" / ("s" + std::to_string(i) + ".fx"), RandomBytes(random, 800 + 97 * i));
        for (int i = 0; i < 10; ++i)
            WriteFile(client / "maps" / ("area" + std::to_string(i / 4)) / ("m" + std::to_string(i) + ".map"),
                      RandomBytes(random, 9000 + 311 * i));
        for (int i = 0; i < 8; ++i)
            WriteFile(client / "sound" / ("t" + std::to_string(i) + ".ogg"), RandomBytes(random, 5000 + 13 * i));
    }
    // Version 2: one map changed, one sound removed, one sound added.
    void MakeSecondClient(const fs::path& client)
    {
        MakeClient(client);
        WriteFile(client / "maps" / "area1" / "m5.map", "changed map");
        fs::remove(client / "sound" / "t3.ogg");
        WriteFile(client / "sound" / "new.ogg", "a new sound");
    }

    SKZTestCommandResult Publish(const std::string& strArgs)
    {
        return KZTestRunCommandIn(m_dir.string(), kPublish + " " + strArgs, Path("publish"));
    }

    // A run through the C interface from the tree, served over loopback: a new install into an empty
    // project (with the stage tables of the rules), an update of an installed one.
    void Install(const fs::path& server, const fs::path& project)
    {
        const bool bNewInstall = !fs::exists(project / "Data.ccx");
        fs::create_directories(project);
        CKZTestHttpServer http(server.string());
        ASSERT_NE(http.Port(), 0);
        ASSERT_TRUE(kzpatch_init(project.c_str(), http.Host().c_str()));
        ASSERT_TRUE(WaitUntil([] { return kzpatch_get_status() != KZ_PATCH_INITIALIZING; }));
        ASSERT_TRUE(kzpatch_start());
        ASSERT_TRUE(WaitUntil([] {
            const KZPatchStatus status = kzpatch_get_status();
            return status == KZ_PATCH_DONE || status == KZ_PATCH_FAILED;
        }));
        ASSERT_EQ(kzpatch_get_status(), KZ_PATCH_DONE) << kzpatch_get_error_code();
        EXPECT_EQ(kzpatch_get_download_stage_count(), bNewInstall ? 3u : 0u);
        EXPECT_EQ(kzpatch_get_download_stages_in_sync(), bNewInstall ? 3u : 0u);
        KZPatch::ResetForTesting();
    }

    static CKZFileTimeCache* Load(CKZFileTimeCache& catalogue, const fs::path& server)
    {
        return catalogue.Initialize((server / "Data.ccx").c_str(), nullptr, nullptr) ? &catalogue : nullptr;
    }
};
}

TEST_F(KZPublishTest, PublishedFolderInstallsFileByFileAndRepublishesInPlace)
{
    MakeClient(m_dir / "v1");
    SKZTestCommandResult result = Publish("v1 server --app app --stages rules --zip-size 30000");
    ASSERT_EQ(result.status, 0) << result.err;
    Install(m_dir / "server", m_dir / "project1");
    ExpectSameFiles(PackedFiles(m_dir / "project1" / "PackFiles"), FolderFiles(m_dir / "v1"));
    EXPECT_EQ(KZTestReadFile(m_dir / "project1" / "Data.ccx"), KZTestReadFile(m_dir / "server" / "Data.ccx"));
    EXPECT_EQ(KZTestReadFile(m_dir / "project1" / "TVKClient.app" / "Contents" / "Info.plist"), "client v1");

    // Version 2 over the live tree: the installed client updates to version 2, and a new client
    // installs it, file by file.
    MakeSecondClient(m_dir / "v2");
    result = Publish("v2 server --previous server --stages rules --zip-size 30000");
    ASSERT_EQ(result.status, 0) << result.err;
    Install(m_dir / "server", m_dir / "project1");
    ExpectSameFiles(PackedFiles(m_dir / "project1" / "PackFiles"), FolderFiles(m_dir / "v2"));
    EXPECT_EQ(KZTestReadFile(m_dir / "project1" / "Data.ccx"), KZTestReadFile(m_dir / "server" / "Data.ccx"));
    Install(m_dir / "server", m_dir / "project2");
    ExpectSameFiles(PackedFiles(m_dir / "project2" / "PackFiles"), FolderFiles(m_dir / "v2"));
    EXPECT_FALSE(fs::exists(m_dir / "server" / "Data" / "t3.ogg.zip"));
    for (const auto& entry : fs::directory_iterator(m_dir))
        EXPECT_EQ(entry.path().filename().string().find(".kzpublish"), std::string::npos) << entry.path();

    // The same client again: no pack changes, and the zip report still names every file where it is.
    const std::string strReport = KZTestReadFile(m_dir / "server" / "ZipInfo.txt");
    result = Publish("v2 server --previous server --stages rules --zip-size 30000");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out.find("Not found"), std::string::npos) << result.out;
    EXPECT_EQ(KZTestReadFile(m_dir / "server" / "ZipInfo.txt"), strReport);
}

// Signed publications install and update through the library with the publisher's key trusted, each
// file checked against the manifest; the installation records the release.
TEST_F(KZPublishTest, SignedPublicationsInstallWithTrustedKeys)
{
    ASSERT_EQ(KZTestRunCommand(KZ_BINARY_DIR "/kztool key generate " + Path("k.secret") + " " + Path("k.public") +
                               " > /dev/null; echo $?"),
              "0\n");
    // The keys outlive a run: whatever happens here, the tests after this one run without them.
    struct SUntrust
    {
        ~SUntrust()
        {
            KZPatch::ResetForTesting();
            kzpatch_set_trusted_keys(nullptr);
        }
    } untrust;
    ASSERT_TRUE(kzpatch_set_trusted_keys(KZTestReadFile(m_dir / "k.public").c_str()));
    MakeClient(m_dir / "v1");
    SKZTestCommandResult result = Publish("v1 server --app app --stages rules --zip-size 30000 --sign-key k.secret");
    ASSERT_EQ(result.status, 0) << result.err;
    Install(m_dir / "server", m_dir / "project");
    EXPECT_EQ(KZTestReadFile(m_dir / "project" / "Data.release"), "1\n");

    MakeSecondClient(m_dir / "v2");
    result = Publish("v2 server --previous server --stages rules --zip-size 30000 --sign-key k.secret");
    ASSERT_EQ(result.status, 0) << result.err;
    Install(m_dir / "server", m_dir / "project");
    ExpectSameFiles(PackedFiles(m_dir / "project" / "PackFiles"), FolderFiles(m_dir / "v2"));
    EXPECT_EQ(KZTestReadFile(m_dir / "project" / "Data.release"), "2\n");
}

TEST_F(KZPublishTest, PreviousKeepsUnchangedZipsAndPacks)
{
    MakeClient(m_dir / "v1");
    ASSERT_EQ(Publish("v1 old --app app --stages rules --zip-size 30000").status, 0);
    // Old times, so that a rewritten or touched zip shows.
    const auto oldTime = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    for (const auto& entry : fs::recursive_directory_iterator(m_dir / "old"))
        if (entry.is_regular_file())
            fs::last_write_time(entry.path(), oldTime);
    MakeSecondClient(m_dir / "v2");
    for (const char* szTarget : {"new", "old"}) // beside the previous tree, then over it
    {
        SCOPED_TRACE(szTarget);
        const std::map<std::string, std::string> before = FolderFiles(m_dir / "old");
        std::map<std::string, fs::file_time_type> beforeTimes;
        for (const auto& file : before)
            beforeTimes[file.first] = fs::last_write_time(m_dir / "old" / file.first);
        CKZFileTimeCache previous, current;
        ASSERT_TRUE(Load(previous, m_dir / "old"));
        const SKZTestCommandResult result = Publish("v2 " + std::string(szTarget) + " --previous old --stages rules "
                                                    "--zip-size 30000");
        ASSERT_EQ(result.status, 0) << result.err;
        ASSERT_TRUE(Load(current, m_dir / szTarget));

        std::set<uint32_t> changedPacks;
        for (const auto& entry : previous.GetRawData())
        {
            const CKZFileDetails* pNew = current.GetFileDetails(entry.first.c_str());
            if (!pNew || pNew->m_dwExportedCrc != entry.second->m_dwExportedCrc)
                changedPacks.insert(entry.second->m_dwZipIndex);
            if (!pNew)
                continue;
            const std::string strZip = "Data/" + entry.first + ".zip";
            if (pNew->m_dwExportedCrc != entry.second->m_dwExportedCrc)
            {
                EXPECT_TRUE(KZTestReadFile(m_dir / szTarget / strZip) != before.at(strZip)) << strZip;
                continue;
            }
            EXPECT_EQ(pNew->m_dwZipIndex, entry.second->m_dwZipIndex) << entry.first;
            EXPECT_TRUE(KZTestReadFile(m_dir / szTarget / strZip) == before.at(strZip)) << strZip;
            EXPECT_EQ(fs::last_write_time(m_dir / szTarget / strZip), beforeTimes.at(strZip)) << strZip;
        }
        const CKZFileDetails* pAdded = current.GetFileDetails("new.ogg");
        ASSERT_NE(pAdded, nullptr);
        changedPacks.insert(pAdded->m_dwZipIndex);
        EXPECT_EQ(pAdded->m_dwStage, 2u);
        EXPECT_EQ(changedPacks.size(), 3u) << "the changed map's, the removed sound's and the added sound's packs";

        uint32_t keptPacks = 0;
        for (uint32_t pack = 0; fs::exists(m_dir / szTarget / ("Data" + std::to_string(pack) + ".zip")); ++pack)
        {
            const std::string strZip = "Data" + std::to_string(pack) + ".zip";
            if (changedPacks.count(pack))
            {
                EXPECT_TRUE(KZTestReadFile(m_dir / szTarget / strZip) != before.at(strZip)) << strZip;
                continue;
            }
            ++keptPacks;
            EXPECT_TRUE(KZTestReadFile(m_dir / szTarget / strZip) == before.at(strZip)) << strZip;
            EXPECT_EQ(fs::last_write_time(m_dir / szTarget / strZip), beforeTimes.at(strZip)) << strZip;
        }
        EXPECT_EQ(keptPacks, 3u);
        EXPECT_FALSE(fs::exists(m_dir / szTarget / "Data" / "t3.ogg.zip"));
        EXPECT_TRUE(KZTestReadFile(m_dir / szTarget / "TVKClientOSX.zip") == before.at("TVKClientOSX.zip"));
    }
}

TEST_F(KZPublishTest, RefusalsWriteNothing)
{
    const auto refuse = [this](const std::string& strArgs, const std::string& strReason) {
        SCOPED_TRACE(strArgs);
        const std::vector<std::string> before = KZTestTree(m_dir);
        const SKZTestCommandResult result = Publish(strArgs);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_NE(result.err.find(strReason), std::string::npos) << result.err;
        EXPECT_EQ(KZTestTree(m_dir), before);
    };
    fs::create_directories(m_dir / "empty" / "folder");
    refuse("empty server --app app", "holds no files");

    WriteFile(m_dir / "twins" / "x" / "Same.bin", "1");
    WriteFile(m_dir / "twins" / "y" / "same.bin", "2");
    refuse("twins server --app app", "two files with the same name");

    WriteFile(m_dir / "long" / std::string(252, 'n'), "1"); // "Data/" + 252 bytes
    refuse("long server --app app", "over 255 bytes");
    fs::remove_all(m_dir / "long");
    WriteFile(m_dir / "long" / std::string(200, 'd') / std::string(60, 'f'), "1");
    refuse("long server --app app", "over 255 bytes");

    WriteFile(m_dir / "huge" / "big.bin", "");
    fs::resize_file(m_dir / "huge" / "big.bin", 0x80000000ull); // sparse: no disk space taken
    refuse("huge server --app app", "2 GiB");

    MakeClient(m_dir / "good");
    refuse("good server", "--app");
    refuse("good good/inner --app app", "overlap");
    refuse("good server --app app --previous nowhere", "previous catalogue");
    WriteFile(m_dir / "bad-rules", "maps/** one\n");
    refuse("good server --app app --stages bad-rules", "bad-rules:1:");
    refuse("good server --app app --sign-key nowhere", "no such file: nowhere");
    refuse("good server --app app --sign-key bad-rules", "bad-rules is not a secret key file");

    const std::vector<std::string> before = KZTestTree(m_dir);
    for (const char* szArgs : {"good", "good server --zip-size 0", "good server --zip-size 12x", "good server --bogus",
                               "good server --app app --expires 1", "good server --app app --sign-key"})
        EXPECT_EQ(Publish(szArgs).status, 2) << szArgs;
    EXPECT_EQ(KZTestTree(m_dir), before);
}

TEST(KZPublishRulesTest, GlobsAndRuleFiles)
{
    EXPECT_TRUE(CKZPublishRules::GlobMatch("*.dds", "a.dds"));
    EXPECT_FALSE(CKZPublishRules::GlobMatch("*.dds", "tex/a.dds")) << "* stays inside a folder";
    EXPECT_TRUE(CKZPublishRules::GlobMatch("**/*.dds", "a.dds")) << "**/ may be no folder at all";
    EXPECT_TRUE(CKZPublishRules::GlobMatch("**/*.dds", "tex/sub/a.dds"));
    EXPECT_FALSE(CKZPublishRules::GlobMatch("**/*.dds", "tex/a.ddsx"));
    EXPECT_TRUE(CKZPublishRules::GlobMatch("tex/**", "tex/sub/a.dds"));
    EXPECT_FALSE(CKZPublishRules::GlobMatch("tex/**", "texture/a.dds"));
    EXPECT_TRUE(CKZPublishRules::GlobMatch("m?p/a", "map/a"));
    EXPECT_FALSE(CKZPublishRules::GlobMatch("m?p/a", "m/p/a"));
    EXPECT_FALSE(CKZPublishRules::GlobMatch("a", "ab"));

    CKZPublishRules rules;
    std::string strError;
    ASSERT_TRUE(rules.Parse("# comment\n\n  maps/**   3\r\n**/*.ogg 2\nmaps/x.ogg 9\n", "r", strError)) << strError;
    std::string strPattern;
    EXPECT_EQ(rules.StageOf("maps/x.ogg", &strPattern), 3u) << "the first rule that matches decides";
    EXPECT_EQ(strPattern, "maps/**");
    EXPECT_EQ(rules.StageOf("snd/y.ogg"), 2u);
    EXPECT_EQ(rules.StageOf("other.bin", &strPattern), 0u);
    EXPECT_EQ(strPattern, "");
    for (const char* szBad : {"maps/**\n", "maps/** 1 2\n", "a -1\n", "a 65536\n", "a 1x\n"})
    {
        EXPECT_FALSE(rules.Parse(std::string("# c\n") + szBad, "r", strError)) << szBad;
        EXPECT_EQ(strError.rfind("r:2: ", 0), 0u) << strError;
    }
}
