#include "MySyncObject.h"

CMySyncObject::CMySyncObject() : m_iWaiters(0)
{
}

CMySyncObject::~CMySyncObject()
{
}

BOOL CMySyncObject::Initialize()
{
    pthread_mutex_init(&m_Mutex, NULL);
    return TRUE;
}

BOOL CMySyncObject::Uninitialize()
{
    pthread_mutex_destroy(&m_Mutex);
    return TRUE;
}

BOOL CMySyncObject::Lock()
{
    m_iWaiters++;
    pthread_mutex_lock(&m_Mutex);
    m_iWaiters--;
    return TRUE;
}

BOOL CMySyncObject::UnLock()
{
    pthread_mutex_unlock(&m_Mutex);
    // Give a waiting thread the processor. usleep(0) would sleep for the
    // timer slack instead, which throttles the receive path. Yield only when
    // a thread waits: the system call is a third of the cost of a received
    // chunk.
    if (m_iWaiters > 0) {
        sched_yield();
    }
    return TRUE;
}
