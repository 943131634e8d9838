#pragma once
// The few services the operating system gives that differ between Linux and macOS. Everything
// else in the library is written once, against these functions.

#include <cstdint>
#include <string>

namespace KZPlatform
{
// True while a debugger traces this process.
bool IsDebuggerAttached();
}
