#include "System/Studio/KZSysPath.h"

#include "Base/Core/KZFile.h"
#include "Base/Debug/KZLog.h"
#include "Base/Platform/KZPlatform.h"

#include <stdexcept>
#include <unistd.h>

namespace
{
SKZSysPath g_sysPath;

const CKZLog::SEventRecord s_recordRetired = {"Source/System/Studio/KZSysPath", "GetDirectoryFromType", "false",
                                              CKZLog::EVENT_ASSERT, 0, 137};

CKZPath Derived(const char* szSub)
{
    CKZPath path = g_sysPath.projectPath;
    path += szSub;
    return path;
}
}

const char* const SKZSysPath::sm_szfileExtensions[KZ_FILE_EXT_COUNT][3] = {
    {"scene", "scene_xml", ""},
    {"entity", "entity_xml", ""},
    {"toolset", "toolset_xml", "kzo.ed"},
    {"heightmap", "heightmap_xml", "ter"},
    {"infomap", "infomap_xml", "tei"},
    {"terrainpatch", "terrainpatch_xml", ""},
};

namespace KZSystem
{
void InitPaths(const char* szProjectDir, const char* szUserDataDir, const char* szDevFilesDir,
               KZ_FILE_FORMAT defaultFileFormat, KZ_DIRECTORY defaultSceneDirectory,
               KZ_FILE_FORMAT defaultExportFormat)
{
    g_sysPath.projectPath = szProjectDir;
    g_sysPath.exePath = szProjectDir;
    g_sysPath.userDataPath = szUserDataDir;
    g_sysPath.devFilesPath = szDevFilesDir;
    g_sysPath.dataPath = Derived("/Data");
    g_sysPath.sceneSourcePath = Derived("/Scene");
    g_sysPath.sceneBinaryPath = Derived("/Data/Scene");
    g_sysPath.scriptPath = Derived("/Data/Script");
    g_sysPath.mediaPath = Derived("/Media");
    g_sysPath.localizationPath = Derived("/Media/Text/Localization/");
    g_sysPath.appDataPath = Derived("/Application Data");
    g_sysPath.defaultFileFormat = defaultFileFormat;
    g_sysPath.defaultSceneDirectory = defaultSceneDirectory;
    g_sysPath.defaultExportFormat = defaultExportFormat;
    const std::string strExecutable = KZPlatform::GetExecutablePath();
    if (!strExecutable.empty())
    {
        std::string strDirectory;
        if (CKZPath::FindPath(strExecutable, strDirectory))
            g_sysPath.exePath = strDirectory;
    }
}

void ClearPaths()
{
    g_sysPath = SKZSysPath();
}

const CKZPath& GetProjectPath() { return g_sysPath.projectPath; }
const char* GetProjectPathStr() { return g_sysPath.projectPath.c_str(); }
const CKZPath& GetExePath() { return g_sysPath.exePath; }
const CKZPath& GetUserDataPath() { return g_sysPath.userDataPath; }
const char* GetUserDataPathStr() { return g_sysPath.userDataPath.c_str(); }
const CKZPath& GetDataPath() { return g_sysPath.dataPath; }
const char* GetDataPathStr() { return g_sysPath.dataPath.c_str(); }
const CKZPath& GetSceneSourcePath() { return g_sysPath.sceneSourcePath; }
const char* GetSceneSourcePathStr() { return g_sysPath.sceneSourcePath.c_str(); }
const CKZPath& GetSceneBinaryPath() { return g_sysPath.sceneBinaryPath; }
const char* GetSceneBinaryPathStr() { return g_sysPath.sceneBinaryPath.c_str(); }
const CKZPath& GetScriptPath() { return g_sysPath.scriptPath; }
const CKZPath& GetMediaPath() { return g_sysPath.mediaPath; }
const char* GetMediaPathStr() { return g_sysPath.mediaPath.c_str(); }
const CKZPath& GetLocalizationPath() { return g_sysPath.localizationPath; }
const char* GetLocalizationPathStr() { return g_sysPath.localizationPath.c_str(); }
const CKZPath& GetAppDataPath() { return g_sysPath.appDataPath; }
const char* GetAppDataPathStr() { return g_sysPath.appDataPath.c_str(); }
const CKZPath& GetDevFilesFolderPath() { return g_sysPath.devFilesPath; }
const CKZPath& GetCurrentFilePath() { return g_sysPath.currentFilePath; }
void SetCurrentFilePath(const CKZPath& path) { g_sysPath.currentFilePath = path; }

const CKZPath& GetDirectoryFromType(KZ_DIRECTORY type)
{
    switch (type)
    {
    case KZ_DIRECTORY_DATA: return g_sysPath.dataPath;
    case KZ_DIRECTORY_USER_DATA: return g_sysPath.userDataPath;
    case KZ_DIRECTORY_RETIRED_3:
    case KZ_DIRECTORY_RETIRED_4:
    {
        KZ_REPORT_EVENT(s_recordRetired, "in use???");
        static const CKZPath s_retired("C:\\");
        return s_retired;
    }
    case KZ_DIRECTORY_SCENE_SOURCE: return g_sysPath.sceneSourcePath;
    case KZ_DIRECTORY_SCENE_BINARY: return g_sysPath.sceneBinaryPath;
    case KZ_DIRECTORY_MEDIA: return g_sysPath.mediaPath;
    case KZ_DIRECTORY_APP_DATA: return g_sysPath.appDataPath;
    case KZ_DIRECTORY_LOCALIZATION: return g_sysPath.localizationPath;
    default: return g_sysPath.projectPath;
    }
}

const CKZPath& GetDefaultScenePath() { return GetDirectoryFromType(g_sysPath.defaultSceneDirectory); }

const char* GetExtensionFromType(KZ_FILE_EXT kind, KZ_FILE_FORMAT format)
{
    if (kind >= KZ_FILE_EXT_COUNT || format > KZ_FILE_FORMAT_EXPORT)
        return "";
    return SKZSysPath::sm_szfileExtensions[kind][format];
}

const char* GetExtensionFromType(KZ_FILE_EXT kind) { return GetExtensionFromType(kind, g_sysPath.defaultFileFormat); }
const char* GetSceneExtension() { return GetExtensionFromType(KZ_FILE_EXT_SCENE); }
KZ_FILE_FORMAT GetDefaultFileFormat() { return g_sysPath.defaultFileFormat; }
KZ_FILE_FORMAT GetDefaultExportFormat() { return g_sysPath.defaultExportFormat; }
}

namespace KZEngine
{
TempDir::TempDir()
{
    if (!CKZFile::CreateTempDirectory(m_path))
        throw std::runtime_error("could not create the temporary directory " + m_path.GetString());
}

TempDir::~TempDir()
{
    if (CKZFile::RemoveDirectoryContents(m_path.c_str()))
        rmdir(m_path.c_str());
}
}
