// kzpublish --previous with deltas: what it writes for changed files, checked with the zstd command
// as the independent reader, and how later publications keep, replace and drop them.

#include "Base/Hash/KZSignature.h"
#include "System/KZDeltaIndex.h"
#include "System/Util/KZFileTimeCache.h"

#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <zlib.h>

namespace fs = std::filesystem;

namespace
{
const std::string kPublish = KZ_BINARY_DIR "/kzpublish ";
const std::string kTool = KZ_BINARY_DIR "/kztool ";

void WriteFile(const fs::path& path, const std::string& strBytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << strBytes;
}

std::string RandomBytes(std::mt19937& random, size_t size)
{
    std::string strBytes(size, '\0');
    for (char& c : strBytes)
        c = static_cast<char>(random());
    return strBytes;
}

uint32_t Crc(const std::string& strBytes)
{
    return static_cast<uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(strBytes.data()), static_cast<uInt>(strBytes.size())));
}

// The .delta files of a tree, as "Data/<name>".
std::set<std::string> DeltaFiles(const fs::path& server)
{
    std::set<std::string> files;
    for (const auto& entry : fs::directory_iterator(server / "Data"))
        if (entry.path().extension() == ".delta")
            files.insert("Data/" + entry.path().filename().string());
    return files;
}

class KZPublishDeltaTest : public CKZTestWithDirectory
{
protected:
    KZPublishDeltaTest() : CKZTestWithDirectory("kzdelta") {}
    void SetUp() override
    {
        CKZTestWithDirectory::SetUp();
        WriteFile(m_dir / "app" / "Info.plist", "app");
        std::mt19937 random(11);
        m_v1["maps/insert.map"] = RandomBytes(random, 600000);
        m_v1["maps/overwrite.map"] = RandomBytes(random, 1000000);
        m_v1["move.bin"] = RandomBytes(random, 300000);
        m_v1["replace.bin"] = RandomBytes(random, 2000000);
        m_v1["same.bin"] = RandomBytes(random, 200000);
        // Each change as a content team makes it: bytes inserted, a run overwritten, a run moved,
        // and a file made anew.
        m_v2 = m_v1;
        m_v2["maps/insert.map"].insert(300000, RandomBytes(random, 5000));
        m_v2["maps/overwrite.map"].replace(400000, 20000, RandomBytes(random, 20000));
        std::string& strMove = m_v2["move.bin"];
        const std::string strRun = strMove.substr(50000, 30000);
        strMove.erase(50000, 30000);
        strMove.insert(220000, strRun);
        m_v2["replace.bin"] = RandomBytes(random, 2000000);
        m_v3 = m_v2;
        m_v3["maps/insert.map"].replace(100, 1000, RandomBytes(random, 1000));
    }
    void MakeClient(const std::string& strFolder, const std::map<std::string, std::string>& files)
    {
        fs::remove_all(m_dir / strFolder);
        for (const auto& file : files)
            WriteFile(m_dir / strFolder / file.first, file.second);
    }
    SKZTestCommandResult Run(const std::string& strCommand)
    {
        return KZTestRunCommandIn(m_dir.string(), strCommand, Path("run"));
    }
    // Small packs, so that the files lie in several of them.
    SKZTestCommandResult Publish(const std::string& strArgs)
    {
        return Run(kPublish + strArgs + " --app app --zip-size 700000");
    }
    CKZDeltaIndex Index(const std::string& strServer)
    {
        CKZDeltaIndex index;
        std::string strWhy;
        EXPECT_TRUE(index.Parse(KZTestReadFile(m_dir / strServer / "Data.deltas"), strWhy)) << strWhy;
        return index;
    }
    // The delta of a file from one version to another: listed with the right fields, and the zstd
    // command turns the old bytes into the new ones with it.
    void ExpectDelta(const CKZDeltaIndex& index, const std::string& strServer, const std::string& strPath,
                     const std::string& strFrom, const std::string& strTo, uint64_t qwPublication)
    {
        SCOPED_TRACE(strServer + " " + strPath);
        const std::string strName = fs::path(strPath).filename().string();
        const SKZDelta* pDelta = index.Find(strName, static_cast<uint32_t>(strFrom.size()), Crc(strFrom));
        ASSERT_NE(pDelta, nullptr);
        EXPECT_EQ(pDelta->dwTargetSize, strTo.size());
        EXPECT_EQ(pDelta->dwTargetCrc, Crc(strTo));
        EXPECT_EQ(pDelta->targetDigest, KZSignature::Hash(strTo.data(), strTo.size()));
        EXPECT_EQ(pDelta->qwPublication, qwPublication);
        const fs::path delta = m_dir / strServer / pDelta->ServerPath();
        EXPECT_EQ(fs::file_size(delta), pDelta->qwDeltaSize);
        EXPECT_LE(pDelta->qwDeltaSize * 4, fs::file_size(m_dir / strServer / ("Data/" + strName + ".zip")) * 3);
        WriteFile(m_dir / "base", strFrom);
        const SKZTestCommandResult result =
            Run("zstd -q -d -f --patch-from=base '" + delta.string() + "' -o rebuilt");
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_TRUE(KZTestReadFile(m_dir / "rebuilt") == strTo);
    }

    std::map<std::string, std::string> m_v1, m_v2, m_v3;
};
}

// A signed publication over another tree: deltas for the three edited files, none for the file made
// anew or the unchanged one, and the release with its deltas verifies.
TEST_F(KZPublishDeltaTest, ChangedFilesGetDeltasThatZstdApplies)
{
    ASSERT_EQ(Run(kTool + "key generate k.secret k.public").status, 0);
    MakeClient("v1", m_v1);
    MakeClient("v2", m_v2);
    ASSERT_EQ(Publish("v1 one").status, 0);
    EXPECT_FALSE(fs::exists(m_dir / "one" / "Data.deltas"));
    const SKZTestCommandResult result = Publish("v2 two --previous one --sign-key k.secret");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("\ndeltas: 3 written ("), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(" 0 kept from earlier publications, 1 not worth writing\n"), std::string::npos)
        << result.out;

    const CKZDeltaIndex index = Index("two");
    EXPECT_EQ(index.Publication(), 1u);
    EXPECT_EQ(index.Deltas().size(), 3u);
    for (const char* szPath : {"maps/insert.map", "maps/overwrite.map", "move.bin"})
        ExpectDelta(index, "two", szPath, m_v1[szPath], m_v2[szPath], 1);
    EXPECT_EQ(DeltaFiles(m_dir / "two").size(), 3u);

    const SKZTestCommandResult verified = Run(kTool + "release verify two k.public");
    EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
    const std::string strManifest = KZTestReadFile(m_dir / "two" / "Data.manifest");
    EXPECT_NE(strManifest.find("Data.deltas"), std::string::npos);
    EXPECT_NE(strManifest.find(index.Deltas().begin()->second.ServerPath()), std::string::npos);
}

// Publications in place and into a copy: deltas to a file's current bytes stay with their
// publication, a file changed again gets a delta from its last bytes and loses the old one, and
// --keep-deltas bounds how long they stay.
TEST_F(KZPublishDeltaTest, LaterPublicationsKeepReplaceAndDropDeltas)
{
    MakeClient("v1", m_v1);
    MakeClient("v2", m_v2);
    MakeClient("v3", m_v3);
    ASSERT_EQ(Publish("v1 live").status, 0);
    SKZTestCommandResult result = Publish("v2 live --previous live");
    ASSERT_EQ(result.status, 0) << result.err;
    const CKZDeltaIndex second = Index("live");
    const std::string strOldInsert = second.Find("insert.map", 600000, Crc(m_v1["maps/insert.map"]))->ServerPath();

    result = Publish("v3 copy --previous live");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("\ndeltas: 1 written ("), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(" 2 kept from earlier publications, 0 not worth writing\n"), std::string::npos)
        << result.out;
    const CKZDeltaIndex third = Index("copy");
    EXPECT_EQ(third.Publication(), 2u);
    EXPECT_EQ(third.Deltas().size(), 3u);
    ExpectDelta(third, "copy", "maps/insert.map", m_v2["maps/insert.map"], m_v3["maps/insert.map"], 2);
    ExpectDelta(third, "copy", "maps/overwrite.map", m_v1["maps/overwrite.map"], m_v3["maps/overwrite.map"], 1);
    ExpectDelta(third, "copy", "move.bin", m_v1["move.bin"], m_v3["move.bin"], 1);
    EXPECT_EQ(DeltaFiles(m_dir / "copy").size(), 3u);
    EXPECT_FALSE(fs::exists(m_dir / "copy" / strOldInsert));

    // Publication 3 of the same client in place: nothing new, everything kept for now...
    ASSERT_EQ(Publish("v3 copy --previous copy").status, 0);
    EXPECT_EQ(Index("copy").Deltas().size(), 3u);
    // ...and publication 4 with one publication kept: only the delta made in it stays.
    MakeClient("v4", m_v3);
    WriteFile(m_dir / "v4" / "move.bin", m_v1["move.bin"]);
    result = Publish("v4 copy --previous copy --keep-deltas 1");
    ASSERT_EQ(result.status, 0) << result.err;
    const CKZDeltaIndex fourth = Index("copy");
    EXPECT_EQ(fourth.Publication(), 4u);
    EXPECT_EQ(fourth.Deltas().size(), 1u);
    ExpectDelta(fourth, "copy", "move.bin", m_v3["move.bin"], m_v1["move.bin"], 4);
    EXPECT_EQ(DeltaFiles(m_dir / "copy"), std::set<std::string>{fourth.Deltas().begin()->second.ServerPath()});

    result = Publish("v4 copy --previous copy --keep-deltas 0");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("\ndeltas: 0 written (0 bytes"), std::string::npos) << result.out;
    EXPECT_FALSE(fs::exists(m_dir / "copy" / "Data.deltas"));
    EXPECT_TRUE(DeltaFiles(m_dir / "copy").empty());
}

// What cannot serve as a base is passed over with a warning, and the publication goes on.
TEST_F(KZPublishDeltaTest, UnreadablePreviousIndexAndMissingPackAreWarnedAbout)
{
    MakeClient("v1", m_v1);
    MakeClient("v2", m_v2);
    MakeClient("v3", m_v3);
    ASSERT_EQ(Publish("v1 live").status, 0);
    ASSERT_EQ(Publish("v2 live --previous live").status, 0);
    WriteFile(m_dir / "live" / "Data.deltas", "kzpatch-delta-index 1\npublication x\n");
    SKZTestCommandResult result = Publish("v3 live --previous live");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("warning: the previous delta index"), std::string::npos) << result.err;
    CKZDeltaIndex index = Index("live");
    EXPECT_EQ(index.Publication(), 1u);
    EXPECT_EQ(index.Deltas().size(), 1u) << "only the new delta of insert.map";
    EXPECT_EQ(DeltaFiles(m_dir / "live").size(), 1u);

    // The pack zip that held the file is gone from the previous tree: no delta for it.
    CKZFileTimeCache catalogue;
    ASSERT_TRUE(catalogue.Initialize((m_dir / "live" / "Data.ccx").c_str(), nullptr, nullptr));
    const uint32_t dwPack = catalogue.GetFileDetails("overwrite.map")->m_dwZipIndex;
    fs::remove(m_dir / "live" / ("Data" + std::to_string(dwPack) + ".zip"));
    WriteFile(m_dir / "v3" / "maps" / "overwrite.map", m_v1["maps/overwrite.map"]);
    result = Publish("v3 live --previous live");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("no deltas for the 1 changed files of the previous Data" + std::to_string(dwPack)),
              std::string::npos)
        << result.err;
    index = Index("live");
    EXPECT_EQ(index.Find("overwrite.map", 1000000, Crc(m_v2["maps/overwrite.map"])), nullptr);

    EXPECT_EQ(Publish("v3 other --keep-deltas 2").status, 2);
    EXPECT_EQ(Publish("v3 other --previous live --keep-deltas 1001").status, 2);
    EXPECT_FALSE(fs::exists(m_dir / "other"));
}
