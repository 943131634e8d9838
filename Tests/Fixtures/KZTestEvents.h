#pragma once
// Records every event raised while it lives, ahead of the default handler.

#include "Base/Debug/KZLog.h"

#include <algorithm>
#include <string>
#include <vector>

class CKZTestEventRecorder : public CKZLog::CLogHandler
{
public:
    CKZTestEventRecorder() { CKZLog::AddHandler(this, 1000); }
    ~CKZTestEventRecorder() override { CKZLog::RemoveHandler(this); }
    bool Skippable() override { return false; }
    CKZLog::EEventResult OnEvent(const CKZLog::SEvent& event) override
    {
        m_records.push_back(&event.record);
        m_messages.push_back(event.message);
        return CKZLog::RESULT_NONE;
    }
    bool Saw(const std::string& strMessage) const
    {
        return std::find(m_messages.begin(), m_messages.end(), strMessage) != m_messages.end();
    }
    std::vector<const CKZLog::SEventRecord*> m_records;
    std::vector<std::string> m_messages;
};
