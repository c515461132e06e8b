// tcpconsole: an interactive console client for a TCP server.
#include "stdThread.h"
#include "MySyncObject.h"
#include "SendRecvThread.h"

#ifdef TCPCONSOLE_STATIC
#include <nss.h>
#endif

// Markers kept from the Windows build, where they silence warning C4996.
#define DISABLE_C4996
#define ENABLE_C4996

#define CMD_QUIT_CHAR 'q'
#define CMD_SEND_MSG_CHAR 'm'

#define KEYINBUFSIZE (81)
#define EXIT_OK (0)
#define EXIT_FAILED (1)

static const char s_szPrompt[] = "\n送信メッセージを入力してください : ";
static_assert(sizeof(s_szPrompt) - 1 == 52, "the prompt is 52 bytes");

CMySyncObject* m_pCMySyncObject = NULL;
ConnectionInfoRec* m_pConInfo = NULL;
CSendRecvThread* m_pCSendRecvThread = NULL;

void DispMenu();
int GetKeyString(LPSTR pszString, int iSize);
BOOL KillZombei();
void Stop();
BOOL CreateAndConnectSocket(LPCSTR szAddress, WORD wPort);
BOOL DestroySocket(SOCKET& fd);

// A standard descriptor the program was started without would be the next
// one opened, the socket's: menu and received text would be written into the
// connection, and the server's bytes read as commands. /dev/null takes its
// place first.
static BOOL OpenStdDescriptors()
{
    int fd;

    for (fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd) {
            return FALSE;
        }
    }
    return TRUE;
}

int main(int argc, char** argv)
{
    char szKeyInBuff[KEYINBUFSIZE];
    int iExit = EXIT_FAILED;
    WORD wPort;

    if (!OpenStdDescriptors()) {
        DispErrorMsg("Err:open /dev/null");
        return EXIT_FAILED;
    }
    m_pCMySyncObject = new (std::nothrow) CMySyncObject;
    if (m_pCMySyncObject == NULL) {
        DispErrorMsg("Err:alloc");
        goto L_END;
    }
    m_pCMySyncObject->Initialize();

    if (argc != 3) {
        fprintf(stderr, "Usage:  %s <ServerAddress> <ServerPort>\n", argv[0]);
        goto L_END;
    }
    wPort = (WORD)atol(argv[2]);
    if (!CreateAndConnectSocket(argv[1], wPort)) {
        goto L_END;
    }
    iExit = EXIT_OK;

    DispMenu();
    for (;;) {
        if (KillZombei()) {
            break;
        }
        switch (GetKeyString(szKeyInBuff, KEYINBUFSIZE)) {
        case CMD_QUIT_CHAR:
            goto L_END;
        case CMD_SEND_MSG_CHAR:
            // The slot holds one message: one refused is reported, not
            // dropped without a word behind a menu that looks like success.
            if (!m_pCSendRecvThread->SetSendData(szKeyInBuff, (int)strlen(szKeyInBuff))) {
                DispErrorMsg("Err:send");
            }
            DispMenu();
            break;
        default:
            break;
        }
    }

L_END:
    Stop();
    if (m_pCMySyncObject != NULL) {
        m_pCMySyncObject->Uninitialize();
        SAFE_DELETE(m_pCMySyncObject);
    }
    return iExit;
}

void DispMenu()
{
    fprintf(stderr, "%c:quit %c:メッセージ送信 : ", CMD_QUIT_CHAR, CMD_SEND_MSG_CHAR);
}

// Reads one line of standard input into pszLine (iSize bytes, always
// terminated): at most iSize - 1 bytes, without the newline; the rest of a
// longer line is read and discarded, so that its tail is never taken as a
// command. One byte per read leaves the next line where it is, for the next
// command or message, even when a pipe or a paste brings several at once.
// Returns the bytes kept, or -1 when input ended (or failed) before the line
// began; a last line without its newline still counts.
static int ReadLine(LPSTR pszLine, int iSize)
{
    int iLen = 0;
    BOOL fAny = FALSE;
    char c;

    memset(pszLine, 0, iSize);
    while (read(0, &c, 1) == 1) {
        fAny = TRUE;
        if (c == '\n') {
            break;
        }
        if (iLen < iSize - 1) {
            pszLine[iLen++] = c;
        }
    }
    return fAny ? iLen : -1;
}

// Standard input at its end (or failing) makes poll() return at once; wait
// out the cycle so that the command loop does not spin.
static void WaitOutCycle()
{
    poll(NULL, 0, 10);
}

int GetKeyString(LPSTR pszString, int iSize)
{
    int iRet = 0;
    struct pollfd fds[1];
    int iLen;

    fds[0].fd = 0;
    fds[0].events = POLLIN;
    fds[0].revents = 0;
    if (poll(fds, 1, 10) < 0) {
        WaitOutCycle();
        goto L_END;
    }
    if (!(fds[0].revents & POLLIN)) {
        if (fds[0].revents != 0) {
            WaitOutCycle(); // POLLHUP, POLLERR or POLLNVAL without input
        }
        goto L_END;
    }
    if (ReadLine(pszString, iSize) < 0) {
        WaitOutCycle();
        goto L_END;
    }

    switch (pszString[0]) {
    case CMD_QUIT_CHAR:
        iRet = CMD_QUIT_CHAR;
        break;
    case CMD_SEND_MSG_CHAR:
        // Whatever was typed or pasted after the command is not the message.
        while (poll(fds, 1, 10) > 0 && (fds[0].revents & POLLIN)) {
            if (read(0, pszString, iSize) <= 0) {
                break;
            }
        }
        fwrite(s_szPrompt, 1, sizeof(s_szPrompt) - 1, stderr);

        // An empty line is an empty message; a line that starts with a zero
        // byte is none, like input that ended.
        iLen = ReadLine(pszString, iSize);
        if (iLen == 0 || (iLen > 0 && pszString[0] != 0)) {
            iRet = CMD_SEND_MSG_CHAR;
        }
        break;
    default:
        break;
    }

L_END:
    return iRet;
}

// Joins the finished worker and closes its connection, in this order: the
// socket must outlive the thread that uses it.
static void ReleaseConnection()
{
    m_pCSendRecvThread->End();
    m_pCSendRecvThread->WaitForEnd();
    SAFE_DELETE(m_pCSendRecvThread);
    DestroySocket(m_pConInfo->fdClient);
    SAFE_FREE(m_pConInfo);
}

BOOL KillZombei()
{
    if (m_pCSendRecvThread != NULL && m_pCSendRecvThread->IsZombie()) {
        ReleaseConnection();
        return TRUE;
    }
    return FALSE;
}

void Stop()
{
    fprintf(stderr, "Stop()\n");
    if (m_pCSendRecvThread != NULL) {
        ReleaseConnection();
    }
}

// The lookup reports through its result, not errno; show the resolver's own
// code and text, in the same format as the other connection errors.
static void DispLookupError(int iGaiErr)
{
    if (iGaiErr == EAI_SYSTEM) {
        DispErrorMsg("Err:connect");
    } else {
        fprintf(stderr, "%s %d %s\n", "Err:connect", iGaiErr, gai_strerror(iGaiErr));
    }
}

BOOL CreateAndConnectSocket(LPCSTR szAddress, WORD wPort)
{
    BOOL fRet = TRUE;
    SOCKET fd = INVALID_SOCKET;
    struct addrinfo hints;
    struct addrinfo* pres = NULL;
    struct addrinfo* pTemp = NULL;
    char szPort[32];
    int iGaiErr;
    int iConnectErr = 0;

    memset(&hints, 0, sizeof(hints));
    hints.ai_socktype = SOCK_STREAM;
    snprintf(szPort, sizeof(szPort), "%d", wPort);

#ifdef TCPCONSOLE_STATIC
    // A static program must not load the system's name-service plug-ins:
    // they are built against the system's C library, not the one linked in.
    // It looks in /etc/hosts, then asks DNS, whatever nsswitch.conf says.
    __nss_configure_lookup("hosts", "files dns");
#endif
    iGaiErr = getaddrinfo(szAddress, szPort, &hints, &pres);
    if (iGaiErr != 0) {
        DispLookupError(iGaiErr);
        fRet = FALSE;
        goto L_END;
    }

    for (pTemp = pres; pTemp != NULL; pTemp = pTemp->ai_next) {
        fd = socket(pTemp->ai_family, pTemp->ai_socktype, pTemp->ai_protocol);
        if (fd == INVALID_SOCKET) {
            goto L_NEXT;
        }
        if (connect(fd, pTemp->ai_addr, pTemp->ai_addrlen) == SOCKET_ERROR) {
            iConnectErr = errno;
            DispErrorMsg("Err:connect");
            DestroySocket(fd);
            goto L_NEXT;
        }
        fRet = TRUE;
        break;
L_NEXT:;
    }
    freeaddrinfo(pres);

    if (fd == INVALID_SOCKET) {
        if (iConnectErr != 0) {
            errno = iConnectErr;
        }
        DispErrorMsg("Err:connect");
        fRet = FALSE;
        goto L_END;
    }

    m_pConInfo = (ConnectionInfoRec*)calloc(1, sizeof(ConnectionInfoRec));
    if (m_pConInfo == NULL) {
        DispErrorMsg("Err:alloc");
        DestroySocket(fd);
        fRet = FALSE;
        goto L_END;
    }
    m_pConInfo->fdClient = fd;
    m_pConInfo->pCMySyncObject = m_pCMySyncObject;

    m_pCSendRecvThread = new (std::nothrow) CSendRecvThread(m_pConInfo);
    if (m_pCSendRecvThread == NULL) {
        DispErrorMsg("Err:alloc");
        fRet = FALSE;
    } else if (!m_pCSendRecvThread->Begin()) {
        DispErrorMsg("Err:thread");
        fRet = FALSE;
    }
    if (!fRet) {
        SAFE_DELETE(m_pCSendRecvThread);
        DestroySocket(m_pConInfo->fdClient);
        SAFE_FREE(m_pConInfo);
    }

L_END:
    return fRet;
}

// Keeps errno as it found it, so that a report after it still names the
// cause of the failure that led here.
BOOL DestroySocket(SOCKET& fd)
{
    int iErr = errno;

    if (fd != INVALID_SOCKET) {
        fprintf(stderr, "DestroySocket()\n");
        shutdown(fd, SHUT_RDWR);
        close(fd);
        fd = INVALID_SOCKET;
    }
    errno = iErr;
    return TRUE;
}
