#ifndef MYSYNCOBJECT_H
#define MYSYNCOBJECT_H

#include "stdThread.h"

// The one lock shared by the main thread and the worker.
class CMySyncObject
{
public:
    CMySyncObject();
    ~CMySyncObject();

    BOOL Initialize();
    BOOL Uninitialize();
    BOOL Lock();
    BOOL UnLock();

private:
    pthread_mutex_t m_Mutex;
    std::atomic<int> m_iWaiters; // threads inside Lock()
};

#endif // MYSYNCOBJECT_H
