#pragma once
// A double-ended queue guarded by its own lock. Every wait on it is bounded and ends early when
// work arrives or when the given run flag is cleared (the owner calls Wake after clearing it), so
// an idle worker neither spins nor delays a shutdown.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

template <typename T>
class CKZLockedQueue
{
public:
    CKZLockedQueue() = default;
    CKZLockedQueue(const CKZLockedQueue&) = delete;
    CKZLockedQueue& operator=(const CKZLockedQueue&) = delete;

    // Appends an item; returns how many items the queue held before.
    size_t PushBack(T item)
    {
        return PushBack(item, [] {});
    }
    // Appends an item and runs whileLocked before the queue's lock is released.
    template <typename Function>
    size_t PushBack(T item, Function whileLocked)
    {
        size_t before;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            before = m_items.size();
            m_items.push_back(item);
            ++m_dwPushes;
            whileLocked();
        }
        m_changed.notify_all();
        return before;
    }

    bool PopFront(T& item)
    {
        return PopFirst(item, [](const T&) { return true; });
    }
    // Takes the first item that the predicate accepts.
    template <typename Predicate>
    bool PopFirst(T& item, Predicate accept)
    {
        bool bTaken = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (auto it = m_items.begin(); it != m_items.end(); ++it)
            {
                if (!accept(*it))
                    continue;
                item = *it;
                m_items.erase(it);
                bTaken = true;
                break;
            }
        }
        if (bTaken)
            m_changed.notify_all();
        return bTaken;
    }

    bool Empty() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items.empty();
    }
    size_t Size() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items.size();
    }
    // Runs function(items) under the queue's lock.
    template <typename Function>
    void WithItems(Function function)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        function(m_items);
    }
    // Removes every item, handing each to dispose.
    template <typename Function>
    void Drain(Function dispose)
    {
        std::deque<T> items;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            items.swap(m_items);
        }
        for (T& item : items)
            dispose(item);
    }

    // Waits at most ms until the queue holds an item; true when it does.
    bool WaitForWork(unsigned ms, const std::atomic<bool>& bRun)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !m_items.empty() || !bRun; });
        return !m_items.empty();
    }
    // Waits at most ms until an item is pushed or the queue is woken.
    void WaitForPush(unsigned ms, const std::atomic<bool>& bRun)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const uint64_t dwPushes = m_dwPushes;
        const uint64_t dwWakes = m_dwWakes;
        m_changed.wait_for(lock, std::chrono::milliseconds(ms),
                           [&] { return m_dwPushes != dwPushes || m_dwWakes != dwWakes || !bRun; });
    }
    // Waits at most ms until the queue is empty; true when it is.
    bool WaitUntilEmpty(unsigned ms, const std::atomic<bool>& bRun)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_items.empty() || !bRun; });
        return m_items.empty();
    }
    // Wakes every waiter: after a run flag was cleared, or when something a waiter watches changed.
    void Wake()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_dwWakes;
        }
        m_changed.notify_all();
    }

    std::mutex& Mutex() { return m_mutex; }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<T> m_items;
    uint64_t m_dwPushes = 0;
    uint64_t m_dwWakes = 0;
};
