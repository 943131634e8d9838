#include "System/Util/KZRunControl.h"

#include <chrono>

void CKZRunControl::Pause()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_flags.bCancel)
        m_flags.bPause = true;
}

void CKZRunControl::Resume()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_flags.bPause = false;
    m_changed.notify_all();
}

void CKZRunControl::Cancel()
{
    m_bCancelled = true;
    Stop();
}

void CKZRunControl::Stop()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_flags.bCancel = true;
    m_flags.bPause = false;
    m_changed.notify_all();
}

bool CKZRunControl::WaitWhilePaused(const std::function<bool()>& stopRequested)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_flags.bPause && !m_flags.bCancel && !(stopRequested && stopRequested()))
        m_changed.wait_for(lock, std::chrono::milliseconds(100));
    return !m_flags.bCancel && !(stopRequested && stopRequested());
}
