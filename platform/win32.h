/* The one door to the operating system.
 *
 * Every source file of the plug-in, the host and the tests reaches the system
 * through this header. On Windows it is the real Win32, Winsock 1.1 and C
 * run-time; elsewhere it is our own subset of the same names, implemented over
 * POSIX in platform/posix/, so the code reads the same on both systems.
 *
 * Include it after any C++ standard header: on POSIX it maps the Winsock names
 * (socket, bind, send, select ...) onto the layer with macros. */
#ifndef QV7_PLATFORM_WIN32_H
#define QV7_PLATFORM_WIN32_H

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock.h>
#include <process.h>
#include <stdint.h>
#include <stddef.h>
#include <string.h>
#include <stdarg.h>

/* Winsock 1.1's header predates these names of shutdown's directions. */
#ifndef SD_BOTH
#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2
#endif

/* Linux-only knobs of the layer compile away on Windows. */
#define QV7_EXPORT

#else

#include "posix/kernel.h"
#include "posix/user.h"
#include "posix/winsock.h"
#include "posix/crt.h"
#include "posix/fault.h"

#define QV7_EXPORT __attribute__((visibility("default")))

#endif

#endif
