/* The C run-time's thread start and end over POSIX threads.
 *
 * _beginthread starts a detached thread and returns a handle that is never -1
 * (it identifies the thread and is good for nothing else, as on Windows, where
 * the handle closes itself when the thread ends). _endthread ends the calling
 * thread; returning from the start routine does the same. Failure: -1 with the
 * reason in GetLastError. */
#ifndef QV7_POSIX_CRT_H
#define QV7_POSIX_CRT_H

#include "kernel.h"

#ifdef __cplusplus
extern "C" {
#endif

uintptr_t _beginthread(void (*start)(void *), unsigned stack_size, void *arg);
void _endthread(void);

#ifdef __cplusplus
}
#endif

#endif
