// kztool http: one download or one resource query, as the installer makes them.

#include "KZTool.h"

#include "Base/Net/KZInternet.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

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
    // Into a name of its own, renamed once complete: a failed download leaves an existing file alone.
    const std::string strPart = args[1] + ".part-" + std::to_string(getpid());
    FILE* pProbe = fopen(strPart.c_str(), "wb");
    if (!pProbe)
        return KZTool::Fail("cannot write " + KZTool::SystemReason(strPart, errno));
    fclose(pProbe);
    int context = 0;
    int64_t qwStatus = 0;
    const bool bOK = KZInternet::HttpGetFile(args[0].c_str(), strPart.c_str(), 15000, &context, ShowProgress, &qwStatus);
    fprintf(stderr, "\n");
    if (!bOK)
    {
        remove(strPart.c_str());
        if (qwStatus != 0 && qwStatus != 200)
            return KZTool::Fail("download failed: " + args[0] + ": HTTP status " + std::to_string(qwStatus));
        return KZTool::Fail("download failed: " + args[0] + (qwStatus == 200 ? ": the transfer broke off or timed out"
                                                                              : ": no answer from the server"));
    }
    if (rename(strPart.c_str(), args[1].c_str()) != 0)
    {
        const int error = errno;
        remove(strPart.c_str());
        return KZTool::Fail("cannot write " + KZTool::SystemReason(args[1], error));
    }
    return KZTool::RESULT_OK;
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
