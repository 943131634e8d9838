#pragma once
// The process-wide table of the application's directories, the default file formats, and a scoped
// temporary directory.

#include "Base/Core/FileIO/KZPath.h"

#include <cstdint>

enum KZ_FILE_FORMAT : uint32_t
{
    KZ_FILE_FORMAT_BINARY = 0,
    KZ_FILE_FORMAT_XML = 1,
    KZ_FILE_FORMAT_EXPORT = 2,
};

enum KZ_FILE_EXT : uint32_t
{
    KZ_FILE_EXT_SCENE = 0,
    KZ_FILE_EXT_ENTITY = 1,
    KZ_FILE_EXT_TOOLSET = 2,
    KZ_FILE_EXT_HEIGHTMAP = 3,
    KZ_FILE_EXT_INFOMAP = 4,
    KZ_FILE_EXT_TERRAINPATCH = 5,
    KZ_FILE_EXT_COUNT = 6,
};

enum KZ_DIRECTORY : uint32_t
{
    KZ_DIRECTORY_PROJECT = 0,
    KZ_DIRECTORY_DATA = 1,
    KZ_DIRECTORY_USER_DATA = 2,
    KZ_DIRECTORY_RETIRED_3 = 3,
    KZ_DIRECTORY_RETIRED_4 = 4,
    KZ_DIRECTORY_SCENE_SOURCE = 5,
    KZ_DIRECTORY_SCENE_BINARY = 6,
    KZ_DIRECTORY_MEDIA = 7,
    KZ_DIRECTORY_APP_DATA = 8,
    KZ_DIRECTORY_LOCALIZATION = 9,
};

struct SKZSysPath
{
    CKZPath projectPath;
    CKZPath userDataPath;
    CKZPath devFilesPath;
    CKZPath dataPath;
    CKZPath sceneSourcePath;
    CKZPath sceneBinaryPath;
    CKZPath scriptPath;
    CKZPath mediaPath;
    CKZPath localizationPath;
    CKZPath appDataPath;
    CKZPath exePath;
    CKZPath currentFilePath;
    KZ_FILE_FORMAT defaultFileFormat = KZ_FILE_FORMAT_BINARY;
    KZ_DIRECTORY defaultSceneDirectory = KZ_DIRECTORY_PROJECT;
    KZ_FILE_FORMAT defaultExportFormat = KZ_FILE_FORMAT_BINARY;

    static const char* const sm_szfileExtensions[KZ_FILE_EXT_COUNT][3];
};

namespace KZSystem
{
void InitPaths(const char* szProjectDir, const char* szUserDataDir, const char* szDevFilesDir,
               KZ_FILE_FORMAT defaultFileFormat, KZ_DIRECTORY defaultSceneDirectory,
               KZ_FILE_FORMAT defaultExportFormat);
void ClearPaths();

const CKZPath& GetProjectPath();
const char* GetProjectPathStr();
const CKZPath& GetExePath();
const CKZPath& GetUserDataPath();
const char* GetUserDataPathStr();
const CKZPath& GetDataPath();
const char* GetDataPathStr();
const CKZPath& GetSceneSourcePath();
const char* GetSceneSourcePathStr();
const CKZPath& GetSceneBinaryPath();
const char* GetSceneBinaryPathStr();
const CKZPath& GetScriptPath();
const CKZPath& GetMediaPath();
const char* GetMediaPathStr();
const CKZPath& GetLocalizationPath();
const char* GetLocalizationPathStr();
const CKZPath& GetAppDataPath();
const char* GetAppDataPathStr();
const CKZPath& GetDevFilesFolderPath();
const CKZPath& GetCurrentFilePath();
void SetCurrentFilePath(const CKZPath& path);

const CKZPath& GetDirectoryFromType(KZ_DIRECTORY type);
const CKZPath& GetDefaultScenePath();
const char* GetExtensionFromType(KZ_FILE_EXT kind);
const char* GetExtensionFromType(KZ_FILE_EXT kind, KZ_FILE_FORMAT format);
const char* GetSceneExtension();
KZ_FILE_FORMAT GetDefaultFileFormat();
KZ_FILE_FORMAT GetDefaultExportFormat();
}

namespace KZEngine
{
// A new directory under the system's temporary folder, removed with its contents at the end of
// the scope. The constructor throws when the directory cannot be created.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const CKZPath& GetPath() const { return m_path; }

private:
    CKZPath m_path;
};
}
