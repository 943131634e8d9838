// kztool http: one download or one resource query, as the installer makes them.

#include "KZTool.h"

#include "Base/Net/KZInternet.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace
{
// The progress line on stderr, drawn over on a terminal; the line is ended once, after the transfer.
struct SProgressLine
{
    bool bTerminal = false;
    bool bShown = false;
};

void ShowProgress(void* pUser, uint64_t qwDone, uint64_t qwTotal)
{
    SProgressLine& line = *static_cast<SProgressLine*>(pUser);
    if (!line.bTerminal || (qwDone == 0 && qwTotal == 0))
        return;
    fprintf(stderr, "\r%llu / %llu bytes", static_cast<unsigned long long>(qwDone),
            static_cast<unsigned long long>(qwTotal));
    line.bShown = true;
}

int RunGet(const CKZToolArguments& arguments)
{
    // Into a name of its own, renamed once complete: a failed download leaves an existing file alone.
    const std::string strPart = arguments[1] + ".part-" + std::to_string(getpid());
    FILE* pProbe = fopen(strPart.c_str(), "wb");
    if (!pProbe)
        return KZTool::Fail("cannot write " + KZTool::SystemReason(strPart, errno));
    fclose(pProbe);
    SProgressLine line;
    line.bTerminal = isatty(fileno(stderr)) != 0;
    KZInternet::SKZDownloadRequest request;
    request.szUrl = arguments[0].c_str();
    request.szLocalPath = strPart.c_str();
    request.pUser = &line;
    request.pCallback = ShowProgress;
    KZInternet::SKZTransferResult result;
    const bool bOK = KZInternet::HttpGetFile(request, result);
    if (line.bShown)
        fprintf(stderr, "\n");
    if (!bOK)
    {
        remove(strPart.c_str());
        return KZTool::Fail("download failed: " + arguments[0] + ": " + result.Describe());
    }
    if (rename(strPart.c_str(), arguments[1].c_str()) != 0)
    {
        const int error = errno;
        remove(strPart.c_str());
        return KZTool::Fail("cannot write " + KZTool::SystemReason(arguments[1], error));
    }
    return KZTool::RESULT_OK;
}

int RunInfo(const CKZToolArguments& arguments)
{
    uint64_t qwSize = 0, qwTime = 0;
    KZInternet::SKZTransferResult result;
    if (!KZInternet::HttpRequestInfoChecked(arguments[0].c_str(), &qwSize, &qwTime, &result))
    {
        if (result.httpStatus != 200)
            return KZTool::Fail("no size and time for " + arguments[0] + ": " + result.Describe());
        return KZTool::Fail("no size and time for " + arguments[0]);
    }
    printf("size\tmodified\n%llu\t%llu\n", static_cast<unsigned long long>(qwSize),
           static_cast<unsigned long long>(qwTime));
    return KZTool::RESULT_OK;
}

const KZTool::CRegistration s_get({"http get", "URL FILE", "downloads a URL into a file (progress on stderr)", RunGet,
                                   CKZToolArguments(2)});
const KZTool::CRegistration s_info({"http info", "URL", "prints a resource's size and modification time", RunInfo,
                                    CKZToolArguments(1)});
}
