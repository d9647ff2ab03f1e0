/* Private helpers shared by the files of the POSIX layer (never included by
 * the plug-in, the host or the tests). */
#ifndef QV7_POSIX_INTERNAL_H
#define QV7_POSIX_INTERNAL_H

#include "kernel.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QV7_ERROR_GEN_FAILURE ERROR_GEN_FAILURE
#define QV7_ERROR_MR_MID_NOT_FOUND 317

/* The Win32 code for an errno value (ENOENT gives ERROR_FILE_NOT_FOUND). */
DWORD qv7_win32_error_from_errno(int e);
/* Same, knowing the POSIX path that failed: ENOENT whose parent folder is
 * missing gives ERROR_PATH_NOT_FOUND, as Windows tells the two apart. */
DWORD qv7_win32_error_for_path(int e, const char *posix_path);
/* Sets the thread's last error from errno (and the path, for ENOENT). */
void qv7_set_error_from_errno(int e, const char *posix_path);
/* Windows path to POSIX: "\" and "/" both separate, a leading "X:" is dropped,
 * trail bytes of double-byte characters (code page 932) are never separators.
 * Writes at most size-1 bytes and a terminator; returns 1, or 0 (last error
 * ERROR_FILENAME_EXCED_RANGE / ERROR_INVALID_PARAMETER) when it does not fit. */
int qv7_path_to_posix_checked(const char *in, char *out, size_t size);
void qv7_path_to_posix(const char *in, char *out, size_t size);
/* dlsym on a module loaded by LoadLibraryA, or on the program itself for the
 * executable's record or NULL. Null when missing. */
void *qv7_module_symbol(HMODULE m, const char *name);

#ifdef __cplusplus
}
#endif

#endif
