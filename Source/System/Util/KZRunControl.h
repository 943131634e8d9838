#pragma once
// What a launcher asks of a run while it goes: to hold its transfers for a while, or to stop. The
// flags are the ones every transfer of the run follows; a worker about to start a transfer waits
// here while the run is held.

#include "Base/Net/KZInternet.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

class CKZRunControl
{
public:

    void Pause();
    void Resume();
    bool IsPaused() const { return m_flags.bPause; }
    // Ends every pause and breaks off every transfer, for good, and marks the run cancelled.
    void Cancel();
    bool IsCancelled() const { return m_bCancelled; }
    // The run has ended (failed or shut down): the same, without marking it cancelled, so that no
    // worker stays held in a pause nobody will lift.
    void Stop();
    // Waits while the run is held, in slices that ask whether to stop; false when cancelled or stopped.
    bool WaitWhilePaused(const std::function<bool()>& stopRequested);

    const KZInternet::SKZTransferControl* Transfers() const { return &m_flags; }

private:
    KZInternet::SKZTransferControl m_flags; // bCancel: every transfer breaks off
    std::atomic<bool> m_bCancelled{false};
    std::mutex m_mutex;
    std::condition_variable m_changed;
};
