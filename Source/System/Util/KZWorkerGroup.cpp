#include "System/Util/KZWorkerGroup.h"

#include <chrono>
#include <utility>

// What a worker's thread is given: its work and the group that counts it.
struct CKZWorkerGroup::SWorker
{
    CKZWorkerGroup* pGroup;
    EKind kind;
    std::function<void()> work;
};

CKZWorkerGroup::~CKZWorkerGroup()
{
    RequestStop();
    Join();
}

bool CKZWorkerGroup::Start(EKind kind, const char* szName, std::function<void()> work)
{
    std::unique_ptr<SWorker> pWorker(new SWorker{this, kind, std::move(work)});
    std::unique_ptr<CKZThread> pThread(new CKZThread);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bStop)
        return false;
    ++m_running[kind];
    ++m_total;
    // Created under the lock: the new worker cannot finish, and so cannot be missed, before it counts.
    if (!pThread->CreateThread(Run, pWorker.get(), 0, szName))
    {
        --m_running[kind];
        --m_total;
        return false;
    }
    pWorker.release(); // the thread owns it now
    m_threads.push_back(std::move(pThread));
    return true;
}

unsigned CKZWorkerGroup::Run(void* pArgument)
{
    std::unique_ptr<SWorker> pWorker(static_cast<SWorker*>(pArgument));
    pWorker->work();
    CKZWorkerGroup* pGroup = pWorker->pGroup;
    const EKind kind = pWorker->kind;
    pWorker.reset(); // the work's captures go before the group may be gone
    pGroup->Finished(kind);
    return 0;
}

// The worker's last touch of the group: after it, Join may return and the group go.
void CKZWorkerGroup::Finished(EKind kind)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_running[kind];
    --m_total;
    m_changed.notify_all();
}

void CKZWorkerGroup::RequestStop()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bStop = true;
    m_changed.notify_all();
}

bool CKZWorkerGroup::StopRequested() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bStop;
}

bool CKZWorkerGroup::Pause(unsigned ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_bStop; });
    return !m_bStop;
}

bool CKZWorkerGroup::WaitForKind(EKind kind, unsigned ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [this, kind] { return m_running[kind] == 0; });
}

size_t CKZWorkerGroup::Running(EKind kind) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_running.find(kind);
    return found == m_running.end() ? 0 : found->second;
}

size_t CKZWorkerGroup::Running() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_total;
}

void CKZWorkerGroup::Join()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    // Slices of a second: a worker ends within one of its own bounded waits once asked to stop.
    while (!m_changed.wait_for(lock, std::chrono::seconds(1), [this] { return m_total == 0; }))
    {
    }
}
