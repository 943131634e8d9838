// kztool catalogue: build and inspect the client-file catalogue (the cache file) by hand.

#include "KZTool.h"

#include "Base/Core/KZFile.h"
#include "System/Util/KZFileTimeCache.h"

#include <cstdio>
#include <cstdlib>

namespace
{
bool ParseNumber(const std::string& strText, long long* pValue)
{
    char* pEnd = nullptr;
    *pValue = strtoll(strText.c_str(), &pEnd, 10);
    return !strText.empty() && *pEnd == 0;
}

int Load(CKZFileTimeCache& cache, const std::string& strPath)
{
    return cache.Initialize(strPath.c_str(), nullptr, nullptr) ? KZTool::RESULT_OK
                                                               : KZTool::Fail("cannot load the catalogue " + strPath);
}

int Save(const CKZFileTimeCache& cache, const std::string& strPath)
{
    return cache.SaveCache(strPath.c_str()) ? KZTool::RESULT_OK : KZTool::Fail("cannot write " + strPath);
}

int RunShow(const std::vector<std::string>& args)
{
    if (args.size() != 1)
        return KZTool::Usage("catalogue show");
    CKZFileTimeCache cache;
    if (Load(cache, args[0]) != KZTool::RESULT_OK)
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

int RunAdd(const std::vector<std::string>& args)
{
    if (args.size() < 3)
        return KZTool::Usage("catalogue add");
    long long prio = 0;
    std::string strRelative;
    bool bRelative = false;
    for (size_t i = 3; i < args.size(); ++i)
    {
        if (args[i] == "--prio" && i + 1 < args.size() && ParseNumber(args[i + 1], &prio))
            ++i;
        else if (args[i] == "--relative" && i + 1 < args.size())
        {
            strRelative = args[++i];
            bRelative = true;
        }
        else
            return KZTool::Usage("catalogue add");
    }
    CKZFileTimeCache cache;
    if (CKZFile::FileExists(args[0]) && Load(cache, args[0]) != KZTool::RESULT_OK)
        return KZTool::RESULT_FAILURE;
    const uint32_t result = cache.AddFile(args[1].c_str(), args[2].c_str(), static_cast<int32_t>(prio), 0,
                                          bRelative ? strRelative.c_str() : nullptr, false);
    static const char* const s_reasons[] = {"", "", "a file cannot be read", "", "the file time cannot be read",
                                            "", "invalid name (titles differ or a name is empty)"};
    if (result != CKZFileTimeCache::RESULT_OK)
        return KZTool::Fail(std::string("cannot add: ") + (result < 7 ? s_reasons[result] : "unknown result"));
    return Save(cache, args[0]);
}

int RunSplit(const std::vector<std::string>& args)
{
    long long maxSize = 0;
    if (args.size() != 2 || !ParseNumber(args[1], &maxSize))
        return KZTool::Usage("catalogue split");
    CKZFileTimeCache cache;
    if (Load(cache, args[0]) != KZTool::RESULT_OK)
        return KZTool::RESULT_FAILURE;
    cache.ZipSplit(static_cast<int32_t>(maxSize));
    return Save(cache, args[0]);
}

int RunStage(const std::vector<std::string>& args)
{
    long long stage = 0;
    if ((args.size() != 3 && args.size() != 4) || !ParseNumber(args[2], &stage))
        return KZTool::Usage("catalogue stage");
    CKZFileTimeCache cache;
    if (Load(cache, args[0]) != KZTool::RESULT_OK)
        return KZTool::RESULT_FAILURE;
    if (!cache.SetDownloadStage(args[1], static_cast<uint32_t>(stage), args.size() == 4 ? args[3] : std::string()))
        return KZTool::Fail("not in the catalogue: " + args[1]);
    return Save(cache, args[0]);
}

int RunReport(const std::vector<std::string>& args)
{
    if (args.size() != 4)
        return KZTool::Usage("catalogue report");
    CKZFileTimeCache cache;
    if (Load(cache, args[0]) != KZTool::RESULT_OK)
        return KZTool::RESULT_FAILURE;
    if (!cache.SaveZipInfo(args[2], args[1]) || !cache.SaveDownloadStageInfo(args[3]))
        return KZTool::Fail("cannot write the reports");
    return KZTool::RESULT_OK;
}

const KZTool::CRegistration s_show({"catalogue show", "FILE", "lists every record of a catalogue", RunShow, {0}});
const KZTool::CRegistration s_add({"catalogue add", "CACHE ORIGINAL EXPORTED [--prio N] [--relative PATH]",
                                   "adds or updates one file (creates the catalogue when missing)", RunAdd, {1, 2}});
const KZTool::CRegistration s_split({"catalogue split", "CACHE MAXSIZE", "assigns zip indexes by size", RunSplit, {0}});
const KZTool::CRegistration s_stage({"catalogue stage", "CACHE PATH STAGE [DEPENDEE]",
                                     "sets a file's download stage (the dependee is not stored in the file)",
                                     RunStage, {0}});
const KZTool::CRegistration s_report({"catalogue report", "CACHE ROOT ZIPINFO STAGEINFO",
                                      "writes the zip-information and download-stage reports", RunReport, {0}});
}
