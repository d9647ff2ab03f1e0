/* Base calls of the layer: GetLastError/SetLastError (thread-local), the errno
 * to Win32 code mapping, path conversion, LocalAlloc/LocalFree, the lstr*
 * string calls, GetACP/IsDBCSLeadByte, GetCurrentThreadId/ProcessId and
 * SetConsoleCtrlHandler.
 *
 * Knowing differences from Windows:
 * - lstrcmpA/lstrcmpiA compare bytes (ASCII letters folded for the "i" form),
 *   not by the locale's word sort.
 * - GetACP knows only 932 and 65001.
 * - SIGINT raises CTRL_C_EVENT, SIGTERM CTRL_BREAK_EVENT; handlers run on a
 *   watcher thread of the layer, as Windows runs them on a thread of its own. */
#include "internal.h"
#include "fault.h"

#include <sys/mman.h>

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

static thread_local DWORD last_error;

DWORD GetLastError(void) { return last_error; }
void SetLastError(DWORD code) { last_error = code; }

DWORD qv7_win32_error_from_errno(int e)
{
    switch (e) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: case ELOOP: return ERROR_PATH_NOT_FOUND;
    case EACCES: case EPERM: case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENOSPC: case EDQUOT: case EFBIG: return ERROR_DISK_FULL;
    case EMFILE: case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EBUSY: case ETXTBSY: case EAGAIN: return ERROR_SHARING_VIOLATION;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EINVAL: case EFAULT: return ERROR_INVALID_PARAMETER;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case EXDEV: return ERROR_NOT_SUPPORTED;
    case ENOSYS: case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    default: return QV7_ERROR_GEN_FAILURE;
    }
}

/* The folder part of `posix_path` exists? (1/0). */
static int parent_exists(const char *posix_path)
{
    char dir[4096];
    size_t n = strlen(posix_path);
    if (n >= sizeof dir)
        return 0;
    memcpy(dir, posix_path, n + 1);
    while (n > 0 && dir[n - 1] == '/') /* "a/b/" names b itself */
        dir[--n] = 0;
    char *slash = strrchr(dir, '/');
    if (!slash)
        return 1; /* relative to the cwd, which exists */
    if (slash == dir)
        return 1;
    *slash = 0;
    struct stat st;
    return stat(dir, &st) == 0 && S_ISDIR(st.st_mode);
}

DWORD qv7_win32_error_for_path(int e, const char *posix_path)
{
    if (e == ENOENT && posix_path && !parent_exists(posix_path))
        return ERROR_PATH_NOT_FOUND;
    return qv7_win32_error_from_errno(e);
}

void qv7_set_error_from_errno(int e, const char *posix_path)
{
    SetLastError(qv7_win32_error_for_path(e, posix_path));
}

int qv7_path_to_posix_checked(const char *in, char *out, size_t size)
{
    if (!in || !out || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int dbcs = GetACP() == 932;
    const unsigned char *p = (const unsigned char *)in;
    if (((p[0] | 0x20) >= 'a' && (p[0] | 0x20) <= 'z') && p[1] == ':')
        p += 2;
    size_t o = 0;
    while (*p) {
        if (o + 1 >= size) {
            out[o] = 0;
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
        if (dbcs && IsDBCSLeadByte(*p) && p[1]) {
            if (o + 2 >= size) {
                out[o] = 0;
                SetLastError(ERROR_FILENAME_EXCED_RANGE);
                return 0;
            }
            out[o++] = (char)*p++;
            out[o++] = (char)*p++;
            continue;
        }
        out[o++] = *p == '\\' ? '/' : (char)*p;
        p++;
    }
    out[o] = 0;
    return 1;
}

void qv7_path_to_posix(const char *in, char *out, size_t size)
{
    if (!qv7_path_to_posix_checked(in, out, size) && out && size)
        out[0] = 0;
}

/* ---- local heap ---- */

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes)
{
    if (qv7_fault_hit("LocalAlloc"))
        return NULL;
    size_t n = bytes ? bytes : 1;
    void *p = (flags & LMEM_ZEROINIT) ? calloc(1, n) : malloc(n);
    if (!p)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    else if (n >= (4u << 20)) {
        /* A block of a whole file (a line of Base64, a decode buffer) is
         * filled once from start to end: in huge pages that costs a fault per
         * 2 MiB instead of per 4 KiB, which on a virtual machine is most of
         * the time spent receiving a large file. Advice only; failure is fine. */
        uintptr_t a = ((uintptr_t)p + 4095) & ~(uintptr_t)4095;
        madvise((void *)a, n - (a - (uintptr_t)p), MADV_HUGEPAGE);
    }
    return p;
}

HLOCAL LocalFree(HLOCAL block)
{
    free(block);
    return NULL;
}

/* ---- strings ---- */

int lstrlenA(LPCSTR s) { return s ? (int)strlen(s) : 0; }

LPSTR lstrcpyA(LPSTR to, LPCSTR from)
{
    if (!to || !from)
        return NULL;
    return strcpy(to, from);
}

LPSTR lstrcpynA(LPSTR to, LPCSTR from, int max)
{
    if (!to || !from)
        return NULL;
    if (max <= 0)
        return to;
    int i = 0;
    for (; i < max - 1 && from[i]; i++)
        to[i] = from[i];
    to[i] = 0;
    return to;
}

LPSTR lstrcatA(LPSTR to, LPCSTR from)
{
    if (!to || !from)
        return NULL;
    return strcat(to, from);
}

int lstrcmpA(LPCSTR a, LPCSTR b)
{
    int r = strcmp(a ? a : "", b ? b : "");
    return r < 0 ? -1 : r > 0;
}

int lstrcmpiA(LPCSTR a, LPCSTR b)
{
    int r = strcasecmp(a ? a : "", b ? b : "");
    return r < 0 ? -1 : r > 0;
}

/* ---- code page ---- */

/* The codeset of the first set variable among LC_ALL, LC_CTYPE, LANG names
 * Shift_JIS? (1/0) */
static int locale_is_sjis(void)
{
    static const char *vars[] = {"LC_ALL", "LC_CTYPE", "LANG"};
    for (int i = 0; i < 3; i++) {
        const char *v = getenv(vars[i]);
        if (!v || !*v)
            continue;
        const char *dot = strchr(v, '.');
        if (!dot)
            return 0;
        char cs[32];
        size_t n = 0;
        for (dot++; *dot && *dot != '@' && n + 1 < sizeof cs; dot++)
            cs[n++] = *dot;
        cs[n] = 0;
        return !strcasecmp(cs, "SJIS") || !strcasecmp(cs, "Shift_JIS") ||
               !strcasecmp(cs, "ShiftJIS") || !strcasecmp(cs, "CP932") ||
               !strcasecmp(cs, "Shift-JIS");
    }
    return 0;
}

UINT GetACP(void)
{
    const char *acp = getenv("QV7_ACP");
    if (acp && *acp)
        return strcmp(acp, "932") == 0 ? 932 : 65001;
    return locale_is_sjis() ? 932 : 65001;
}

BOOL IsDBCSLeadByte(BYTE c)
{
    if (GetACP() != 932)
        return FALSE;
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

/* ---- processes and threads ---- */

DWORD GetCurrentThreadId(void) { return (DWORD)syscall(SYS_gettid); }
DWORD GetCurrentProcessId(void) { return (DWORD)getpid(); }

/* ---- console control handlers ----
 * The signal handler only writes the signal number into a pipe; a watcher
 * thread reads it and calls the handlers, newest first, outside signal
 * context. Nobody handling it means the default: the process dies of it. */

#define CTRL_HANDLERS_MAX 16
static pthread_mutex_t ctrl_lock = PTHREAD_MUTEX_INITIALIZER;
static PHANDLER_ROUTINE ctrl_handlers[CTRL_HANDLERS_MAX];
static int ctrl_count;
static int ctrl_ignore_c; /* SetConsoleCtrlHandler(NULL, TRUE) */
static int ctrl_pipe[2] = {-1, -1};

static void ctrl_signal(int sig)
{
    int saved = errno;
    unsigned char b = (unsigned char)sig;
    if (write(ctrl_pipe[1], &b, 1) < 0) {
        /* nothing to do: the pipe is full of pending signals already */
    }
    errno = saved;
}

static void *ctrl_watcher(void *unused)
{
    for (;;) {
        unsigned char b;
        ssize_t r = read(ctrl_pipe[0], &b, 1);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return NULL;
        int sig = b;
        DWORD type = sig == SIGINT ? CTRL_C_EVENT : CTRL_BREAK_EVENT;
        PHANDLER_ROUTINE list[CTRL_HANDLERS_MAX];
        pthread_mutex_lock(&ctrl_lock);
        int n = ctrl_count, ignore = ctrl_ignore_c && sig == SIGINT;
        memcpy(list, ctrl_handlers, sizeof list);
        pthread_mutex_unlock(&ctrl_lock);
        int handled = ignore;
        for (int i = n - 1; i >= 0 && !handled; i--)
            handled = list[i](type) != FALSE;
        if (!handled) {
            signal(sig, SIG_DFL);
            raise(sig);
        }
    }
}

/* Installs the pipe, the watcher and the signal handlers once (1/0). */
static int ctrl_install(void)
{
    if (ctrl_pipe[0] >= 0)
        return 1;
    if (pipe2(ctrl_pipe, O_CLOEXEC) != 0) {
        qv7_set_error_from_errno(errno, NULL);
        return 0;
    }
    pthread_t t;
    if (pthread_create(&t, NULL, ctrl_watcher, NULL) != 0) {
        close(ctrl_pipe[0]);
        close(ctrl_pipe[1]);
        ctrl_pipe[0] = ctrl_pipe[1] = -1;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    pthread_detach(t);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = ctrl_signal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
    return 1;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add)
{
    pthread_mutex_lock(&ctrl_lock);
    BOOL ok = TRUE;
    if (!ctrl_install()) {
        ok = FALSE;
    } else if (!handler) {
        ctrl_ignore_c = add != FALSE;
    } else if (add) {
        if (ctrl_count == CTRL_HANDLERS_MAX) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            ok = FALSE;
        } else {
            ctrl_handlers[ctrl_count++] = handler;
        }
    } else {
        int i = ctrl_count - 1;
        while (i >= 0 && ctrl_handlers[i] != handler)
            i--;
        if (i < 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            ok = FALSE;
        } else {
            memmove(&ctrl_handlers[i], &ctrl_handlers[i + 1],
                    (size_t)(ctrl_count - i - 1) * sizeof ctrl_handlers[0]);
            ctrl_count--;
        }
    }
    pthread_mutex_unlock(&ctrl_lock);
    return ok;
}
