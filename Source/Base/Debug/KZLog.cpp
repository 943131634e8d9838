#include "Base/Debug/KZLog.h"
#include "Base/Debug/KZOutput.h"

#include "Base/Hash/KZStringHash.h"
#include "Base/Platform/KZPlatform.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

namespace
{
const char* const s_szLogFile = "Source/Base/Debug/KZLog";

constexpr uint32_t kEnabledAtCreation = 62; // Assert, Warning, FatalAssert, Error, Crash
constexpr uint32_t kDefaultHandlerPriority = 10000;
constexpr size_t kMessageBufferSize = 8196;

bool IsReportedType(CKZLog::EEventType type)
{
    return type == CKZLog::EVENT_ASSERT || type == CKZLog::EVENT_FATALASSERT || type == CKZLog::EVENT_ERROR ||
           type == CKZLog::EVENT_CRASH;
}

int RecordVerbosity(const CKZLog::SEventRecord& record)
{
    if (record.flags & CKZLog::FLAG_VERBOSE_3)
        return 3;
    if (record.flags & CKZLog::FLAG_VERBOSE_2)
        return 2;
    return 1;
}

// The default handler: prints while a debugger is attached and asks for one break per site.
class CKZLogHandlerOutput : public CKZLog::CLogHandler
{
public:
    bool Skippable() override { return false; }

    CKZLog::EEventResult OnEvent(const CKZLog::SEvent& event) override
    {
        if (!KZEngine::Debug::IsDebuggerConnected())
            return CKZLog::RESULT_NONE;
        std::string strText;
        CKZLog::FormatLogMessage(event, strText);
        std::lock_guard<std::mutex> lock(m_mutex);
        const CKZLog::EEventType type = event.record.type;
        const bool bQuiet = type == CKZLog::EVENT_INFO || type == CKZLog::EVENT_WARNING || type == CKZLog::EVENT_BREADCRUMB;
        KZOutput::Print(bQuiet ? KZOutput::LEVEL_INFO : KZOutput::LEVEL_ERROR, "%s", strText.c_str());
        fflush(stdout);
        if (bQuiet)
            return CKZLog::RESULT_NONE;
        auto it = m_breakSites.find(event.pathHash);
        if (it == m_breakSites.end())
        {
            if (event.record.flags & CKZLog::FLAG_NO_BREAK)
                return CKZLog::RESULT_NONE;
            m_breakSites[event.pathHash] = true;
            return CKZLog::RESULT_BREAK;
        }
        return it->second ? CKZLog::RESULT_NONE : CKZLog::RESULT_BREAK;
    }

private:
    std::mutex m_mutex;
    std::map<uint32_t, bool> m_breakSites;
};

// The break decision belongs to the thread that reported: a reporting site asks ShouldBreak right
// after its own TriggerEvent, and another thread's event must not answer for it.
thread_local bool t_bBreakRequested = false;

struct SKZLogState
{
    std::atomic<uint32_t> enabledTypes{kEnabledAtCreation};
    uint8_t crashOnFatal = 1;
    std::atomic<int> verboseLevel{1};
    // Recursive so that a handler which itself reports cannot dead-lock the log.
    std::recursive_mutex handlersMutex;
    std::vector<CKZLog::CLogHandler*> handlers;
    std::mutex reportedSitesMutex;
    std::map<uint32_t, bool> reportedSites;
    CKZLogHandlerOutput outputHandler;
};

std::atomic<SKZLogState*> s_pState{nullptr};
std::mutex s_createMutex;

SKZLogState& State()
{
    SKZLogState* pState = s_pState.load();
    if (!pState)
    {
        CKZLog::Create();
        pState = s_pState.load();
    }
    return *pState;
}

void InsertByPriority(std::vector<CKZLog::CLogHandler*>& handlers, CKZLog::CLogHandler* pHandler, uint32_t priority)
{
    pHandler->priority = priority;
    auto it = std::find_if(handlers.begin(), handlers.end(),
                           [priority](const CKZLog::CLogHandler* p) { return p->priority <= priority; });
    handlers.insert(it, pHandler);
}
} // namespace

void CKZLog::Create()
{
    std::lock_guard<std::mutex> lock(s_createMutex);
    if (s_pState.load())
        return;
    SKZLogState* pState = new SKZLogState;
    InsertByPriority(pState->handlers, &pState->outputHandler, kDefaultHandlerPriority);
    s_pState.store(pState);
}

void CKZLog::Release()
{
    std::lock_guard<std::mutex> lock(s_createMutex);
    SKZLogState* pState = s_pState.exchange(nullptr);
    if (!pState)
        return;
    {
        std::lock_guard<std::recursive_mutex> handlersLock(pState->handlersMutex);
        auto& handlers = pState->handlers;
        handlers.erase(std::remove(handlers.begin(), handlers.end(), &pState->outputHandler), handlers.end());
    }
    delete pState;
}

void CKZLog::AddHandler(CLogHandler* pHandler, uint32_t priority)
{
    SKZLogState& state = State();
    std::lock_guard<std::recursive_mutex> lock(state.handlersMutex);
    InsertByPriority(state.handlers, pHandler, priority);
}

bool CKZLog::RemoveHandler(CLogHandler* pHandler)
{
    SKZLogState& state = State();
    std::lock_guard<std::recursive_mutex> lock(state.handlersMutex);
    auto it = std::find(state.handlers.begin(), state.handlers.end(), pHandler);
    if (it == state.handlers.end())
        return false;
    state.handlers.erase(it);
    return true;
}

void CKZLog::RemoveDefaultHandler()
{
    RemoveHandler(&State().outputHandler);
}

void CKZLog::SetVerboseLevel(int level)
{
    State().verboseLevel = std::clamp(level, 0, 3);
}

int CKZLog::GetVerboseLevel()
{
    return State().verboseLevel;
}

bool CKZLog::IsEventTypeEnabled(EEventType type)
{
    return (State().enabledTypes & type) != 0;
}

void CKZLog::EnableEventType(EEventType type, bool bEnable)
{
    if (bEnable)
        State().enabledTypes |= type;
    else
        State().enabledTypes &= ~static_cast<uint32_t>(type);
}

bool CKZLog::ShouldBreak()
{
    return t_bBreakRequested;
}

uint32_t CKZLog::CalcPathHash(const SEventRecord& record)
{
    return KZEngine::Hash(record.file) ^ record.line;
}

void CKZLog::TriggerEvent(const SEventRecord& record, const char* format, ...)
{
    SKZLogState& state = State();
    t_bBreakRequested = false;
    if ((state.enabledTypes & record.type) == 0)
        return;

    char szMessage[kMessageBufferSize];
    va_list args;
    va_start(args, format);
    vsnprintf(szMessage, sizeof(szMessage), format, args);
    va_end(args);

    SEvent event{record, szMessage, std::string(), CalcPathHash(record)};
    DefaultProcessEvent(event);
}

void CKZLog::DefaultProcessEvent(const SEvent& event)
{
    SKZLogState& state = State();
    const EEventType type = event.record.type;
    if ((type == EVENT_INFO || type == EVENT_WARNING) && state.verboseLevel < RecordVerbosity(event.record))
        return;

    bool bRepeat = false;
    uint32_t result = RESULT_CONTINUE;
    if (IsReportedType(type))
    {
        std::lock_guard<std::mutex> lock(state.reportedSitesMutex);
        auto it = state.reportedSites.find(event.pathHash);
        if (it != state.reportedSites.end())
        {
            bRepeat = true;
            result = it->second ? RESULT_CONTINUE : RESULT_NONE;
        }
    }

    {
        std::lock_guard<std::recursive_mutex> lock(state.handlersMutex);
        for (CLogHandler* pHandler : state.handlers)
        {
            if (bRepeat && pHandler->Skippable())
                continue;
            const EEventResult handlerResult = pHandler->OnEvent(event);
            if (handlerResult == RESULT_STOP)
                break;
            if (handlerResult != RESULT_NONE)
                result = handlerResult;
        }
    }

    if (state.crashOnFatal && (type == EVENT_FATALASSERT || type == EVENT_CRASH))
    {
        if (!KZEngine::Debug::IsDebuggerConnected())
            ForceCrash();
        if (result != RESULT_CONTINUE)
            result = RESULT_BREAK;
    }

    if (!bRepeat && result == RESULT_CONTINUE && IsReportedType(type))
    {
        std::lock_guard<std::mutex> lock(state.reportedSitesMutex);
        state.reportedSites[event.pathHash] = true;
    }

    if (result == RESULT_BREAK)
        t_bBreakRequested = true;
    else if (result == RESULT_EXIT)
        exit(1);
    else if (result == RESULT_CONTINUE)
        t_bBreakRequested = false;
}

void CKZLog::FormatLogMessage(const SEvent& event, std::string& out)
{
    out.assign(event.message.size() + 512, '\0');
    size_t used = 0;
    auto append = [&out, &used](const char* format, auto... args) {
        if (used >= out.size())
            return;
        const int n = snprintf(&out[used], out.size() - used, format, args...);
        if (n > 0)
            used = std::min(out.size() - 1, used + static_cast<size_t>(n));
    };
    append("%s(%d): ", event.record.file, static_cast<int>(event.record.line));
    if (!event.tag.empty())
        append("\"%s\": ", event.tag.c_str());
    append("%s: ", EventTypeName(event.record.type));
    if (event.record.type == EVENT_ASSERT || event.record.type == EVENT_FATALASSERT)
        append("(%s) ", event.record.expression ? event.record.expression : "");
    append("%s", event.message.c_str());
    out.resize(used);
}

const char* CKZLog::EventTypeName(EEventType type)
{
    switch (type)
    {
    case EVENT_INFO: return "Info";
    case EVENT_ASSERT: return "Assert";
    case EVENT_WARNING: return "Warning";
    case EVENT_FATALASSERT: return "FatalAssert";
    case EVENT_ERROR: return "Error";
    case EVENT_CRASH: return "Crash";
    case EVENT_BREADCRUMB: return "Breadcrumb";
    }
    KZ_EVENT(s_szLogFile, EVENT_ASSERT, "false", "%s", "");
    return "?";
}

void CKZLog::ForceCrash()
{
    // abort() raises SIGABRT, which the host's crash reporting sees as the fault it is.
    fflush(stdout);
    abort();
}

bool KZEngine::Debug::IsDebuggerConnected()
{
    return KZPlatform::IsDebuggerAttached();
}
