#pragma once
// What the installer's kinds of worker share: the pieces of the run, and the run flag of the kind,
// set as its threads start and cleared to stop them, with a wake of the queue they wait on.

#include "System/Util/KZInstallerParts.h"

#include <atomic>
#include <functional>

class CKZWorkerKind
{
public:
    CKZWorkerKind(const CKZWorkerKind&) = delete;
    CKZWorkerKind& operator=(const CKZWorkerKind&) = delete;

    // The kind's threads end at their next safe point.
    void Stop()
    {
        m_bRun = false;
        m_wakeQueue.Wake();
    }

protected:
    CKZWorkerKind(SKZInstallerParts& parts, KZFileQueue& wakeQueue) : m_parts(parts), m_wakeQueue(wakeQueue) {}
    ~CKZWorkerKind() = default;

    void StartThread(CKZWorkerGroup::EKind kind, const char* szName, std::function<void()> work)
    {
        m_bRun = true;
        m_parts.workers.Start(kind, szName, std::move(work));
    }

    SKZInstallerParts& m_parts;
    KZFileQueue& m_wakeQueue;
    std::atomic<bool> m_bRun{false};
};
