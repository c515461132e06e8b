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
// Most bytes of standard input one pass of the command loop reads, so that
// an endless line cannot keep the loop from reaping a finished worker.
#define KEYINPASSMAX (1024)
// Most bytes the drain after m discards, so that an endless input cannot
// keep the prompt from appearing.
#define DRAINMAX (1024L * 1024)
// Longest wait at the end of a connection for the bytes sent to be
// acknowledged.
#define ACKWAITMS (1000)
// Most bytes read off before a close: a server that never stops sending
// cannot hold the close up.
#define READOFFMAX (16L * 1024 * 1024)
#define EXIT_OK (0)
#define EXIT_FAILED (1)

static const char s_szPrompt[] = "\n送信メッセージを入力してください : ";
static_assert(sizeof(s_szPrompt) - 1 == 52, "the prompt is 52 bytes");

// One line of standard input, read over as many passes as it takes.
struct KeyInLine
{
    char szText[KEYINBUFSIZE]; // the bytes kept, zero-terminated
    int iLen;                  // bytes kept: at most KEYINBUFSIZE - 1
    BOOL fTooLong;             // more came than fit: the rest was discarded
    BOOL fDone;                // ended by its newline, or by the end of input
    BOOL fCalledOff;           // no line: Ctrl-D on a terminal at the prompt
};

// What ReadLine() found.
#define LINE_FAILED (-2) // a read failed before a line began
#define LINE_ENDED (-1)  // input ended before a line began
#define LINE_PENDING (0) // nothing more is waiting: the line goes on later
#define LINE_DONE (1)

CMySyncObject* m_pCMySyncObject = NULL;
ConnectionInfoRec* m_pConInfo = NULL;
CSendRecvThread* m_pCSendRecvThread = NULL;

void DispMenu();
int GetKeyString(KeyInLine* pLine);
BOOL KillZombei();
void Stop();
BOOL CreateAndConnectSocket(LPCSTR szAddress, WORD wPort);
BOOL DestroySocket(SOCKET& fd);

// The low 16 bits of the decimal number that psz begins with (after blanks
// and a sign, as strtol() takes them), however long: strtol() and its kin
// saturate at their type's limits. 0 when psz begins with no number.
static WORD ParsePort(LPCSTR psz)
{
    WORD wPort = 0;
    BOOL fNegative;

    while (isspace((unsigned char)*psz)) {
        psz++;
    }
    fNegative = (*psz == '-');
    if (*psz == '-' || *psz == '+') {
        psz++;
    }
    // In 16-bit arithmetic, which keeps exactly the low 16 bits.
    for (; *psz >= '0' && *psz <= '9'; psz++) {
        wPort = (WORD)(wPort * 10 + (*psz - '0'));
    }
    return fNegative ? (WORD)-wPort : wPort;
}

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
    KeyInLine klKeyIn;
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
        WriteStdErrText("Usage:  ");
        WriteStdErrText(argc > 0 ? argv[0] : "tcpconsole"); // execve() may give none
        WriteStdErrText(" <ServerAddress> <ServerPort>\n");
        goto L_END;
    }
    wPort = ParsePort(argv[2]);
    if (!CreateAndConnectSocket(argv[1], wPort)) {
        goto L_END;
    }
    iExit = EXIT_OK;

    memset(&klKeyIn, 0, sizeof(klKeyIn));
    DispMenu();
    for (;;) {
        if (KillZombei()) {
            break;
        }
        switch (GetKeyString(&klKeyIn)) {
        case CMD_QUIT_CHAR:
            goto L_END;
        case CMD_SEND_MSG_CHAR:
            // A message cut short could be a command the user never typed:
            // refuse it whole. The slot holds one message: one refused is
            // reported, not dropped without a word behind the menu. One
            // called off posts nothing.
            if (klKeyIn.fTooLong) {
                errno = EMSGSIZE;
                DispErrorMsg("Err:send");
            } else if (!klKeyIn.fCalledOff &&
                       !m_pCSendRecvThread->SetSendData(klKeyIn.szText, klKeyIn.iLen)) {
                DispErrorMsg("Err:send");
            }
            // Once the connection has ended, the program ends: no menu.
            if (!m_pCSendRecvThread->IsZombie()) {
                DispMenu();
            }
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
    char szMenu[64];

    snprintf(szMenu, sizeof(szMenu), "%c:quit %c:メッセージ送信 : ", CMD_QUIT_CHAR,
             CMD_SEND_MSG_CHAR);
    WriteStdErrText(szMenu);
}

// TRUE when standard input has a byte to read, or its end or failure to
// report, within iWaitMs (-1: however long it takes).
static BOOL WaitInput(int iWaitMs)
{
    struct pollfd fds[1];
    int iRet;

    fds[0].fd = 0;
    fds[0].events = POLLIN;
    fds[0].revents = 0;
    while ((iRet = poll(fds, 1, iWaitMs)) < 0 && errno == EINTR) {
    }
    return iRet > 0;
}

// Reads standard input into pLine until the line ends or nothing more is
// waiting; a finished line is followed by a new one. The first byte is
// waited for iWaitMs; with -1, every byte is waited for, however long. One
// byte per read leaves the next line where it is, for the next command or
// the drain after m, even when a pipe or a paste brings several at once.
// Bytes beyond the buffer are read and discarded, so that the tail of a
// line is never taken as a command. A last line without its newline counts.
static int ReadLine(KeyInLine* pLine, int iWaitMs)
{
    int iBytes;
    ssize_t iRead;
    char c;

    if (pLine->fDone) {
        memset(pLine, 0, sizeof(*pLine));
    }
    for (iBytes = 0; iWaitMs < 0 || iBytes < KEYINPASSMAX; iBytes++) {
        if (!WaitInput(iBytes == 0 || iWaitMs < 0 ? iWaitMs : 0)) {
            return LINE_PENDING;
        }
        iRead = read(0, &c, 1);
        if (iRead < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue; // a non-blocking descriptor with nothing yet: not its end
        }
        if (iRead <= 0 && pLine->iLen == 0) {
            return iRead == 0 ? LINE_ENDED : LINE_FAILED;
        }
        if (iRead <= 0) {
            pLine->fDone = TRUE;
            return LINE_DONE;
        }
        if (c == '\n') {
            pLine->fDone = TRUE;
            return LINE_DONE;
        }
        if (pLine->iLen < KEYINBUFSIZE - 1) {
            pLine->szText[pLine->iLen++] = c;
        } else {
            pLine->fTooLong = TRUE;
        }
    }
    return LINE_PENDING;
}

// Standard input at its end (or failing) makes poll() return at once; wait
// out the cycle so that the command loop does not spin.
static void WaitOutCycle()
{
    poll(NULL, 0, 10);
}

// One pass of the command loop: waits up to 10 ms for input, and returns
// the command of a line that is complete. After m, the message line is in
// pLine; fTooLong says it did not fit.
int GetKeyString(KeyInLine* pLine)
{
    int iRet = 0;
    ssize_t iDrained = 0;
    ssize_t iRead;
    char szDrain[RCVBUFSIZE];
    char cLastDrained = '\n';

    switch (ReadLine(pLine, 10)) {
    case LINE_FAILED:
    case LINE_ENDED:
        WaitOutCycle();
        goto L_END;
    case LINE_PENDING:
        goto L_END;
    default:
        break;
    }

    switch (pLine->szText[0]) {
    case CMD_QUIT_CHAR:
        iRet = CMD_QUIT_CHAR;
        break;
    case CMD_SEND_MSG_CHAR:
        // Whatever was typed or pasted after the command is not the message.
        while (iDrained < DRAINMAX && WaitInput(10)) {
            // Never past the bound: where it stops inside a line, the rest of
            // that line is the next to be read, and known to be cut.
            iRead = read(0, szDrain, (size_t)min((long)sizeof(szDrain), DRAINMAX - iDrained));
            if (iRead <= 0) {
                break;
            }
            iDrained += iRead;
            cLastDrained = szDrain[iRead - 1];
        }
        WriteStdErr(s_szPrompt, sizeof(s_szPrompt) - 1);

        // An empty line is an empty message, a line without its newline at
        // the end of input a message all the same.
        switch (ReadLine(pLine, -1)) {
        case LINE_DONE:
            iRet = CMD_SEND_MSG_CHAR;
            // The drain stopped inside this line: it began before the
            // prompt, and what is left of it is no message. Refused whole.
            pLine->fTooLong |= (cLastDrained != '\n');
            break;
        case LINE_ENDED:
            // On a terminal, Ctrl-D ends one read, not the input: it calls
            // the message off, and the commands go on.
            if (isatty(0)) {
                pLine->fDone = TRUE;
                pLine->fCalledOff = TRUE;
                iRet = CMD_SEND_MSG_CHAR;
            }
            break;
        default:
            break;
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
    WriteStdErrText("Stop()\n");
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
        DispErrorText("Err:connect", iGaiErr, gai_strerror(iGaiErr));
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

// Milliseconds of a clock that no change of the system time moves.
static long long MonotonicMs()
{
    struct timespec ts;

    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// What ReadOff() found.
#define READOFF_MORE (1)    // nothing failed: more may come
#define READOFF_END (0)     // the peer's end of data
#define READOFF_FAILED (-1) // the connection failed: reported

// Reads off and discards what waits in the receive queue, at most
// READOFFMAX bytes: close() with unread data sends a reset, which throws
// away what the send queue still holds. A failure a receive returns is the
// connection's own, and the receive took it from the socket: nobody else
// can report it.
static int ReadOff(SOCKET fd)
{
    char szDiscard[16 * RCVBUFSIZE];
    ssize_t iRead = 0;
    long lTotal;

    for (lTotal = 0; lTotal < READOFFMAX; lTotal += iRead) {
        iRead = recv(fd, szDiscard, sizeof(szDiscard), MSG_DONTWAIT);
        if (iRead <= 0) {
            break;
        }
    }
    if (iRead == 0) {
        return READOFF_END;
    }
    // ENOTCONN: a socket that never connected has nothing to read off.
    if (iRead < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
        errno != ENOTCONN) {
        DispErrorMsg("Err:send");
        return READOFF_FAILED;
    }
    return READOFF_MORE;
}

// Waits, at most ACKWAITMS, until the peer has acknowledged every byte
// sent, reading off what it sends meanwhile; reports bytes that it had not
// yet acknowledged then, and a failure of the connection. Nothing pending:
// returns at once. FALSE when the connection failed.
static BOOL WaitForAck(SOCKET fd)
{
    struct pollfd fds[1];
    long long llEnd = MonotonicMs() + ACKWAITMS;
    int iPending = 0;
    int iRead;

    fds[0].fd = fd;
    fds[0].events = POLLIN;
    while (ioctl(fd, SIOCOUTQ, &iPending) == 0 && iPending > 0 && MonotonicMs() < llEnd) {
        fds[0].revents = 0;
        poll(fds, 1, 10);
        if (fds[0].revents & (POLLERR | POLLHUP)) {
            // A reset. Say so, unless the worker already reported the
            // failure (and so took its error).
            if (LoadSocketError(fd) != 0) {
                DispErrorMsg("Err:send");
            }
            return FALSE;
        }
        if (fds[0].revents & POLLIN) {
            iRead = ReadOff(fd);
            if (iRead == READOFF_FAILED) {
                return FALSE;
            }
            if (iRead == READOFF_END) {
                fds[0].events = 0; // wait on, without spinning
            }
        }
    }
    if (iPending > 0) {
        errno = ETIMEDOUT;
        DispErrorMsg("Err:send");
    }
    return TRUE;
}

// Keeps errno as it found it, so that a report after it still names the
// cause of the failure that led here. Ends the connection with a FIN
// wherever it can: bytes sent are acknowledged, those received read off.
BOOL DestroySocket(SOCKET& fd)
{
    int iErr = errno;

    if (fd != INVALID_SOCKET) {
        WriteStdErrText("DestroySocket()\n");
        if (WaitForAck(fd)) {
            ReadOff(fd);
        }
        shutdown(fd, SHUT_RDWR);
        close(fd);
        fd = INVALID_SOCKET;
    }
    errno = iErr;
    return TRUE;
}
