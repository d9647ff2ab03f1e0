/* Modules: LoadLibraryA, FreeLibrary, GetProcAddress, GetModuleHandleA,
 * GetModuleFileNameA, and qv7_module_symbol for the other layer files.
 *
 * An HMODULE points to a record {dlopen handle, absolute path, count}. The
 * program itself has a record of its own (GetModuleHandleA(NULL)). LoadLibraryA
 * runs the module's exported C function DllMain(instance, DLL_PROCESS_ATTACH,
 * NULL) once, under a recursive loader lock as Windows does, and fails with
 * ERROR_DLL_INIT_FAILED when it returns FALSE.
 *
 * Knowing differences from Windows:
 * - The last FreeLibrary runs DllMain(DLL_PROCESS_DETACH) but keeps the code
 *   mapped (no dlclose): threads the module started may still run in it, and
 *   unmapping would crash them. A later LoadLibraryA of the same file runs
 *   DllMain(DLL_PROCESS_ATTACH) again on the same image, whose globals keep
 *   their values.
 * - Copies of a module at different paths are separate instances; the same
 *   file reached by two paths is one (the loader goes by file identity). Our
 *   modules carry no SONAME, which would otherwise merge copies.
 * - A bare file name is looked for in the current folder, then beside the
 *   program; no system search path. */
#include "internal.h"
#include "fault.h"

#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#define MODULE_MAGIC 0x51564d44u /* "QVMD" */

struct qv7_module {
    DWORD magic;
    void *dl;
    char path[PATH_MAX];
    unsigned count;
    struct qv7_module *next;
};

typedef BOOL (*dll_main_fn)(HINSTANCE, DWORD, LPVOID);

static pthread_mutex_t loader_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
static struct qv7_module *modules;
static struct qv7_module program_record;
static pthread_once_t program_once = PTHREAD_ONCE_INIT;

static void program_init(void)
{
    program_record.magic = MODULE_MAGIC;
    program_record.dl = dlopen(NULL, RTLD_NOW);
    program_record.count = 1;
    ssize_t n = readlink("/proc/self/exe", program_record.path, sizeof program_record.path - 1);
    program_record.path[n > 0 ? n : 0] = 0;
}

static struct qv7_module *program_module(void)
{
    pthread_once(&program_once, program_init);
    return &program_record;
}

/* The record `m` if it is one we handed out (call under loader_lock). */
static struct qv7_module *module_valid(HMODULE m)
{
    if (m == program_module())
        return m;
    for (struct qv7_module *x = modules; x; x = x->next)
        if (x == m)
            return x;
    return NULL;
}

/* Makes `p` absolute with the current folder and drops "." components;
 * 1, or 0 when it does not fit. */
static int absolute_path(const char *p, char *out, size_t size)
{
    char tmp[PATH_MAX * 2];
    if (p[0] == '/') {
        snprintf(tmp, sizeof tmp, "%s", p);
    } else {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd))
            return 0;
        snprintf(tmp, sizeof tmp, "%s/%s", cwd, p);
    }
    size_t o = 0;
    for (const char *s = tmp; *s;) {
        while (*s == '/')
            s++;
        const char *e = s;
        while (*e && *e != '/')
            e++;
        if (e == s)
            break;
        if (!(e - s == 1 && s[0] == '.')) {
            if (o + 1 + (size_t)(e - s) + 1 > size)
                return 0;
            out[o++] = '/';
            memcpy(out + o, s, (size_t)(e - s));
            o += (size_t)(e - s);
        }
        s = e;
    }
    if (o == 0)
        out[o++] = '/';
    out[o] = 0;
    return 1;
}

/* Where a bare name is found: the current folder, else beside the program.
 * 1, or 0 when the path does not fit. */
static int resolve_bare(const char *name, char *out, size_t size)
{
    struct stat st;
    if (stat(name, &st) == 0)
        return snprintf(out, size, "%s", name) < (int)size;
    const char *exe = program_module()->path;
    const char *slash = strrchr(exe, '/');
    return snprintf(out, size, "%.*s/%s", slash ? (int)(slash - exe) : 0, exe, name) < (int)size;
}

/* Runs the module's DllMain, if it has one; its result (TRUE without one). */
static BOOL run_dll_main(struct qv7_module *m, DWORD reason)
{
    dll_main_fn main_fn = (dll_main_fn)dlsym(m->dl, "DllMain");
    return main_fn ? main_fn(m, reason, NULL) : TRUE;
}

HMODULE LoadLibraryA(LPCSTR path)
{
    if (qv7_fault_hit("LoadLibraryA"))
        return NULL;
    char pp[PATH_MAX], where[PATH_MAX], abs_path[PATH_MAX];
    if (!qv7_path_to_posix_checked(path, pp, sizeof pp))
        return NULL;
    int fits = strchr(pp, '/') ? snprintf(where, sizeof where, "%s", pp) < (int)sizeof where
                               : resolve_bare(pp, where, sizeof where);
    if (!fits || !absolute_path(where, abs_path, sizeof abs_path)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return NULL;
    }
    struct stat st;
    if (stat(abs_path, &st) != 0 || !S_ISREG(st.st_mode)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return NULL;
    }
    pthread_mutex_lock(&loader_lock);
    struct qv7_module *m = NULL;
    void *dl = dlopen(abs_path, RTLD_NOW | RTLD_LOCAL);
    if (!dl) {
        SetLastError(ERROR_MOD_NOT_FOUND); /* not a loadable module, or a missing import */
        goto end;
    }
    for (m = modules; m && m->dl != dl; m = m->next) {
    }
    if (m) {
        dlclose(dl); /* the record holds one reference of the loader already */
        if (m->count++ == 0 && !run_dll_main(m, DLL_PROCESS_ATTACH)) {
            m->count = 0;
            SetLastError(ERROR_DLL_INIT_FAILED);
            m = NULL;
        }
        goto end;
    }
    m = (struct qv7_module *)calloc(1, sizeof *m);
    if (!m) {
        dlclose(dl);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        goto end;
    }
    m->magic = MODULE_MAGIC;
    m->dl = dl;
    m->count = 1;
    snprintf(m->path, sizeof m->path, "%s", abs_path);
    m->next = modules;
    modules = m; /* listed first: DllMain may ask for its own file name */
    SetLastError(ERROR_SUCCESS);
    if (!run_dll_main(m, DLL_PROCESS_ATTACH)) {
        run_dll_main(m, DLL_PROCESS_DETACH);
        modules = m->next;
        m->magic = 0;
        free(m);
        m = NULL;
        dlclose(dl);
        SetLastError(ERROR_DLL_INIT_FAILED);
    }
end:
    pthread_mutex_unlock(&loader_lock);
    return m;
}

BOOL FreeLibrary(HMODULE module)
{
    pthread_mutex_lock(&loader_lock);
    struct qv7_module *m = module_valid(module);
    BOOL ok = TRUE;
    if (!m || m == program_module() || m->count == 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        ok = FALSE;
    } else if (--m->count == 0) {
        run_dll_main(m, DLL_PROCESS_DETACH);
    }
    pthread_mutex_unlock(&loader_lock);
    return ok;
}

void *qv7_module_symbol(HMODULE module, const char *name)
{
    pthread_mutex_lock(&loader_lock);
    struct qv7_module *m = module ? module_valid(module) : program_module();
    void *sym = m && m->dl ? dlsym(m->dl, name) : NULL;
    pthread_mutex_unlock(&loader_lock);
    return sym;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name)
{
    void *sym = name ? qv7_module_symbol(module, name) : NULL;
    if (!sym)
        SetLastError(ERROR_PROC_NOT_FOUND);
    return (FARPROC)sym;
}

HMODULE GetModuleHandleA(LPCSTR name)
{
    if (!name)
        return program_module();
    char pp[PATH_MAX];
    qv7_path_to_posix(name, pp, sizeof pp);
    pthread_mutex_lock(&loader_lock);
    struct qv7_module *found = NULL;
    for (struct qv7_module *m = modules; m && !found; m = m->next) {
        const char *base = strrchr(m->path, '/');
        if (m->count && (!strcmp(m->path, pp) || !strcasecmp(base ? base + 1 : m->path, pp)))
            found = m;
    }
    pthread_mutex_unlock(&loader_lock);
    if (!found)
        SetLastError(ERROR_MOD_NOT_FOUND);
    return found;
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size)
{
    if (qv7_fault_hit("GetModuleFileNameA"))
        return 0;
    pthread_mutex_lock(&loader_lock);
    struct qv7_module *m = module ? module_valid(module) : program_module();
    char path[PATH_MAX];
    if (m)
        snprintf(path, sizeof path, "%s", m->path);
    pthread_mutex_unlock(&loader_lock);
    if (!m) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (size == 0 || !buffer) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    size_t n = strlen(path);
    if (n + 1 > size) { /* cut to size-1 characters and terminated */
        memcpy(buffer, path, size - 1);
        buffer[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    memcpy(buffer, path, n + 1);
    SetLastError(ERROR_SUCCESS);
    return (DWORD)n;
}
