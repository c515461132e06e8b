#include "MySyncObject.h"

CMySyncObject::CMySyncObject()
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
    pthread_mutex_lock(&m_Mutex);
    return TRUE;
}

BOOL CMySyncObject::UnLock()
{
    pthread_mutex_unlock(&m_Mutex);
    // Give a waiting thread the processor. usleep(0) would sleep for the
    // timer slack instead, which throttles the receive path.
    sched_yield();
    return TRUE;
}
