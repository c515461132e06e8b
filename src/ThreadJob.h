#ifndef THREADJOB_H
#define THREADJOB_H

#include "stdThread.h"

// A job run on a thread of its own: derive, override DoWork(), Begin(),
// then End()/WaitForEnd(). DoWork() should return soon after m_fStopFlag is set.
class CThreadJob
{
public:
    CThreadJob();
    ~CThreadJob();

    BOOL Begin();
    void End();
    DWORD WaitForEnd();
    virtual UINT DoWork();

protected:
    // Written by the controlling thread, read by the job's thread.
    std::atomic<BOOL> m_fStopFlag;

private:
    pthread_t m_idThread;
    BOOL m_fStarted;
};

// Thread entry: runs DoWork() and ends the thread with a calloc'ed DWORD
// holding its result (or with NULL when that block cannot be made).
void* ThreadFunc(void* pvoid);

#endif // THREADJOB_H
