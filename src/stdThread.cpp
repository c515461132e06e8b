#include "stdThread.h"

int DispErrorMsg(LPCSTR pszTitle)
{
    int iErr = errno;
    char szText[256];

    // Either thread may report; strerror() may hand back a shared buffer.
    fprintf(stderr, "%s %d %s\n", pszTitle, iErr, strerror_r(iErr, szText, sizeof(szText)));
    return errno;
}
