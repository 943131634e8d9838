#pragma once
// A thin owner of one detached POSIX thread. Joining is not offered: owners signal completion
// through their own flags and must not let a thread outlive what its function uses.

#include <cstdint>

class CKZThread
{
public:
    typedef unsigned (*ThreadEntry)(void* pArgument);

    CKZThread() = default;
    CKZThread(const CKZThread&) = delete;
    CKZThread& operator=(const CKZThread&) = delete;
    virtual ~CKZThread();

    // Starts the thread at once, detached. Fails when this object already holds a thread.
    // The stack size and the name are accepted and ignored.
    bool CreateThread(ThreadEntry entry, void* pArgument, uint32_t stackSize = 0, const char* szName = nullptr);
    bool DeleteThread();
    bool StartThread() const;
    bool StopThread() const;

    void SetThreadPriority(uint32_t priority) { m_dwPriority = priority; }
    uint32_t GetThreadPriority() const { return m_dwPriority; }
    void SetThreadProcessor(uint32_t processor) { m_dwProcessor = processor; }
    uint32_t GetThreadProcessor() const { return m_dwProcessor; }

    static void Sleep(uint32_t milliseconds);

private:
    struct SThreadBlock;

    SThreadBlock* m_pThreadBlock = nullptr;
    [[maybe_unused]] uint32_t m_dwUnused = 0;
    uint32_t m_dwPriority = 2;
    uint32_t m_dwProcessor = 0;
};
