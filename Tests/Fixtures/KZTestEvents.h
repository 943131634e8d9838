#pragma once
// Records every event raised while it lives, ahead of the default handler. Records are copied:
// an event's record need not outlive the event.

#include "Base/Debug/KZLog.h"

#include <algorithm>
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
        m_events.push_back({record.file ? record.file : "", record.function ? record.function : "",
                            record.expression ? record.expression : "", record.type, record.line, event.message});
        return CKZLog::RESULT_NONE;
    }

    bool Saw(const std::string& strMessage) const
    {
        return std::any_of(m_events.begin(), m_events.end(),
                           [&](const SRecorded& event) { return event.message == strMessage; });
    }
    int Count() const { return static_cast<int>(m_events.size()); }
    int Count(CKZLog::EEventType type) const
    {
        return static_cast<int>(
            std::count_if(m_events.begin(), m_events.end(), [type](const SRecorded& event) { return event.type == type; }));
    }
    std::string LastMessage() const { return m_events.empty() ? std::string() : m_events.back().message; }
    std::string LastExpression() const { return m_events.empty() ? std::string() : m_events.back().expression; }

    std::vector<SRecorded> m_events;
};
