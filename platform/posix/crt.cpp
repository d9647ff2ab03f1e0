/* The C run-time's thread start and end: _beginthread and _endthread over
 * detached POSIX threads.
 *
 * Where it knowingly differs from Windows: the handle is a number drawn from a
 * counter (a multiple of 4, as Windows handles are), not a kernel handle; it
 * names the thread and is good for nothing else, which is all that Windows
 * promises for a handle that closes itself when the thread ends. A non-zero
 * stack size is rounded up to whole pages and to the system's minimum. */
#include "crt.h"
#include "fault.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

/* What the new thread needs to call its start routine; the thread frees it. */
struct thread_start {
    void (*start)(void *);
    void *arg;
};

/* Handles 0x100, 0x104, ... within 30 bits, so even a caller that keeps them
 * in 32 bits never sees 0 or -1. */
static uintptr_t g_thread_counter;

static uintptr_t thread_handle_next(void)
{
    uintptr_t n = __atomic_fetch_add(&g_thread_counter, 1, __ATOMIC_RELAXED);
    return 0x100 + ((n * 4) & 0x3FFFFFFFu);
}

/* The Win32 code for a pthread_create failure. */
static DWORD thread_error_from_errno(int e)
{
    switch (e) {
    case EAGAIN: case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EPERM: return ERROR_ACCESS_DENIED;
    default: return ERROR_INVALID_PARAMETER;
    }
}

static void *thread_main(void *p)
{
    struct thread_start ts = *(struct thread_start *)p;
    free(p);
    ts.start(ts.arg);
    return NULL;
}

/* Rounds a requested stack size up to whole pages and the system minimum. */
static size_t stack_size_round(unsigned requested)
{
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    size_t size = requested < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : requested;
    return (size + page - 1) / page * page;
}

uintptr_t _beginthread(void (*start)(void *), unsigned stack_size, void *arg)
{
    if (qv7_fault_hit("_beginthread"))
        return (uintptr_t)-1;
    if (!start) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return (uintptr_t)-1;
    }
    struct thread_start *ts = (struct thread_start *)malloc(sizeof *ts);
    if (!ts) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return (uintptr_t)-1;
    }
    ts->start = start;
    ts->arg = arg;
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc == 0) {
        rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        if (rc == 0 && stack_size != 0)
            rc = pthread_attr_setstacksize(&attr, stack_size_round(stack_size));
        pthread_t tid;
        if (rc == 0)
            rc = pthread_create(&tid, &attr, thread_main, ts);
        pthread_attr_destroy(&attr);
    }
    if (rc != 0) {
        free(ts);
        SetLastError(thread_error_from_errno(rc));
        return (uintptr_t)-1;
    }
    return thread_handle_next();
}

void _endthread(void)
{
    pthread_exit(NULL);
}
