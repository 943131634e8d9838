#include "Base/Core/KZFile.h"

#include "Base/Debug/KZLog.h"

#include "Fixtures/KZTestFiles.h"

#include "Fixtures/KZTestEvents.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
class KZFileTest : public CKZTestWithDirectory
{
protected:
    KZFileTest() : CKZTestWithDirectory("kzfile") {}

    void Write(const char* szName, const std::string& strContent) const
    {
        std::ofstream(m_dir / szName, std::ios::binary) << strContent;
    }
};
} // namespace

TEST_F(KZFileTest, OpenReadWriteAndLines)
{
    CKZFile file;
    EXPECT_FALSE(file.Open(Path("missing").c_str(), "rb"));
    ASSERT_TRUE(file.Open(Path("lines.txt").c_str(), "wb"));
    EXPECT_TRUE(file.IsWriting());
    file.PutLine("first");
    file.PutLine("second");
    file.Close();
    EXPECT_EQ(KZTestReadFile(m_dir / "lines.txt"), "first\r\nsecond\r\n");
    ASSERT_TRUE(file.Open(Path("lines.txt").c_str(), "rb"));
    EXPECT_EQ(file.GetFileName(), "lines.txt");
    EXPECT_EQ(file.GetExtension(), "txt");
    EXPECT_EQ(file.GetLine(), "first");
    EXPECT_EQ(file.GetLine(), "second");
    EXPECT_EQ(file.GetLine(), "");
    EXPECT_EQ(file.SeekToEnd(), 15);
}

TEST_F(KZFileTest, ExtensionlessFilesAndRelativeDirectories)
{
    Write("README", "read me");
    CKZFile file;
    ASSERT_TRUE(file.Open(Path("README").c_str(), "rb"));
    EXPECT_EQ(file.GetFilePath().GetString(), Path("README"));
    EXPECT_EQ(file.GetFileName(), "README");
    EXPECT_EQ(file.GetExtension(), "");
    file.Close();
    file.SetFilePath(Path("README").c_str());
    ASSERT_TRUE(file.OpenInMemory()) << "reopens the path it was given";
    EXPECT_EQ(file.GetLength(), 7);
    file.Close();

    // Relative directories, one component or several, are created below the working directory.
    char szSaved[4096];
    ASSERT_NE(getcwd(szSaved, sizeof(szSaved)), nullptr);
    ASSERT_EQ(chdir(m_dir.c_str()), 0);
    const bool bSingle = CKZFile::CreateDir("single", true);
    const bool bNested = CKZFile::CreateDir("outer/inner/", true);
    ASSERT_EQ(chdir(szSaved), 0);
    EXPECT_TRUE(bSingle);
    EXPECT_TRUE(bNested);
    EXPECT_TRUE(fs::is_directory(m_dir / "single"));
    EXPECT_TRUE(fs::is_directory(m_dir / "outer" / "inner"));
}

TEST_F(KZFileTest, InMemoryAndVirtualFiles)
{
    Write("data.bin", std::string("\x01\x02\x03\x04\x05", 5));
    CKZFile file;
    ASSERT_TRUE(file.OpenInMemory(Path("data.bin").c_str()));
    ASSERT_NE(file.GetFileStartPtr(), nullptr);
    EXPECT_EQ(memcmp(file.GetFileStartPtr(), "\x01\x02\x03\x04\x05", 5), 0);
    EXPECT_EQ(static_cast<const char*>(file.GetFileStartPtr())[5], 0) << "terminated";
    EXPECT_EQ(file.GetLength(), 5);
    char buffer[8];
    EXPECT_EQ(file.Read(buffer, 1, 8), 5);
    EXPECT_TRUE(file.EOF2());
    file.Close();
    EXPECT_EQ(file.GetIOInterface(), KZFileIO::GetDefaultInterface());
    EXPECT_FALSE(file.OpenInMemory(Path("missing").c_str()));
    EXPECT_EQ(file.GetIOInterface(), KZFileIO::GetDefaultInterface());

    Write("empty", "");
    ASSERT_TRUE(file.OpenInMemory(Path("empty").c_str()));
    EXPECT_EQ(file.GetLength(), 0);
    file.Close();

    CKZFile virtualFile;
    ASSERT_TRUE(virtualFile.OpenVirtualFile(16, "wb"));
    EXPECT_EQ(virtualFile.Write("0123456789012345678", 1, 19), 19);
    EXPECT_EQ(virtualFile.GetLength(), 19);
}

TEST_F(KZFileTest, StaticQueriesAndTimes)
{
    Write("f.txt", "hello");
    uint32_t size = 0;
    EXPECT_TRUE(CKZFile::FileExists(Path("f.txt"), nullptr, &size));
    EXPECT_EQ(size, 5u);
    EXPECT_FALSE(CKZFile::FileExists(Path("nope")));
    EXPECT_EQ(CKZFile::GetFileSize(Path("f.txt").c_str()), 5u);
    EXPECT_TRUE(CKZFile::DirectoryExists(m_dir.c_str()));
    EXPECT_FALSE(CKZFile::DirectoryExists(Path("f.txt").c_str()));

    SKZFileTime access, write;
    UnixTimeToFileTime(1000000000, &write);
    ASSERT_TRUE(CKZFile::SetFileTime(Path("f.txt").c_str(), nullptr, nullptr, &write));
    SKZFileTime creation, readAccess, readWrite;
    ASSERT_TRUE(CKZFile::GetFileTime(Path("f.txt").c_str(), &creation, &readAccess, &readWrite));
    EXPECT_EQ(readWrite, write);
    int64_t seconds = -1;
    FileTimeToUnixTime(&seconds, &readAccess);
    EXPECT_EQ(seconds, 0) << "a null access time means 1970-01-01";
    EXPECT_NE(creation.Get(), 0u);
    EXPECT_FALSE(CKZFile::GetFileTime(Path("nope").c_str(), &creation, nullptr, nullptr));

    // 1970 in file-time units; and the conversion back.
    UnixTimeToFileTime(0, &access);
    EXPECT_EQ(access.Get(), 116444736000000000ull);
    EXPECT_EQ(access.lowDatetime, 0xD53E8000u);
    EXPECT_EQ(access.highDatetime, 0x019DB1DEu);
    EXPECT_EQ(CKZFile::CompareFileTime(&access, nullptr), -1);
    EXPECT_EQ(CKZFile::CompareFileTime(&write, &access), 1);
    EXPECT_EQ(CKZFile::CompareFileTime(&access, &write), -1);
    EXPECT_EQ(CKZFile::CompareFileTime(&write, &write), 0);
    std::string text = "at ";
    FileTimeToStr(text, &write);
    EXPECT_EQ(text.size(), 3u + 19u);
}

TEST_F(KZFileTest, ChecksumsAreZlibCrc)
{
    Write("abc", "123456789");
    EXPECT_EQ(CKZFile::GetChecksum(Path("abc").c_str()), 0xCBF43926u);
    Write("empty", "");
    EXPECT_EQ(CKZFile::GetChecksum(Path("empty").c_str()), 0u);
    EXPECT_EQ(CKZFile::GetChecksum(Path("missing").c_str()), 0u);
}

TEST_F(KZFileTest, DirectoryListingsAndRemoval)
{
    EXPECT_TRUE(CKZFile::CreateDir((m_dir / "a" / "b" / "c").c_str(), true));
    EXPECT_TRUE(CKZFile::DirectoryExists((m_dir / "a" / "b" / "c").c_str()));
    EXPECT_TRUE(CKZFile::CreateDir((m_dir / "a").c_str(), false)) << "an existing directory";
    EXPECT_FALSE(CKZFile::CreateDir((m_dir / "x" / "y").c_str(), false));
    Write("a/one.zip", "1");
    Write("a/two.txt", "22");
    Write("a/b/three.zip", "333");
    Write("a/b/c/four.zip", "4444");

    std::vector<SKZFileInfo> entries;
    EXPECT_TRUE(CKZFile::CollectDirectoryFiles(Path("a").c_str(), entries, false, "*.zip", false, false));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_STREQ(entries[0].name, "one.zip");
    EXPECT_EQ(entries[0].size, 1u);

    entries.clear();
    EXPECT_TRUE(CKZFile::CollectDirectoryFiles(Path("a").c_str(), entries, true, "*.zip", true, true));
    std::vector<std::string> names;
    for (const SKZFileInfo& entry : entries)
        names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    const std::string base = Path("a") + "/";
    EXPECT_EQ(names, (std::vector<std::string>{base + "b/", base + "b/c/", base + "b/c/four.zip", base + "b/three.zip",
                                               base + "one.zip"}));
    // A directory's own entry comes before its contents.
    const auto directory = std::find_if(entries.begin(), entries.end(), [&](const SKZFileInfo& e) {
        return std::string(e.name) == base + "b/";
    });
    const auto inside = std::find_if(entries.begin(), entries.end(), [&](const SKZFileInfo& e) {
        return std::string(e.name) == base + "b/three.zip";
    });
    EXPECT_LT(directory, inside);
    EXPECT_TRUE(directory->IsDirectory());

    entries.clear();
    EXPECT_TRUE(CKZFile::CollectDirectoryFiles(Path("missing").c_str(), entries, true, nullptr, true, true));
    EXPECT_TRUE(entries.empty());

    EXPECT_TRUE(CKZFile::RemoveDirectoryContents(Path("a").c_str()));
    EXPECT_TRUE(fs::is_directory(m_dir / "a"));
    EXPECT_TRUE(fs::is_empty(m_dir / "a"));
    EXPECT_TRUE(CKZFile::RemoveDir(Path("a").c_str()));
    EXPECT_FALSE(fs::exists(m_dir / "a"));
}

TEST_F(KZFileTest, CopyRenameTextAndNames)
{
    Write("src", std::string(5000, 'q'));
    EXPECT_TRUE(CKZFile::Copy(Path("src").c_str(), Path("dst").c_str()));
    EXPECT_EQ(KZTestReadFile(m_dir / "dst"), std::string(5000, 'q'));
    EXPECT_FALSE(CKZFile::Copy(Path("missing").c_str(), Path("dst2").c_str()));
    EXPECT_TRUE(CKZFile::Rename(Path("dst").c_str(), Path("moved").c_str()));
    EXPECT_TRUE(CKZFile::CreateTextFile(Path("t.txt").c_str(), "text"));
    std::string text;
    EXPECT_TRUE(CKZFile::ReadText(text, Path("t.txt").c_str()));
    EXPECT_EQ(text, "text");
    EXPECT_TRUE(CKZFile::CreateEmptyFile(Path("e").c_str()));
    EXPECT_EQ(fs::file_size(m_dir / "e"), 0u);
    EXPECT_TRUE(CKZFile::RemoveFile(Path("e").c_str()));

    const std::string longName(2000, 'x');
    const SKZFileInfo info(longName.c_str(), 1, SKZFileTime(), 0);
    EXPECT_EQ(strlen(info.name), 511u);
    EXPECT_TRUE(info == SKZFileInfo(longName.substr(0, 511).c_str(), 2, SKZFileTime(), 1));
}

TEST_F(KZFileTest, TypedValuesBytesAndEndianness)
{
    {
        CKZFileV out;
        ASSERT_TRUE(out.Open(Path("typed").c_str(), "wb"));
        uint32_t value = 0x01020304;
        out.Serialize(&value, 1);
        out.m_bSwapEndian = true;
        out.Serialize(&value, 1);
        out.m_bSwapEndian = false;
        EXPECT_EQ(value, 0x01020304u) << "the caller's data is untouched";
        double d = 1.5;
        out.Serialize(&d, 1);
        out.SerializeBool(true);
        out.SerializeByte(7);
        out.m_bPad = true;
        char bytes[3] = {'a', 'b', 'c'};
        out.Serialize(bytes, 3);
        int16_t shorts[1] = {-2};
        out.Serialize(shorts, 1);
        uint32_t later = 9;
        out.Serialize(&later, 1, 5); // above the file's version: skipped
    }
    const std::string bytes = KZTestReadFile(m_dir / "typed");
    ASSERT_EQ(bytes.size(), 4u + 4 + 8 + 4 + 1 + 4 + 4);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x04\x03\x02\x01\x01\x02\x03\x04", 8));
    EXPECT_EQ(bytes.substr(21, 4), std::string("abc\0", 4));
    EXPECT_EQ(bytes.substr(25, 4), std::string("\xFE\xFF\0\0", 4));

    CKZFileV in;
    ASSERT_TRUE(in.Open(Path("typed").c_str(), "rb"));
    uint32_t a = 0, b = 0;
    in.Serialize(&a, 1);
    in.m_bSwapEndian = true;
    in.Serialize(&b, 1);
    in.m_bSwapEndian = false;
    EXPECT_EQ(a, 0x01020304u);
    EXPECT_EQ(b, 0x01020304u);
    double d = 0;
    in.Serialize(&d, 1);
    EXPECT_EQ(d, 1.5);
    EXPECT_TRUE(in.SerializeBool(false));
    EXPECT_EQ(in.SerializeByte(0), 7);
    uint32_t skipped = 42;
    in.Serialize(&skipped, 1, 1);
    EXPECT_EQ(skipped, 42u);
    EXPECT_EQ(in.Tell(), 21) << "a skipped element consumes nothing";
}

TEST_F(KZFileTest, PlainAndScrambledStrings)
{
    {
        CKZFileV out;
        ASSERT_TRUE(out.Open(Path("strings").c_str(), "wb"));
        std::string plain = "plain", empty;
        out.SerializeSTLString(plain);
        out.SerializeSTLString(empty);
        out.m_bCryptStrings = true;
        std::string abc = "abc";
        out.SerializeSTLString(abc);
        EXPECT_EQ(abc, "abc") << "restored after the write";
        char buffer[16] = "cstring";
        out.SerializeCString(buffer, sizeof(buffer));
    }
    const std::string bytes = KZTestReadFile(m_dir / "strings");
    EXPECT_EQ(bytes.substr(0, 9), std::string("\5\0\0\0plain", 9));
    EXPECT_EQ(bytes.substr(9, 4), std::string("\0\0\0\0", 4));
    EXPECT_EQ(bytes.substr(13, 7), std::string("\x03\x00\x00\x04\x5D\x5E\x5F", 7));

    for (bool bFlag : {false, true})
    {
        CKZFileV in;
        ASSERT_TRUE(in.Open(Path("strings").c_str(), "rb"));
        in.m_bCryptStrings = bFlag;
        std::string plain, empty = "x", abc;
        in.SerializeSTLString(plain);
        in.SerializeSTLString(empty);
        in.SerializeSTLString(abc);
        char buffer[4];
        in.SerializeCString(buffer, sizeof(buffer));
        EXPECT_EQ(plain, "plain");
        EXPECT_EQ(empty, "");
        EXPECT_EQ(abc, "abc");
        EXPECT_STREQ(buffer, "cst") << "cut to the caller's buffer";
        EXPECT_EQ(in.Tell(), in.GetLength()) << "the rest of the string is skipped";
    }
}

TEST_F(KZFileTest, WrongScrambleKeyAndOverlongLengths)
{
    Write("wrongkey", std::string("\x03\x00\x00\x05\x5D\x5E\x5F", 7));
    CKZTestEventRecorder asserts;
    CKZFileV in;
    ASSERT_TRUE(in.Open(Path("wrongkey").c_str(), "rb"));
    std::string text;
    in.SerializeSTLString(text);
    EXPECT_EQ(text, "bcd") << "the key as found is added";
    EXPECT_EQ(asserts.Count(), 1);
    EXPECT_EQ(asserts.LastExpression(), "Crypto == 1u+(iLen & 0x00000000f)");
    in.Close();

    // A length word far beyond the file reads what is there and allocates no more.
    Write("huge", std::string("\xFF\xFF\xFF\x00xyz", 7));
    ASSERT_TRUE(in.Open(Path("huge").c_str(), "rb"));
    in.SerializeSTLString(text);
    EXPECT_EQ(text, "xyz");
}

TEST_F(KZFileTest, LengthFollowsWritesAndOtherWriters)
{
    // Read and write on one stream: bytes still in its buffer count, a seek past the end does not.
    CKZFile file;
    ASSERT_TRUE(file.Open(Path("rw.bin").c_str(), "w+b"));
    const std::string strHundred(100, 'a');
    file.Write(strHundred.data(), 1, 100);
    EXPECT_EQ(file.GetLength(), 100);
    file.SeekToBegin();
    file.Write("0123456789", 1, 10);
    EXPECT_EQ(file.GetLength(), 100);
    EXPECT_EQ(file.Tell(), 10);
    file.Seek(50, 2);
    EXPECT_EQ(file.GetLength(), 100);
    file.Seek(0, 2);
    file.Write(strHundred.data(), 1, 50);
    EXPECT_EQ(file.GetLength(), 150);
    EXPECT_EQ(file.SeekToEnd(), 150);
    file.Seek(5, 0);
    char abBytes[8] = {0};
    ASSERT_EQ(file.Read(abBytes, 1, 7), 7);
    EXPECT_EQ(std::string(abBytes, 7), "56789aa");
    file.Close();
    EXPECT_EQ(fs::file_size(m_dir / "rw.bin"), 150u);

    // A file that another writer extends while it is open for reading; asking the length neither
    // moves the position nor loses what was read ahead.
    Write("grows.bin", "abcdef");
    ASSERT_TRUE(file.Open(Path("grows.bin").c_str(), "rb"));
    ASSERT_EQ(file.Read(abBytes, 1, 2), 2);
    EXPECT_EQ(file.GetLength(), 6);
    std::ofstream(m_dir / "grows.bin", std::ios::binary | std::ios::app) << "ghij";
    EXPECT_EQ(file.GetLength(), 10);
    EXPECT_EQ(file.Tell(), 2);
    ASSERT_EQ(file.Read(abBytes, 1, 8), 8);
    EXPECT_EQ(std::string(abBytes, 8), "cdefghij");
}

TEST_F(KZFileTest, ReadBytesStopsAtTheEnd)
{
    // Longer than the first read piece, so the string grows more than once.
    std::string strContent(200000, 'x');
    for (size_t i = 0; i < strContent.size(); ++i)
        strContent[i] = static_cast<char>('a' + i % 26);
    Write("long.bin", strContent);
    for (const bool bInMemory : {false, true})
    {
        CKZFile file;
        const std::string strPath = Path("long.bin");
        ASSERT_TRUE(bInMemory ? file.OpenInMemory(strPath.c_str()) : file.Open(strPath.c_str(), "rb"));
        std::string strRead;
        file.ReadBytes(strRead, 3);
        EXPECT_EQ(strRead, "abc");
        file.ReadBytes(strRead, 0xFFFFFFFF);
        EXPECT_EQ(strRead, strContent.substr(3)) << "in memory " << bInMemory;
        file.ReadBytes(strRead, 10);
        EXPECT_TRUE(strRead.empty());
    }
}
