#pragma once
// The event log: the one channel through which every part of the library reports assertion
// failures, errors and other events. Each reporting site owns a static constant record; events
// pass through handlers ordered by priority, and the log decides from their answers whether the
// caller breaks into a debugger, whether the process ends, and whether a repeat is reported again.

#include <csignal>
#include <cstdint>
#include <string>

class CKZLog
{
public:
    enum EEventType : uint32_t
    {
        EVENT_INFO = 1,
        EVENT_ASSERT = 2,
        EVENT_WARNING = 4,
        EVENT_FATALASSERT = 8,
        EVENT_ERROR = 16,
        EVENT_CRASH = 32,
        EVENT_BREADCRUMB = 64,
    };

    enum EEventResult : uint32_t
    {
        RESULT_NONE = 0,     // no opinion
        RESULT_CONTINUE = 1, // continue, and remember the site
        RESULT_BREAK = 2,    // break into the debugger
        RESULT_EXIT = 3,     // end the process with exit status 1
        RESULT_STOP = 4,     // ask no further handler
    };

    enum ERecordFlags : uint32_t
    {
        FLAG_NO_BREAK = 0x4,
        FLAG_VERBOSE_2 = 0x100,
        FLAG_VERBOSE_3 = 0x200,
    };

    struct SEventRecord
    {
        const char* file;
        const char* function;
        const char* expression;
        EEventType type;
        uint32_t flags;
        uint32_t line;
    };

    struct SEvent
    {
        const SEventRecord& record;
        std::string message;
        std::string tag;
        uint32_t pathHash;
    };

    class CLogHandler
    {
    public:
        virtual ~CLogHandler() = default;
        // True: the handler need not see repeated reports of a site.
        virtual bool Skippable() { return true; }
        virtual EEventResult OnEvent(const SEvent& event) = 0;

        uint32_t priority = 0;
    };

    static void Create();
    static void Release();
    static void AddHandler(CLogHandler* pHandler, uint32_t priority);
    static bool RemoveHandler(CLogHandler* pHandler);
    static void RemoveDefaultHandler();

    static void SetVerboseLevel(int level);
    static int GetVerboseLevel();
    static bool IsEventTypeEnabled(EEventType type);
    static void EnableEventType(EEventType type, bool bEnable);

    static void TriggerEvent(const SEventRecord& record, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    static bool ShouldBreak();

    static void FormatLogMessage(const SEvent& event, std::string& out);
    static const char* EventTypeName(EEventType type);
    static uint32_t CalcPathHash(const SEventRecord& record);
    [[noreturn]] static void ForceCrash();

private:
    static void DefaultProcessEvent(const SEvent& event);
};

namespace KZEngine
{
namespace Debug
{
bool IsDebuggerConnected();
}
}

// Reports one event from a record and breaks into an attached debugger when the log asks for it.
#define KZ_REPORT_EVENT(record, ...)                                                                     \
    do                                                                                                   \
    {                                                                                                    \
        CKZLog::TriggerEvent((record), __VA_ARGS__);                                                     \
        if (CKZLog::ShouldBreak())                                                                       \
            raise(SIGINT);                                                                               \
    } while (0)

// Builds the site's static record (its function, expression text and line) and reports it.
// `file` is the site's source path without extension, e.g. "Source/Base/Core/KZFile".
#define KZ_EVENT(file, type, expression, ...)                                                            \
    do                                                                                                   \
    {                                                                                                    \
        static const CKZLog::SEventRecord s_kzEventRecord = {(file), __func__, (expression), (type), 0,  \
                                                             static_cast<uint32_t>(__LINE__)};           \
        KZ_REPORT_EVENT(s_kzEventRecord, __VA_ARGS__);                                                   \
    } while (0)

#define KZ_ASSERT(file, condition)                                                                       \
    do                                                                                                   \
    {                                                                                                    \
        if (!(condition))                                                                                \
            KZ_EVENT((file), CKZLog::EVENT_ASSERT, #condition, "%s", "");                                \
    } while (0)

#define KZ_ERROR(file, ...) KZ_EVENT((file), CKZLog::EVENT_ERROR, "", __VA_ARGS__)
