// The pack file archive over containers written by the independent generator, its I/O interface,
// and patch runs checked by reopening the directory and by the generator's reader.

#include "System/KZPackFileArchive.h"

#include "Base/Platform/KZPlatform.h"
#include "Fixtures/KZFaultyWrites.h"
#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestEvents.h"
#include "Fixtures/KZTestFiles.h"
#include "System/KZPackRebuilder.h"
#include "System/Util/KZFileTimeCache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

namespace fs = std::filesystem;

namespace
{
struct SFile
{
    std::string path; // internal path
    std::string data;
};

uint32_t Crc(const std::string& strBytes)
{
    return static_cast<uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(strBytes.data()), static_cast<uInt>(strBytes.size())));
}

std::string JsonText(const std::string& strText)
{
    std::string strOut = "\"";
    for (char c : strText)
    {
        if (c == '\\' || c == '"')
            strOut += '\\';
        strOut += c;
    }
    return strOut + "\"";
}

ino_t Inode(const fs::path& path)
{
    struct stat info = {};
    stat(path.c_str(), &info);
    return info.st_ino;
}

std::string RandomBytes(std::mt19937& rng, size_t size)
{
    std::string strBytes(size, '\0');
    for (char& c : strBytes)
        c = static_cast<char>(rng());
    return strBytes;
}

// Files f0.bin, f1.bin, ... of random bytes.
std::vector<SFile> RandomFiles(std::mt19937& rng, int count, size_t size)
{
    std::vector<SFile> files;
    for (int i = 0; i < count; ++i)
        files.push_back({"f" + std::to_string(i) + ".bin", RandomBytes(rng, size)});
    return files;
}

uint64_t Filled(uint64_t qwLength, uint64_t qwAlignment)
{
    return (qwLength + qwAlignment - 1) / qwAlignment * qwAlignment;
}

class KZPackFileArchiveTest : public CKZTestWithDirectory
{
protected:
    KZPackFileArchiveTest() : CKZTestWithDirectory("kzpack") {}
    void SetUp() override
    {
        CKZTestWithDirectory::SetUp();
        fs::create_directories(m_dir / "PackFiles");
        fs::create_directories(m_dir / "Data");
    }

    std::string PackDir() const { return (m_dir / "PackFiles").string() + "/"; }
    std::string DataDir() const { return (m_dir / "Data").string() + "/"; }
    fs::path PackPath(int index) const { return m_dir / "PackFiles" / CKZPackFileArchive::CreateFileName(index, "p", "csa"); }

    // Pack `index` written by the generator; `extra` adds description keys (",\"alignment\": 16").
    void WritePack(int index, const std::vector<SFile>& files, const std::string& strExtra = "",
                   const std::string& strFileExtra = "")
    {
        std::string strJson = "{\"files\": [";
        for (size_t i = 0; i < files.size(); ++i)
            strJson += std::string(i ? ", " : "") + "{\"path\": " + JsonText(files[i].path) + ", \"hex\": \"" +
                       KZTestHex(files[i].data) + "\", \"low\": " + std::to_string(1000 + i) + ", \"high\": 7" +
                       strFileExtra + "}";
        strJson += "]" + strExtra + "}";
        const fs::path description = m_dir / "pack.json";
        std::ofstream(description) << strJson;
        const std::string strCommand = "python3 " KZ_SOURCE_DIR "/Tests/Fixtures/csa_gen.py write " +
                                       PackPath(index).string() + " " + description.string();
        ASSERT_EQ(system(strCommand.c_str()), 0) << strCommand;
    }
    void WriteSource(const std::string& strRelative, const std::string& strData)
    {
        const fs::path path = m_dir / "Data" / strRelative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << strData;
    }
    // A pack as the generator's reader (csa_gen.load) sees its header and data: "path=crc" per file
    // in directory order, or its faults. Every entry must lie inside the data file at an offset of
    // the alignment, with the CRC-32 of its bytes, zero fill and no other entry's bytes; the data
    // file may hold bytes no entry names (an update that appended). Also the data file's size and
    // the bytes its entries name, with fill.
    struct SPackView
    {
        std::string m_strListing;
        uint64_t m_qwSize = 0;
        uint64_t m_qwLive = 0;
    };
    SPackView View(int index)
    {
        const fs::path script = m_dir / "view.py";
        std::ofstream(script) << R"(import sys, zlib
sys.path.insert(0, sys.argv[1])
import csa_gen
c = csa_gen.load(sys.argv[2])
data, align, faults, spans, names = c["data"], c["header"][4] or 1, list(c["faults"]), [], []
for i, f in enumerate(c["files"]):
    off, n = f["offset"], f["length"]
    filled = -(-n // align) * align
    if off % align:
        faults.append("element %d: offset %d is not aligned" % (i, off))
    if off + filled > len(data):
        faults.append("element %d: %d+%d runs past the data file of %d" % (i, off, filled, len(data)))
    elif zlib.crc32(data[off:off + n]) != f["checksum"]:
        faults.append("element %d: checksum differs from its bytes" % i)
    elif any(data[off + n:off + filled]):
        faults.append("element %d: fill bytes are not zero" % i)
    spans.append((off, off + filled, i))
    names.append("%s=%08x" % (f["path"], f["checksum"]))
spans.sort()
for a, b in zip(spans, spans[1:]):
    if a[1] > b[0]:
        faults.append("elements %d and %d overlap" % (a[2], b[2]))
print(len(data), sum(s[1] - s[0] for s in spans))
print("fault: " + "; ".join(faults) if faults else " ".join(names))
)";
        std::istringstream out(KZTestRunCommand("python3 " + script.string() + " " KZ_SOURCE_DIR "/Tests/Fixtures " +
                                                PackPath(index).string()));
        SPackView view;
        out >> view.m_qwSize >> view.m_qwLive;
        out.ignore(1);
        std::getline(out, view.m_strListing);
        return view;
    }
    std::string Listing(int index) { return View(index).m_strListing; }
    // The generator's strict reader: the files one after another from offset 0 and nothing after
    // them, as a rebuild writes a pack.
    bool IsCompact(int index)
    {
        const std::string strOut = KZTestRunCommand("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/csa_gen.py read " +
                                                    PackPath(index).string());
        return strOut.find("\nok\n") != std::string::npos;
    }
    static std::string Entry(const std::string& strPath, const std::string& strData)
    {
        char szCrc[9];
        snprintf(szCrc, sizeof(szCrc), "%08x", Crc(strData));
        return strPath + "=" + szCrc;
    }
    // Every file of a reopened archive: internal path -> content read through the archive.
    std::map<std::string, std::string> Contents()
    {
        CKZPackFileArchive archive;
        std::map<std::string, std::string> contents;
        if (!archive.OpenPackFile(CKZPath(PackDir())))
            return contents;
        for (unsigned int i = 0; i < archive.GetPackFileCount(); ++i)
        {
            for (unsigned int j = 0; j < archive.GetPackedFileCount(i); ++j)
            {
                CKZFile file(archive);
                EXPECT_TRUE(file.OpenInMemory(archive.GetPackedFilePath(i, j)));
                std::string strData(static_cast<size_t>(file.GetLength()), '\0');
                file.Read(&strData[0], 1, static_cast<int>(strData.size()));
                contents[archive.GetPackedFilePath(i, j)] = strData;
            }
        }
        return contents;
    }

    // Whether the file system of the test directory clones files (then an update appends to a
    // clone of the data file and renames it into place; else to the data file itself).
    bool ClonesHere() const
    {
        const fs::path from = m_dir / "clone_probe", to = m_dir / "clone_probe.clone";
        std::ofstream(from) << "probe";
        const bool bClones = KZPlatform::CloneFile(from.c_str(), to.c_str());
        fs::remove(from);
        fs::remove(to);
        return bClones;
    }
    // No temporary and no commit marker is left in the pack directory.
    void ExpectNoTemporaries() const
    {
        for (const auto& entry : fs::directory_iterator(m_dir / "PackFiles"))
            EXPECT_EQ(entry.path().filename().string().rfind("p_tmp", 0), std::string::npos) << entry.path();
    }
    // Files as the listings give them: "path=crc" in the given order.
    static std::string Entries(const std::vector<SFile>& files)
    {
        std::string strOut;
        for (const SFile& file : files)
            strOut += (strOut.empty() ? "" : " ") + Entry(file.path, file.data);
        return strOut;
    }

    // Pack 0: a.txt, b.txt, c.txt; pack 1: d.txt, e.txt.
    void WriteTwoPacks()
    {
        WritePack(0, {{"Data\\a.txt", "alpha"}, {"Data\\Sub\\b.txt", "bravo!"}, {"c.txt", "charlie"}});
        WritePack(1, {{"Data\\d.txt", "delta"}, {"Data\\e.txt", std::string(100000, 'e')}});
    }
};
} // namespace

TEST_F(KZPackFileArchiveTest, OpensGeneratedPacksAndAnswersQueries)
{
    WritePack(0, {{"Data\\Textures\\Foo.DDS", "texture bytes"}, {"Data\\a.txt", "alpha"}}, ", \"alignment\": 16");
    WritePack(1, {{"Sounds\\b.ogg", std::string(3000, 'b')}});
    CKZPackFileArchive archive;
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    ASSERT_EQ(archive.GetPackFileCount(), 2u);
    EXPECT_EQ(archive.GetTotalPackedFileCount(), 3u);
    EXPECT_EQ(archive.GetPackedFileCount(0), 2u);
    EXPECT_STREQ(archive.GetPackedFilePath(0, 1), "Data\\a.txt");
    EXPECT_EQ(archive.GetPackedFileOffset(0, 1), 16u); // after 13 bytes filled to 16
    EXPECT_EQ(archive.GetPackedFileLength(0, 1), 5u);
    EXPECT_EQ(archive.GetPackedFileCheckSum(0, 1), Crc("alpha"));
    EXPECT_EQ(archive.GetPackedFileTime(0, 1).lowDatetime, 1001u);
    EXPECT_EQ(archive.GetPackedFileTime(0, 1).highDatetime, 7u);

    // Any path with the same file name finds the same record, whatever its case and directories.
    const SKZPackedFile* pFoo = archive.GetPackedFileByPath(CKZPath(PackDir() + "Data/Textures/Foo.dds"));
    ASSERT_NE(pFoo, nullptr);
    EXPECT_EQ(archive.GetPackedFileByPath(CKZPath("foo.dds")), pFoo);
    EXPECT_EQ(archive.GetPackedFileLength(CKZPath("FOO.dds")), 13u);
    EXPECT_STREQ(archive.GetPackedFilePath(CKZPath("x/b.ogg")), "Sounds\\b.ogg");
    unsigned int pack = 99;
    EXPECT_TRUE(archive.GetPackedFilePackFileIndex(&pack, CKZPath("b.ogg")));
    EXPECT_EQ(pack, 1u);
    EXPECT_FALSE(archive.GetPackedFilePackFileIndex(&pack, CKZPath("none.ogg")));
    EXPECT_EQ(archive.GetPackedFileCheckSum(CKZPath("none.ogg")), 0u);
    EXPECT_EQ(archive.GetPackedFilePath(CKZPath("none.ogg")), nullptr);
    EXPECT_EQ(archive.GetPackedFileTime(CKZPath("none.ogg")).Get(), 0u);

    CKZTestEventRecorder recorder;
    EXPECT_FALSE(archive.OpenPackFile(CKZPath(PackDir())));
    EXPECT_TRUE(recorder.Saw("PackFileArchive already opened!"));
    EXPECT_EQ(archive.GetPackFileCount(), 2u);
    archive.GetPackedFileByInternalRelativePath("Data/a.txt");
    EXPECT_TRUE(recorder.Saw("Pack file paths should only contain backslash separators, not forward"));
    EXPECT_EQ(CKZPackFileArchive::CreateMapKey("Data\\Sub/README"), "readme");
}

TEST_F(KZPackFileArchiveTest, DiscoveryAndRefusedDirectories)
{
    CKZPackFileArchive archive;
    EXPECT_FALSE(archive.OpenPackFile(CKZPath(PackDir())));
    EXPECT_EQ(archive.GetPackFileCount(), 0u);

    // Discovery stops at the first missing header: pack 2 is not part of the archive.
    WritePack(0, {{"a.txt", "a"}});
    WritePack(2, {{"c.txt", "c"}});
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    EXPECT_EQ(archive.GetPackFileCount(), 1u);
    EXPECT_EQ(archive.GetPackedFileByPath(CKZPath("c.txt")), nullptr);
    archive.ClosePackFileArchive();

    // The same name in two packs, in other directories and case.
    WritePack(1, {{"b\\X.DAT", "b"}});
    WritePack(2, {{"a\\x.dat", "c"}});
    EXPECT_FALSE(archive.OpenPackFile(CKZPath(PackDir())));
    EXPECT_EQ(archive.GetPackFileCount(), 0u);
    WritePack(2, {{"a\\y.dat", "c"}});
    EXPECT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    archive.ClosePackFileArchive();

    // A header without its data file.
    fs::remove(PackPath(1));
    EXPECT_FALSE(archive.OpenPackFile(CKZPath(PackDir())));
}

TEST_F(KZPackFileArchiveTest, EntriesOutsideTheDataAndDamagedHeadersAreRefused)
{
    CKZPackFileArchive archive;
    WritePack(0, {{"a.txt", "0123456789"}}, "", ", \"length\": 11");
    EXPECT_FALSE(archive.OpenPackFile(CKZPath(PackDir())));
    WritePack(0, {{"a.txt", "0123456789"}}, "", ", \"offset\": 4294967295");
    EXPECT_FALSE(archive.OpenPackFile(CKZPath(PackDir())));

    WritePack(0, {{"Data\\a.txt", "alpha"}, {"Data\\b.txt", std::string(300, 'b')}, {"c.txt", "charlie"}});
    const fs::path header = PackPath(0).string() + "header";
    const std::string strHeader = KZTestReadFile(header);
    std::mt19937 rng(17);
    CKZTestEventRecorder quiet;
    for (int round = 0; round < 400; ++round)
    {
        std::string strDamaged = strHeader;
        if (round % 4 == 0)
            strDamaged.resize(rng() % strHeader.size());
        else
            for (int flips = 1 + static_cast<int>(rng() % 4); flips > 0; --flips)
                strDamaged[rng() % strDamaged.size()] = static_cast<char>(rng());
        std::ofstream(header, std::ios::binary | std::ios::trunc) << strDamaged;
        if (archive.OpenPackFile(CKZPath(PackDir())))
        {
            // A header that opens was read: it never turns into a pack without files.
            EXPECT_EQ(archive.GetPackedFileCount(0), 3u) << "round " << round;
            // Whatever opened must be readable within its data.
            for (unsigned int j = 0; j < archive.GetPackedFileCount(0); ++j)
                EXPECT_LE(uint64_t(archive.GetPackedFileOffset(0, j)) + archive.GetPackedFileLength(0, j),
                          fs::file_size(PackPath(0)));
            archive.ClosePackFileArchive();
        }
    }
}

TEST_F(KZPackFileArchiveTest, PackedFilesReadThroughTheInterface)
{
    WriteTwoPacks();
    CKZPackFileArchive archive;
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));

    // Two readers of one pack at once, each at its own position.
    void* pFirst = archive.Open((PackDir() + "Data/Sub/b.txt").c_str(), "rb");
    void* pSecond = archive.Open("c.txt", "rb");
    ASSERT_NE(pFirst, nullptr);
    ASSERT_NE(pSecond, nullptr);
    char buffer[64] = {};
    EXPECT_EQ(archive.Read(buffer, 1, 7, pSecond), 7);
    EXPECT_EQ(std::string(buffer, 7), "charlie");
    // A read stops at the end of the packed file, not in the next file's bytes.
    EXPECT_EQ(archive.Read(buffer, 1, sizeof(buffer), pFirst), 6);
    EXPECT_EQ(std::string(buffer, 6), "bravo!");
    EXPECT_TRUE(archive.KZEOF(pFirst));
    EXPECT_EQ(archive.Seek(pFirst, 1, 0), 0);
    EXPECT_EQ(archive.Tell(pFirst), 1);
    EXPECT_FALSE(archive.KZEOF(pFirst));
    EXPECT_EQ(archive.Read(buffer, 2, 10, pFirst), 2); // five bytes left: two whole elements
    EXPECT_EQ(archive.Seek(pFirst, 0, 2), 0);
    EXPECT_EQ(archive.Tell(pFirst), 6);
    EXPECT_TRUE(archive.KZEOF(pFirst));
    EXPECT_EQ(archive.Seek(pFirst, -2, 1), 0);
    EXPECT_EQ(archive.Tell(pFirst), 4);
    EXPECT_EQ(archive.Seek(pFirst, 3, 7), 0);
    EXPECT_EQ(archive.Tell(pFirst), 4);
    EXPECT_EQ(archive.GetLength(pFirst), 6);
    EXPECT_EQ(archive.Close(pFirst), 0);
    EXPECT_EQ(archive.Close(pSecond), 0);
    EXPECT_EQ(archive.Open("none.txt", "rb"), nullptr);
    EXPECT_EQ(archive.Open(nullptr, "rb"), nullptr);
    EXPECT_EQ(archive.Open("c.txt", nullptr), nullptr);

    // A reader opened later starts at its own file's first byte.
    void* pThird = archive.Open("a.txt", "rb");
    EXPECT_EQ(archive.Tell(pThird), 0);
    archive.Close(pThird);

    // A packed file opened by path with CKZFile reads like a file on disk.
    CKZFile file(archive);
    ASSERT_TRUE(file.Open((PackDir() + "e.txt").c_str(), "rb"));
    EXPECT_EQ(file.GetLength(), 100000);
    std::string strData(100000, '\0');
    EXPECT_EQ(file.Read(&strData[0], 1, 100000), 100000);
    EXPECT_EQ(strData, std::string(100000, 'e'));
    file.Close();

    // Writing opens the real file at that path and leaves the pack alone.
    const std::string strPackBefore = KZTestReadFile(PackPath(0));
    const std::string strReal = (m_dir / "a.txt").string();
    void* pWriter = archive.Open(strReal.c_str(), "wb");
    ASSERT_NE(pWriter, nullptr);
    EXPECT_EQ(archive.Write("new", 1, 3, pWriter), 3);
    EXPECT_EQ(archive.Tell(pWriter), 3);
    archive.Close(pWriter);
    EXPECT_EQ(KZTestReadFile(strReal), "new");
    EXPECT_EQ(KZTestReadFile(PackPath(0)), strPackBefore);
}

// Readers own their positions: two readers of one pack interleave, and a patch run that replaces
// their pack neither has to wait for them nor changes what they read.
TEST_F(KZPackFileArchiveTest, ReadersOfOnePackStayIndependentThroughAPatchRun)
{
    WriteTwoPacks();
    WriteSource("Data/a.txt", "alpha, changed");
    CKZPackFileArchive archive;
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    void* pAlpha = archive.Open("a.txt", "rb");
    void* pCharlie = archive.Open("c.txt", "rb");
    ASSERT_NE(pAlpha, nullptr);
    ASSERT_NE(pCharlie, nullptr);
    char buffer[16] = {};
    EXPECT_EQ(archive.Read(buffer, 1, 2, pAlpha), 2);
    EXPECT_EQ(archive.Read(buffer + 2, 1, 3, pCharlie), 3);
    EXPECT_EQ(archive.Read(buffer + 5, 1, 3, pAlpha), 3);
    EXPECT_EQ(std::string(buffer, 8), "alchapha");
    EXPECT_EQ(archive.Tell(pAlpha), 5);
    EXPECT_EQ(archive.Tell(pCharlie), 3);

    archive.PatchBegin();
    archive.AddPatchFile(0, CKZPath(DataDir() + "Data/a.txt"));
    ASSERT_TRUE(archive.DoPatch(CKZPath(PackDir()), CKZPath(DataDir()), 2));
    EXPECT_EQ(archive.GetPatchPacksWritten(), 1u);
    EXPECT_EQ(archive.Read(buffer, 1, sizeof(buffer), pCharlie), 4);
    EXPECT_EQ(std::string(buffer, 4), "rlie");
    EXPECT_EQ(archive.Seek(pAlpha, 0, 0), 0);
    EXPECT_EQ(archive.Read(buffer, 1, sizeof(buffer), pAlpha), 5);
    EXPECT_EQ(std::string(buffer, 5), "alpha");
    archive.Close(pAlpha);
    archive.Close(pCharlie);
    EXPECT_EQ(Contents().at("Data\\a.txt"), "alpha, changed");
}

TEST_F(KZPackFileArchiveTest, ExtractWritesEveryFileAndStaysInside)
{
    WriteTwoPacks();
    CKZPackFileArchive archive;
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    const std::string strOut = (m_dir / "out").string() + "/";
    ASSERT_TRUE(archive.Extract(CKZPath(strOut)));
    EXPECT_EQ(KZTestReadFile(strOut + "Data/a.txt"), "alpha");
    EXPECT_EQ(KZTestReadFile(strOut + "Data/Sub/b.txt"), "bravo!");
    EXPECT_EQ(KZTestReadFile(strOut + "c.txt"), "charlie");
    EXPECT_EQ(KZTestReadFile(strOut + "Data/e.txt"), std::string(100000, 'e'));
    archive.ClosePackFileArchive();

    WritePack(1, {{"..\\escaped.txt", "x"}});
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    CKZTestEventRecorder recorder;
    EXPECT_FALSE(archive.Extract(CKZPath(strOut)));
    EXPECT_TRUE(recorder.Saw("Could not write to ..\\escaped.txt"));
    EXPECT_FALSE(fs::exists(m_dir / "escaped.txt"));
}

TEST_F(KZPackFileArchiveTest, PatchRunWithoutEntriesRewritesNothing)
{
    WriteTwoPacks();
    const ino_t pack0 = Inode(PackPath(0));
    const ino_t pack1 = Inode(PackPath(1));
    CKZPackFileArchive archive;
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    archive.PatchBegin();
    // Without entries every file is kept, so both packs are counted as left unchanged.
    ASSERT_TRUE(archive.DoPatch(CKZPath(PackDir()), CKZPath(DataDir()), 2));
    EXPECT_EQ(archive.GetPatchPacksWritten(), 0u);
    EXPECT_EQ(archive.GetPatchBytesDone(), fs::file_size(PackPath(0)) + fs::file_size(PackPath(1)));
    EXPECT_EQ(archive.GetPatchFilesDone(), 5u);
    EXPECT_EQ(archive.GetPackFileCount(), 0u); // closed
    EXPECT_EQ(Inode(PackPath(0)), pack0);
    EXPECT_EQ(Inode(PackPath(1)), pack1);
    EXPECT_FALSE(fs::exists(m_dir / "PackFiles" / "p_tmp_00000000.csa"));
    EXPECT_EQ(Contents().size(), 5u);
}

TEST_F(KZPackFileArchiveTest, ChangedFileUpdatesOnlyItsPackAndComesFirst)
{
    WriteTwoPacks();
    const ino_t pack1 = Inode(PackPath(1));
    WriteSource("Data/Sub/b.txt", "bravo, changed");
    CKZPackFileArchive archive;
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    archive.PatchBegin();
    archive.AddPatchFile(0, CKZPath(DataDir() + "Data/Sub/b.txt"));
    EXPECT_EQ(archive.GetPatchPackLimit(), 1u);
    ASSERT_TRUE(archive.DoPatch(CKZPath(PackDir()), CKZPath(DataDir()), 2));
    archive.PatchEnd();
    EXPECT_EQ(archive.GetPatchPacksWritten(), 1u);
    EXPECT_EQ(archive.GetPatchFilesDone(), 5u);
    EXPECT_EQ(Inode(PackPath(1)), pack1);
    // Kept files are copied from the old pack data: their sources on disk do not exist.
    EXPECT_EQ(Listing(0), Entry("Data\\Sub\\b.txt", "bravo, changed") + " " + Entry("Data\\a.txt", "alpha") + " " +
                              Entry("c.txt", "charlie"));
    const auto contents = Contents();
    EXPECT_EQ(contents.size(), 5u);
    EXPECT_EQ(contents.at("Data\\Sub\\b.txt"), "bravo, changed");
    EXPECT_EQ(contents.at("c.txt"), "charlie");
    EXPECT_TRUE(archive.GetPatchFiles().empty());
}

// Large kept files are copied by the kernel, small ones and new ones through the block; the rebuilt
// pack must hold the same bytes either way, from an old pack whose files sit at aligned offsets.
// The changed file is a third of the pack, so an append would leave too much dead space: rebuilt.
TEST_F(KZPackFileArchiveTest, LargeKeptFilesKeepTheirBytesBetweenSmallAndNewOnes)
{
    std::mt19937 rng(9);
    const auto randomBytes = [&rng](size_t size) {
        std::string strBytes(size, '\0');
        for (char& c : strBytes)
            c = static_cast<char>(rng());
        return strBytes;
    };
    const std::vector<SFile> files = {{"Data\\big1.bin", randomBytes(300001)},
                                      {"Data\\small.bin", randomBytes(77)},
                                      {"Data\\big2.bin", randomBytes(65536)},
                                      {"Data\\changed.bin", randomBytes(700000)},
                                      {"Data\\big3.bin", randomBytes(1 << 20)}};
    WritePack(0, files, ",\"alignment\": 16");
    const std::string strChanged = randomBytes(200000);
    WriteSource("Data/changed.bin", strChanged);
    CKZPackFileArchive archive;
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    archive.PatchBegin();
    archive.AddPatchFile(0, CKZPath(DataDir() + "Data/changed.bin"));
    ASSERT_TRUE(archive.DoPatch(CKZPath(PackDir()), CKZPath(DataDir()), 1));
    archive.PatchEnd();
    EXPECT_EQ(archive.GetPatchPacksAppended(), 0u);
    EXPECT_TRUE(IsCompact(0));
    EXPECT_EQ(Listing(0), Entry("Data\\changed.bin", strChanged) + " " + Entry("Data\\big1.bin", files[0].data) +
                              " " + Entry("Data\\small.bin", files[1].data) + " " +
                              Entry("Data\\big2.bin", files[2].data) + " " + Entry("Data\\big3.bin", files[4].data));
    const auto contents = Contents();
    ASSERT_EQ(contents.size(), 5u);
    EXPECT_TRUE(contents.at("Data\\big3.bin") == files[4].data);
    EXPECT_TRUE(contents.at("Data\\changed.bin") == strChanged);
    EXPECT_EQ(archive.GetPatchBytesDone(), 300001u + 77u + 65536u + 200000u + (1u << 20));
}

TEST_F(KZPackFileArchiveTest, MovesAndPackCountsAboveAndBelow)
{
    WriteTwoPacks();
    WriteSource("f.txt", "foxtrot");
    CKZPackFileArchive archive;
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    archive.PatchBegin();
    // The moved file exists only in the old pack 1 data.
    EXPECT_TRUE(archive.PatchMoveFile(1, 2, CKZPath(DataDir() + "Data/d.txt")));
    archive.AddPatchFile(3, CKZPath(DataDir() + "f.txt"));
    EXPECT_EQ(archive.GetPatchPackLimit(), 4u);
    ASSERT_TRUE(archive.DoPatch(CKZPath(PackDir()), CKZPath(DataDir()), 4));
    EXPECT_EQ(archive.GetPatchPacksWritten(), 3u);
    EXPECT_EQ(Listing(1), Entry("Data\\e.txt", std::string(100000, 'e')));
    EXPECT_EQ(Listing(2), Entry("Data\\d.txt", "delta"));
    EXPECT_EQ(Listing(3), Entry("f.txt", "foxtrot"));
    EXPECT_EQ(Contents().size(), 6u);

    // A smaller pack count drops the packs from it upward.
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    archive.PatchBegin();
    ASSERT_TRUE(archive.DoPatch(CKZPath(PackDir()), CKZPath(DataDir()), 2));
    EXPECT_FALSE(fs::exists(PackPath(2)));
    EXPECT_FALSE(fs::exists(PackPath(3).string() + "header"));
    EXPECT_EQ(Contents().size(), 4u);
}

TEST_F(KZPackFileArchiveTest, FileChangingPackRebuildsItsOldPack)
{
    WriteTwoPacks();
    WriteSource("c.txt", "charlie moved and changed");
    CKZPackFileArchive archive;
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    archive.PatchBegin();
    // Nothing marks pack 0, but its old copy of c.txt must leave it.
    archive.AddPatchFile(1, CKZPath(DataDir() + "c.txt"));
    ASSERT_TRUE(archive.DoPatch(CKZPath(PackDir()), CKZPath(DataDir()), 2));
    EXPECT_EQ(archive.GetPatchPacksWritten(), 2u);
    EXPECT_EQ(Listing(0), Entry("Data\\a.txt", "alpha") + " " + Entry("Data\\Sub\\b.txt", "bravo!"));
    const auto contents = Contents();
    ASSERT_EQ(contents.size(), 5u);
    EXPECT_EQ(contents.at("c.txt"), "charlie moved and changed");
}

TEST_F(KZPackFileArchiveTest, NameGivenTwiceIsStoredOnceWhereItsLastEntryPutsIt)
{
    WriteTwoPacks();
    WriteSource("Data/a.txt", "alpha, second");
    CKZPackFileArchive archive;
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    archive.PatchBegin();
    archive.AddPatchFile(0, CKZPath(DataDir() + "Data/a.txt"));
    archive.AddPatchFile(1, CKZPath(DataDir() + "Data/a.txt"));
    archive.PatchMoveFile(1, 0, CKZPath(DataDir() + "Data/d.txt"));
    archive.PatchMoveFile(0, 1, CKZPath(DataDir() + "Data/d.txt"));
    ASSERT_TRUE(archive.DoPatch(CKZPath(PackDir()), CKZPath(DataDir()), 2));
    EXPECT_EQ(Listing(0), Entry("Data\\Sub\\b.txt", "bravo!") + " " + Entry("c.txt", "charlie"));
    EXPECT_EQ(Listing(1), Entry("Data\\a.txt", "alpha, second") + " " + Entry("Data\\d.txt", "delta") + " " +
                              Entry("Data\\e.txt", std::string(100000, 'e')));
    EXPECT_EQ(Contents().size(), 5u);
}

TEST_F(KZPackFileArchiveTest, RemovalsAndRunsWithoutPatchBegin)
{
    WriteTwoPacks();
    CKZPackFileArchive archive;
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    CKZTestEventRecorder recorder;
    EXPECT_EQ(archive.RemovePatchFile(CKZPath("a.txt")), -1);
    EXPECT_TRUE(recorder.Saw("Run CKZPackFileArchive::PatchBegin before RemovePatchFile!"));
    EXPECT_FALSE(archive.DoPatch(CKZPath(PackDir()), CKZPath(DataDir()), 2));
    archive.AddPatchFile(0, CKZPath("x.txt"));
    EXPECT_TRUE(recorder.Saw("Run PatchBegin first!"));
    EXPECT_EQ(archive.GetPatchFiles().size(), 1u); // recorded all the same
    archive.PatchEnd();

    archive.PatchBegin();
    EXPECT_EQ(archive.RemovePatchFile(CKZPath("none.txt")), 0);
    EXPECT_EQ(archive.RemovePatchFile(CKZPath(DataDir() + "Data/A.TXT")), 1);
    EXPECT_EQ(archive.RemovePatchFile(CKZPath("a.txt")), 0);
    EXPECT_EQ(archive.GetPackedFileCount(0), 2u);
    EXPECT_EQ(archive.GetPackedFileByPath(CKZPath("c.txt"))->m_nIndex, 1);

    CKZPackFile pack;
    EXPECT_FALSE(pack.RemovePackedFile(0));
    EXPECT_TRUE(recorder.Saw("RemovePackedFile: Packed file index out of bounds."));

    ASSERT_TRUE(archive.DoPatch(CKZPath(PackDir()), CKZPath(DataDir()), 2));
    const auto contents = Contents();
    EXPECT_EQ(contents.size(), 4u);
    EXPECT_EQ(contents.count("Data\\a.txt"), 0u);
}

TEST_F(KZPackFileArchiveTest, FailedRebuildLeavesTheOldPacks)
{
    WriteTwoPacks();
    const std::string strPack0 = KZTestReadFile(PackPath(0));
    CKZPackFileArchive archive;
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    archive.PatchBegin();
    archive.AddPatchFile(0, CKZPath(DataDir() + "missing.txt"));
    CKZTestEventRecorder recorder;
    EXPECT_FALSE(archive.DoPatch(CKZPath(PackDir()), CKZPath(DataDir()), 2));
    EXPECT_EQ(archive.GetPackFileCount(), 2u); // still open
    archive.ClosePackFileArchive();
    EXPECT_EQ(KZTestReadFile(PackPath(0)), strPack0);
    EXPECT_TRUE(CKZPackFileArchive::RemoveTemporaryPatchFiles(CKZPath(PackDir()), 32));
    EXPECT_FALSE(fs::exists(m_dir / "PackFiles" / "p_tmp_00000000.csa"));
    EXPECT_FALSE(fs::exists(m_dir / "PackFiles" / "p_tmp_00000000.csaheader"));
    EXPECT_EQ(Contents().size(), 5u);
}

TEST_F(KZPackFileArchiveTest, BuildFromCatalogueAndDiff)
{
    WriteSource("Textures/foo.dds", "foo texture");
    WriteSource("bar.txt", "bar");
    WriteSource("Sounds/baz.ogg", "baz");
    const std::string strRecords = "[{\"name\": \"foo.dds\", \"path\": \"Textures/foo.dds\", \"zip\": 1},"
                              " {\"name\": \"bar.txt\", \"path\": \"bar.txt\", \"zip\": 0},"
                              " {\"name\": \"baz.ogg\", \"path\": \"Sounds/baz.ogg\", \"zip\": 1}]";
    const std::string strCache = (m_dir / "cache.bin").string();
    ASSERT_EQ(system(("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/catalogue_gen.py write 261 " + strCache + " '" +
                      strRecords + "'").c_str()), 0);
    CKZFileTimeCache cache;
    ASSERT_TRUE(cache.Initialize(strCache.c_str(), nullptr, nullptr));
    ASSERT_TRUE(CKZPackFileArchive::CreateFromCacheFile(cache, CKZPath(DataDir()), CKZPath(PackDir()),
                                                        CKZPath(DataDir())));
    EXPECT_EQ(Listing(0), Entry("bar.txt", "bar"));
    EXPECT_EQ(Listing(1), Entry("Sounds\\baz.ogg", "baz") + " " + Entry("Textures\\foo.dds", "foo texture"));

    CKZPackFileArchive archive;
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    std::vector<std::string> differences;
    auto collect = [&](bool bArchiveOnly, const std::string& strName) {
        differences.push_back((bArchiveOnly ? "archive:" : "catalogue:") + strName);
    };
    EXPECT_EQ(CKZPackFileArchive::DiffAgainstCacheFile(archive, cache, collect), 0);
    EXPECT_TRUE(differences.empty());

    archive.PatchBegin();
    archive.RemovePatchFile(CKZPath("bar.txt"));
    WriteSource("new.txt", "new");
    archive.AddPatchFile(0, CKZPath(DataDir() + "new.txt"));
    ASSERT_TRUE(archive.DoPatch(CKZPath(PackDir()), CKZPath(DataDir()), 2));
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    EXPECT_EQ(CKZPackFileArchive::DiffAgainstCacheFile(archive, cache, collect), 0);
    EXPECT_EQ(differences, (std::vector<std::string>{"catalogue:bar.txt", "archive:new.txt"}));

    // A catalogue naming a file that is not on disk builds nothing usable.
    CKZPackFileArchive::RemovePackFiles(CKZPath(PackDir()), 0, 2);
    fs::remove(m_dir / "Data" / "bar.txt");
    CKZTestEventRecorder recorder;
    EXPECT_FALSE(CKZPackFileArchive::CreateFromCacheFile(cache, CKZPath(DataDir()), CKZPath(PackDir()),
                                                         CKZPath(DataDir())));
}

// Random patch runs against a model of which file lives in which pack with which bytes: after
// every run the reopened directory holds exactly the model's files.
TEST_F(KZPackFileArchiveTest, RandomPatchRunsKeepExactlyTheExpectedFiles)
{
    struct SModelFile
    {
        unsigned int pack;
        std::string data;
    };
    std::map<std::string, SModelFile> model; // internal path -> pack and bytes
    std::mt19937 rng(23);
    auto randomData = [&rng]() { return std::string(1 + rng() % 5000, static_cast<char>('a' + rng() % 26)) + std::to_string(rng()); };
    for (int pack = 0; pack < 3; ++pack)
    {
        std::vector<SFile> files;
        for (int i = 0; i < 5; ++i)
        {
            const std::string strPath = "Dir" + std::to_string(i % 2) + "\\f" + std::to_string(pack * 5 + i) + ".bin";
            files.push_back({strPath, randomData()});
            model[strPath] = {static_cast<unsigned int>(pack), files.back().data};
        }
        WritePack(pack, files);
    }
    int nextName = 100;
    for (int run = 0; run < 12; ++run)
    {
        CKZPackFileArchive archive;
        ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
        const unsigned int packCount = 2 + rng() % 3;
        archive.PatchBegin();
        std::vector<std::string> names;
        for (const auto& file : model)
            names.push_back(file.first);
        std::shuffle(names.begin(), names.end(), rng);
        for (size_t k = 0; k < std::min<size_t>(4, names.size()); ++k)
        {
            const std::string& strPath = names[k];
            std::string strSlashed = strPath;
            std::replace(strSlashed.begin(), strSlashed.end(), '\\', '/');
            const unsigned int target = rng() % packCount;
            switch (rng() % 3)
            {
            case 0: // changed, perhaps into another pack
                model[strPath] = {target, randomData()};
                WriteSource(strSlashed, model[strPath].data);
                archive.AddPatchFile(target, CKZPath(DataDir() + strSlashed));
                break;
            case 1:
                archive.PatchMoveFile(model[strPath].pack, target, CKZPath(DataDir() + strSlashed));
                model[strPath].pack = target;
                break;
            default:
                EXPECT_EQ(archive.RemovePatchFile(CKZPath(DataDir() + strSlashed)), 1);
                model.erase(strPath);
                break;
            }
        }
        const std::string strNew = "New\\n" + std::to_string(nextName++) + ".dat";
        model[strNew] = {static_cast<unsigned int>(rng() % packCount), randomData()};
        WriteSource("New/" + strNew.substr(4), model[strNew].data);
        archive.AddPatchFile(model[strNew].pack, CKZPath(DataDir() + "New/" + strNew.substr(4)));
        ASSERT_TRUE(archive.DoPatch(CKZPath(PackDir()), CKZPath(DataDir()), packCount)) << "run " << run;
        archive.PatchEnd();
        // Files in packs beyond the new count are gone with their packs.
        for (auto it = model.begin(); it != model.end();)
            it = it->second.pack >= packCount ? model.erase(it) : std::next(it);

        std::map<std::string, std::string> expected;
        for (const auto& file : model)
            expected[file.first] = file.second.data;
        ASSERT_EQ(Contents(), expected) << "run " << run;
        CKZPackFileArchive reopened;
        ASSERT_TRUE(reopened.OpenPackFile(CKZPath(PackDir())));
        EXPECT_EQ(reopened.GetPackFileCount(), packCount);
        for (const auto& file : model)
        {
            unsigned int pack = 99;
            EXPECT_TRUE(reopened.GetPackedFilePackFileIndex(&pack, CKZPath(file.first)));
            EXPECT_EQ(pack, file.second.pack) << file.first;
            EXPECT_EQ(reopened.GetPackedFileCheckSum(CKZPath(file.first)), Crc(file.second.data));
        }
    }
}

TEST_F(KZPackFileArchiveTest, HeadersThatCannotBeReadAreRefusedWithTheirName)
{
    CKZPackFileArchive archive;
    CKZTestEventRecorder recorder;
    const std::string strMessage = "Packfile header p_00000000.csaheader cannot be read";
    WritePack(0, {{"a.txt", "a"}}, ", \"magic\": 1");
    EXPECT_FALSE(archive.OpenPackFile(CKZPath(PackDir())));
    EXPECT_EQ(recorder.LastMessage(), strMessage);
    WritePack(0, {{"a.txt", "a"}, {"b.txt", "b"}}, ", \"numfiles\": 1");
    EXPECT_FALSE(archive.OpenPackFile(CKZPath(PackDir())));
    EXPECT_EQ(recorder.LastMessage(), strMessage);
    WritePack(0, {{"a.txt", "a"}, {"b.txt", "b"}}, ", \"vecsize\": 1");
    EXPECT_FALSE(archive.OpenPackFile(CKZPath(PackDir())));
    for (const std::string& strBytes : {std::string(), std::string("not a serializer image at all")})
    {
        std::ofstream(PackPath(0).string() + "header", std::ios::binary | std::ios::trunc) << strBytes;
        EXPECT_FALSE(archive.OpenPackFile(CKZPath(PackDir())));
        EXPECT_EQ(archive.GetPackFileCount(), 0u);
    }
    // A pack that says it holds nothing is a pack without files.
    WritePack(0, {});
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    EXPECT_EQ(archive.GetTotalPackedFileCount(), 0u);
}

TEST_F(KZPackFileArchiveTest, ExtractionChecksEveryFileBeforeItWritesIt)
{
    WritePack(0, {{"Data\\a.txt", "alpha"}});
    WritePack(1, {{"Bad\\c.txt", "charlie"}}, "", ", \"checksum\": 1");
    CKZPackFileArchive archive;
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    CKZTestEventRecorder recorder;
    EXPECT_FALSE(archive.Extract(CKZPath((m_dir / "out").string())));
    EXPECT_EQ(recorder.LastMessage(), "Packed file Bad\\c.txt from packfile 1 does not match its checksum");
    EXPECT_EQ(KZTestTree(m_dir / "out"), (std::vector<std::string>{"Data", "Data/a.txt"}));
    archive.ClosePackFileArchive();

    // The same through damaged data bytes: the header's checksum no longer matches them.
    WritePack(1, {{"Bad\\c.txt", "charlie"}});
    std::string strData = KZTestReadFile(PackPath(1));
    strData[2] ^= 0x20;
    std::ofstream(PackPath(1), std::ios::binary | std::ios::trunc) << strData;
    fs::remove_all(m_dir / "out");
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    EXPECT_FALSE(archive.Extract(CKZPath((m_dir / "out").string())));
    EXPECT_FALSE(fs::exists(m_dir / "out" / "Bad"));
}

// A fuzzing reproducer: a header path of "..\\" parts. The file holds a little-endian u16 header
// length, the header, then the data file.
TEST_F(KZPackFileArchiveTest, EscapingPathReproducerCreatesNothingOutside)
{
    const std::string strInput = KZTestReadFile(KZ_SOURCE_DIR "/Tests/Fuzz/corpus/fuzz_pack/pack-path-escape.bin");
    ASSERT_GE(strInput.size(), 2u);
    const size_t headerLength = static_cast<unsigned char>(strInput[0]) | static_cast<unsigned char>(strInput[1]) << 8;
    ASSERT_LE(2 + headerLength, strInput.size());
    std::ofstream(PackPath(0).string() + "header", std::ios::binary) << strInput.substr(2, headerLength);
    std::ofstream(PackPath(0), std::ios::binary) << strInput.substr(2 + headerLength);
    fs::create_directories(m_dir / "dest");
    CKZPackFileArchive archive;
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    CKZTestEventRecorder recorder;
    EXPECT_FALSE(archive.Extract(CKZPath((m_dir / "dest" / "out").string())));
    EXPECT_EQ(KZTestTree(m_dir / "dest"), std::vector<std::string>()) << "nothing inside or beside the destination";
}

TEST_F(KZPackFileArchiveTest, ExtensionlessNamesFromPacksAndCatalogues)
{
    WritePack(0, {{"Docs\\README", "read me"}, {"LICENSE", "license"}});
    CKZPackFileArchive archive;
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    EXPECT_NE(archive.GetPackedFileByPath(CKZPath::FilePath(PackDir() + "Docs/README")), nullptr);
    EXPECT_NE(archive.GetPackedFileByPath(CKZPath(PackDir() + "Docs/README")), nullptr);
    CKZFile file(archive);
    ASSERT_TRUE(file.Open((PackDir() + "LICENSE").c_str(), "rb"));
    EXPECT_EQ(file.GetLength(), 7);
    file.Close();
    ASSERT_TRUE(archive.Extract(CKZPath((m_dir / "out").string())));
    EXPECT_EQ(KZTestReadFile(m_dir / "out" / "Docs" / "README"), "read me");
    EXPECT_EQ(KZTestReadFile(m_dir / "out" / "LICENSE"), "license");

    WriteSource("NOTICE", "notice");
    archive.PatchBegin();
    archive.AddPatchFile(0, CKZPath::FilePath(DataDir() + "NOTICE"));
    ASSERT_TRUE(archive.DoPatch(CKZPath(PackDir()), CKZPath(DataDir()), 1));
    EXPECT_EQ(Contents(), (std::map<std::string, std::string>{
                              {"Docs\\README", "read me"}, {"LICENSE", "license"}, {"NOTICE", "notice"}}));

    // A catalogue whose records have no extension builds the same packs.
    WriteSource("Docs/README", "read me");
    WriteSource("LICENSE", "license");
    const std::string strCache = (m_dir / "cache.bin").string();
    ASSERT_EQ(system(("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/catalogue_gen.py write 261 " + strCache +
                      " '[{\"name\": \"README\", \"path\": \"Docs/README\"}, {\"name\": \"LICENSE\", \"path\": "
                      "\"LICENSE\", \"zip\": 1}]'").c_str()), 0);
    CKZFileTimeCache cache;
    ASSERT_TRUE(cache.Initialize(strCache.c_str(), nullptr, nullptr));
    CKZPackFileArchive::RemovePackFiles(CKZPath(PackDir()), 0, 1);
    ASSERT_TRUE(CKZPackFileArchive::CreateFromCacheFile(cache, CKZPath(DataDir()), CKZPath(PackDir()),
                                                        CKZPath(DataDir())));
    EXPECT_EQ(Listing(0), Entry("Docs\\README", "read me"));
    EXPECT_EQ(Listing(1), Entry("LICENSE", "license"));
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    EXPECT_EQ(CKZPackFileArchive::DiffAgainstCacheFile(archive, cache, [](bool, const std::string& strName) {
                  ADD_FAILURE() << strName;
              }),
              0);
}

// A patch interrupted between the renames of its rebuilt packs is completed by the next start; a
// patch interrupted before its commit leaves temporaries that are only deleted.
TEST_F(KZPackFileArchiveTest, InterruptedPatchIsCompleted)
{
    WriteTwoPacks();
    const fs::path pack0 = PackPath(0), pack1 = PackPath(1);
    const fs::path temporary0 = m_dir / "PackFiles" / CKZPackFileArchive::CreateFileName(0, "p_tmp", "csa");
    const fs::path commit = m_dir / "PackFiles" / "p_tmp_commit";
    const auto header = [](const fs::path& data) { return fs::path(data.string() + "header"); };
    const std::string strNewData = KZTestReadFile(pack1), strNewHeader = KZTestReadFile(header(pack1));

    // Pack 0 rebuilt (here: as pack 1's bytes), its data renamed, its header not yet; pack 1 dropped.
    fs::copy_file(header(pack1), header(temporary0));
    fs::copy_file(pack1, pack0, fs::copy_options::overwrite_existing);
    std::ofstream(commit) << "1 2\n";
    EXPECT_TRUE(CKZPackFileArchive::FinishInterruptedPatch(CKZPath(PackDir())));
    EXPECT_EQ(KZTestReadFile(pack0), strNewData);
    EXPECT_EQ(KZTestReadFile(header(pack0)), strNewHeader);
    EXPECT_FALSE(fs::exists(pack1));
    EXPECT_FALSE(fs::exists(header(temporary0)));
    EXPECT_FALSE(fs::exists(commit));
    CKZPackFileArchive archive;
    EXPECT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    archive.ClosePackFileArchive();

    // Without a commit the temporaries are no pack: nothing is renamed.
    fs::copy_file(pack0, temporary0);
    EXPECT_FALSE(CKZPackFileArchive::FinishInterruptedPatch(CKZPath(PackDir())));
    EXPECT_TRUE(fs::exists(temporary0));

    // A commit that cannot be read completes nothing and goes.
    std::ofstream(commit) << "\xff garbage";
    EXPECT_FALSE(CKZPackFileArchive::FinishInterruptedPatch(CKZPath(PackDir())));
    EXPECT_TRUE(fs::exists(temporary0));
    EXPECT_FALSE(fs::exists(commit));
}

// One changed file of a big pack: its new bytes go after the end of the data file (an earlier run's
// leftover bytes included, from the next offset of the alignment), every other byte stays where it
// is, and only the header is new. A fresh index reads every file in the rebuild's order.
TEST_F(KZPackFileArchiveTest, OneChangedFileOfABigPackIsAppendedInPlace)
{
    const bool bClones = ClonesHere();
    std::mt19937 rng(5);
    std::vector<SFile> files;
    for (int i = 0; i < 8; ++i)
        files.push_back({"Data\\f" + std::to_string(i) + ".bin", RandomBytes(rng, 200000 + i)});
    files.push_back({"Data\\tiny.txt", "tiny"});
    WritePack(0, files, ",\"alignment\": 16");
    WritePack(1, {{"other.txt", "other"}});
    // A run cut short after its appends left bytes that no header names.
    std::ofstream(PackPath(0), std::ios::binary | std::ios::app) << "garbage";
    const std::string strOld = KZTestReadFile(PackPath(0));
    const ino_t inode = Inode(PackPath(0)), inode1 = Inode(PackPath(1));
    fs::create_hard_link(PackPath(0), m_dir / "old_pack0");
    const std::string strChanged = RandomBytes(rng, 100003);
    WriteSource("Data/f3.bin", strChanged);
    std::vector<uint32_t> oldOffsets;
    CKZPackFileArchive archive;
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    for (unsigned int j = 0; j < archive.GetPackedFileCount(0); ++j)
        oldOffsets.push_back(archive.GetPackedFileOffset(0, j));
    archive.PatchBegin();
    archive.AddPatchFile(0, CKZPath(DataDir() + "Data/f3.bin"));
    ASSERT_TRUE(archive.DoPatch(CKZPath(PackDir()), CKZPath(DataDir()), 2));
    EXPECT_EQ(archive.GetPatchPacksWritten(), 1u);
    EXPECT_EQ(archive.GetPatchPacksAppended(), 1u);
    uint64_t qwLengths = 0;
    for (size_t i = 0; i < files.size(); ++i)
        qwLengths += i == 3 ? strChanged.size() : files[i].data.size();
    EXPECT_EQ(archive.GetPatchBytesDone(), qwLengths + fs::file_size(PackPath(1)));
    EXPECT_EQ(archive.GetPatchFilesDone(), 10u);
    ExpectNoTemporaries();

    // The data file grew by the new file and its fill alone; the old bytes were not written again
    // (in place: the same inode; with a clone: the old inode keeps exactly its old bytes).
    const uint64_t qwStart = Filled(strOld.size(), 16);
    const std::string strNew = KZTestReadFile(PackPath(0));
    ASSERT_EQ(strNew.size(), qwStart + Filled(strChanged.size(), 16));
    EXPECT_TRUE(strNew.compare(0, strOld.size(), strOld) == 0);
    EXPECT_TRUE(strNew.compare(qwStart, strChanged.size(), strChanged) == 0);
    if (bClones)
    {
        EXPECT_NE(Inode(PackPath(0)), inode);
        EXPECT_TRUE(KZTestReadFile(m_dir / "old_pack0") == strOld);
    }
    else
    {
        EXPECT_EQ(Inode(PackPath(0)), inode);
    }
    EXPECT_EQ(Inode(PackPath(1)), inode1);

    // The rebuild's order: the recorded entry first, then the kept files in their old order, each
    // kept one at its old offset with its old time; the new one with its time from the disk.
    std::vector<SFile> expected = {{"Data\\f3.bin", strChanged}};
    std::vector<uint32_t> expectedOffsets = {static_cast<uint32_t>(qwStart)};
    for (size_t i = 0; i < files.size(); ++i)
        if (i != 3)
        {
            expected.push_back(files[i]);
            expectedOffsets.push_back(oldOffsets[i]);
        }
    SKZFileTime creation;
    ASSERT_TRUE(CKZFile::GetFileTime((DataDir() + "Data/f3.bin").c_str(), &creation, nullptr, nullptr));
    CKZPackIndex index(*KZFileIO::GetStandardInterface());
    ASSERT_TRUE(index.Open(CKZPath(PackDir())));
    const CKZPackFile& pack = index.GetPack(0);
    ASSERT_EQ(pack.m_PackedFiles.size(), expected.size());
    for (size_t k = 0; k < expected.size(); ++k)
    {
        SCOPED_TRACE(expected[k].path);
        const SKZPackedFile& packed = pack.m_PackedFiles[k];
        EXPECT_EQ(packed.m_strPath, expected[k].path);
        EXPECT_EQ(packed.m_dwOffset, expectedOffsets[k]);
        std::string strBytes(packed.m_dwLength, '\0');
        CKZPackReader reader = index.OpenReader(packed);
        EXPECT_EQ(reader.Read(&strBytes[0], 1, static_cast<int>(strBytes.size())), static_cast<int>(strBytes.size()));
        EXPECT_TRUE(strBytes == expected[k].data);
        EXPECT_EQ(packed.m_dwCheckSum, Crc(expected[k].data));
        EXPECT_EQ(packed.m_FileTime.Get(), k == 0 ? creation.Get() : (uint64_t(7) << 32) + 1000u + (k <= 3 ? k - 1 : k));
    }
    index.Close();

    // The generator's reader of the header and data agrees, and counts the old copy of f3.bin and the
    // leftover bytes as dead.
    const SPackView view = View(0);
    EXPECT_EQ(view.m_strListing, Entries(expected));
    EXPECT_EQ(view.m_qwSize, strNew.size());
    EXPECT_EQ(view.m_qwSize - view.m_qwLive, (qwStart - (strOld.size() - 7)) + Filled(files[3].data.size(), 16));
    EXPECT_FALSE(IsCompact(0));
}

// Every update of the same small share of a pack adds its dead space, until the dead share would
// pass the limit: that update rebuilds the pack to exactly its live bytes.
TEST_F(KZPackFileArchiveTest, RepeatedUpdatesAccumulateDeadSpaceUntilThePackIsCompacted)
{
    const bool bClones = ClonesHere();
    std::mt19937 rng(6);
    std::vector<SFile> files = RandomFiles(rng, 10, 20000);
    WritePack(0, files);
    for (int run = 1; run <= 4; ++run)
    {
        SCOPED_TRACE(run);
        const ino_t inode = Inode(PackPath(0));
        const std::string strOld = KZTestReadFile(PackPath(0));
        SFile changed = {files[run].path, RandomBytes(rng, 20000)};
        WriteSource(changed.path, changed.data);
        files.erase(files.begin() + run);
        files.insert(files.begin(), changed);
        CKZPackFileArchive archive;
        ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
        archive.PatchBegin();
        archive.AddPatchFile(0, CKZPath(DataDir() + changed.path));
        ASSERT_TRUE(archive.DoPatch(CKZPath(PackDir()), CKZPath(DataDir()), 1));
        EXPECT_EQ(archive.GetPatchPacksWritten(), 1u);
        const SPackView view = View(0);
        EXPECT_EQ(view.m_strListing, Entries(files));
        EXPECT_EQ(view.m_qwLive, 200000u);
        if (run < 4)
        {
            // Dead: 20000 * run of 200000 + 20000 * run bytes, at most 25%.
            EXPECT_EQ(archive.GetPatchPacksAppended(), 1u);
            EXPECT_EQ(view.m_qwSize, 200000u + 20000u * run);
            EXPECT_TRUE(KZTestReadFile(PackPath(0)).compare(0, strOld.size(), strOld) == 0);
            EXPECT_TRUE(bClones || Inode(PackPath(0)) == inode);
        }
        else
        {
            // 80000 of 280000 would be dead.
            EXPECT_EQ(archive.GetPatchPacksAppended(), 0u);
            EXPECT_EQ(view.m_qwSize, 200000u);
            EXPECT_TRUE(IsCompact(0));
            EXPECT_NE(Inode(PackPath(0)), inode);
        }
        ExpectNoTemporaries();
        std::map<std::string, std::string> model;
        for (const SFile& file : files)
            model[file.path] = file.data;
        EXPECT_EQ(Contents(), model);
    }
}

// A removed file and one moved out only leave dead space in their pack, which gets a new header and
// keeps its data file as it was; the moved file is appended to its new pack from the old pack's bytes
// (a kept file's copy: inside the kernel), with its old time and checksum.
TEST_F(KZPackFileArchiveTest, RemovedAndMovedFilesLeaveDeadSpaceAndTheMovedFileWorks)
{
    std::mt19937 rng(7);
    std::vector<SFile> pack0, pack1;
    for (int i = 0; i < 10; ++i)
        pack0.push_back({"a\\f0_" + std::to_string(i) + ".bin", RandomBytes(rng, 70000 + i)});
    for (int i = 0; i < 4; ++i)
        pack1.push_back({"b\\f1_" + std::to_string(i) + ".bin", RandomBytes(rng, 70000)});
    WritePack(0, pack0);
    WritePack(1, pack1);
    const std::string strOld0 = KZTestReadFile(PackPath(0)), strOld1 = KZTestReadFile(PackPath(1));
    const ino_t inode0 = Inode(PackPath(0));
    CKZPackFileArchive archive;
    ASSERT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
    archive.PatchBegin();
    EXPECT_EQ(archive.RemovePatchFile(CKZPath(DataDir() + "a/f0_2.bin")), 1);
    EXPECT_TRUE(archive.PatchMoveFile(0, 1, CKZPath(DataDir() + "a/f0_5.bin")));
    ASSERT_TRUE(archive.DoPatch(CKZPath(PackDir()), CKZPath(DataDir()), 2));
    EXPECT_EQ(archive.GetPatchPacksWritten(), 2u);
    EXPECT_EQ(archive.GetPatchPacksAppended(), 2u);
    ExpectNoTemporaries();

    // Pack 0: 140009 of 700045 bytes dead, the data file untouched.
    EXPECT_EQ(Inode(PackPath(0)), inode0);
    EXPECT_TRUE(KZTestReadFile(PackPath(0)) == strOld0);
    const SFile moved = pack0[5];
    pack0.erase(pack0.begin() + 5);
    pack0.erase(pack0.begin() + 2);
    const SPackView view0 = View(0);
    EXPECT_EQ(view0.m_strListing, Entries(pack0));
    EXPECT_EQ(view0.m_qwSize - view0.m_qwLive, 70002u + 70005u);
    // Pack 1: the moved file first, after the old end.
    const std::string strNew1 = KZTestReadFile(PackPath(1));
    ASSERT_EQ(strNew1.size(), strOld1.size() + moved.data.size());
    EXPECT_TRUE(strNew1.compare(0, strOld1.size(), strOld1) == 0);
    pack1.insert(pack1.begin(), moved);
    EXPECT_EQ(Listing(1), Entries(pack1));

    CKZPackIndex index(*KZFileIO::GetStandardInterface());
    ASSERT_TRUE(index.Open(CKZPath(PackDir())));
    EXPECT_EQ(index.GetTotalPackedFileCount(), 13u);
    EXPECT_EQ(index.GetPackedFileByInternalRelativePath("a\\f0_2.bin"), nullptr);
    const SKZPackedFile* pMoved = index.GetPackedFileByInternalRelativePath("a\\f0_5.bin");
    ASSERT_NE(pMoved, nullptr);
    EXPECT_EQ(index.GetPackIndex(*pMoved), 1u);
    EXPECT_EQ(pMoved->m_dwOffset, strOld1.size());
    EXPECT_EQ(pMoved->m_FileTime.lowDatetime, 1005u);
    EXPECT_EQ(pMoved->m_dwCheckSum, Crc(moved.data));
    index.Close();
    std::map<std::string, std::string> model;
    for (const auto* pFiles : {&pack0, &pack1})
        for (const SFile& file : *pFiles)
            model[file.path] = file.data;
    EXPECT_EQ(Contents(), model);
}

// An append that fails (a write refused, the header refused, a cancel) returns false and leaves the
// pack as it was, byte for byte: the bytes appended to the data file are cut off again. The next
// run then appends.
TEST_F(KZPackFileArchiveTest, FailedAppendLeavesThePackAsItWas)
{
    std::mt19937 rng(8);
    const std::vector<SFile> files = RandomFiles(rng, 8, 300000);
    WritePack(0, files);
    const std::string strData = KZTestReadFile(PackPath(0)), strHeader = KZTestReadFile(PackPath(0).string() + "header");
    // Three pieces of data, then the header.
    const std::string strChanged = RandomBytes(rng, 600000);
    WriteSource("f0.bin", strChanged);
    const auto run = [&](const std::function<void(CKZPackFileArchive&)>& prepare) {
        CKZPackFileArchive archive;
        EXPECT_TRUE(archive.OpenPackFile(CKZPath(PackDir())));
        archive.PatchBegin();
        archive.AddPatchFile(0, CKZPath(DataDir() + "f0.bin"));
        prepare(archive);
        const bool bDone = archive.DoPatch(CKZPath(PackDir()), CKZPath(DataDir()), 1);
        archive.PatchEnd();
        return std::make_pair(bDone, archive.GetPatchPacksAppended());
    };
    for (uint64_t qwFailWrite : {1u, 2u, 4u})
    {
        SCOPED_TRACE(qwFailWrite);
        CKZFaultyWrites faults;
        faults.FailFromWrite(qwFailWrite);
        EXPECT_FALSE(run([](CKZPackFileArchive&) {}).first);
        EXPECT_GT(faults.Refused(), 0u);
        faults.FailFromWrite(0);
        EXPECT_TRUE(KZTestReadFile(PackPath(0)) == strData);
        EXPECT_EQ(KZTestReadFile(PackPath(0).string() + "header"), strHeader);
        ExpectNoTemporaries();
    }
    EXPECT_FALSE(run([](CKZPackFileArchive& archive) { archive.SetCancelCheck([] { return true; }); }).first);
    EXPECT_TRUE(KZTestReadFile(PackPath(0)) == strData);
    ExpectNoTemporaries();

    EXPECT_EQ(run([](CKZPackFileArchive&) {}), std::make_pair(true, 1u));
    EXPECT_EQ(fs::file_size(PackPath(0)), strData.size() + strChanged.size());
    EXPECT_TRUE(Contents().at("f0.bin") == strChanged);
}

// An update cut short before its commit leaves the old header in place, which still reads the old
// pack (it names only bytes below the old end); its temporary is a header only, which the next start
// deletes, and the update done again appends once more. Cut short after its commit marker, the next
// start renames the header into place.
TEST_F(KZPackFileArchiveTest, AppendCutShortBeforeOrAfterItsCommit)
{
    std::mt19937 rng(9);
    const std::vector<SFile> files = RandomFiles(rng, 8, 50000);
    WritePack(0, files);
    std::map<std::string, std::string> oldModel, newModel;
    for (const SFile& file : files)
        oldModel[file.path] = newModel[file.path] = file.data;
    newModel["f1.bin"] = RandomBytes(rng, 50000);
    WriteSource("f1.bin", newModel["f1.bin"]);
    const fs::path temporary = m_dir / "PackFiles" / "p_tmp_00000000.csa";
    const auto update = [&]() {
        CKZPackIndex index(*KZFileIO::GetStandardInterface());
        ASSERT_TRUE(index.Open(CKZPath(PackDir())));
        CKZPackRebuilder rebuilder(index);
        rebuilder.PatchBegin();
        rebuilder.AddPatchFile(0, CKZPath(DataDir() + "f1.bin"));
        ASSERT_TRUE(rebuilder.RebuildPacks(CKZPath(PackDir()), CKZPath(DataDir()), 1));
        EXPECT_EQ(rebuilder.GetPatchPacksAppended(), 1u);
    };
    update();
    if (!fs::exists(temporary))
    {
        EXPECT_TRUE(fs::exists(temporary.string() + "header"));
        EXPECT_EQ(fs::file_size(PackPath(0)), 450000u);
    }
    EXPECT_EQ(Contents(), oldModel);
    EXPECT_FALSE(CKZPackFileArchive::FinishInterruptedPatch(CKZPath(PackDir())));
    EXPECT_TRUE(CKZPackFileArchive::RemoveTemporaryPatchFiles(CKZPath(PackDir()), 32));
    ExpectNoTemporaries();
    EXPECT_EQ(Contents(), oldModel);

    update();
    std::ofstream(m_dir / "PackFiles" / "p_tmp_commit") << "1 1\n";
    EXPECT_TRUE(CKZPackFileArchive::FinishInterruptedPatch(CKZPath(PackDir())));
    ExpectNoTemporaries();
    EXPECT_EQ(Contents(), newModel);
    const SPackView view = View(0);
    EXPECT_EQ(view.m_qwLive, 400000u);
    // In place, the first run's copy of f1.bin is dead too; a clone was taken of the untouched pack.
    EXPECT_EQ(view.m_qwSize, ClonesHere() ? 450000u : 500000u);
}
