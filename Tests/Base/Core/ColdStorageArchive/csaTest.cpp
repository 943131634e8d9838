#include "Base/Core/ColdStorageArchive/csa.h"

#include "Base/Debug/KZLog.h"
#include "Fixtures/KZTestEvents.h"
#include "Fixtures/KZTestFiles.h"
#include "Fixtures/KZTestCommand.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
std::string ReadAll(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string Crc(const std::string& strBytes)
{
    char szText[16];
    snprintf(szText, sizeof(szText), "%08lx",
             crc32(0L, reinterpret_cast<const Bytef*>(strBytes.data()), static_cast<uInt>(strBytes.size())));
    return szText;
}

std::string RandomBytes(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string strBytes(size, '\0');
    for (char& c : strBytes)
        c = static_cast<char>(rng());
    return strBytes;
}

// Reads one stored file through the container's stream.
std::string ReadStored(void* csa, const CSA_FILEINFO* pInfo)
{
    std::fstream* pStream = csaGetFileStream(csa, pInfo);
    if (!pStream)
        return "<no stream>";
    std::string strBytes(pInfo->dwlength, '\0');
    pStream->read(&strBytes[0], pInfo->dwlength);
    return pStream->gcount() == std::streamsize(pInfo->dwlength) ? strBytes : "<short read>";
}

class csaTest : public CKZTestWithDirectory
{
protected:
    csaTest() : CKZTestWithDirectory("kzcsa") {}

    void Write(const std::string& strName, const std::string& strContent) const
    {
        std::ofstream(m_dir / strName, std::ios::binary) << strContent;
    }
    // Writes a container with the independent generator from a JSON description.
    std::string Generate(const std::string& strDescriptionJson, const std::string& strName = "g.csa")
    {
        Write("container.json", strDescriptionJson);
        const std::string strCommand = "python3 " KZ_SOURCE_DIR "/Tests/Fixtures/csa_gen.py write " + Path(strName) +
                                       " " + Path("container.json");
        EXPECT_EQ(system(strCommand.c_str()), 0) << strCommand;
        return Path(strName);
    }
    // The generator's reading of a container: its listing, ending in "ok" when nothing is wrong.
    std::string Inspect(const std::string& strPath, bool bNodes = false)
    {
        return KZTestRunCommand("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/csa_gen.py read " + strPath +
                                (bNodes ? " --nodes" : ""));
    }
    // Stores the named files (written beforehand under m_dir) with csaWriteFile.
    bool Store(const std::string& strPath, const std::vector<std::pair<std::string, std::string>>& vecFiles,
               unsigned short alignment, unsigned int version = 256, unsigned short mode = 0)
    {
        void* csa = csaCreate(strPath.c_str(), version, mode, alignment);
        if (!csa)
            return false;
        void* list = csaCreateGroceryList();
        for (const auto& file : vecFiles)
            EXPECT_TRUE(csaAddGrocery(list, file.first.c_str(), Path(file.second).c_str()));
        const bool bStored = csaStoreGroceryList(csa, list, csaWriteFile);
        csaDestroyGroceryList(list);
        return bStored && csaClose(csa);
    }
};

std::string FileLine(int index, uint32_t offset, const std::string& strBytes, const SKZFileTime& time,
                     const std::string& strPath)
{
    return "file\t" + std::to_string(index) + "\t" + std::to_string(offset) + "\t" +
           std::to_string(strBytes.size()) + "\t" + Crc(strBytes) + "\t" + std::to_string(time.lowDatetime) + "\t" +
           std::to_string(time.highDatetime) + "\t" + strPath + "\n";
}
} // namespace

TEST_F(csaTest, GeneratedContainersOpenAndReadByteExact)
{
    const std::string strA = "0123456789"; // 10 bytes: filled to 16
    const std::string strB = RandomBytes(4000, 7);
    const std::string strC = "xy";
    const std::string strFiles = R"([{"path": "Data\\Textures\\Foo.dds", "hex": ")" + KZTestHex(strA) +
                                 R"(", "low": 4000000000, "high": 30000000},
        {"path": "abc", "hex": ")" + KZTestHex(strB) + R"(", "low": 1},
        {"path": "Data\\empty.bin", "hex": ""},
        {"path": "Data\\c", "hex": ")" + KZTestHex(strC) + R"(", "high": 9}])";
    // The same container in the usual node order, with every container's values reversed, and in
    // the old image layout: look-ups go by key, not by position.
    for (const char* szVariant : {"", R"("order": "reverse",)", R"("layout": 0,)"})
    {
        SCOPED_TRACE(szVariant);
        const std::string strPath = Generate(std::string("{") + szVariant +
                                             R"("version": 300, "mode": 5, "alignment": 16, "files": )" + strFiles +
                                             "}");
        void* csa = csaOpen(strPath.c_str());
        ASSERT_NE(csa, nullptr) << csaGetLastMessage();
        EXPECT_STREQ(csaGetLastMessage(), "Success.");

        CSA_HEADER header;
        ASSERT_TRUE(csaGetHeader(csa, &header));
        EXPECT_EQ(header.dwmagic, 0x4B454547u);
        EXPECT_EQ(header.dwfileversion, 300u);
        EXPECT_EQ(header.dwfilestart, 0u);
        EXPECT_EQ(header.wmode, 5u);
        EXPECT_EQ(header.walignment, 16u);
        ASSERT_EQ(csaGetNumFiles(csa), 4u);

        const CSA_FILEINFO* pA = csaGetFileInfo(csa, 0);
        ASSERT_NE(pA, nullptr);
        EXPECT_EQ(pA->m_strPath, "Data\\Textures\\Foo.dds");
        EXPECT_EQ(pA->dwoffset, 0u);
        EXPECT_EQ(pA->dwlength, 10u);
        EXPECT_EQ(pA->filetime.lowDatetime, 4000000000u);
        EXPECT_EQ(pA->filetime.highDatetime, 30000000u);
        char szCrc[16];
        snprintf(szCrc, sizeof(szCrc), "%08x", pA->dwchecksum);
        EXPECT_EQ(szCrc, Crc(strA));
        EXPECT_EQ(ReadStored(csa, pA), strA);

        const CSA_FILEINFO* pB = csaGetFileInfo(csa, 1);
        EXPECT_EQ(std::string(csaGetFileName(csa, 1)), "abc");
        EXPECT_EQ(pB->dwoffset, 16u);
        EXPECT_EQ(ReadStored(csa, pB), strB);
        EXPECT_EQ(csaGetFileInfo(csa, 2)->dwoffset, 4016u);
        EXPECT_EQ(csaGetFileInfo(csa, 2)->dwlength, 0u);
        EXPECT_EQ(csaGetFileInfo(csa, 3)->dwoffset, 4016u);
        EXPECT_EQ(csaGetFileInfo(csa, 3)->filetime.highDatetime, 9u);

        // Case-insensitive look-up by internal path; the stream stands at the file's first byte.
        std::fstream* pStream = csaFindFileStream(csa, "DATA\\C");
        ASSERT_NE(pStream, nullptr);
        char buffer[2];
        pStream->read(buffer, 2);
        EXPECT_EQ(std::string(buffer, 2), strC);
        EXPECT_EQ(csaFindFileStream(csa, "Data\\missing"), nullptr);
        EXPECT_TRUE(csaClose(csa));
    }
}

TEST_F(csaTest, StoredContainersPassTheGeneratorsReader)
{
    const std::string strA = "0123456789";
    const std::string strB = RandomBytes(70000, 3);
    Write("a.txt", strA);
    Write("empty.dat", "");
    Write("b.bin", strB);
    const std::string strRoot = m_dir.string();
    const std::string strInternalA = csaGetInternalPath(Path("a.txt"), strRoot);
    EXPECT_EQ(strInternalA, "a.txt");
    fs::create_directories(m_dir / "Data" / "Sub");
    Write("Data/Sub/b.bin", strB);
    const std::string strInternalB = csaGetInternalPath(Path("Data/Sub/b.bin"), strRoot);
    EXPECT_EQ(strInternalB, "Data\\Sub\\b.bin");

    ASSERT_TRUE(Store(Path("p.csa"), {{strInternalA, "a.txt"}, {"e", "empty.dat"}, {strInternalB, "Data/Sub/b.bin"}},
                      16, 256, 3));
    SKZFileTime timeA, timeE, timeB;
    ASSERT_TRUE(CKZFile::GetFileTime(Path("a.txt").c_str(), &timeA, nullptr, nullptr));
    ASSERT_TRUE(CKZFile::GetFileTime(Path("empty.dat").c_str(), &timeE, nullptr, nullptr));
    ASSERT_TRUE(CKZFile::GetFileTime(Path("Data/Sub/b.bin").c_str(), &timeB, nullptr, nullptr));
    EXPECT_NE(timeA.Get(), 0u);
    EXPECT_EQ(Inspect(Path("p.csa")), "header\t1262830919\t256\t0\t3\t16\t3\n" + FileLine(0, 0, strA, timeA, strInternalA) +
                                          FileLine(1, 16, "", timeE, "e") +
                                          FileLine(2, 16, strB, timeB, strInternalB) + "ok\n");
    EXPECT_EQ(fs::file_size(Path("p.csa")), 16u + 70000u);

    // With alignment 1 nothing is filled, and our reader agrees with what we wrote.
    ASSERT_TRUE(Store(Path("q.csa"), {{"a.txt", "a.txt"}, {"b.bin", "b.bin"}}, 1));
    EXPECT_EQ(Inspect(Path("q.csa")), "header\t1262830919\t256\t0\t0\t1\t2\n" + FileLine(0, 0, strA, timeA, "a.txt") +
                                          FileLine(1, 10, strB, timeB, "b.bin") + "ok\n");
    void* csa = csaOpen(Path("q.csa").c_str());
    ASSERT_NE(csa, nullptr);
    EXPECT_EQ(ReadStored(csa, csaGetFileInfo(csa, 1)), strB);
    // A read past the data file's end does not spoil the next look-up.
    std::fstream* pStream = csaGetFileStream(csa, csaGetFileInfo(csa, 1));
    std::vector<char> tooMuch(strB.size() + 100);
    pStream->read(tooMuch.data(), std::streamsize(tooMuch.size()));
    EXPECT_EQ(ReadStored(csa, csaGetFileInfo(csa, 0)), strA);
    EXPECT_TRUE(csaClose(csa));
}

TEST_F(csaTest, EmptyListStoresOnlyTheHeaderValues)
{
    ASSERT_TRUE(Store(Path("e.csa"), {}, 1));
    EXPECT_EQ(fs::file_size(Path("e.csa")), 0u);
    // Zeros (dwfilestart, wmode, dwnumfiles, vec.size) are left out; the vector's container stays.
    EXPECT_EQ(Inspect(Path("e.csa"), true), "node\t0\t-\t100\tffffffff\n"
                                            "node\t1\tcsaheader.dwmagic\ta02\t4b454547\n"
                                            "node\t2\tcsaheader.dwfileversion\ta02\t100\n"
                                            "node\t3\tcsaheader.walignment\ta10\t1\n"
                                            "node\t4\tcsadirectory.pfileinfo\t100\t0\n"
                                            "header\t1262830919\t256\t0\t0\t1\t0\n"
                                            "ok\n");
    void* csa = csaOpen(Path("e.csa").c_str());
    ASSERT_NE(csa, nullptr) << csaGetLastMessage();
    EXPECT_EQ(csaGetNumFiles(csa), 0u);
    EXPECT_EQ(csaGetFileName(csa, 0), nullptr);
    EXPECT_TRUE(csaExtractAllStream(csa, Path("out").c_str()));
    EXPECT_TRUE(csaClose(csa));
}

TEST_F(csaTest, HandlesAndArgumentsAreChecked)
{
    EXPECT_EQ(csaCreate(Path("x.csa").c_str(), 256, 0, 0), nullptr);
    EXPECT_STREQ(csaGetLastMessage(), "Unknown error.");
    EXPECT_FALSE(csaClose(nullptr));
    EXPECT_STREQ(csaGetLastMessage(), "Attempt to close closed file.");
    EXPECT_EQ(csaGetNumFiles(nullptr), 0xFFFFFFFFu);
    // Null handles are refused without touching memory.
    CSA_HEADER header;
    EXPECT_FALSE(csaGetHeader(nullptr, &header));
    EXPECT_EQ(csaGetDirectory(nullptr), nullptr);
    EXPECT_EQ(csaGetFileStream(nullptr, nullptr), nullptr);
    EXPECT_FALSE(csaDestroyGroceryList(nullptr));
    EXPECT_FALSE(csaAddGrocery(nullptr, "a", "b"));
    EXPECT_FALSE(csaExtractAllStream(nullptr, "d"));

    // An opened container is read-only, and extraction is not provided.
    Write("a", "abc");
    ASSERT_TRUE(Store(Path("r.csa"), {{"a", "a"}}, 4));
    void* csa = csaOpen(Path("r.csa").c_str());
    ASSERT_NE(csa, nullptr);
    EXPECT_EQ(csaGetFileStream(csa, nullptr), nullptr);
    EXPECT_STREQ(csaGetLastMessage(), "Bad pointer.");
    EXPECT_EQ(csaGetFileName(csa, 1), nullptr);
    void* list = csaCreateGroceryList();
    EXPECT_FALSE(csaStoreGroceryList(csa, list, csaWriteFile));
    EXPECT_STREQ(csaGetLastMessage(), "Invalid file.");
    EXPECT_FALSE(csaExtractAllStream(csa, Path("out").c_str()));
    EXPECT_STREQ(csaGetLastMessage(), "Write error.");
    EXPECT_TRUE(csaDestroyGroceryList(list));
    EXPECT_TRUE(csaClose(csa));
}

TEST_F(csaTest, GroceriesWarnOfForwardSlashesAndCutLongTexts)
{
    Write("a", "1");
    void* list = csaCreateGroceryList();
    {
        CKZTestEventRecorder recorder;
        EXPECT_TRUE(csaAddGrocery(list, "Data/a", Path("a").c_str()));
        const auto events = recorder.Events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].type, CKZLog::EVENT_ASSERT);
        EXPECT_EQ(events[0].line, 857u);
        EXPECT_EQ(events[0].function, "csaAddGrocery");
        EXPECT_EQ(events[0].file, "Source/Base/Core/ColdStorageArchive/csa");
        EXPECT_EQ(events[0].expression, "string(szRelative).find(\"/\") == string::npos");
        EXPECT_EQ(events[0].message, "PackedFile paths should not contain forward slashes!");
    }
    const std::string strLong(1500, 'n');
    EXPECT_TRUE(csaAddGrocery(list, strLong.c_str(), Path("a").c_str()));
    EXPECT_FALSE(csaAddGrocery(list, nullptr, "x"));
    EXPECT_STREQ(csaGetLastMessage(), "Bad pointer.");

    // The store callback sees each grocery with its index and the count; the slash entry was kept.
    static std::vector<std::string> s_seen;
    s_seen.clear();
    csaSetOnStoreGroceryCallback([](CSA_GROCERYINFO* pInfo, unsigned int index, unsigned int count) {
        s_seen.push_back(std::string(pInfo->szInternalPath) + "|" + pInfo->szSourcePath + "|" +
                         std::to_string(index) + "/" + std::to_string(count));
    });
    void* csa = csaCreate(Path("s.csa").c_str(), 256, 0, 1);
    ASSERT_NE(csa, nullptr);
    EXPECT_TRUE(csaStoreGroceryList(csa, list, csaWriteFile));
    csaSetOnStoreGroceryCallback(nullptr);
    ASSERT_EQ(s_seen.size(), 2u);
    EXPECT_EQ(s_seen[0], "Data/a|" + Path("a") + "|0/2");
    EXPECT_EQ(s_seen[1], std::string(1023, 'n') + "|" + Path("a") + "|1/2");
    EXPECT_EQ(csaGetDirectory(csa)->pfileinfo[1].m_strPath.size(), 1023u);
    EXPECT_TRUE(csaClose(csa));
    csaDestroyGroceryList(list);
}

TEST_F(csaTest, FailedStoresDestroyTheContainer)
{
    Write("a", "abcdef");
    void* list = csaCreateGroceryList();
    csaAddGrocery(list, "a", Path("a").c_str());
    csaAddGrocery(list, "b", Path("a").c_str());

    // A write function that fails on the second file.
    int calls = 0;
    void* csa = csaCreate(Path("f.csa").c_str(), 256, 0, 1);
    EXPECT_FALSE(csaStoreGroceryList(csa, list, [&](void* c, void* g, CSA_LENGTHS& l, CSA_FILEINFO& i) {
        return ++calls < 2 && csaWriteFile(c, g, l, i);
    }));
    EXPECT_STREQ(csaGetLastMessage(), "Write error.");
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(fs::file_size(Path("f.csaheader")), 0u);

    // A filled length that does not fit the 31-bit offsets is refused before it is recorded.
    csa = csaCreate(Path("g.csa").c_str(), 256, 0, 1);
    EXPECT_FALSE(csaStoreGroceryList(csa, list, [](void*, void*, CSA_LENGTHS& l, CSA_FILEINFO&) {
        l = CSA_LENGTHS(1, 0x80000000u);
        return true;
    }));
    EXPECT_STREQ(csaGetLastMessage(), "Write error.");

    // A missing source file.
    void* missing = csaCreateGroceryList();
    csaAddGrocery(missing, "m", Path("missing").c_str());
    csa = csaCreate(Path("m.csa").c_str(), 256, 0, 1);
    EXPECT_FALSE(csaStoreGroceryList(csa, missing, csaWriteFile));
    csaDestroyGroceryList(missing);

    // Data that cannot reach the disk fails the store, even when it is only found at the flush.
    fs::create_symlink("/dev/full", m_dir / "full.csa");
    csa = csaCreate(Path("full.csa").c_str(), 256, 0, 1);
    ASSERT_NE(csa, nullptr);
    EXPECT_FALSE(csaStoreGroceryList(csa, list, csaWriteFile));
    EXPECT_STREQ(csaGetLastMessage(), "Write error.");

    // A second store on a stored container fails at its first file (the data file is closed).
    csa = csaCreate(Path("twice.csa").c_str(), 256, 0, 1);
    ASSERT_TRUE(csaStoreGroceryList(csa, list, csaWriteFile));
    EXPECT_FALSE(csaStoreGroceryList(csa, list, csaWriteFile));
    csaDestroyGroceryList(list);
}

TEST_F(csaTest, BrokenContainersAreRefused)
{
    const std::string strFile = R"({"path": "a", "hex": "00112233445566778899"})";
    Generate(R"({"magic": 1234, "files": [)" + strFile + "]}", "magic.csa");
    EXPECT_EQ(csaOpen(Path("magic.csa").c_str()), nullptr);
    EXPECT_STREQ(csaGetLastMessage(), "Invalid file.");

    Write("noheader.csa", "x");
    EXPECT_EQ(csaOpen(Path("noheader.csa").c_str()), nullptr);
    EXPECT_STREQ(csaGetLastMessage(), "Unable to open file.");
    EXPECT_EQ(csaOpen(Path("nothing.csa").c_str()), nullptr);
    EXPECT_STREQ(csaGetLastMessage(), "Unable to open file.");

    // Entries must lie inside the data file, and the count must match the entries.
    for (const std::string& strDescription :
         {std::string(R"({"files": [{"path": "a", "hex": "0011", "length": 3}]})"),
          std::string(R"({"files": [{"path": "a", "hex": "0011", "offset": 4294967295, "length": 2}]})"),
          R"({"numfiles": 5, "files": [)" + strFile + "]}",
          R"({"vecsize": 0, "files": [)" + strFile + "]}"})
    {
        Generate(strDescription, "bad.csa");
        EXPECT_EQ(csaOpen(Path("bad.csa").c_str()), nullptr) << strDescription;
        EXPECT_STREQ(csaGetLastMessage(), "Invalid file.");
    }
}

// Truncated and mutated header files: csaOpen refuses them or opens a container whose every entry
// can be read inside the data file.
TEST_F(csaTest, DamagedHeadersNeverCrashTheOpen)
{
    const std::string strFiles =
        R"([{"path": "Data\\one.bin", "hex": ")" + KZTestHex(RandomBytes(40, 1)) + R"(", "low": 7, "high": 8},
            {"path": "ab", "hex": "0102"}, {"path": "Data\\three", "hex": ")" + KZTestHex(RandomBytes(33, 2)) + R"("}])";
    const std::string strPath = Generate(R"({"alignment": 8, "files": )" + strFiles + "}");
    const std::string strHeader = ReadAll(strPath + "header");
    ASSERT_GT(strHeader.size(), 100u);
    const std::string strData = ReadAll(strPath);

    auto tryOpen = [&](const std::string& strDamaged) {
        Write("g.csaheader", strDamaged);
        void* csa = csaOpen(strPath.c_str());
        if (!csa)
            return 0;
        for (unsigned int i = 0; i < csaGetNumFiles(csa); ++i)
        {
            const CSA_FILEINFO* pInfo = csaGetFileInfo(csa, i);
            EXPECT_LE(uint64_t(pInfo->dwoffset) + pInfo->dwlength, strData.size());
            EXPECT_EQ(ReadStored(csa, pInfo), strData.substr(pInfo->dwoffset, pInfo->dwlength));
        }
        EXPECT_TRUE(csaClose(csa));
        return 1;
    };
    int opened = 0;
    for (size_t length = 0; length < strHeader.size(); ++length)
        opened += tryOpen(strHeader.substr(0, length));
    std::mt19937 rng(12345);
    for (int round = 0; round < 3000; ++round)
    {
        std::string strDamaged = strHeader;
        for (int changes = 1 + rng() % 4; changes > 0; --changes)
        {
            const size_t at = rng() % strDamaged.size();
            if (rng() % 2 && at + 4 <= strDamaged.size())
            {
                const uint32_t word = rng() % 3 == 0 ? 0xFFFFFFFFu : rng() % 64;
                memcpy(&strDamaged[at & ~size_t(3)], &word, 4);
            }
            else
                strDamaged[at] = static_cast<char>(rng());
        }
        opened += tryOpen(strDamaged);
    }
    EXPECT_EQ(tryOpen(strHeader), 1);
    EXPECT_GT(opened, 0);
}

TEST(csaPath, InternalPathsAndTheirPieces)
{
    EXPECT_EQ(csaGetInternalPath("/game/PackFiles/Data/Foo.dds", "/game/PackFiles"), "Data\\Foo.dds");
    EXPECT_EQ(csaGetInternalPath("/GAME/packfiles/Data/Foo.dds", "/game/PackFiles/"), "Data\\Foo.dds");
    EXPECT_EQ(csaGetInternalPath("/elsewhere/Data/Foo.dds", "/game/PackFiles"), "elsewhere\\Data\\Foo.dds");
    EXPECT_EQ(csaGetInternalPath("Data\\Foo.dds", ""), "Data\\Foo.dds");

    std::string strRelative, strNormalised, strName, strExtension;
    csaParsePath(strRelative, strNormalised, strName, strExtension, "/game//PackFiles\\Data/Foo.dds", "/game/PackFiles");
    EXPECT_EQ(strRelative, "Data\\Foo.dds");
    EXPECT_EQ(strNormalised, "/game/PackFiles/Data/Foo.dds");
    EXPECT_EQ(strName, "Foo.dds");
    EXPECT_EQ(strExtension, "dds");
    // A directory: no extension, and the name is the last directory's.
    csaParsePath(strRelative, strNormalised, strName, strExtension, "/game/PackFiles/Data/Sub/", "/game/PackFiles");
    EXPECT_EQ(strRelative, "Data\\Sub");
    EXPECT_EQ(strNormalised, "/game/PackFiles/Data/Sub");
    EXPECT_EQ(strName, "Sub");
    EXPECT_EQ(strExtension, "");
}
