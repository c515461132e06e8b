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

// Posts one message; FALSE, with errno EBUSY, while an earlier one still
// waits to be taken, ENOTCONN once the connection has ended (or ENOMEM
// without a copy). A message of size 0 is accepted and never sent.
BOOL CSendRecvThread::SetSendData(char* pcData, int iSize)
{
    BOOL fRet = FALSE;
    char* pcCopy;

    m_pConInfo->pCMySyncObject->Lock();
    if (m_fIamZombie) {
        errno = ENOTCONN; // nothing would ever take it from the slot
        goto L_END;
    }
    if (m_iSendDataSize != 0) {
        errno = EBUSY;
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

// Takes the posted message: its block becomes the caller's. Handed over,
// not copied, so that no failed allocation can lose a message the user was
// told was accepted. 0 when there is none.
int CSendRecvThread::GetSendData(char** ppcData)
{
    int iRet = 0;

    m_pConInfo->pCMySyncObject->Lock();
    if (m_iSendDataSize >= 1) {
        *ppcData = m_pSendData;
        iRet = m_iSendDataSize;
        m_pSendData = NULL;
        m_iSendDataSize = 0;
    }
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

int LoadSocketError(SOCKET fd)
{
    int iErr = 0;
    socklen_t len = sizeof(iErr);

    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &iErr, &len) != 0) {
        iErr = 0;
    }
    if (iErr != 0) {
        errno = iErr;
    }
    return iErr;
}

// Receives one chunk and shows it whole, zero bytes included, with its
// newline in the same write. NULL when it did; otherwise the connection has
// ended (the peer's close, or a failure), and the title to report it with,
// its cause in errno.
LPCSTR CSendRecvThread::RecvAndShow(BOOL fPeerShutdown)
{
    // One byte beyond the largest receive, for the newline that ends a chunk.
    char szRecvBuffer[RCVBUFSIZE + 1];
    ssize_t iRecvSize;
    CMySyncObject* pSync = m_pConInfo->pCMySyncObject;

    memset(szRecvBuffer, 0, sizeof(szRecvBuffer));
    iRecvSize = recv(m_pConInfo->fdClient, szRecvBuffer, RCVBUFSIZE, 0);
    if (iRecvSize < 0) {
        return "Err:recv";
    }
    if (iRecvSize == 0) {
        LoadSocketError(m_pConInfo->fdClient);
        return fPeerShutdown ? "Disconnected" : "Disconnected recv";
    }
    szRecvBuffer[iRecvSize] = '\n';
    pSync->Lock();
    WriteStdErr(szRecvBuffer, iRecvSize + 1);
    pSync->UnLock();
    return NULL;
}

// The whole message in one send(); a failure or a short send is reported.
// MSG_NOSIGNAL: a peer that reset the connection gives EPIPE here instead
// of killing the process with SIGPIPE.
BOOL CSendRecvThread::SendMsgData(const char* pcData, int iSize, int iFlags)
{
    ssize_t iSent = send(m_pConInfo->fdClient, pcData, iSize, iFlags | MSG_NOSIGNAL);

    if (iSent == (ssize_t)iSize) {
        return TRUE;
    }
    if (iSent >= 0) {
        errno = EAGAIN; // a short send sets no errno: the socket took no more
    }
    DispErrorMsg("Err:send");
    return FALSE;
}

UINT CSendRecvThread::DoWork()
{
    BOOL fRet = TRUE;
    BOOL fSent = TRUE;
    LPCSTR pszEnd = NULL; // why the connection ended, and errno then
    int iEndErr = 0;
    struct pollfd fds[1];
    char* pcData = NULL;
    int iSendSize = 0;
    int iPass;
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

        // Data the peer sent before it closed or reset the connection is
        // shown first: the receive meets the end once none is left.
        if (fds[0].revents & POLLIN) {
            pszEnd = RecvAndShow(fds[0].revents & POLLRDHUP);
        } else if (fds[0].revents & (POLLERR | POLLRDHUP)) {
            LoadSocketError(m_pConInfo->fdClient);
            pszEnd = (fds[0].revents & POLLERR) ? "Err DoSend" : "Disconnected";
        }
        if (pszEnd != NULL) {
            iEndErr = errno;
            fRet = FALSE;
            break;
        }
        // In the same pass as a chunk shown: a server that never stops
        // sending must not hold the message back.
        if (fds[0].revents & POLLOUT) {
            fSent = SendMsgData(pcData, iSendSize, 0);
            SAFE_FREE(pcData);
            iSendSize = 0;
            if (!fSent) {
                fRet = FALSE;
                break;
            }
        }
    }

    // Finished: from here on a post is refused, so that none is left in the
    // slot unsent and unreported; and so before the end is shown, so that
    // every line the user enters after it is refused.
    pSync->Lock();
    m_fIamZombie = TRUE;
    if (pszEnd != NULL) {
        errno = iEndErr;
        DispErrorMsg(pszEnd);
    }
    pSync->UnLock();

    // However the loop ended, the messages the user was told were accepted,
    // the one in flight and then the one in the slot, still go out if the
    // socket takes them at once (a peer that only shut down its sending side
    // still reads); one report covers what did not. Never waits for the peer.
    for (iPass = 0; fSent && iPass < 2; iPass++) {
        if (iSendSize == 0) {
            iSendSize = GetSendData(&pcData);
        }
        if (iSendSize > 0) {
            fSent = SendMsgData(pcData, iSendSize, MSG_DONTWAIT);
        }
        SAFE_FREE(pcData);
        iSendSize = 0;
    }
    return fRet && fSent ? 0 : 0xFFFFFFFF;
}
