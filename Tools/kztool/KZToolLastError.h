#pragma once
// The last Error event the library reports while an object of this class lives: the reason a
// command gives on its one line when an operation fails.

#include "Base/Debug/KZLog.h"

#include <string>

namespace KZTool
{
class CLastError : public CKZLog::CLogHandler
{
public:
    CLastError() { CKZLog::AddHandler(this, 1000); }
    ~CLastError() override { CKZLog::RemoveHandler(this); }
    CLastError(const CLastError&) = delete;
    CLastError& operator=(const CLastError&) = delete;

    bool Skippable() override { return false; }
    CKZLog::EEventResult OnEvent(const CKZLog::SEvent& event) override
    {
        if (event.record.type == CKZLog::EVENT_ERROR)
            m_strMessage = event.message;
        return CKZLog::RESULT_NONE;
    }
    // The message joined to the last reported reason, if there is one.
    std::string Explain(const std::string& strMessage) const
    {
        return m_strMessage.empty() ? strMessage : strMessage + ": " + m_strMessage;
    }

private:
    std::string m_strMessage;
};
}
