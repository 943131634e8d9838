#include "System/Util/KZFileTimeCache.h"

#include "Base/Core/KZFile.h"
#include "Base/Hash/KZStringHash.h"
#include "Base/Serialize/KZFileParser.h"
#include "Fixtures/KZTestFiles.h"
#include "Fixtures/KZTestCommand.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
class KZFileTimeCacheTest : public CKZTestWithDirectory
{
protected:
    KZFileTimeCacheTest() : CKZTestWithDirectory("kzcache") {}

    // Writes a cache file with the independent generator.
    std::string Generate(int version, const std::string& strRecordsJson, const std::string& strName = "c.ccx")
    {
        const std::string strCommand = "python3 " KZ_SOURCE_DIR "/Tests/Fixtures/catalogue_gen.py write " +
                                       std::to_string(version) + " " + Path(strName) + " '" + strRecordsJson + "'";
        EXPECT_EQ(system(strCommand.c_str()), 0) << strCommand;
        return Path(strName);
    }
    void Write(const std::string& strName, const std::string& strContent) const
    {
        std::ofstream(m_dir / strName, std::ios::binary) << strContent;
    }
};

const char kFullRecord[] = R"({"name": "a.bin", "low": 1, "high": 2, "ocrc": 3, "ecrc": 4, "prio": -5, "size": 6,
                               "user": 7, "csize": 8, "zip": 9, "stage": 10, "path": "Data/sub/a.bin"})";
} // namespace

TEST_F(KZFileTimeCacheTest, EveryVersionLoadsWithItsDefaults)
{
    CKZFileTimeCache cache;
    ASSERT_TRUE(cache.Initialize(Generate(261, "[]").c_str(), nullptr, nullptr));
    EXPECT_TRUE(cache.GetRawData().empty());

    for (int version : {261, 262})
    {
        ASSERT_TRUE(cache.Initialize(Generate(version, std::string("[") + kFullRecord + "]").c_str(), nullptr, nullptr));
        const CKZFileDetails* r = cache.GetFileDetails("x/a.bin");
        ASSERT_NE(r, nullptr) << version;
        EXPECT_EQ(r->m_Time.lowDatetime, 1u);
        EXPECT_EQ(r->m_Time.highDatetime, 2u);
        EXPECT_EQ(r->m_dwOriginalCrc, 3u);
        EXPECT_EQ(r->m_dwExportedCrc, 4u);
        EXPECT_EQ(r->m_iPrio, -5);
        EXPECT_EQ(r->m_dwSize, 6u);
        EXPECT_EQ(r->m_dwUserData, 7u);
        EXPECT_EQ(r->m_dwCompressedSize, 8u);
        EXPECT_EQ(r->m_dwZipIndex, 9u);
        EXPECT_EQ(r->m_dwStage, 10u);
        EXPECT_EQ(r->m_strFilePath, "Data/sub/a.bin");
    }
    ASSERT_TRUE(cache.Initialize(Generate(260, std::string("[") + kFullRecord + "]").c_str(), nullptr, nullptr));
    EXPECT_EQ(cache.GetFileDetails("a.bin")->m_strFilePath, "Data/a.bin");
    EXPECT_EQ(cache.GetFileDetails("a.bin")->m_dwStage, 0u);
    EXPECT_EQ(cache.GetFileDetails("a.bin")->m_dwCompressedSize, 8u);
    ASSERT_TRUE(cache.Initialize(Generate(259, std::string("[") + kFullRecord + "]").c_str(), nullptr, nullptr));
    EXPECT_EQ(cache.GetFileDetails("a.bin")->m_dwOriginalCrc, 0u);
    EXPECT_EQ(cache.GetFileDetails("a.bin")->m_strFilePath, "");
    ASSERT_TRUE(cache.Initialize(Generate(258, std::string("[") + kFullRecord + "]").c_str(), nullptr, nullptr));
    EXPECT_EQ(cache.GetFileDetails("a.bin")->m_dwCompressedSize, 6u) << "258: compressed size = size";
    EXPECT_EQ(cache.GetFileDetails("a.bin")->m_iPrio, -5);
    ASSERT_TRUE(cache.Initialize(Generate(257, std::string("[") + kFullRecord + "]").c_str(), nullptr, nullptr));
    EXPECT_EQ(cache.GetFileDetails("a.bin")->m_dwSize, 0u);
    EXPECT_EQ(cache.GetFileDetails("a.bin")->m_dwUserData, 7u);

    // Scrambled strings read like plain ones.
    ASSERT_TRUE(cache.Initialize(
        Generate(261, R"([{"name": {"scrambled": "s.dat"}, "path": {"scrambled": "Data/s.dat"}}])").c_str(), nullptr,
        nullptr));
    ASSERT_NE(cache.GetFileDetails("s.dat"), nullptr);
    EXPECT_EQ(cache.GetFileDetails("s.dat")->m_strFilePath, "Data/s.dat");
    EXPECT_EQ(CKZFileTimeCache::GetFileVersionFromFilePath(CKZPath(Path("c.ccx"))), 261u);
    EXPECT_EQ(CKZFileTimeCache::GetFileCountFromFilePath(CKZPath(Path("c.ccx"))), 1u);
    EXPECT_EQ(CKZFileTimeCache::GetFileVersionFromFilePath(CKZPath(Path("none.ccx"))), 0xFFFFFFFFu);
    EXPECT_EQ(CKZFileTimeCache::GetFileCountFromFilePath(CKZPath(Path("none.ccx"))), 0u);
}

TEST_F(KZFileTimeCacheTest, IgnoreListFiltersWholeNamesOrTitles)
{
    Write("ignore.txt", "Foo\r\n\r\nbar.txt\n");
    const std::string records =
        R"([{"name": "Foo.bin", "path": "D/Foo.bin"}, {"name": "Foo.tar.gz", "path": "D/Foo.tar.gz"},
            {"name": "bar.txt", "path": "D/bar.txt"}, {"name": "Foox.bin", "path": "D/Foox.bin"}])";
    CKZFileTimeCache cache;
    ASSERT_TRUE(cache.Initialize(Generate(261, records).c_str(), Path("ignore.txt").c_str(), nullptr));
    EXPECT_EQ(cache.GetRawData().size(), 2u);
    EXPECT_NE(cache.GetFileDetails("bar.txt"), nullptr) << "its title is bar";
    EXPECT_NE(cache.GetFileDetails("Foox.bin"), nullptr);
    ASSERT_TRUE(cache.Initialize(Generate(257, records).c_str(), Path("ignore.txt").c_str(), nullptr));
    EXPECT_EQ(cache.GetRawData().size(), 3u) << "257 compares whole names";
    EXPECT_EQ(cache.GetFileDetails("bar.txt"), nullptr);
    ASSERT_TRUE(cache.Initialize(Generate(261, records).c_str(), Path("absent.txt").c_str(), nullptr));
    EXPECT_EQ(cache.GetRawData().size(), 4u);
}

TEST_F(KZFileTimeCacheTest, BadRecordsStopLoadingWithAnEmptyCatalogue)
{
    const std::string good = R"({"name": "ok.bin", "path": "Data/ok.bin"})";
    const std::string longName(300, 'n');
    for (const std::string& bad :
         {std::string(R"({"name": "", "path": "Data/x"})"), std::string(R"({"name": "e.bin", "path": ""})"),
          R"({"name": ")" + longName + R"(", "path": "Data/x"})",
          R"({"name": "x.bin", "path": "Data/)" + longName + R"("})",
          std::string(R"({"name": "../x.bin", "path": "Data/x.bin"})"),
          std::string(R"({"name": "..", "path": "Data/x.bin"})"),
          std::string(R"({"name": "x.bin", "path": "../outside/x.bin"})"),
          std::string(R"({"name": "x.bin", "path": "/etc/x.bin"})"),
          std::string(R"({"name": "x.bin", "path": "Data\\..\\..\\x.bin"})"),
          std::string(R"({"name": "x.bin", "path": "C:/x.bin"})")})
    {
        CKZFileTimeCache cache;
        EXPECT_FALSE(cache.Initialize(Generate(261, "[" + good + "," + bad + "]").c_str(), nullptr, nullptr)) << bad;
        EXPECT_TRUE(cache.GetRawData().empty()) << bad;
    }
    CKZFileTimeCache cache;
    EXPECT_FALSE(cache.Initialize(Generate(260, R"([{"name": ""}])").c_str(), nullptr, nullptr));
    EXPECT_FALSE(cache.Initialize(Path("missing").c_str(), nullptr, nullptr));
    Write("short", std::string("\x05\x01\0\0", 4));
    EXPECT_FALSE(cache.Initialize(Path("short").c_str(), nullptr, nullptr));
    // A count far beyond the file's records fails at the end of the file.
    EXPECT_FALSE(cache.Initialize(Generate(261, R"({"count": 4000000000, "records": [{"name": "a", "path": "b"}]})")
                                      .c_str(),
                                  nullptr, nullptr));
}

TEST_F(KZFileTimeCacheTest, ArbitraryBytesNeverCrash)
{
    const std::string good = KZTestReadFile(Generate(261, std::string("[") + kFullRecord + "," +
                                                       R"({"name": "b.dat", "path": "Data/b.dat", "size": 77})" + "]"));
    std::mt19937 rng(21);
    for (int k = 0; k < 1500; ++k)
    {
        std::string bytes = good;
        if (k % 2)
            bytes.resize(rng() % (good.size() + 1));
        for (int flips = rng() % 4; flips > 0 && !bytes.empty(); --flips)
            bytes[rng() % bytes.size()] = static_cast<char>(rng());
        if (k % 7 == 0 && bytes.size() >= 4)
            bytes[0] = static_cast<char>(250 + rng() % 15); // other versions
        Write("fuzz.ccx", bytes);
        CKZFileTimeCache cache;
        if (!cache.Initialize(Path("fuzz.ccx").c_str(), nullptr, nullptr))
        {
            EXPECT_TRUE(cache.GetRawData().empty());
        }
        for (const auto& entry : cache.GetRawData())
            EXPECT_LE(entry.first.size(), 255u);
    }
}

TEST_F(KZFileTimeCacheTest, SaveCacheIsReadByTheGenerator)
{
    CKZFileTimeCache cache;
    ASSERT_TRUE(cache.Initialize(Generate(261, std::string("[") + kFullRecord + "," +
                                                   R"({"name": "z.txt", "path": "Data/z.txt", "prio": 2})" + "]")
                                     .c_str(),
                                 nullptr, nullptr));
    ASSERT_TRUE(cache.SaveCache(Path("saved.ccx").c_str()));
    const std::string json = KZTestRunCommand("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/catalogue_gen.py read " +
                                              Path("saved.ccx"));
    EXPECT_EQ(json, "[{\"csize\": 8, \"ecrc\": 4, \"high\": 2, \"low\": 1, \"name\": \"a.bin\", \"ocrc\": 3, "
                    "\"path\": \"Data/sub/a.bin\", \"prio\": -5, \"size\": 6, \"stage\": 10, \"user\": 7, \"zip\": 9}, "
                    "{\"csize\": 0, \"ecrc\": 0, \"high\": 0, \"low\": 0, \"name\": \"z.txt\", \"ocrc\": 0, "
                    "\"path\": \"Data/z.txt\", \"prio\": 2, \"size\": 0, \"stage\": 0, \"user\": 0, \"zip\": 0}]\n");
    CKZFileTimeCache reloaded;
    ASSERT_TRUE(reloaded.Initialize(Path("saved.ccx").c_str(), nullptr, nullptr));
    EXPECT_EQ(reloaded.GetRawData().size(), 2u);
}

TEST_F(KZFileTimeCacheTest, AddingAndTestingFiles)
{
    fs::create_directories(m_dir / "a");
    fs::create_directories(m_dir / "b");
    Write("a/x.bin", "exported");
    Write("b/x.tga", "original");
    Write("b/y.tga", "other");
    CKZFileTimeCache cache;
    EXPECT_EQ(cache.AddFile(Path("b/y.tga").c_str(), Path("a/x.bin").c_str(), 1, 0, "Data/x.bin", false),
              CKZFileTimeCache::RESULT_INVALID_NAME);
    EXPECT_EQ(cache.AddFile(Path("b/missing.tga").c_str(), Path("a/missing.bin").c_str(), 1, 0, "Data/x.bin", false),
              CKZFileTimeCache::RESULT_NOT_FOUND);
    ASSERT_EQ(cache.AddFile(Path("b/x.tga").c_str(), Path("a/x.bin").c_str(), 4, 0, "/Data/x.bin", false),
              CKZFileTimeCache::RESULT_OK);
    CKZFileDetails* r = cache.GetFileDetails("x.bin");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->m_strFilePath, "Data/x.bin") << "one leading '/' is dropped";
    EXPECT_EQ(r->m_dwSize, 8u);
    EXPECT_EQ(r->m_dwCompressedSize, 8u);
    EXPECT_EQ(r->m_dwOriginalCrc, CKZFile::GetChecksum(Path("b/x.tga").c_str()));
    EXPECT_EQ(r->m_dwExportedCrc, CKZFile::GetChecksum(Path("a/x.bin").c_str()));
    SKZFileTime written;
    CKZFile::GetFileTime(Path("a/x.bin").c_str(), nullptr, nullptr, &written);
    EXPECT_EQ(r->m_Time, written);

    // An update keeps compressed size, stage and zip.
    EXPECT_TRUE(cache.SetCompressedSize("any/x.bin", 3));
    EXPECT_TRUE(cache.SetDownloadStage(std::string("x.bin"), 2, std::string("dep")));
    Write("a/x.bin", "exported again");
    ASSERT_EQ(cache.AddFile(Path("b/x.tga").c_str(), Path("a/x.bin").c_str(), 4, 0, "Data/x.bin", false),
              CKZFileTimeCache::RESULT_OK);
    EXPECT_EQ(r->m_dwSize, 14u);
    EXPECT_EQ(r->m_dwCompressedSize, 3u);
    EXPECT_EQ(r->m_dwStage, 2u);
    EXPECT_EQ(r->m_strStagePath, "dep");
    EXPECT_EQ(cache.GetDownloadStage("x.bin"), 2u);
    EXPECT_EQ(cache.GetDownloadStage("nope.bin"), 0xFFFFFFFFu);

    EXPECT_EQ(cache.HasFileChanged(Path("a/unknown.bin").c_str(), 0), CKZFileTimeCache::RESULT_NOT_FOUND);
    // The test compares a file's bytes with the original's checksum.
    fs::create_directories(m_dir / "c");
    Write("c/x.bin", "original");
    EXPECT_EQ(cache.HasFileChanged(Path("c/x.bin").c_str(), 0), CKZFileTimeCache::RESULT_OK);
    EXPECT_EQ(cache.HasFileChanged(Path("a/x.bin").c_str(), 0), CKZFileTimeCache::RESULT_CHANGED);
    EXPECT_EQ(cache.HasFileChanged(Path("d/x.bin").c_str(), 0), CKZFileTimeCache::RESULT_MISSING);
    EXPECT_EQ(cache.GetLastError(), "File '" + Path("d/x.bin") + "' is missing form disc");
    EXPECT_EQ(cache.VerifyFilesize("x.bin", 14), CKZFileTimeCache::RESULT_OK);
    EXPECT_EQ(cache.VerifyFilesize("x.bin", 1), CKZFileTimeCache::RESULT_SIZE);
    EXPECT_EQ(cache.VerifyFilesize("y.bin", 1), CKZFileTimeCache::RESULT_MISSING);
    EXPECT_EQ(cache.VerifyChecksum("x.bin", r->m_dwOriginalCrc, true), CKZFileTimeCache::RESULT_OK);
    EXPECT_EQ(cache.VerifyChecksum("x.bin", r->m_dwOriginalCrc, false), CKZFileTimeCache::RESULT_CHECKSUM);
    EXPECT_TRUE(cache.SetPathRelativeToCacheFile("\\Other/x.bin"));
    EXPECT_EQ(r->m_strFilePath, "Other/x.bin");
    EXPECT_FALSE(cache.RemoveFile("X.BIN"));
    EXPECT_TRUE(cache.RemoveFile("x.bin"));
    EXPECT_TRUE(cache.GetRawData().empty());
}

TEST_F(KZFileTimeCacheTest, ExtensionlessNamesAreFiles)
{
    fs::create_directories(m_dir / "a");
    fs::create_directories(m_dir / "Data");
    Write("a/README", "exported");
    Write("Data/README", "original");
    CKZFileTimeCache cache;
    ASSERT_EQ(cache.AddFile(Path("Data/README").c_str(), Path("a/README").c_str(), 1, 0, "Data/README", false),
              CKZFileTimeCache::RESULT_OK);
    const CKZFileDetails* pRecord = cache.GetFileDetails("README");
    ASSERT_NE(pRecord, nullptr);
    EXPECT_EQ(pRecord->m_strFilePath, "Data/README");
    EXPECT_EQ(pRecord->GetPath(CKZPath(m_dir.string())).GetString(), Path("Data/README"));
    EXPECT_EQ(cache.HasFileChanged(Path("Data/README").c_str(), 0), CKZFileTimeCache::RESULT_OK);
    ASSERT_TRUE(cache.SaveZipInfo(Path("zips.txt"), m_dir.string()));
    EXPECT_NE(KZTestReadFile(m_dir / "zips.txt").find(Path("Data/README") + "\t0\t0\t\n"), std::string::npos);

    CKZFileTimeCache loaded;
    ASSERT_TRUE(loaded.Initialize(Generate(261, R"([{"name": "LICENSE", "path": "Data/LICENSE"}])").c_str(), nullptr,
                                  nullptr));
    ASSERT_NE(loaded.GetFileDetails("LICENSE"), nullptr);
    EXPECT_EQ(loaded.GetFileDetails("LICENSE")->m_strFilePath, "Data/LICENSE");
}

TEST_F(KZFileTimeCacheTest, ZipSplitAndReports)
{
    CKZFileTimeCache cache;
    ASSERT_TRUE(cache.Initialize(Generate(261, R"([{"name": "a.bin", "path": "D/a.bin", "size": 60, "csize": 30},
                                                   {"name": "b.bin", "path": "D/b.bin", "size": 60, "csize": 30},
                                                   {"name": "c.bin", "path": "D/c.bin", "size": 60, "csize": 30},
                                                   {"name": "C.BIN", "path": "D/C.BIN", "size": 120, "stage": 1}])")
                                     .c_str(),
                                 nullptr, nullptr));
    cache.ZipSplit(100);
    EXPECT_EQ(cache.GetFileDetails("a.bin")->m_dwZipIndex + cache.GetFileDetails("b.bin")->m_dwZipIndex +
                  cache.GetFileDetails("c.bin")->m_dwZipIndex,
              1u) << "60, 60, 60 against 100: zips 0, 0, 1";
    EXPECT_EQ(cache.GetFileDetails("C.BIN")->m_dwZipIndex, 2u) << "stage 1 starts a zip of its own after stage 0";

    ASSERT_TRUE(cache.SaveZipInfo(Path("zips.txt"), m_dir.string()));
    const std::string zips = KZTestReadFile(m_dir / "zips.txt");
    EXPECT_EQ(zips.substr(0, zips.find('\n')), "file\tstage\tzipIndex\tdependee");
    EXPECT_EQ(std::count(zips.begin(), zips.end(), '\n'), 4) << "C.BIN and c.bin make one line";
    EXPECT_NE(zips.find(m_dir.string() + "/D/C.BIN\t1\t2\t\n"), std::string::npos) << zips;

    ASSERT_TRUE(cache.SaveDownloadStageInfo(Path("stages.txt")));
    EXPECT_EQ(KZTestReadFile(m_dir / "stages.txt"),
              "stage\tsize\tcompressedSize\tPercentage\n0\t180\t90\t60\n1\t120\t0\t40\n");
    EXPECT_TRUE(cache.SaveZipInfo("", "/"));
}

TEST_F(KZFileTimeCacheTest, ZipSplitOfLargeFilesDoesNotWrapBelowTheLimit)
{
    CKZFileTimeCache cache;
    ASSERT_TRUE(cache.Initialize(Generate(261, R"([{"name": "a.bin", "path": "D/a.bin", "size": 1500000000},
                                                   {"name": "b.bin", "path": "D/b.bin", "size": 1500000000},
                                                   {"name": "c.bin", "path": "D/c.bin", "size": 1500000000}])")
                                     .c_str(),
                                 nullptr, nullptr));
    cache.ZipSplit(2000000000);
    EXPECT_EQ(cache.GetFileDetails("a.bin")->m_dwZipIndex, 0u);
    EXPECT_EQ(cache.GetFileDetails("b.bin")->m_dwZipIndex, 0u);
    EXPECT_EQ(cache.GetFileDetails("c.bin")->m_dwZipIndex, 1u) << "3000000000 bytes are over the limit";
}

TEST_F(KZFileTimeCacheTest, KeyedFormRoundTrip)
{
    CKZFileTimeCache cache;
    ASSERT_TRUE(cache.Initialize(Generate(261, std::string("[") + kFullRecord + "," +
                                                   R"({"name": "Skip.me", "path": "Data/Skip.me"})" + "]")
                                     .c_str(),
                                 nullptr, nullptr));
    CKZSerializer save;
    EXPECT_EQ(cache.Serialize(&save, nullptr), 2u);
    std::vector<char> image(8);
    const uint32_t header[2] = {save.GetNodeCount(), 3};
    memcpy(image.data(), header, 8);
    const char* pNodes = reinterpret_cast<const char*>(save.GetNodeBuffer());
    image.insert(image.end(), pNodes, pNodes + save.GetNodeBufferSize());
    const char* pContent = reinterpret_cast<const char*>(save.GetContentBuffer());
    image.insert(image.end(), pContent, pContent + save.GetContentBufferSize());

    CKZSerializer load(image.data(), image.size());
    CKZFileTimeCache loaded;
    const std::vector<std::string> ignore = {"Skip"};
    EXPECT_EQ(loaded.Serialize(&load, &ignore), 2u);
    ASSERT_EQ(loaded.GetRawData().size(), 1u);
    const CKZFileDetails* r = loaded.GetFileDetails("a.bin");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->m_strFilePath, "Data/sub/a.bin");
    EXPECT_EQ(r->m_iPrio, -5);
    EXPECT_EQ(r->m_Time.highDatetime, 2u);
    EXPECT_EQ(r->m_dwZipIndex, 9u);
}

namespace
{
// A catalogue in the serializer's XML form, written by hand.
const char kKeyedCatalogueXml[] = R"(<?xml version="1.0"?>
<root>
	<version>3</version>
	<object>
		<uint key="count">2</uint>
		<object>
			<string key="name">a.bin</string>
			<string key="path">Data/sub/a.bin</string>
			<object key="time">
				<uint key="filetime.lowDatetime">1</uint>
				<uint key="filetime.highDatetime">2</uint>
			</object>
			<int key="prio">-5</int>
			<uint key="zip_index">9</uint>
		</object>
		<object>
			<string key="name">README</string>
			<string key="path">Data/README</string>
			<uint key="size">6</uint>
		</object>
	</object>
</root>)";

// A key of the thread's own, declared on first use like the catalogue's member keys, so that
// registrations run beside the look-ups whatever ran before in this process.
template <int N>
void DeclareThreadKey()
{
    static const std::string s_strName = "cache.concurrent" + std::to_string(N);
    static const CKZKey s_key(KZEngine::Hash(s_strName.c_str()), s_strName.c_str(), __FILE__, __LINE__);
}

// Loads the catalogue file, the XML image and its binary form again and again. Returns the step
// whose result differs from what the inputs hold, or an empty text.
std::string LoadEverything(const std::string& strCatalogue, const std::string& strXml, const std::string& strBinary)
{
    for (int i = 0; i < 20; ++i)
    {
        CKZFileTimeCache fromFile;
        if (!fromFile.Initialize(strCatalogue.c_str(), nullptr, nullptr) || fromFile.GetRawData().size() != 2)
            return "catalogue file";

        CKZFile xml;
        std::unique_ptr<CKZSerializer> pImage;
        if (!xml.OpenInMemory(strXml.c_str()) || CKZFileParser::Load(xml, pImage) != CKZFileParser::LOAD_OK)
            return "XML load";
        CKZFileTimeCache fromXml;
        const CKZFileDetails* pRecord = fromXml.Serialize(pImage.get(), nullptr) == 2 ? fromXml.GetFileDetails("a.bin")
                                                                                      : nullptr;
        if (!pRecord || pRecord->m_iPrio != -5 || pRecord->m_Time.highDatetime != 2 || pRecord->m_dwZipIndex != 9)
            return "records of the XML image";

        // Saved again in both forms: names are looked up by id for the XML text.
        CKZSerializer save;
        fromXml.Serialize(&save, nullptr);
        if (!CKZFileParser::Save(CKZPath(strBinary.c_str()), save) ||
            !CKZFileParser::Save(CKZPath((strBinary + ".xml").c_str()), save))
            return "saving";
        CKZFile binary;
        if (!binary.OpenInMemory(strBinary.c_str()) || CKZFileParser::Load(binary, pImage) != CKZFileParser::LOAD_OK)
            return "binary load";
        CKZFileTimeCache fromBinary;
        pRecord = fromBinary.Serialize(pImage.get(), nullptr) == 2 ? fromBinary.GetFileDetails("README") : nullptr;
        if (!pRecord || pRecord->m_dwSize != 6 || pRecord->m_strFilePath != "Data/README")
            return "records of the binary image";
    }
    return "";
}
} // namespace

// Its own suite, so that the thread-sanitizer run picks it with the other multi-threaded tests.
class KZConcurrentCatalogueLoads : public KZFileTimeCacheTest
{
};

TEST_F(KZConcurrentCatalogueLoads, FourThreadsLoadCataloguesAndImages)
{
    const std::string strCatalogue = Generate(261, std::string("[") + kFullRecord + R"(, {"name": "README", "path": "Data/README"}])");
    Write("image.xml", kKeyedCatalogueXml);
    std::atomic<bool> go{false};
    std::string failedSteps[4];
    auto loader = [&](void (*declare)(), int thread) {
        while (!go)
            std::this_thread::yield();
        declare();
        failedSteps[thread] = LoadEverything(strCatalogue, Path("image.xml"), Path("image" + std::to_string(thread) + ".bin"));
    };
    std::vector<std::thread> threads;
    threads.emplace_back(loader, DeclareThreadKey<0>, 0);
    threads.emplace_back(loader, DeclareThreadKey<1>, 1);
    threads.emplace_back(loader, DeclareThreadKey<2>, 2);
    threads.emplace_back(loader, DeclareThreadKey<3>, 3);
    go = true;
    for (std::thread& thread : threads)
        thread.join();
    for (const std::string& strFailedStep : failedSteps)
        EXPECT_EQ(strFailedStep, "");
}

TEST_F(KZFileTimeCacheTest, FuzzedRecordCountEndsAtTheContainers)
{
    // Found by fuzzing: a count of 0xFFFFFFFF over a single record container looped for ever,
    // both from the binary image and from its XML form.
    const std::string strCorpus = std::string(KZ_SOURCE_DIR) + "/Tests/Fuzz/corpus/";
    std::string strImage = KZTestReadFile(strCorpus + "fuzz_serializer/catalogue-count-loop.bin");
    ASSERT_FALSE(strImage.empty());
    CKZSerializer image(&strImage[0], strImage.size());
    CKZFileTimeCache fromImage;
    EXPECT_LE(fromImage.Serialize(&image, nullptr), 1u);

    CKZFile xmlFile;
    ASSERT_TRUE(xmlFile.OpenInMemory((strCorpus + "fuzz_xml/catalogue-count-loop.xml").c_str()));
    std::unique_ptr<CKZSerializer> pXml;
    ASSERT_EQ(CKZFileParser::Load(xmlFile, pXml), CKZFileParser::LOAD_OK);
    CKZFileTimeCache fromXml;
    EXPECT_EQ(fromXml.Serialize(pXml.get(), nullptr), 1u);
}
