/* Fault injection: the single seam through which tests make a chosen call of
 * the layer fail with a chosen error, so that every error path of the plug-in
 * runs natively. Calls are named as the code spells them ("CreateFileA",
 * "LocalAlloc", "socket", "recv", "_beginthread" ...). Counting is per process,
 * across all threads. */
#ifndef QV7_POSIX_FAULT_H
#define QV7_POSIX_FAULT_H

#include "kernel.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Make the nth call of `call` from now on (1 = the next one) fail with `error`
 * (a Win32 code, or a Winsock code for socket calls). `count` consecutive calls
 * fail from there on (0 = every later call). Replaces an earlier rule for the
 * same call. */
void qv7_fault_set(const char *call, unsigned nth, unsigned count, DWORD error);
/* Remove every rule and reset every counter. */
void qv7_fault_clear(void);
/* How many times `call` has been made since the last qv7_fault_clear. */
unsigned qv7_fault_calls(const char *call);
/* The calls made since the last qv7_fault_clear, oldest first: stores up to
 * max of their names in calls[] (valid until the next qv7_fault_clear) and
 * returns how many it stored. Only the first 65536 calls are kept. A test
 * reads from the order which operation a call served (the open before
 * GetFileSize is a file read, the others are log lines ...). */
unsigned qv7_fault_history(const char **calls, unsigned max);
/* Inside the layer: 1 when this call of `call` must fail, else 0. On a hit the
 * rule's error is already the thread's last error (SetLastError); a socket
 * call then copies GetLastError() into its Winsock error (WSASetLastError)
 * before returning its failure value. Every call counts, hit or not. */
int qv7_fault_hit(const char *call);

#ifdef __cplusplus
}
#endif

#endif
