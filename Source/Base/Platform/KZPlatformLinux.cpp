#if defined(__linux__)
#include "Base/Platform/KZPlatform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace KZPlatform
{
bool IsDebuggerAttached()
{
    // A traced process names its tracer in /proc/self/status; 0 means none.
    FILE* pStatus = fopen("/proc/self/status", "r");
    if (!pStatus)
        return false;
    char szLine[256];
    bool bTraced = false;
    while (fgets(szLine, sizeof(szLine), pStatus))
    {
        if (strncmp(szLine, "TracerPid:", 10) == 0)
        {
            bTraced = strtol(szLine + 10, nullptr, 10) != 0;
            break;
        }
    }
    fclose(pStatus);
    return bTraced;
}
}
#endif
