#include "ThreadJob.h"

CThreadJob::CThreadJob() : m_fStopFlag(FALSE), m_idThread(0), m_fStarted(FALSE)
{
}

CThreadJob::~CThreadJob()
{
}

BOOL CThreadJob::Begin()
{
    pthread_t idThread;
    int iErr;

    m_fStopFlag = FALSE;
    iErr = pthread_create(&idThread, NULL, ThreadFunc, this);
    if (iErr != 0) {
        // pthread_create reports through its result; hand it on in errno
        // so that the caller's report names the cause.
        errno = iErr;
        return FALSE;
    }
    m_idThread = idThread;
    m_fStarted = TRUE;
    return TRUE;
}

void CThreadJob::End()
{
    m_fStopFlag = TRUE;
}

DWORD CThreadJob::WaitForEnd()
{
    DWORD dwRet = 0xFFFFFFFF;
    void* pResult = NULL;

    m_fStopFlag = TRUE;
    if (!m_fStarted) {
        goto L_END;
    }
    m_fStarted = FALSE;
    if (pthread_join(m_idThread, &pResult) != 0) {
        goto L_END;
    }
    if (pResult != NULL) {
        dwRet = *(DWORD*)pResult;
    }
    SAFE_FREE(pResult);

L_END:
    return dwRet;
}

UINT CThreadJob::DoWork()
{
    return 0;
}

static const char s_szEnd[] = "ThreadFunc End\n";

void* ThreadFunc(void* pvoid)
{
    DWORD* pdwResult = (DWORD*)calloc(1, sizeof(DWORD));
    CThreadJob* pCThreadJob = (CThreadJob*)pvoid;
    DWORD dwRet;

    dwRet = pCThreadJob->DoWork();
    if (pdwResult != NULL) {
        *pdwResult = dwRet;
    }
    WriteAll(1, s_szEnd, sizeof(s_szEnd) - 1);
    // Returned, not handed to pthread_exit(): that loads the unwinder, and
    // aborts the process when that load finds no memory.
    return pdwResult;
}
