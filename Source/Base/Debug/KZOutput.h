#pragma once
// The one way the library prints a line of its own: the patch interface's "kzpatch debug:" lines,
// the installer's diagnostic lines, the event log's lines and the trace of state changes. Unless a
// callback takes them, lines go to standard output as they always have, trace lines only when the
// environment sets KZ_TRACE (to anything but "0"). A callback receives every line, trace lines
// included, one call at a time whatever thread prints; it may call the library again.

#include <cstdarg>
#include <cstdint>

namespace KZOutput
{
enum ELevel
{
    LEVEL_TRACE = 0, // the installer's state changes
    LEVEL_DEBUG = 1, // the patch interface's "kzpatch debug:" lines
    LEVEL_INFO = 2,  // what a run did or could not do
    LEVEL_ERROR = 3, // events of the event log: failed assertions and errors
};

// (user pointer, level, the line without its newline)
typedef void (*LineCallback)(void* pUser, int32_t level, const char* szLine);

// One line, formatted as printf does; a line's own trailing "\n" is not part of it.
void Print(ELevel level, const char* szFormat, ...) __attribute__((format(printf, 2, 3)));
void PrintV(ELevel level, const char* szFormat, va_list arguments);

// Every line goes to the callback instead of standard output while one is set (null: none).
void SetCallback(LineCallback pCallback, void* pUser);

// Trace lines are printed to standard output while this is set; it starts from KZ_TRACE.
void SetTraceEnabled(bool bEnabled);
bool IsTraceEnabled();
} // namespace KZOutput
