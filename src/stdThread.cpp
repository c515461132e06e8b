#include "stdThread.h"

int DispErrorMsg(LPCSTR pszTitle)
{
    int iErr = errno;
    char szText[256];

    // Either thread may report; strerror() may hand back a shared buffer.
    fprintf(stderr, "%s %d %s\n", pszTitle, iErr, strerror_r(iErr, szText, sizeof(szText)));
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
