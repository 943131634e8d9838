#pragma once
// Named places where an interrupted run is simulated: when the environment variable KZ_KILL_POINT
// names a place ("NAME", or "NAME#N" for its N-th passage, counted from 1), the process kills itself
// there with SIGKILL, as a player closing the launcher or a power loss would. Without the variable
// a passage costs one comparison. A test may also watch the places from inside the process.

namespace KZKillPoint
{
void Reached(const char* szName);

// Called at every passage of every place, on the thread that passes it; null stops the watching.
using Observer = void (*)(const char* szName);
void SetObserver(Observer observer);
}
