#include "stdThread.h"

BOOL WriteAll(int fd, LPCSTR pc, size_t iLen)
{
    int iErr = errno;
    BOOL fRet = TRUE;
    struct pollfd fds[1];
    ssize_t iWritten;

    fds[0].fd = fd;
    fds[0].events = POLLOUT;
    while (iLen > 0) {
        iWritten = write(fd, pc, iLen);
        if (iWritten > 0) {
            pc += iWritten;
            iLen -= iWritten;
        } else if (iWritten < 0 && errno == EAGAIN) {
            // The descriptor was left non-blocking by another program; its
            // flags are not ours to change.
            poll(fds, 1, -1);
        } else if (iWritten == 0 || errno != EINTR) {
            fRet = FALSE;
            break;
        }
    }
    errno = iErr;
    return fRet;
}

BOOL WriteStdErr(LPCSTR pc, size_t iLen)
{
    BOOL fRet;

    // stdio's own lock of the stream keeps a chunk and a menu apart, however
    // many writes each takes.
    flockfile(stderr);
    fRet = WriteAll(2, pc, iLen);
    funlockfile(stderr);
    return fRet;
}

BOOL WriteStdErrText(LPCSTR psz)
{
    return WriteStdErr(psz, strlen(psz));
}

void DispErrorText(LPCSTR pszTitle, int iErr, LPCSTR pszText)
{
    char szLine[512];
    int iLen = snprintf(szLine, sizeof(szLine), "%s %d %s\n", pszTitle, iErr, pszText);

    if (iLen > 0) {
        WriteStdErr(szLine, min(iLen, (int)sizeof(szLine) - 1));
    }
}

int DispErrorMsg(LPCSTR pszTitle)
{
    int iErr = errno;
    char szText[256];

    // Either thread may report; strerror() may hand back a shared buffer.
    DispErrorText(pszTitle, iErr, strerror_r(iErr, szText, sizeof(szText)));
    errno = iErr;
    return errno;
}

DWORD timeGetTime()
{
    DWORD dwTime = 0;
    struct timeval tv;

    if (gettimeofday(&tv, NULL) == 0) {
        // In 32 bits from the start: a 32-bit time_t would overflow at
        // tv_sec * 1000.
        dwTime = (DWORD)tv.tv_sec * 1000 + (DWORD)(tv.tv_usec / 1000);
    }
    return dwTime;
}

DWORD GetdwInterval(DWORD dwNow, DWORD dwPast)
{
    DWORD dwInterval;

    if (dwNow >= dwPast) {
        dwInterval = dwNow - dwPast;
    } else {
        // The clock wrapped. Intervals measured with this have always come
        // out one short here, and callers count on that figure.
        dwInterval = (0xFFFFFFFF - dwPast) + dwNow;
    }
    return dwInterval;
}

int kbhit()
{
    int iRet = 0;
    struct termios tmOld;
    struct termios tmNew;
    BOOL fTerminal;
    int iOldFlags;
    int ch;

    // A pipe or a file has no modes: change and restore only what was read.
    fTerminal = (tcgetattr(0, &tmOld) == 0);
    if (fTerminal) {
        tmNew = tmOld;
        // Without ICANON a key counts before Enter is pressed; without ECHO
        // the probe shows nothing.
        tmNew.c_lflag &= ~(ICANON | ECHO);
        tcsetattr(0, TCSANOW, &tmNew);
    }
    iOldFlags = fcntl(0, F_GETFL, 0);
    if (iOldFlags != -1) {
        fcntl(0, F_SETFL, iOldFlags | O_NONBLOCK);
    }

    ch = getchar();

    if (fTerminal) {
        tcsetattr(0, TCSANOW, &tmOld);
    }
    if (iOldFlags != -1) {
        fcntl(0, F_SETFL, iOldFlags);
    }
    if (ch != EOF) {
        ungetc(ch, stdin);
        iRet = 1;
    }
    return iRet;
}
