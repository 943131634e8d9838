#pragma once
// What the patch interface offers inside the library and to its tests, beside the C functions.

#include <cstdint>

class CKZWebInstaller;

namespace KZPatch
{
typedef CKZWebInstaller* (*InstallerFactory)();

// The init worker builds its installer through this factory; null restores the plain installer.
void SetInstallerFactory(InstallerFactory factory);
// The installer of the current run, or null. It is not held for the caller: tests use it while
// no destroy can run.
CKZWebInstaller* GetWebInstaller();

// The compare-and-swap of the status word, with its report on refusal.
bool TransitionFromTo(int32_t from, int32_t to);

// Ends any run at once (deleting its installer) and returns the status to 0. Tests use it to start
// each case from a fresh process state; a launcher never needs it.
void ResetForTesting();

constexpr uint32_t kBufferSize = 2048;
}
