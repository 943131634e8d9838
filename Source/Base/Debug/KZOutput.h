#pragma once
// The one way the library prints a line of its own: the patch interface's "kzpatch debug:" lines,
// the installer's diagnostic lines and its trace of state changes. Lines of the info level go to
// standard output as they always have; trace lines only when the environment sets KZ_TRACE (to
// anything but "0"), so that a launcher sees exactly the lines it always saw.

#include <cstdarg>

namespace KZOutput
{
enum ELevel
{
    LEVEL_TRACE = 0,
    LEVEL_INFO = 1,
};

// One line, formatted as printf does; a line without its own "\n" gets one.
void Print(ELevel level, const char* szFormat, ...) __attribute__((format(printf, 2, 3)));
void PrintV(ELevel level, const char* szFormat, va_list arguments);

// Trace lines are printed while this is set; it starts from KZ_TRACE.
void SetTraceEnabled(bool bEnabled);
bool IsTraceEnabled();
} // namespace KZOutput
