#ifndef SENDRECVTHREAD_H
#define SENDRECVTHREAD_H

#include "stdThread.h"
#include "MySyncObject.h"
#include "ThreadJob.h"

// Most bytes taken by one receive.
#define RCVBUFSIZE (1024)

struct ConnectionInfoRec
{
    SOCKET fdClient;               // the connected socket
    CMySyncObject* pCMySyncObject; // the shared lock (not owned)
};

// poll() reports a failed socket without setting errno: this loads the
// socket's own error into errno, when it has one, and returns it (0: none).
// Reading it clears it.
int LoadSocketError(SOCKET fd);

// Owns all traffic on one connected socket: shows what arrives on standard
// error and sends the one message posted with SetSendData().
class CSendRecvThread final : public CThreadJob
{
public:
    explicit CSendRecvThread(ConnectionInfoRec* pConInfo);
    ~CSendRecvThread();

    UINT DoWork() override;
    BOOL SetSendData(char* pcData, int iSize);
    BOOL IsZombie();

private:
    int GetSendData(char** ppcData);
    LPCSTR RecvAndShow(BOOL fPeerShutdown);
    BOOL SendMsgData(const char* pcData, int iSize, int iFlags);

    ConnectionInfoRec* m_pConInfo;
    BOOL m_fIamZombie;   // guarded by the shared lock
    char* m_pSendData;   // guarded by the shared lock
    int m_iSendDataSize; // guarded by the shared lock; 0: slot empty
};

#endif // SENDRECVTHREAD_H
