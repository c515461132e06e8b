#include "SendRecvThread.h"

CSendRecvThread::CSendRecvThread(ConnectionInfoRec* pConInfo)
    : CThreadJob(), m_pConInfo(pConInfo), m_fIamZombie(FALSE), m_pSendData(NULL), m_iSendDataSize(0)
{
}

CSendRecvThread::~CSendRecvThread()
{
    SAFE_FREE(m_pSendData);
    m_iSendDataSize = 0;
}

// Posts one message; FALSE while an earlier one still waits to be taken.
// A message of size 0 is accepted and never sent.
BOOL CSendRecvThread::SetSendData(char* pcData, int iSize)
{
    BOOL fRet = FALSE;
    char* pcCopy;

    m_pConInfo->pCMySyncObject->Lock();
    if (m_iSendDataSize != 0) {
        goto L_END;
    }
    fRet = TRUE;
    if (iSize > 0) {
        pcCopy = (char*)calloc(iSize, 1);
        if (pcCopy == NULL) {
            fRet = FALSE;
            goto L_END;
        }
        memcpy(pcCopy, pcData, iSize);
        m_pSendData = pcCopy;
        m_iSendDataSize = iSize;
    }

L_END:
    m_pConInfo->pCMySyncObject->UnLock();
    return fRet;
}

// Takes the posted message into a block the caller owns; 0 when there is
// none (or no copy could be made: the message then stays in the slot).
int CSendRecvThread::GetSendData(char** ppcData)
{
    int iRet = 0;
    char* pcCopy;

    m_pConInfo->pCMySyncObject->Lock();
    if (m_iSendDataSize < 1) {
        goto L_END;
    }
    pcCopy = (char*)calloc(m_iSendDataSize, 1);
    if (pcCopy == NULL) {
        goto L_END;
    }
    memcpy(pcCopy, m_pSendData, m_iSendDataSize);
    *ppcData = pcCopy;
    iRet = m_iSendDataSize;
    SAFE_FREE(m_pSendData);
    m_iSendDataSize = 0;

L_END:
    m_pConInfo->pCMySyncObject->UnLock();
    return iRet;
}

BOOL CSendRecvThread::IsZombie()
{
    BOOL fRet;

    m_pConInfo->pCMySyncObject->Lock();
    fRet = m_fIamZombie;
    m_pConInfo->pCMySyncObject->UnLock();
    return fRet;
}

UINT CSendRecvThread::DoWork()
{
    BOOL fRet = TRUE;
    struct pollfd fds[1];
    char* pcData = NULL;
    int iSendSize = 0;
    // One byte beyond the largest receive, for the newline that ends a chunk.
    char szRecvBuffer[RCVBUFSIZE + 1];
    ssize_t iRecvSize;
    CMySyncObject* pSync = m_pConInfo->pCMySyncObject;

    memset(fds, 0, sizeof(fds));
    fds[0].fd = m_pConInfo->fdClient;

    while (!m_fStopFlag) {
        if (iSendSize == 0) {
            iSendSize = GetSendData(&pcData);
        }
        fds[0].events = POLLIN | POLLRDHUP;
        if (iSendSize > 0) {
            fds[0].events |= POLLOUT;
        }
        fds[0].revents = 0;
        poll(fds, 1, 10);

        if (fds[0].revents & POLLERR) {
            DispErrorMsg("Err DoSend");
            fRet = FALSE;
            break;
        }
        // Data the peer sent before closing is still shown: receive while
        // there is any, and report the close only when none is left.
        if (fds[0].revents & POLLIN) {
            memset(szRecvBuffer, 0, sizeof(szRecvBuffer));
            iRecvSize = recv(fds[0].fd, szRecvBuffer, RCVBUFSIZE, 0);
            if (iRecvSize > 0) {
                // The whole chunk, zero bytes included, and its newline in
                // one write.
                szRecvBuffer[iRecvSize] = '\n';
                pSync->Lock();
                fwrite(szRecvBuffer, 1, iRecvSize + 1, stderr);
                pSync->UnLock();
                continue;
            }
            if (iRecvSize < 0 || !(fds[0].revents & POLLRDHUP)) {
                pSync->Lock();
                DispErrorMsg(iRecvSize == 0 ? "Disconnected recv" : "Err:recv");
                pSync->UnLock();
                fRet = FALSE;
                break;
            }
        }
        if (fds[0].revents & POLLRDHUP) {
            DispErrorMsg("Disconnected");
            fRet = FALSE;
            break;
        }
        if (fds[0].revents & POLLOUT) {
            // MSG_NOSIGNAL: a peer that reset the connection gives EPIPE here
            // instead of killing the process with SIGPIPE.
            if (send(fds[0].fd, pcData, iSendSize, MSG_NOSIGNAL) != (ssize_t)iSendSize) {
                DispErrorMsg("Err:send");
                fRet = FALSE;
                break;
            }
            SAFE_FREE(pcData);
            iSendSize = 0;
        }
    }

    pSync->Lock();
    m_fIamZombie = TRUE;
    pSync->UnLock();
    SAFE_FREE(pcData);
    return fRet ? 0 : 0xFFFFFFFF;
}
