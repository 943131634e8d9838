#include "System/Studio/KZSysPath.h"

#include "Base/Core/KZFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

TEST(KZSysPath, TableBeforeAndAfterInit)
{
    KZSystem::ClearPaths();
    EXPECT_TRUE(KZSystem::GetProjectPath().empty());
    EXPECT_TRUE(KZSystem::GetLocalizationPath().empty());
    KZSystem::InitPaths("/Games/App", "/Users/me", "/dev/files", KZ_FILE_FORMAT_XML, KZ_DIRECTORY_MEDIA,
                        KZ_FILE_FORMAT_EXPORT);
    EXPECT_STREQ(KZSystem::GetProjectPathStr(), "/Games/App/");
    EXPECT_STREQ(KZSystem::GetDataPathStr(), "/Games/App/Data/");
    EXPECT_STREQ(KZSystem::GetSceneBinaryPathStr(), "/Games/App/Data/Scene/");
    EXPECT_STREQ(KZSystem::GetLocalizationPathStr(), "/Games/App/Media/Text/Localization/");
    EXPECT_STREQ(KZSystem::GetAppDataPathStr(), "/Games/App/Application Data/");
    EXPECT_EQ(KZSystem::GetDefaultScenePath(), KZSystem::GetMediaPath());
    EXPECT_EQ(KZSystem::GetDirectoryFromType(static_cast<KZ_DIRECTORY>(42)), KZSystem::GetProjectPath());
    EXPECT_STREQ(KZSystem::GetExtensionFromType(KZ_FILE_EXT_HEIGHTMAP, KZ_FILE_FORMAT_EXPORT), "ter");
    EXPECT_STREQ(KZSystem::GetExtensionFromType(KZ_FILE_EXT_SCENE, KZ_FILE_FORMAT_EXPORT), "");
    EXPECT_STREQ(KZSystem::GetSceneExtension(), "scene_xml");
    // The executable's own directory, from the platform layer.
    const std::string exe = KZSystem::GetExePath().GetString();
    EXPECT_NE(exe.find(KZ_BINARY_DIR), std::string::npos) << exe;
    KZSystem::ClearPaths();
    EXPECT_TRUE(KZSystem::GetDataPath().empty());
}

TEST(KZSysPath, TempDirIsRemovedWithItsContents)
{
    std::string path;
    {
        KZEngine::TempDir temp;
        path = temp.GetPath().GetString();
        ASSERT_TRUE(std::filesystem::is_directory(path));
        std::filesystem::create_directories(path + "sub");
        std::ofstream(path + "sub/file.txt") << "x";
    }
    EXPECT_FALSE(std::filesystem::exists(path));

    const char* saved = getenv("TMPDIR");
    const std::string savedValue = saved ? saved : "";
    setenv("TMPDIR", "/proc/no/such/place", 1);
    EXPECT_THROW(KZEngine::TempDir(), std::exception);
    if (saved)
        setenv("TMPDIR", savedValue.c_str(), 1);
    else
        unsetenv("TMPDIR");
}
