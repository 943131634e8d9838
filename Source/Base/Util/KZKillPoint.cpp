#include "Base/Util/KZKillPoint.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace
{
struct SKillPoint
{
    std::string strName;
    unsigned long passage = 1;
    bool bArmed = false;
    std::atomic<unsigned long> passages{0};

    SKillPoint()
    {
        const char* szValue = getenv("KZ_KILL_POINT");
        if (!szValue || !*szValue)
            return;
        strName = szValue;
        const size_t hash = strName.find('#');
        if (hash != std::string::npos)
        {
            passage = strtoul(strName.c_str() + hash + 1, nullptr, 10);
            strName.erase(hash);
        }
        bArmed = passage > 0;
    }
};

SKillPoint& Point()
{
    static SKillPoint s_point;
    return s_point;
}

std::atomic<KZKillPoint::Observer> s_observer{nullptr};
} // namespace

void KZKillPoint::SetObserver(Observer observer)
{
    s_observer = observer;
}

void KZKillPoint::Reached(const char* szName)
{
    if (const Observer observer = s_observer.load())
        observer(szName);
    SKillPoint& point = Point();
    if (!point.bArmed || point.strName != szName)
        return;
    if (point.passages.fetch_add(1) + 1 == point.passage)
        kill(getpid(), SIGKILL);
}
