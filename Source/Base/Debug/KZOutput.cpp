#include "Base/Debug/KZOutput.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace
{
bool TraceFromEnvironment()
{
    const char* szTrace = getenv("KZ_TRACE");
    return szTrace && *szTrace && strcmp(szTrace, "0") != 0;
}

std::atomic<bool> s_bTrace{TraceFromEnvironment()};
// Lines from several threads never interleave.
std::mutex s_outputMutex;
} // namespace

namespace KZOutput
{
void PrintV(ELevel level, const char* szFormat, va_list arguments)
{
    if (level == LEVEL_TRACE && !s_bTrace)
        return;
    va_list copy;
    va_copy(copy, arguments);
    const int length = vsnprintf(nullptr, 0, szFormat, copy);
    va_end(copy);
    if (length < 0)
        return;
    std::string strLine(static_cast<size_t>(length) + 1, '\0');
    vsnprintf(&strLine[0], strLine.size(), szFormat, arguments);
    strLine.resize(static_cast<size_t>(length));
    if (strLine.empty() || strLine.back() != '\n')
        strLine += '\n';
    std::lock_guard<std::mutex> lock(s_outputMutex);
    fputs(strLine.c_str(), stdout);
}

void Print(ELevel level, const char* szFormat, ...)
{
    va_list arguments;
    va_start(arguments, szFormat);
    PrintV(level, szFormat, arguments);
    va_end(arguments);
}

void SetTraceEnabled(bool bEnabled)
{
    s_bTrace = bEnabled;
}

bool IsTraceEnabled()
{
    return s_bTrace;
}
} // namespace KZOutput
