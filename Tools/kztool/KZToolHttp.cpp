// kztool http: one download or one resource query, as the installer makes them.

#include "KZTool.h"

#include "Base/Net/KZInternet.h"

#include <cstdio>

namespace
{
void ShowProgress(void*, uint64_t qwDone, uint64_t qwTotal)
{
    fprintf(stderr, "\r%llu / %llu bytes", static_cast<unsigned long long>(qwDone),
            static_cast<unsigned long long>(qwTotal));
}

int RunGet(const std::vector<std::string>& args)
{
    if (args.size() != 2)
        return KZTool::Usage("http get");
    int context = 0;
    const bool bOK = KZInternet::HttpGetFile(args[0].c_str(), args[1].c_str(), 15000, &context, ShowProgress);
    fprintf(stderr, "\n");
    return bOK ? KZTool::RESULT_OK : KZTool::Fail("download failed: " + args[0]);
}

int RunInfo(const std::vector<std::string>& args)
{
    if (args.size() != 1)
        return KZTool::Usage("http info");
    uint64_t qwSize = 0, qwTime = 0;
    if (!KZInternet::HttpRequestInfo(args[0].c_str(), &qwSize, &qwTime, nullptr))
        return KZTool::Fail("no size and time for " + args[0]);
    printf("size\tmodified\n%llu\t%llu\n", static_cast<unsigned long long>(qwSize),
           static_cast<unsigned long long>(qwTime));
    return KZTool::RESULT_OK;
}

const KZTool::CRegistration s_get({"http get", "URL FILE", "downloads a URL into a file (progress on stderr)", RunGet});
const KZTool::CRegistration s_info({"http info", "URL", "prints a resource's size and modification time", RunInfo});
}
