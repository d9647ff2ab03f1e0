/* INI profile functions: GetPrivateProfileStringA, GetPrivateProfileIntA,
 * WritePrivateProfileStringA.
 *
 * Section and key names compare ignoring ASCII case and surrounding blanks;
 * values lose surrounding blanks and one pair of matching quotes. Lines
 * starting with ";" are comments. The first matching section and key win.
 * Writing rewrites the file through a temporary file in the same folder that
 * is renamed over it, under flock() on the folder, so two writers (threads or
 * processes) never lose each other's keys and a reader never sees half a file.
 *
 * Knowing differences from Windows: no caching, no registry mapping; a file
 * name without a folder is taken in the current folder, not the Windows one;
 * the section or key listing forms (null section or key) list names only. */
#include "internal.h"
#include "fault.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#define INI_PATH 4096

static int is_blank(char c) { return c == ' ' || c == '\t'; }

/* Reads the whole file at `ppath` into a new zero-terminated block (caller
 * frees); null with the last error set, *len the byte count. */
static char *ini_load(const char *ppath, size_t *len)
{
    int fd = open(ppath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        qv7_set_error_from_errno(errno, ppath);
        return NULL;
    }
    size_t cap = 4096, n = 0;
    char *buf = (char *)malloc(cap + 1);
    for (;;) {
        if (!buf) {
            close(fd);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return NULL;
        }
        if (n == cap) {
            char *b = (char *)realloc(buf, cap * 2 + 1);
            if (!b) {
                free(buf);
                buf = NULL;
                continue;
            }
            buf = b;
            cap *= 2;
        }
        ssize_t r = read(fd, buf + n, cap - n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            qv7_set_error_from_errno(errno, ppath);
            free(buf);
            close(fd);
            return NULL;
        }
        if (r == 0)
            break;
        n += (size_t)r;
    }
    close(fd);
    buf[n] = 0;
    *len = n;
    return buf;
}

/* One line of the file: [start, end) without its line end; `next` is where
 * the following line starts. */
struct ini_line {
    const char *start, *end, *next;
};

static int line_next(const char *text, const char *limit, struct ini_line *l)
{
    if (text >= limit)
        return 0;
    const char *e = (const char *)memchr(text, '\n', (size_t)(limit - text));
    l->start = text;
    l->next = e ? e + 1 : limit;
    l->end = e ? e : limit;
    if (l->end > l->start && l->end[-1] == '\r')
        l->end--;
    return 1;
}

/* Trims blanks off [*s, *e). */
static void trim(const char **s, const char **e)
{
    while (*s < *e && is_blank(**s))
        (*s)++;
    while (*e > *s && is_blank((*e)[-1]))
        (*e)--;
}

static int name_equal(const char *s, const char *e, const char *name)
{
    size_t n = strlen(name);
    const char *ns = name, *ne = name + n;
    trim(&ns, &ne);
    if ((size_t)(e - s) != (size_t)(ne - ns))
        return 0;
    for (; s < e; s++, ns++)
        if ((*s | (*s >= 'A' && *s <= 'Z' ? 0x20 : 0)) != (*ns | (*ns >= 'A' && *ns <= 'Z' ? 0x20 : 0)))
            return 0;
    return 1;
}

/* A section header? Then [*s, *e) is its trimmed name. */
static int line_section(const struct ini_line *l, const char **s, const char **e)
{
    const char *a = l->start, *b = l->end;
    trim(&a, &b);
    if (a == b || *a != '[')
        return 0;
    const char *close = (const char *)memchr(a, ']', (size_t)(b - a));
    *s = a + 1;
    *e = close ? close : b;
    trim(s, e);
    return 1;
}

/* A key line? Then [*ks, *ke) is its trimmed key, [*vs, *ve) its raw value. */
static int line_key(const struct ini_line *l, const char **ks, const char **ke,
                    const char **vs, const char **ve)
{
    const char *a = l->start, *b = l->end;
    trim(&a, &b);
    if (a == b || *a == ';' || *a == '[')
        return 0;
    const char *eq = (const char *)memchr(a, '=', (size_t)(b - a));
    if (!eq)
        return 0;
    *ks = a;
    *ke = eq;
    trim(ks, ke);
    *vs = eq + 1;
    *ve = b;
    return 1;
}

/* Finds `key` of `section` in text: 1 with its line and value (trimmed and
 * unquoted) in [*vs, *ve); `sec_end` gets where the section's last non-blank
 * line ends (or null when the section is missing). */
static int ini_find(const char *text, size_t len, const char *section, const char *key,
                    struct ini_line *found, const char **vs, const char **ve,
                    const char **sec_end)
{
    const char *limit = text + len, *p = text;
    struct ini_line l;
    int in = 0;
    *sec_end = NULL;
    while (line_next(p, limit, &l)) {
        p = l.next;
        const char *s, *e, *ks, *ke;
        if (line_section(&l, &s, &e)) {
            if (in)
                return 0; /* the first matching section ends here */
            in = name_equal(s, e, section);
            if (in)
                *sec_end = l.next;
            continue;
        }
        if (!in)
            continue;
        const char *a = l.start, *b = l.end;
        trim(&a, &b);
        if (a != b)
            *sec_end = l.next;
        if (key && line_key(&l, &ks, &ke, vs, ve) && name_equal(ks, ke, key)) {
            trim(vs, ve);
            if (*ve - *vs >= 2 && (**vs == '"' || **vs == '\'') && (*ve)[-1] == **vs) {
                (*vs)++;
                (*ve)--;
            }
            *found = l;
            return 1;
        }
    }
    return 0;
}

/* Copies [s, e) into out/size as the profile calls do: at most size-1 bytes
 * and a terminator; returns the count copied. */
static DWORD copy_out(const char *s, const char *e, LPSTR out, DWORD size)
{
    if (!out || size == 0)
        return 0;
    size_t n = (size_t)(e - s);
    if (n > size - 1)
        n = size - 1;
    memcpy(out, s, n);
    out[n] = 0;
    return (DWORD)n;
}

/* Names of every section (section null) or every key of `section`, each
 * zero-terminated, the list ending in an extra zero. */
static DWORD list_names(const char *text, size_t len, const char *section, LPSTR out, DWORD size)
{
    if (!out || size < 2) {
        if (out && size)
            out[0] = 0;
        return 0;
    }
    const char *limit = text + len, *p = text;
    struct ini_line l;
    DWORD o = 0;
    int in = 0;
    while (text && line_next(p, limit, &l)) {
        p = l.next;
        const char *s, *e, *vs, *ve;
        int is_sec = line_section(&l, &s, &e);
        if (is_sec)
            in = section && name_equal(s, e, section);
        if (section ? (is_sec || !in || !line_key(&l, &s, &e, &vs, &ve)) : !is_sec)
            continue;
        size_t n = (size_t)(e - s);
        if (o + n + 2 > size) { /* cut, keep the double terminator */
            n = size - 2 - o;
            memcpy(out + o, s, n);
            out[size - 2] = 0;
            out[size - 1] = 0;
            return size - 2;
        }
        memcpy(out + o, s, n);
        o += (DWORD)n;
        out[o++] = 0;
    }
    out[o] = 0;
    return o ? o : 0;
}

DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR def, LPSTR out,
                               DWORD size, LPCSTR file)
{
    if (qv7_fault_hit("GetPrivateProfileStringA")) {
        if (out && size)
            out[0] = 0;
        return 0;
    }
    char ppath[INI_PATH];
    size_t len = 0;
    char *text = NULL;
    if (file && qv7_path_to_posix_checked(file, ppath, sizeof ppath))
        text = ini_load(ppath, &len);
    DWORD r;
    struct ini_line l;
    const char *vs, *ve, *sec_end;
    if (!section || !key) {
        r = list_names(text, len, section, out, size);
    } else if (text && ini_find(text, len, section, key, &l, &vs, &ve, &sec_end)) {
        r = copy_out(vs, ve, out, size);
    } else {
        const char *ds = def ? def : "", *de = ds + strlen(ds);
        while (de > ds && is_blank(de[-1])) /* trailing blanks of the default go */
            de--;
        r = copy_out(ds, de, out, size);
    }
    free(text);
    return r;
}

UINT GetPrivateProfileIntA(LPCSTR section, LPCSTR key, INT def, LPCSTR file)
{
    char v[64];
    /* the default text is never used: an empty or missing value gives def */
    DWORD n = GetPrivateProfileStringA(section, key, "", v, sizeof v, file);
    if (n == 0)
        return (UINT)def;
    const char *p = v;
    int neg = 0;
    if (*p == '-' || *p == '+')
        neg = *p++ == '-';
    uint32_t acc = 0;
    if (p[0] == '0' && p[1] == 'x') { /* lower-case "0x" only, as Windows reads it */
        for (p += 2;; p++) {
            int d = *p >= '0' && *p <= '9' ? *p - '0' : (*p | 0x20) >= 'a' && (*p | 0x20) <= 'f'
                  ? (*p | 0x20) - 'a' + 10 : -1;
            if (d < 0)
                break;
            acc = acc * 16 + (uint32_t)d;
        }
    } else {
        for (; *p >= '0' && *p <= '9'; p++)
            acc = acc * 10 + (uint32_t)(*p - '0');
    }
    return neg ? (UINT)(0u - acc) : (UINT)acc;
}

/* ---- writing ---- */

/* Growing output buffer for the rewritten file. */
struct ini_out {
    char *b;
    size_t n, cap;
    int failed;
};

static void out_put(struct ini_out *o, const char *s, size_t n)
{
    if (o->failed || n == 0)
        return;
    if (o->n + n > o->cap) {
        size_t cap = (o->n + n) * 2 + 256;
        char *b = (char *)realloc(o->b, cap);
        if (!b) {
            o->failed = 1;
            return;
        }
        o->b = b;
        o->cap = cap;
    }
    memcpy(o->b + o->n, s, n);
    o->n += n;
}

static void out_str(struct ini_out *o, const char *s) { out_put(o, s, strlen(s)); }

/* The new content for `text` with the change applied (key null: drop the
 * section; value null: drop the key). Returns 1, or 0 when nothing changes. */
static int ini_edit(const char *text, size_t len, const char *section, const char *key,
                    const char *value, struct ini_out *o)
{
    struct ini_line l;
    const char *vs, *ve, *sec_end;
    int has_key = key && ini_find(text, len, section, key, &l, &vs, &ve, &sec_end);
    if (!key) {
        /* drop the first matching section: header up to the next header */
        const char *limit = text + len, *p = text, *cut = NULL, *cut_end = limit;
        struct ini_line x;
        while (line_next(p, limit, &x)) {
            const char *s, *e;
            if (line_section(&x, &s, &e)) {
                if (cut) {
                    cut_end = x.start;
                    break;
                }
                if (name_equal(s, e, section))
                    cut = x.start;
            }
            p = x.next;
        }
        if (!cut)
            return 0;
        out_put(o, text, (size_t)(cut - text));
        out_put(o, cut_end, (size_t)(limit - cut_end));
        return 1;
    }
    if (has_key) {
        out_put(o, text, (size_t)(l.start - text));
        if (value) {
            const char *ks, *ke, *a, *b;
            line_key(&l, &ks, &ke, &a, &b);
            out_put(o, ks, (size_t)(ke - ks)); /* keep the key's own spelling */
            out_str(o, "=");
            out_str(o, value);
            out_str(o, "\r\n");
        }
        out_put(o, l.next, (size_t)(text + len - l.next));
        return 1;
    }
    if (!value)
        return 0;
    if (sec_end) { /* the section exists: the key goes after its last line */
        out_put(o, text, (size_t)(sec_end - text));
        if (sec_end > text && sec_end[-1] != '\n')
            out_str(o, "\r\n");
        out_str(o, key);
        out_str(o, "=");
        out_str(o, value);
        out_str(o, "\r\n");
        out_put(o, sec_end, (size_t)(text + len - sec_end));
        return 1;
    }
    out_put(o, text, len);
    if (len && text[len - 1] != '\n')
        out_str(o, "\r\n");
    out_str(o, "[");
    out_str(o, section);
    out_str(o, "]\r\n");
    out_str(o, key);
    out_str(o, "=");
    out_str(o, value);
    out_str(o, "\r\n");
    return 1;
}

/* Writes `o` to a temporary file beside `ppath` and renames it over; 1/0. */
static int ini_replace(const char *ppath, const struct ini_out *o, mode_t mode)
{
    char tmp[INI_PATH + 16];
    const char *slash = strrchr(ppath, '/');
    int dl = slash ? (int)(slash - ppath + 1) : 0;
    snprintf(tmp, sizeof tmp, "%.*s.%sXXXXXX", dl, ppath, slash ? slash + 1 : ppath);
    int fd = mkostemp(tmp, O_CLOEXEC);
    if (fd < 0) {
        qv7_set_error_from_errno(errno, ppath);
        return 0;
    }
    size_t done = 0;
    int ok = 1;
    while (ok && done < o->n) {
        ssize_t w = write(fd, o->b + done, o->n - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            qv7_set_error_from_errno(w < 0 ? errno : ENOSPC, NULL);
            ok = 0;
        } else {
            done += (size_t)w;
        }
    }
    if (ok && (fchmod(fd, mode) != 0 || fsync(fd) != 0)) {
        qv7_set_error_from_errno(errno, NULL);
        ok = 0;
    }
    close(fd);
    if (ok && rename(tmp, ppath) != 0) {
        qv7_set_error_from_errno(errno, ppath);
        ok = 0;
    }
    if (!ok)
        unlink(tmp);
    return ok;
}

/* The process's umask, read without changing it (umask() would race with
 * other threads creating files); 022 when unknown. */
static mode_t process_umask(void)
{
    FILE *f = fopen("/proc/self/status", "re");
    unsigned m = 022;
    char line[128];
    while (f && fgets(line, sizeof line, f))
        if (sscanf(line, "Umask: %o", &m) == 1)
            break;
    if (f)
        fclose(f);
    return (mode_t)(m & 0777);
}

/* flock() on the folder of `ppath`: the descriptor to close, or -1. */
static int ini_lock(const char *ppath)
{
    char dir[INI_PATH];
    const char *slash = strrchr(ppath, '/');
    if (!slash)
        strcpy(dir, ".");
    else if (slash == ppath)
        strcpy(dir, "/");
    else
        snprintf(dir, sizeof dir, "%.*s", (int)(slash - ppath), ppath);
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0)
        while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    return fd;
}

BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR file)
{
    if (qv7_fault_hit("WritePrivateProfileStringA"))
        return FALSE;
    if (!file || !section) {
        SetLastError(section ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS);
        return section ? FALSE : TRUE; /* all null: "flush the cache", nothing to do */
    }
    char ppath[INI_PATH];
    if (!qv7_path_to_posix_checked(file, ppath, sizeof ppath))
        return FALSE;
    int lock = ini_lock(ppath);
    if (lock < 0) {
        qv7_set_error_from_errno(errno, ppath);
        return FALSE;
    }
    BOOL ok = FALSE;
    struct ini_out o = {NULL, 0, 0, 0};
    struct stat st;
    size_t len = 0;
    char *text = NULL;
    mode_t mode;
    if (stat(ppath, &st) == 0) {
        mode = st.st_mode & 07777;
        if (S_ISDIR(st.st_mode) || (mode & 0222) == 0) {
            SetLastError(ERROR_ACCESS_DENIED); /* the read-only attribute */
            goto end;
        }
        text = ini_load(ppath, &len);
        if (!text)
            goto end;
    } else if (errno != ENOENT) {
        qv7_set_error_from_errno(errno, ppath);
        goto end;
    } else {
        mode = 0666 & ~process_umask();
    }
    if (!ini_edit(text ? text : "", len, section, key, value, &o)) {
        ok = TRUE; /* nothing to delete */
        goto end;
    }
    if (o.failed) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        goto end;
    }
    ok = ini_replace(ppath, &o, mode);
end:
    free(o.b);
    free(text);
    close(lock);
    return ok;
}
