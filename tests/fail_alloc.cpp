// Preloaded into the client by a test: the FAIL_ALLOC_AT-th allocation
// (malloc, calloc or realloc) fails with ENOMEM. FAIL_ALLOC_AT=0 fails none
// and writes the count at exit.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);

static std::atomic<long> s_lCount(0);
static long s_lFailAt = -1; // -1 until read: the C++ runtime's start-up is not counted

__attribute__((constructor)) static void ReadFailAt()
{
    s_lFailAt = getenv("FAIL_ALLOC_AT") != NULL ? atol(getenv("FAIL_ALLOC_AT")) : 0;
}

__attribute__((destructor)) static void WriteCount()
{
    char sz[64];
    int iLen = snprintf(sz, sizeof(sz), "allocations: %ld\n", s_lCount.load());
    if (s_lFailAt == 0 && write(2, sz, iLen) != iLen) {
        _exit(3); // the test would miss the count
    }
}

static bool Fails()
{
    bool fFail = s_lFailAt >= 0 && ++s_lCount == s_lFailAt;
    errno = fFail ? ENOMEM : errno;
    return fFail;
}

extern "C" void* malloc(size_t size)
{
    return Fails() ? NULL : __libc_malloc(size);
}

extern "C" void* calloc(size_t n, size_t size)
{
    return Fails() ? NULL : __libc_calloc(n, size);
}

extern "C" void* realloc(void* p, size_t size)
{
    return Fails() ? NULL : __libc_realloc(p, size);
}
