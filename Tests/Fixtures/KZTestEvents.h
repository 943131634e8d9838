#pragma once
// Records every event raised while it lives, ahead of the default handler. Records are copied:
// an event's record need not outlive the event. Any thread may report while a test reads.

#include "Base/Debug/KZLog.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

class CKZTestEventRecorder : public CKZLog::CLogHandler
{
public:
    struct SRecorded
    {
        std::string file;
        std::string function;
        std::string expression;
        CKZLog::EEventType type;
        uint32_t line;
        std::string message;
    };

    CKZTestEventRecorder() { CKZLog::AddHandler(this, 1000); }
    ~CKZTestEventRecorder() override { CKZLog::RemoveHandler(this); }
    bool Skippable() override { return false; }
    CKZLog::EEventResult OnEvent(const CKZLog::SEvent& event) override
    {
        const CKZLog::SEventRecord& record = event.record;
        SRecorded recorded{record.file ? record.file : "", record.function ? record.function : "",
                           record.expression ? record.expression : "", record.type, record.line, event.message};
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(std::move(recorded));
        return CKZLog::RESULT_NONE;
    }

    // A copy of what was recorded so far.
    std::vector<SRecorded> Events() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    bool Saw(const std::string& strMessage) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::any_of(m_events.begin(), m_events.end(),
                           [&](const SRecorded& event) { return event.message == strMessage; });
    }
    int Count() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<int>(m_events.size());
    }
    int Count(CKZLog::EEventType type) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<int>(
            std::count_if(m_events.begin(), m_events.end(), [type](const SRecorded& event) { return event.type == type; }));
    }
    std::string LastMessage() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events.empty() ? std::string() : m_events.back().message;
    }
    std::string LastExpression() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events.empty() ? std::string() : m_events.back().expression;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<SRecorded> m_events;
};
