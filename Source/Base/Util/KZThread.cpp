#include "Base/Util/KZThread.h"

#include <pthread.h>
#include <cerrno>
#include <ctime>

struct CKZThread::SThreadBlock
{
    pthread_attr_t attributes;
    pthread_t handle;
    ThreadEntry entry;
    void* pArgument;
};

namespace
{
// The running thread gets its own copy of entry and argument, so that DeleteThread may free the
// block while the thread is still starting.
struct SThreadStart
{
    CKZThread::ThreadEntry entry;
    void* pArgument;
};

void* RunThread(void* pStart)
{
    SThreadStart start = *static_cast<SThreadStart*>(pStart);
    delete static_cast<SThreadStart*>(pStart);
    start.entry(start.pArgument);
    return nullptr;
}
}

CKZThread::~CKZThread()
{
    DeleteThread();
}

bool CKZThread::CreateThread(ThreadEntry entry, void* pArgument, uint32_t, const char*)
{
    if (m_pThreadBlock || !entry)
        return false;
    SThreadBlock* pBlock = new SThreadBlock{};
    pBlock->entry = entry;
    pBlock->pArgument = pArgument;
    if (pthread_attr_init(&pBlock->attributes) != 0)
    {
        delete pBlock;
        return false;
    }
    bool bCreated = false;
    if (pthread_attr_setdetachstate(&pBlock->attributes, PTHREAD_CREATE_DETACHED) == 0)
    {
        SThreadStart* pStart = new SThreadStart{entry, pArgument};
        bCreated = pthread_create(&pBlock->handle, &pBlock->attributes, RunThread, pStart) == 0;
        if (!bCreated)
            delete pStart;
    }
    pthread_attr_destroy(&pBlock->attributes);
    if (!bCreated)
    {
        delete pBlock;
        return false;
    }
    m_pThreadBlock = pBlock;
    return true;
}

bool CKZThread::DeleteThread()
{
    delete m_pThreadBlock;
    m_pThreadBlock = nullptr;
    return true;
}

bool CKZThread::StartThread() const
{
    return m_pThreadBlock != nullptr;
}

bool CKZThread::StopThread() const
{
    return m_pThreadBlock != nullptr;
}

void CKZThread::Sleep(uint32_t milliseconds)
{
    // nanosleep rather than usleep: usleep may refuse a second or more.
    timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR)
    {
    }
}
