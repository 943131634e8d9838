#if defined(__APPLE__)
#include "Base/Platform/KZPlatform.h"

#include <sys/sysctl.h>
#include <sys/types.h>
#include <unistd.h>

namespace KZPlatform
{
bool IsDebuggerAttached()
{
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, getpid()};
    struct kinfo_proc info = {};
    size_t size = sizeof(info);
    if (sysctl(mib, 4, &info, &size, nullptr, 0) != 0)
        return false;
    return (info.kp_proc.p_flag & P_TRACED) != 0;
}
}
#endif
