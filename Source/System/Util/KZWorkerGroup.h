#pragma once
// The installer's worker threads, accounted for in one place. A worker is counted before its thread
// exists and uncounted as its last act, so that Join can never miss one that is still starting or
// finishing; once a stop is asked no worker starts any more, and every pause a worker takes through
// the group ends at once. Nothing here polls: waits are on a condition, in bounded slices.

#include "Base/Util/KZThread.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>

class CKZWorkerGroup
{
public:
    // The kinds of worker, so that a caller can wait for one kind alone.
    enum EKind : uint32_t
    {
        KIND_MAIN = 0,
        KIND_DOWNLOAD = 1,
        KIND_UNZIP = 2,
        KIND_CHECKSUM = 3,
    };

    CKZWorkerGroup() = default;
    CKZWorkerGroup(const CKZWorkerGroup&) = delete;
    CKZWorkerGroup& operator=(const CKZWorkerGroup&) = delete;
    // Asks every worker to stop and waits for all of them.
    ~CKZWorkerGroup();

    // Runs work on a thread of its own; false, with nothing started, after RequestStop or when no
    // thread can be made.
    bool Start(EKind kind, const char* szName, std::function<void()> work);
    // From now on no worker starts, and every Pause returns at once.
    void RequestStop();
    bool StopRequested() const;
    // Waits at most ms, or until a stop is asked; true when no stop was asked.
    bool Pause(unsigned ms);
    // Waits at most ms until no worker of the kind runs; true when none does.
    bool WaitForKind(EKind kind, unsigned ms);
    size_t Running(EKind kind) const;
    size_t Running() const;
    // Waits until every worker that was started has returned.
    void Join();

private:
    struct SWorker;
    static unsigned Run(void* pWorker);
    void Finished(EKind kind);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<EKind, size_t> m_running;
    size_t m_total = 0;
    bool m_bStop = false;
    // The thread objects of every worker started (a few per run).
    std::list<std::unique_ptr<CKZThread>> m_threads;
};
