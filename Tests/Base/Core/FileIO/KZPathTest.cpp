#include "Base/Core/FileIO/KZPath.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

TEST(KZPath, NormalForms)
{
    EXPECT_EQ(CKZPath("a\\b//c").GetString(), "a/b/c/");
    EXPECT_EQ(CKZPath("data/file.bin").GetString(), "data/file.bin");
    EXPECT_EQ(CKZPath("name").GetString(), "name");
    EXPECT_EQ(CKZPath("/root\\\\dir").GetString(), "/root/dir/");
    EXPECT_EQ(CKZPath("a/b.c/d").GetString(), "a/b.c/d/");
    EXPECT_EQ(CKZPath::Slashify("a\\\\b").GetString(), "a/b");
    EXPECT_EQ(CKZPath("C:\\").GetString(), "C:/");
    CKZPath path("x/y");
    path = path.GetString(); // assigning the same text changes nothing
    EXPECT_EQ(path.GetString(), "x/y/");
}

TEST(KZPath, ConstructionAndAppending)
{
    EXPECT_EQ(CKZPath("dir", "name", "txt").GetString(), "dir/name.txt");
    EXPECT_EQ(CKZPath("dir", "name", ".txt").GetString(), "dir/name.txt");
    CKZPath root("root/");
    root += "/sub/x.dat";
    EXPECT_EQ(root.GetString(), "root/sub/x.dat");
    EXPECT_EQ((CKZPath("a/") + "b\\c").GetString(), "a/b/c/");
    CKZPath file("dir/file.txt");
    file.SetExtension("bin");
    EXPECT_EQ(file.GetString(), "dir/file.bin");
    CKZPath folder("dir/sub/");
    folder.SetExtension("zip");
    EXPECT_EQ(folder.GetString(), "dir/sub.zip");
    CKZPath bare("dir/name/");
    bare.AddExtension(".ccx");
    EXPECT_EQ(bare.GetString(), "dir/name.ccx");
    EXPECT_TRUE(bare.CompareExtension(".ccx"));
    EXPECT_FALSE(bare.CompareExtension(""));
    bare.Concat("\\raw");
    EXPECT_EQ(bare.GetString(), "dir/name.ccx\\raw");
}

TEST(KZPath, Pieces)
{
    const CKZPath path("a/b.c.d");
    EXPECT_EQ(path.SubPath(KZ_PATH_FILE_TITLE), "b");
    EXPECT_EQ(path.SubPath(KZ_PATH_EXTENSION), "d");
    EXPECT_EQ(path.SubPath(KZ_PATH_FILE_TITLE | KZ_PATH_EXTENSION), "b.c.d");
    EXPECT_EQ(path.SubPath(KZ_PATH_DIRECTORY), "a/");
    EXPECT_EQ(CKZPath("a.b/c").SubPath(KZ_PATH_EXTENSION), "") << "a dot inside the directory part is no extension";
    EXPECT_EQ(CKZPath("/x/y/z.txt").GetDirectory(), "/x/y/");
    EXPECT_EQ(CKZPath::GetParentDirectory("/a/b/c/file.txt", 1), "/a/b");

    EXPECT_STREQ(CKZPath::FindExtension("dir/file.tar.gz"), ".gz");
    EXPECT_STREQ(CKZPath::FindExtension("noext"), "");
    EXPECT_STREQ(CKZPath::FindFileName("a\\b/c.txt"), "c.txt");
    EXPECT_STREQ(CKZPath::FindFileTitle("a/c.tar.gz"), "c");
    EXPECT_STREQ(CKZPath::FindPath("a/b/c.txt"), "a/b");
    char title[4];
    EXPECT_TRUE(CKZPath::FindFileTitle("dir/longtitle.txt", title, sizeof(title)));
    EXPECT_STREQ(title, "lon");
    EXPECT_FALSE(CKZPath::FindFileTitle("dir.x/none", title, sizeof(title)));
    std::string piece;
    EXPECT_TRUE(CKZPath::FindExtension(std::string("a/b.c"), piece));
    EXPECT_EQ(piece, ".c");
    EXPECT_FALSE(CKZPath::FindPath(std::string("bare"), piece));
}

TEST(KZPath, OverlongInputIsCutInsideTheBuffers)
{
    const std::string longName(1000, 'n');
    const std::string longPath = std::string(600, 'd') + "/" + longName + ".extension_longer_than_fourteen";
    EXPECT_EQ(strlen(CKZPath::FindFileName(longPath.c_str())), 254u);
    EXPECT_EQ(std::string(CKZPath::FindFileName(("x/" + longName).c_str())), longName.substr(0, 254));
    EXPECT_LE(strlen(CKZPath::FindFileTitle(longPath.c_str())), 255u);
    EXPECT_EQ(strlen(CKZPath::FindPath(longPath.c_str())), 255u);
    EXPECT_LE(strlen(CKZPath::FindExtension(longPath.c_str())), 15u);
}

TEST(KZPath, RelativePaths)
{
    EXPECT_EQ(CKZPath("/Game/Data/x.dat").GetRelativePath("/game/data/").GetString(), "/x.dat");
    EXPECT_EQ(CKZPath("/Game/Data/x.dat").GetRelativePath("/other").GetString(), "/Game/Data/x.dat");
    EXPECT_EQ(CKZPath::GetRelativePath("/a/b", ""), "/a/b");
    EXPECT_TRUE(CKZPath::IsRelativeToPath("/a/b/c", "B"));
    EXPECT_TRUE(CKZPath::IsRelativeToPath("/a/b/c", ""));
    EXPECT_FALSE(CKZPath::IsRelativeToPath("/a/b/c", "d"));
    std::string relative;
    CKZPath("/Root/Sub/f.txt").GetRelativePathStr("\\root\\", relative);
    EXPECT_EQ(relative, "/Sub/f.txt");
    EXPECT_TRUE(CKZPath::IsRelativePath("a/b"));
    EXPECT_FALSE(CKZPath::IsRelativePath("/a"));
}

TEST(KZPath, FilePathsKeepTheirLastComponentAsAFileName)
{
    // The path class itself still reads a name without a dot as a directory.
    EXPECT_EQ(CKZPath("docs/README").GetString(), "docs/README/");
    EXPECT_EQ(CKZPath::FilePath("docs/README").GetString(), "docs/README");
    EXPECT_EQ(CKZPath::FilePath("a\\b//LICENSE").GetString(), "a/b/LICENSE");
    EXPECT_EQ(CKZPath::FilePath("dir/sub/").GetString(), "dir/sub");
    EXPECT_EQ(CKZPath::FilePath("data/file.bin").GetString(), "data/file.bin");
    EXPECT_EQ(CKZPath::FilePath("/").GetString(), "/");
    EXPECT_EQ(CKZPath::FilePath("").GetString(), "");
    const CKZPath readme = CKZPath::FilePath(std::string("/x/Makefile"));
    EXPECT_EQ(readme.SubPath(KZ_PATH_FILE_TITLE | KZ_PATH_EXTENSION), "Makefile");
    EXPECT_EQ(readme.SubPath(KZ_PATH_DIRECTORY), "/x/");
    EXPECT_EQ(readme.SubPath(KZ_PATH_EXTENSION), "");
    EXPECT_EQ(CKZPath::FilePath("archive").SubPath(KZ_PATH_DIRECTORY), "") << "a bare name lies in the working directory";
}

TEST(KZPath, NamesFromOutsideStayInsideTheirRoot)
{
    for (const char* szName : {"a.txt", "README", "dir/sub/LICENSE", "win\\style\\x.dat", "dir/", "...", "a..b/c",
                               "./x", "a//b"})
        EXPECT_TRUE(CKZPath::IsInsideRoot(szName)) << szName;
    for (const char* szName : {"", "..", "../x", "a/../../x", "a/..", "..\\x", "a\\..\\b", "/abs", "\\abs", "C:/x",
                               "c:x"})
        EXPECT_FALSE(CKZPath::IsInsideRoot(szName)) << szName;
}

TEST(KZPath, TemporaryFolders)
{
    const char* names[] = {"TMPDIR", "TMP", "TEMP", "TEMPDIR"};
    std::string saved[4];
    bool wasSet[4];
    for (int i = 0; i < 4; ++i)
    {
        const char* value = getenv(names[i]);
        wasSet[i] = value != nullptr;
        saved[i] = value ? value : "";
        unsetenv(names[i]);
    }
    EXPECT_EQ(CKZPath::GetTempFolderPath().GetString(), "/tmp/");
    setenv("TEMP", "/var/tmp", 1);
    EXPECT_EQ(CKZPath::GetTempFolderPath().GetString(), "/var/tmp/");
    const CKZPath generated = CKZPath::GenerateTempFolderPath();
    EXPECT_EQ(generated.GetString().compare(0, 15, "/var/tmp/kztemp"), 0);
    EXPECT_EQ(generated.length(), 15u + 36u + 1u);
    EXPECT_NE(generated, CKZPath::GenerateTempFolderPath());
    for (int i = 0; i < 4; ++i)
    {
        if (wasSet[i])
            setenv(names[i], saved[i].c_str(), 1);
        else
            unsetenv(names[i]);
    }
}
