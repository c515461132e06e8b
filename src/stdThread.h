// Windows-style names and small helpers on POSIX; every module includes this.
#ifndef STDTHREAD_H
#define STDTHREAD_H

// System and library headers come first: the min/max macros below would
// break any standard header included after them.
#include <atomic>
#include <new>

#include <stdio.h>
#include <stdlib.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>
#include <string.h>
#include <sys/time.h>
#include <sys/ioctl.h>
#include <ctype.h>
#include <sys/types.h>
#include <sys/socket.h>
#include <netdb.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/tcp.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <limits.h>
#include <termios.h>
#include <poll.h>
#include <linux/sockios.h>

typedef int BOOL;
typedef unsigned int UINT;
typedef unsigned short WORD;
typedef unsigned int DWORD;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef int SOCKET;

#define TRUE (1)
#define FALSE (0)
#define SOCKET_ERROR (-1)
#define INVALID_SOCKET (-1)

#ifndef min
#define min(a, b) (((a) < (b)) ? (a) : (b))
#endif
#ifndef max
#define max(a, b) (((a) > (b)) ? (a) : (b))
#endif

// clang-format off
#define SAFE_FREE(p)                                                           \
    {                                                                          \
        if (p) {                                                               \
            free(p);                                                           \
            (p) = NULL;                                                        \
        }                                                                      \
    }
#define SAFE_DELETE(p)                                                         \
    {                                                                          \
        if (p) {                                                               \
            delete (p);                                                        \
            (p) = NULL;                                                        \
        }                                                                      \
    }
#define SAFE_DELETE_ARRAY(p)                                                   \
    {                                                                          \
        if (p) {                                                               \
            delete[] (p);                                                      \
            (p) = NULL;                                                        \
        }                                                                      \
    }
// clang-format on

// Writes all iLen bytes at pc to descriptor fd, resuming after an
// interrupted or partial write and waiting while a non-blocking descriptor
// is full; FALSE when the descriptor fails. Keeps errno as it found it.
BOOL WriteAll(int fd, LPCSTR pc, size_t iLen);
// Every write to standard error goes through here: whole, and never
// interleaved with another thread's.
BOOL WriteStdErr(LPCSTR pc, size_t iLen);
BOOL WriteStdErrText(LPCSTR psz);
// Writes "title errno text" on standard error; returns errno after the write.
int DispErrorMsg(LPCSTR pszTitle);
// The same line for an error code that is not an errno value.
void DispErrorText(LPCSTR pszTitle, int iErr, LPCSTR pszText);

// Milliseconds since the Unix epoch, modulo 2^32; 0 when the clock cannot
// be read.
DWORD timeGetTime();
// Milliseconds from dwPast to dwNow, two timeGetTime() readings. Across the
// clock's wrap it gives one less than the modular difference.
DWORD GetdwInterval(DWORD dwNow, DWORD dwPast);
// 1 when a character waits on standard input, 0 when none does; never
// blocks. The character stays there for the next read from stdin.
int kbhit();

#endif // STDTHREAD_H
