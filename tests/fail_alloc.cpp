// Preloaded into the client by a test: the FAIL_ALLOC_AT-th allocation
// (malloc or calloc; a session calls no realloc) and every one after it
// fail with ENOMEM, as when memory has run out for good. FAIL_ALLOC_AT=0
// fails none and writes the count at exit.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);

static std::atomic<long> s_lCount(0);
static long s_lFailAt = -1; // -1 until read: the C++ runtime's start-up is not counted

__attribute__((constructor)) static void ReadFailAt()
{
    s_lFailAt = getenv("FAIL_ALLOC_AT") != NULL ? atol(getenv("FAIL_ALLOC_AT")) : 0;
}

__attribute__((destructor)) static void WriteCount()
{
    if (s_lFailAt == 0)
        fprintf(stderr, "allocations: %ld\n", s_lCount.load());
}

// An allocation to fail returns NULL with errno ENOMEM.
static bool Fails()
{
    return s_lFailAt >= 0 && ++s_lCount >= s_lFailAt && s_lFailAt > 0 && (errno = ENOMEM);
}

extern "C" void* malloc(size_t size)
{
    return Fails() ? NULL : __libc_malloc(size);
}

extern "C" void* calloc(size_t n, size_t size)
{
    return Fails() ? NULL : __libc_calloc(n, size);
}
