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
// Lines from several threads never interleave, and a callback is called one line at a time; it
// may print again from inside itself (a callback that asks the library for its status, say).
std::recursive_mutex s_outputMutex;
KZOutput::LineCallback s_pCallback = nullptr;
void* s_pCallbackUser = nullptr;

std::string Format(const char* szFormat, va_list arguments)
{
    va_list copy;
    va_copy(copy, arguments);
    const int length = vsnprintf(nullptr, 0, szFormat, copy);
    va_end(copy);
    if (length < 0)
        return std::string();
    std::string strLine(static_cast<size_t>(length) + 1, '\0');
    vsnprintf(&strLine[0], strLine.size(), szFormat, arguments);
    strLine.resize(static_cast<size_t>(length));
    if (!strLine.empty() && strLine.back() == '\n')
        strLine.pop_back();
    return strLine;
}
} // namespace

namespace KZOutput
{
void PrintV(ELevel level, const char* szFormat, va_list arguments)
{
    const std::string strLine = Format(szFormat, arguments);
    std::lock_guard<std::recursive_mutex> lock(s_outputMutex);
    if (s_pCallback)
    {
        s_pCallback(s_pCallbackUser, level, strLine.c_str());
        return;
    }
    if (level == LEVEL_TRACE && !s_bTrace)
        return;
    fputs(strLine.c_str(), stdout);
    fputc('\n', stdout);
}

void Print(ELevel level, const char* szFormat, ...)
{
    va_list arguments;
    va_start(arguments, szFormat);
    PrintV(level, szFormat, arguments);
    va_end(arguments);
}

void SetCallback(LineCallback pCallback, void* pUser)
{
    std::lock_guard<std::recursive_mutex> lock(s_outputMutex);
    s_pCallback = pCallback;
    s_pCallbackUser = pUser;
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
