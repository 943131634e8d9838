// kztool catalogue: build and inspect the client-file catalogue (the cache file) by hand.

#include "KZTool.h"

#include "Base/Core/KZFile.h"
#include "System/KZInstallLayout.h"
#include "System/Util/KZFileTimeCache.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace
{
int Load(CKZFileTimeCache& cache, const std::string& strPath)
{
    return cache.Initialize(strPath.c_str(), nullptr, nullptr) ? KZTool::RESULT_OK
                                                               : KZTool::Fail("cannot load the catalogue " + strPath);
}

int Save(const CKZFileTimeCache& cache, const std::string& strPath)
{
    errno = 0;
    return cache.SaveCache(strPath.c_str()) ? KZTool::RESULT_OK
                                            : KZTool::Fail("cannot write " + KZTool::SystemReason(strPath, errno ? errno : EIO));
}

int RunShow(const CKZToolArguments& arguments)
{
    CKZFileTimeCache cache;
    if (Load(cache, arguments[0]) != KZTool::RESULT_OK)
        return KZTool::RESULT_FAILURE;
    printf("name\tpath\tsize\tcompressedSize\ttime\toriginalCrc\texportedCrc\tprio\tstage\tzipIndex\tuserData\t"
           "dependee\n");
    for (const auto& entry : cache.GetRawData())
    {
        const CKZFileDetails& r = *entry.second;
        int64_t seconds = 0;
        FileTimeToUnixTime(&seconds, &r.m_Time);
        printf("%s\t%s\t%u\t%u\t%lld\t%08x\t%08x\t%d\t%u\t%u\t%u\t%s\n", r.m_strName.c_str(), r.m_strFilePath.c_str(),
               r.m_dwSize, r.m_dwCompressedSize, static_cast<long long>(seconds), r.m_dwOriginalCrc,
               r.m_dwExportedCrc, r.m_iPrio, r.m_dwStage, r.m_dwZipIndex, r.m_dwUserData, r.m_strStagePath.c_str());
    }
    return KZTool::RESULT_OK;
}

const char* AddReason(uint32_t result)
{
    static const char* const s_reasons[] = {"", "", "a file cannot be read", "", "the file time cannot be read",
                                            "", "invalid name (titles differ or a name is empty)"};
    return result < 7 ? s_reasons[result] : "unknown result";
}

// Every file below a folder, each with the path PREFIX/its path inside the folder, in one call.
int AddFolder(CKZFileTimeCache& cache, const std::string& strFolder, int32_t iPrio, const std::string& strPrefix)
{
    std::vector<std::filesystem::path> vecFiles;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(strFolder, error), end; !error && it != end; it.increment(error))
        if (it->is_regular_file(error))
            vecFiles.push_back(it->path());
    if (error)
        return KZTool::Fail("cannot read " + strFolder + ": " + error.message());
    std::sort(vecFiles.begin(), vecFiles.end());
    for (const std::filesystem::path& file : vecFiles)
    {
        const std::string strRelative =
            strPrefix + (strPrefix.empty() ? "" : "/") + file.lexically_relative(strFolder).generic_string();
        const uint32_t result = cache.AddFile(file.c_str(), file.c_str(), iPrio, 0, strRelative.c_str(), false);
        if (result != CKZFileTimeCache::RESULT_OK)
            return KZTool::Fail("cannot add " + file.string() + ": " + AddReason(result));
    }
    return KZTool::RESULT_OK;
}

// The words are read here: whether EXPORTED follows depends on whether the second names a folder.
int RunAdd(const CKZToolArguments& words)
{
    // CACHE DIR [options]; a folder given as ORIGINAL with an EXPORTED after it is refused below.
    const std::vector<std::string>& args = words.Positionals();
    const bool bFolder = args.size() >= 2 && CKZFile::DirectoryExists(args[1].c_str()) &&
                         (args.size() == 2 || args[2].compare(0, 2, "--") == 0);
    CKZToolArguments arguments(bFolder ? 2 : 3);
    arguments.AddNumber("--prio", INT32_MIN, INT32_MAX, "a priority").AddOption("--relative");
    if (!arguments.Parse(args))
        return KZTool::Usage("catalogue add");
    const int32_t iPrio = static_cast<int32_t>(arguments.Number("--prio", 0));
    const bool bRelative = arguments.Has("--relative");
    const std::string strRelative = arguments.Value("--relative", bFolder ? KZInstallLayout::kCacheName : "");
    if (!bFolder)
    {
        for (size_t i = 1; i < 3; ++i)
        {
            const std::string strProblem = KZTool::InputFileProblem(arguments[i]);
            if (!strProblem.empty())
                return KZTool::Fail(strProblem);
        }
    }
    CKZFileTimeCache cache;
    if (CKZFile::FileExists(arguments[0]) && Load(cache, arguments[0]) != KZTool::RESULT_OK)
        return KZTool::RESULT_FAILURE;
    if (bFolder)
    {
        if (AddFolder(cache, arguments[1], iPrio, strRelative) != KZTool::RESULT_OK)
            return KZTool::RESULT_FAILURE;
        return Save(cache, arguments[0]);
    }
    const uint32_t result = cache.AddFile(arguments[1].c_str(), arguments[2].c_str(), iPrio, 0,
                                          bRelative ? strRelative.c_str() : nullptr, false);
    if (result != CKZFileTimeCache::RESULT_OK)
        return KZTool::Fail(std::string("cannot add: ") + AddReason(result));
    return Save(cache, arguments[0]);
}

int RunSplit(const CKZToolArguments& arguments)
{
    CKZFileTimeCache cache;
    if (Load(cache, arguments[0]) != KZTool::RESULT_OK)
        return KZTool::RESULT_FAILURE;
    cache.ZipSplit(static_cast<int32_t>(arguments.NumberAt(1)));
    return Save(cache, arguments[0]);
}

int RunStage(const CKZToolArguments& arguments)
{
    CKZFileTimeCache cache;
    if (Load(cache, arguments[0]) != KZTool::RESULT_OK)
        return KZTool::RESULT_FAILURE;
    if (!cache.SetDownloadStage(arguments[1], static_cast<uint32_t>(arguments.NumberAt(2)),
                                arguments.Count() == 4 ? arguments[3] : std::string()))
        return KZTool::Fail("not in the catalogue: " + arguments[1]);
    return Save(cache, arguments[0]);
}

int RunReport(const CKZToolArguments& arguments)
{
    CKZFileTimeCache cache;
    if (Load(cache, arguments[0]) != KZTool::RESULT_OK)
        return KZTool::RESULT_FAILURE;
    if (!cache.SaveZipInfo(arguments[2], arguments[1]) || !cache.SaveDownloadStageInfo(arguments[3]))
        return KZTool::Fail("cannot write the reports");
    return KZTool::RESULT_OK;
}

const KZTool::CRegistration s_show({"catalogue show", "FILE", "lists every record of a catalogue", RunShow,
                                    CKZToolArguments(1), {0}});
const KZTool::CRegistration s_add({"catalogue add", "CACHE ORIGINAL EXPORTED [--prio N] [--relative PATH], or CACHE DIR "
                                   "[--prio N] [--relative PREFIX]",
                                   "adds or updates one file, or every file below DIR with the path PREFIX/PATH "
                                   "(PREFIX Data by default); creates the catalogue when missing",
                                   RunAdd, CKZToolArguments(0, CKZToolArguments::UNLIMITED)});
const KZTool::CRegistration s_split({"catalogue split", "CACHE MAXSIZE", "assigns zip indexes by size", RunSplit,
                                     CKZToolArguments(2).AddNumberAt(1, 1, INT32_MAX), {0}});
const KZTool::CRegistration s_stage({"catalogue stage", "CACHE PATH STAGE [DEPENDEE]",
                                     "sets a file's download stage (the dependee is not stored in the file)",
                                     RunStage, CKZToolArguments(3, 4).AddNumberAt(2, 0, UINT32_MAX - 1), {0}});
const KZTool::CRegistration s_report({"catalogue report", "CACHE ROOT ZIPINFO STAGEINFO",
                                      "writes the zip-information and download-stage reports", RunReport,
                                      CKZToolArguments(4), {0}});
}
