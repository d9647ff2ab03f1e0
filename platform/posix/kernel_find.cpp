/* Listing: FindFirstFileA, FindNextFileA, FindClose.
 *
 * The pattern's last component may hold "*" and "?"; names match it ignoring
 * ASCII letter case, as Windows file search does. A last component without
 * wildcards names one entry: the exact name first, else the first entry whose
 * name equals it ignoring case.
 *
 * The matching names are taken when the listing starts and given in the order
 * NTFS gives them, by name ignoring case, so a listing is the same on every
 * file system and in every run; each entry's attributes, size and times are
 * read when it is handed out, and an entry gone by then is skipped.
 *
 * Knowing differences from Windows: "." and ".." are never listed; there are
 * no short (8.3) names, so "*.csv" does not match "a.csvx"; names longer than
 * 259 bytes are skipped; entries made after the listing started are not seen. */
#include "internal.h"
#include "fault.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

extern "C" DWORD qv7_attributes_of(const struct stat *st);

#define FIND_MAGIC 0x51564644u /* "QVFD" */

struct qv7_find {
    DWORD magic;
    DIR *dir;            /* the folder, for fstatat; null for one exact name */
    char **names;        /* matching names, sorted; each and the array malloc'd */
    size_t count, next;
    char pattern[256 * 4];
};

static int fold(int c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

/* Whether `name` matches the wildcard pattern `p`, ignoring ASCII case. */
static int wild_match(const char *p, const char *name)
{
    const char *star = NULL, *resume = NULL;
    while (*name) {
        if (*p == '*') {
            star = ++p;
            resume = name;
        } else if (*p == '?' || (*p && fold((unsigned char)*p) == fold((unsigned char)*name))) {
            p++;
            name++;
        } else if (star) {
            p = star;
            name = ++resume;
        } else {
            return 0;
        }
    }
    while (*p == '*')
        p++;
    return *p == 0;
}

static void filetime_of(const struct timespec *ts, FILETIME *ft)
{
    uint64_t t = ((uint64_t)ts->tv_sec + 11644473600ull) * 10000000ull + (uint64_t)ts->tv_nsec / 100;
    ft->dwLowDateTime = (DWORD)t;
    ft->dwHighDateTime = (DWORD)(t >> 32);
}

static void entry_fill(WIN32_FIND_DATAA *e, const char *name, const struct stat *st)
{
    memset(e, 0, sizeof *e);
    e->dwFileAttributes = qv7_attributes_of(st);
    filetime_of(&st->st_mtim, &e->ftCreationTime);
    filetime_of(&st->st_atim, &e->ftLastAccessTime);
    filetime_of(&st->st_mtim, &e->ftLastWriteTime);
    if (!S_ISDIR(st->st_mode)) {
        e->nFileSizeHigh = (DWORD)((uint64_t)st->st_size >> 32);
        e->nFileSizeLow = (DWORD)st->st_size;
    }
    strcpy(e->cFileName, name);
}

/* The next entry of `f`: 1 with *e filled, or 0 at the end. */
static int find_next(struct qv7_find *f, WIN32_FIND_DATAA *e)
{
    while (f->dir && f->next < f->count) {
        const char *name = f->names[f->next++];
        struct stat st;
        if (fstatat(dirfd(f->dir), name, &st, 0) != 0 &&
            fstatat(dirfd(f->dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; /* gone since the listing started */
        entry_fill(e, name, &st);
        return 1;
    }
    return 0;
}

/* Orders names as NTFS lists them: ignoring ASCII case, then by bytes. */
static int name_order(const void *a, const void *b)
{
    const unsigned char *x = *(const unsigned char *const *)a, *y = *(const unsigned char *const *)b;
    for (const unsigned char *p = x, *q = y;; p++, q++) {
        int d = fold(*p) - fold(*q);
        if (d || !*p)
            return d ? d : strcmp((const char *)x, (const char *)y);
    }
}

/* Takes the names of f->dir that match f->pattern, sorted: 1, or 0 when
 * memory runs out. */
static int find_collect(struct qv7_find *f)
{
    size_t cap = 0;
    struct dirent *d;
    while ((d = readdir(f->dir)) != NULL) {
        if (!strcmp(d->d_name, ".") || !strcmp(d->d_name, "..") || strlen(d->d_name) >= MAX_PATH ||
            !wild_match(f->pattern, d->d_name))
            continue;
        if (f->count == cap) {
            size_t ncap = cap ? cap * 2 : 16;
            char **n = (char **)realloc(f->names, ncap * sizeof *n);
            if (!n)
                return 0;
            f->names = n;
            cap = ncap;
        }
        if (!(f->names[f->count] = strdup(d->d_name)))
            return 0;
        f->count++;
    }
    if (f->count > 1)
        qsort(f->names, f->count, sizeof *f->names, name_order);
    return 1;
}

static void find_free(struct qv7_find *f)
{
    if (f->dir)
        closedir(f->dir);
    for (size_t i = 0; i < f->count; i++)
        free(f->names[i]);
    free(f->names);
    f->magic = 0;
    free(f);
}

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA *entry)
{
    if (qv7_fault_hit("FindFirstFileA"))
        return INVALID_HANDLE_VALUE;
    char pp[4096];
    if (!qv7_path_to_posix_checked(pattern, pp, sizeof pp))
        return INVALID_HANDLE_VALUE;
    size_t n = strlen(pp);
    if (n == 0 || pp[n - 1] == '/') {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    char *slash = strrchr(pp, '/');
    const char *last = slash ? slash + 1 : pp;
    char dir[4096];
    if (!slash)
        strcpy(dir, ".");
    else if (slash == pp)
        strcpy(dir, "/");
    else {
        memcpy(dir, pp, (size_t)(slash - pp));
        dir[slash - pp] = 0;
    }
    if (strlen(last) >= sizeof(((struct qv7_find *)0)->pattern)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    int wild = strpbrk(last, "*?") != NULL;
    if (!wild && stat(pp, &st) == 0 && strlen(last) < MAX_PATH) {
        struct qv7_find *one = (struct qv7_find *)calloc(1, sizeof *one);
        if (!one) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return INVALID_HANDLE_VALUE;
        }
        one->magic = FIND_MAGIC;
        entry_fill(entry, last, &st);
        return one;
    }
    struct qv7_find *f = (struct qv7_find *)calloc(1, sizeof *f);
    if (!f) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    f->magic = FIND_MAGIC;
    strcpy(f->pattern, strcmp(last, "*.*") == 0 ? "*" : last);
    f->dir = opendir(dir);
    if (!f->dir) {
        int e = errno;
        find_free(f);
        SetLastError(e == ENOENT || e == ENOTDIR ? ERROR_PATH_NOT_FOUND : qv7_win32_error_from_errno(e));
        return INVALID_HANDLE_VALUE;
    }
    if (!find_collect(f)) {
        find_free(f);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    if (!find_next(f, entry)) {
        find_free(f);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (!wild) /* one name, found ignoring case: nothing follows it */
        f->next = f->count;
    return f;
}

/* The find record behind `h`, or null with ERROR_INVALID_HANDLE. */
static struct qv7_find *find_of(HANDLE h)
{
    struct qv7_find *f = (struct qv7_find *)h;
    if (!f || h == INVALID_HANDLE_VALUE || f->magic != FIND_MAGIC) {
        SetLastError(ERROR_INVALID_HANDLE);
        return NULL;
    }
    return f;
}

BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA *entry)
{
    if (qv7_fault_hit("FindNextFileA"))
        return FALSE;
    struct qv7_find *f = find_of(find);
    if (!f)
        return FALSE;
    if (!find_next(f, entry)) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    return TRUE;
}

BOOL FindClose(HANDLE find)
{
    struct qv7_find *f = find_of(find);
    if (!f)
        return FALSE;
    find_free(f);
    return TRUE;
}
