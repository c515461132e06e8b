#include "stdThread.h"

int DispErrorMsg(LPCSTR pszTitle)
{
    int iErr = errno;

    fprintf(stderr, "%s %d %s\n", pszTitle, iErr, strerror(iErr));
    return errno;
}
