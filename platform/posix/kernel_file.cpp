/* Files: CreateFileA, ReadFile, WriteFile, FlushFileBuffers, CloseHandle,
 * GetFileSize, SetFilePointer, DeleteFileA, CopyFileA, MoveFileA,
 * CreateDirectoryA, RemoveDirectoryA, GetFileAttributesA, SetFileAttributesA
 * and GetTempPathA.
 *
 * Share modes: every open through the layer holds shared OFD byte-range locks
 * on a second descriptor of the file, at offsets far beyond any data: one byte
 * each for "has read access", "has write access", "denies read", "denies
 * write", "denies delete". An opener tests the bytes that conflict with what it
 * wants (F_OFD_GETLK) and takes its own, under flock() on the same descriptor
 * as a short mutex, so test-and-take is atomic between threads and processes.
 * The locks die with the descriptor, also when a process dies.
 *
 * Knowing differences from Windows:
 * - Only openers that go through this layer see the share modes.
 * - FILE_ATTRIBUTE_READONLY is the absence of every write permission bit and
 *   is honoured by the layer itself, since root ignores permissions.
 * - CopyFileA rewrites the target in place (as Windows does) and gives it the
 *   source's permission bits; timestamps are not copied.
 * - A file deleted while others hold it (with FILE_SHARE_DELETE) loses its
 *   name at once. */
#include "internal.h"
#include "fault.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#define FILE_MAGIC 0x51564648u /* "QVFH" */
#define PATH_BYTES 4096

struct qv7_file {
    DWORD magic;
    int fd;
    int lock_fd; /* holds this open's share-mode locks; -1 = none */
};

/* ---- share-mode locks ---- */

#define SHARE_BASE ((off_t)1 << 62)
enum { B_HAS_READ = 0, B_HAS_WRITE, B_DENY_READ, B_DENY_WRITE, B_DENY_DELETE };

/* Another descriptor holds byte `b`? (1/0) */
static int share_held(int fd, int b)
{
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = SHARE_BASE + b;
    fl.l_len = 1;
    if (fcntl(fd, F_OFD_GETLK, &fl) != 0)
        return 0;
    return fl.l_type != F_UNLCK;
}

static void share_take_byte(int fd, int b)
{
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_RDLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = SHARE_BASE + b;
    fl.l_len = 1;
    fcntl(fd, F_OFD_SETLK, &fl);
}

static void share_mutex(int fd, int on)
{
    while (flock(fd, on ? LOCK_EX : LOCK_UN) != 0 && errno == EINTR) {
    }
}

/* Whether an open wanting read/write/delete access with `share` conflicts with
 * the opens that hold the file now (1 = conflict). Call under the mutex. */
static int share_conflict(int fd, int r, int w, int d, DWORD share)
{
    if ((r && share_held(fd, B_DENY_READ)) || (w && share_held(fd, B_DENY_WRITE)) ||
        (d && share_held(fd, B_DENY_DELETE)))
        return 1;
    if (!(share & FILE_SHARE_READ) && share_held(fd, B_HAS_READ))
        return 1;
    if (!(share & FILE_SHARE_WRITE) && share_held(fd, B_HAS_WRITE))
        return 1;
    return 0;
}

static void share_take(int fd, int r, int w, DWORD share)
{
    if (r)
        share_take_byte(fd, B_HAS_READ);
    if (w)
        share_take_byte(fd, B_HAS_WRITE);
    if (!(share & FILE_SHARE_READ))
        share_take_byte(fd, B_DENY_READ);
    if (!(share & FILE_SHARE_WRITE))
        share_take_byte(fd, B_DENY_WRITE);
    if (!(share & FILE_SHARE_DELETE))
        share_take_byte(fd, B_DENY_DELETE);
}

/* A new open file description of the file behind `fd` (read-only), for
 * locks; -1 when it cannot be had (then the open goes unguarded). */
static int share_reopen(int fd)
{
    char p[64];
    snprintf(p, sizeof p, "/proc/self/fd/%d", fd);
    return open(p, O_RDONLY | O_CLOEXEC);
}

/* Whether an operation that deletes or replaces the file at `ppath` may go
 * ahead: 1 and *lock_fd (mutex held; -1 when unguarded) to pass to
 * share_gate_end, or 0 with ERROR_SHARING_VIOLATION. */
static int share_gate_delete(const char *ppath, int *lock_fd)
{
    *lock_fd = open(ppath, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (*lock_fd < 0)
        return 1;
    share_mutex(*lock_fd, 1);
    if (share_conflict(*lock_fd, 0, 0, 1, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
        share_mutex(*lock_fd, 0);
        close(*lock_fd);
        *lock_fd = -1;
        SetLastError(ERROR_SHARING_VIOLATION);
        return 0;
    }
    return 1;
}

static void share_gate_end(int lock_fd)
{
    if (lock_fd >= 0) {
        share_mutex(lock_fd, 0);
        close(lock_fd);
    }
}

static int mode_readonly(mode_t m) { return (m & 0222) == 0; }

/* ---- opening ---- */

/* The folder part of `ppath` ("." when it has none) into `out`. */
static void folder_of_posix(const char *ppath, char *out, size_t size)
{
    const char *slash = strrchr(ppath, '/');
    if (!slash)
        snprintf(out, size, ".");
    else if (slash == ppath)
        snprintf(out, size, "/");
    else
        snprintf(out, size, "%.*s", (int)(slash - ppath), ppath);
}

/* Creates `ppath` with its share locks already in place: the file is made
 * nameless (O_TMPFILE), locked, and only then linked under its name, so no
 * other opener can slip in between the creation and the locks. Returns 1 when
 * created (f->fd, f->lock_fd set), -1 when a file of that name exists, 0 on
 * another failure (last error set), 2 when the file system cannot make
 * nameless files (the caller then creates the plain way). */
static int file_create_locked(struct qv7_file *f, const char *ppath, int mode, int r, int w,
                              DWORD share)
{
    char folder[PATH_BYTES], self[64];
    folder_of_posix(ppath, folder, sizeof folder);
    int tfd = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (tfd < 0) {
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)
            return 2;
        qv7_set_error_from_errno(errno, ppath);
        return 0;
    }
    snprintf(self, sizeof self, "/proc/self/fd/%d", tfd);
    f->lock_fd = r || w ? open(self, O_RDONLY | O_CLOEXEC) : -1;
    if (f->lock_fd >= 0)
        share_take(f->lock_fd, r, w, share);
    if (linkat(AT_FDCWD, self, AT_FDCWD, ppath, AT_SYMLINK_FOLLOW) != 0) {
        int e = errno;
        close(tfd);
        if (f->lock_fd >= 0)
            close(f->lock_fd);
        f->lock_fd = -1;
        if (e == EEXIST)
            return -1;
        qv7_set_error_from_errno(e, ppath);
        return 0;
    }
    /* the handle gets the access asked for, no more */
    f->fd = mode == O_RDWR ? tfd : open(self, mode | O_CLOEXEC);
    if (f->fd != tfd)
        close(tfd);
    if (f->fd < 0) {
        qv7_set_error_from_errno(errno, ppath);
        return 0;
    }
    return 1;
}

/* Opens `ppath` for the record `f`; returns 1, or 0 with the last error set.
 * *existed tells whether the file was there before. */
static int file_open(struct qv7_file *f, const char *ppath, DWORD access, DWORD share,
                     DWORD disposition, int *existed)
{
    int r = (access & GENERIC_READ) != 0, w = (access & GENERIC_WRITE) != 0;
    int mode = r && w ? O_RDWR : w ? O_WRONLY : O_RDONLY;
    int create = disposition == CREATE_NEW || disposition == CREATE_ALWAYS ||
                 disposition == OPEN_ALWAYS;
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    f->fd = -1;
    int nameless = 1;
    for (int tries = 0; f->fd < 0 && tries < 8; tries++) {
        if (create && nameless) {
            int made = file_create_locked(f, ppath, mode, r, w, share);
            if (made == 1) {
                *existed = 0;
                return 1;
            }
            if (made == 0)
                return 0;
            if (made == 2)
                nameless = 0;
            else if (disposition == CREATE_NEW) {
                SetLastError(ERROR_FILE_EXISTS);
                return 0;
            }
        }
        if (create && !nameless) {
            f->fd = open(ppath, mode | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (f->fd >= 0) {
                *existed = 0;
                break;
            }
            if (errno != EEXIST || disposition == CREATE_NEW) {
                qv7_set_error_from_errno(errno, ppath);
                return 0;
            }
        }
        f->fd = open(ppath, mode | O_CLOEXEC);
        *existed = 1;
        if (f->fd < 0 && !(create && errno == ENOENT)) {
            qv7_set_error_from_errno(errno, ppath);
            return 0;
        }
    }
    if (f->fd < 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    struct stat st;
    if (fstat(f->fd, &st) != 0 || S_ISDIR(st.st_mode) ||
        (*existed && mode_readonly(st.st_mode) &&
         (w || disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    /* an open for neither reading nor writing (attributes only) takes part
     * in no share check, as on Windows */
    f->lock_fd = r || w ? share_reopen(f->fd) : -1;
    if (f->lock_fd >= 0) {
        share_mutex(f->lock_fd, 1);
        int clash = share_conflict(f->lock_fd, r, w, 0, share);
        if (!clash)
            share_take(f->lock_fd, r, w, share);
        share_mutex(f->lock_fd, 0);
        if (clash) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return 0;
        }
    }
    if (*existed && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) &&
        ftruncate(f->fd, 0) != 0) {
        qv7_set_error_from_errno(errno, ppath);
        return 0;
    }
    return 1;
}

static void file_release(struct qv7_file *f)
{
    if (f->fd >= 0)
        close(f->fd);
    if (f->lock_fd >= 0)
        close(f->lock_fd);
    f->magic = 0;
    free(f);
}

/* CreateFileA without the fault seam, for the layer's own opens (CopyFileA),
 * so that a rule for "CreateFileA" counts only the caller's own calls. */
static HANDLE file_create(LPCSTR path, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    char ppath[PATH_BYTES];
    if (!qv7_path_to_posix_checked(path, ppath, sizeof ppath))
        return INVALID_HANDLE_VALUE;
    if (!ppath[0]) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    struct qv7_file *f = (struct qv7_file *)malloc(sizeof *f);
    if (!f) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    f->magic = FILE_MAGIC;
    f->fd = f->lock_fd = -1;
    if ((flags & FILE_FLAG_BACKUP_SEMANTICS) && disposition == OPEN_EXISTING &&
        !(access & GENERIC_WRITE)) {
        /* a folder opened only so that FlushFileBuffers makes its entries
         * durable; folders take part in no share check */
        f->fd = open(ppath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (f->fd >= 0) {
            SetLastError(ERROR_SUCCESS);
            return f;
        }
    }
    int existed = 0;
    if (!file_open(f, ppath, access, share, disposition, &existed)) {
        DWORD e = GetLastError();
        int created = f->fd >= 0 && !existed;
        file_release(f);
        if (created)
            unlink(ppath); /* a file we made only to be refused leaves no trace */
        SetLastError(e);
        return INVALID_HANDLE_VALUE;
    }
    if (!existed && (flags & FILE_ATTRIBUTE_READONLY)) {
        struct stat st;
        if (fstat(f->fd, &st) == 0)
            fchmod(f->fd, st.st_mode & ~0222);
    }
    SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                     ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return f;
}

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES *sa,
                   DWORD disposition, DWORD flags, HANDLE template_file)
{
    if (qv7_fault_hit("CreateFileA"))
        return INVALID_HANDLE_VALUE;
    return file_create(path, access, share, disposition, flags);
}

/* The file record behind `h`, or null with ERROR_INVALID_HANDLE. */
static struct qv7_file *file_of(HANDLE h)
{
    struct qv7_file *f = (struct qv7_file *)h;
    if (!f || h == INVALID_HANDLE_VALUE || f->magic != FILE_MAGIC) {
        SetLastError(ERROR_INVALID_HANDLE);
        return NULL;
    }
    return f;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read_out, OVERLAPPED *ov)
{
    if (read_out)
        *read_out = 0;
    if (qv7_fault_hit("ReadFile"))
        return FALSE;
    struct qv7_file *f = file_of(file);
    if (!f)
        return FALSE;
    DWORD done = 0;
    while (done < to_read) {
        ssize_t n = read(f->fd, (char *)buffer + done, to_read - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (read_out)
                *read_out = done;
            qv7_set_error_from_errno(errno, NULL);
            return FALSE;
        }
        if (n == 0)
            break;
        done += (DWORD)n;
    }
    if (read_out)
        *read_out = done;
    return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written, OVERLAPPED *ov)
{
    if (written)
        *written = 0;
    if (qv7_fault_hit("WriteFile"))
        return FALSE;
    struct qv7_file *f = file_of(file);
    if (!f)
        return FALSE;
    DWORD done = 0;
    while (done < to_write) {
        ssize_t n = write(f->fd, (const char *)buffer + done, to_write - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (written)
                *written = done;
            qv7_set_error_from_errno(n < 0 ? errno : ENOSPC, NULL);
            return FALSE;
        }
        done += (DWORD)n;
    }
    if (written)
        *written = done;
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE file)
{
    if (qv7_fault_hit("FlushFileBuffers"))
        return FALSE;
    struct qv7_file *f = file_of(file);
    if (!f)
        return FALSE;
    if (fsync(f->fd) != 0) {
        qv7_set_error_from_errno(errno, NULL);
        return FALSE;
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE object)
{
    struct qv7_file *f = file_of(object);
    if (!f)
        return FALSE;
    file_release(f);
    return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD high)
{
    if (qv7_fault_hit("GetFileSize"))
        return INVALID_FILE_SIZE;
    struct qv7_file *f = file_of(file);
    struct stat st;
    if (!f)
        return INVALID_FILE_SIZE;
    if (fstat(f->fd, &st) != 0) {
        qv7_set_error_from_errno(errno, NULL);
        return INVALID_FILE_SIZE;
    }
    uint64_t size = (uint64_t)st.st_size;
    if (high)
        *high = (DWORD)(size >> 32);
    SetLastError(ERROR_SUCCESS); /* a size of 0xFFFFFFFF is told apart this way */
    return (DWORD)size;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG *distance_high, DWORD method)
{
    struct qv7_file *f = file_of(file);
    if (!f)
        return INVALID_SET_FILE_POINTER;
    int64_t d = distance_high ? (int64_t)(((uint64_t)(uint32_t)*distance_high << 32) |
                                          (uint32_t)distance)
                              : (int64_t)distance;
    int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR
               : method == FILE_END ? SEEK_END : -1;
    if (whence < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    off_t pos = lseek(f->fd, (off_t)d, whence);
    if (pos < 0) {
        SetLastError(errno == EINVAL ? 131 /* ERROR_NEGATIVE_SEEK */ : qv7_win32_error_from_errno(errno));
        return INVALID_SET_FILE_POINTER;
    }
    if (distance_high)
        *distance_high = (LONG)((uint64_t)pos >> 32);
    SetLastError(ERROR_SUCCESS);
    return (DWORD)pos;
}

/* ---- deleting, copying, moving ---- */

BOOL DeleteFileA(LPCSTR path)
{
    if (qv7_fault_hit("DeleteFileA"))
        return FALSE;
    char ppath[PATH_BYTES];
    if (!qv7_path_to_posix_checked(path, ppath, sizeof ppath))
        return FALSE;
    struct stat st;
    if (lstat(ppath, &st) != 0) {
        qv7_set_error_from_errno(errno, ppath);
        return FALSE;
    }
    if (S_ISDIR(st.st_mode) || (!S_ISLNK(st.st_mode) && mode_readonly(st.st_mode))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    int lock_fd;
    if (!share_gate_delete(ppath, &lock_fd))
        return FALSE;
    int ok = unlink(ppath) == 0;
    int e = errno;
    share_gate_end(lock_fd);
    if (!ok) {
        qv7_set_error_from_errno(e, ppath);
        return FALSE;
    }
    return TRUE;
}

/* Copies every byte of `in` to `out` from their current positions: 1, or 0
 * with the last error set. copy_file_range first (in-kernel, reflinks where
 * the file system can), then sendfile, then a plain loop. */
static int copy_bytes(int in, int out)
{
    int how = 0; /* 0 copy_file_range, 1 sendfile, 2 read/write */
    static const size_t chunk = (size_t)1 << 30;
    for (;;) {
        ssize_t n;
        if (how == 0)
            n = copy_file_range(in, NULL, out, NULL, chunk, 0);
        else if (how == 1)
            n = sendfile(out, in, NULL, chunk);
        else {
            static thread_local char buf[1 << 16];
            n = read(in, buf, sizeof buf);
            for (ssize_t w = 0; n > 0 && w < n;) {
                ssize_t k = write(out, buf + w, (size_t)(n - w));
                if (k < 0 && errno == EINTR)
                    continue;
                if (k <= 0) {
                    qv7_set_error_from_errno(k < 0 ? errno : ENOSPC, NULL);
                    return 0;
                }
                w += k;
            }
        }
        if (n > 0)
            continue;
        if (n == 0)
            return 1;
        if (errno == EINTR)
            continue;
        if (how < 2 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                        errno == EOPNOTSUPP || errno == EBADF)) {
            how++;
            continue;
        }
        qv7_set_error_from_errno(errno, NULL);
        return 0;
    }
}

BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL fail_if_exists)
{
    if (qv7_fault_hit("CopyFileA"))
        return FALSE;
    /* The source is read with others free to read and write it; the target is
     * written with others free to read and write it, so anyone holding it
     * without sharing write access, or holding it for write without sharing
     * read, makes the copy fail, as on Windows. */
    HANDLE src = file_create(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             OPEN_EXISTING, 0);
    if (src == INVALID_HANDLE_VALUE)
        return FALSE;
    struct qv7_file *s = (struct qv7_file *)src;
    struct stat sst, dst_st;
    fstat(s->fd, &sst);
    HANDLE dst = file_create(to, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             fail_if_exists ? CREATE_NEW : OPEN_ALWAYS, 0);
    int created = GetLastError() != ERROR_ALREADY_EXISTS;
    if (dst == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        CloseHandle(src);
        SetLastError(e);
        return FALSE;
    }
    struct qv7_file *d = (struct qv7_file *)dst;
    BOOL ok = FALSE;
    if (fstat(d->fd, &dst_st) != 0) {
        qv7_set_error_from_errno(errno, NULL);
    } else if (dst_st.st_dev == sst.st_dev && dst_st.st_ino == sst.st_ino) {
        SetLastError(ERROR_SHARING_VIOLATION); /* onto itself: never truncate it */
    } else if (ftruncate(d->fd, 0) != 0) {
        qv7_set_error_from_errno(errno, NULL);
    } else if (copy_bytes(s->fd, d->fd)) {
        fchmod(d->fd, sst.st_mode & 07777);
        ok = TRUE;
    }
    DWORD e = GetLastError();
    if (!ok && created) {
        char pt[PATH_BYTES]; /* a target we made is not left half-written */
        if (qv7_path_to_posix_checked(to, pt, sizeof pt))
            unlink(pt);
    }
    CloseHandle(dst);
    CloseHandle(src);
    SetLastError(ok ? ERROR_SUCCESS : e);
    return ok;
}

BOOL MoveFileA(LPCSTR from, LPCSTR to)
{
    if (qv7_fault_hit("MoveFileA"))
        return FALSE;
    char pf[PATH_BYTES], pt[PATH_BYTES];
    if (!qv7_path_to_posix_checked(from, pf, sizeof pf) ||
        !qv7_path_to_posix_checked(to, pt, sizeof pt))
        return FALSE;
    struct stat st;
    if (lstat(pf, &st) != 0) {
        qv7_set_error_from_errno(errno, pf);
        return FALSE;
    }
    if (lstat(pt, &st) == 0) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    int lock_fd = -1;
    if (!S_ISDIR(st.st_mode) && !share_gate_delete(pf, &lock_fd))
        return FALSE;
    int r = renameat2(AT_FDCWD, pf, AT_FDCWD, pt, RENAME_NOREPLACE);
    if (r != 0 && (errno == EINVAL || errno == ENOSYS))
        r = rename(pf, pt); /* file system without the no-replace form */
    int e = errno;
    share_gate_end(lock_fd);
    if (r != 0 && e == EXDEV && !S_ISDIR(st.st_mode)) {
        if (!CopyFileA(from, to, TRUE))
            return FALSE;
        if (!DeleteFileA(from)) {
            DWORD keep = GetLastError();
            DeleteFileA(to);
            SetLastError(keep);
            return FALSE;
        }
        return TRUE;
    }
    if (r != 0) {
        SetLastError(e == EEXIST ? ERROR_ALREADY_EXISTS : qv7_win32_error_for_path(e, pt));
        return FALSE;
    }
    return TRUE;
}

/* ---- folders and attributes ---- */

BOOL CreateDirectoryA(LPCSTR path, SECURITY_ATTRIBUTES *sa)
{
    if (qv7_fault_hit("CreateDirectoryA"))
        return FALSE;
    char ppath[PATH_BYTES];
    if (!qv7_path_to_posix_checked(path, ppath, sizeof ppath))
        return FALSE;
    if (mkdir(ppath, 0777) != 0) {
        int e = errno;
        /* ENOENT here can only mean a missing parent folder */
        SetLastError(e == EEXIST ? ERROR_ALREADY_EXISTS : e == ENOENT ? ERROR_PATH_NOT_FOUND
                                                        : qv7_win32_error_from_errno(e));
        return FALSE;
    }
    return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR path)
{
    char ppath[PATH_BYTES];
    if (!qv7_path_to_posix_checked(path, ppath, sizeof ppath))
        return FALSE;
    if (rmdir(ppath) != 0) {
        int e = errno;
        SetLastError(e == ENOTDIR ? ERROR_DIRECTORY : e == EEXIST ? ERROR_DIR_NOT_EMPTY
                                                    : qv7_win32_error_for_path(e, ppath));
        return FALSE;
    }
    return TRUE;
}

/* Win32 attributes of a stat record. */
extern "C" DWORD qv7_attributes_of(const struct stat *st)
{
    if (S_ISDIR(st->st_mode))
        return FILE_ATTRIBUTE_DIRECTORY | (mode_readonly(st->st_mode) ? FILE_ATTRIBUTE_READONLY : 0);
    return FILE_ATTRIBUTE_ARCHIVE | (mode_readonly(st->st_mode) ? FILE_ATTRIBUTE_READONLY : 0);
}

DWORD GetFileAttributesA(LPCSTR path)
{
    char ppath[PATH_BYTES];
    struct stat st;
    if (!qv7_path_to_posix_checked(path, ppath, sizeof ppath))
        return INVALID_FILE_ATTRIBUTES;
    if (stat(ppath, &st) != 0) {
        qv7_set_error_from_errno(errno, ppath);
        return INVALID_FILE_ATTRIBUTES;
    }
    return qv7_attributes_of(&st);
}

BOOL SetFileAttributesA(LPCSTR path, DWORD attributes)
{
    char ppath[PATH_BYTES];
    struct stat st;
    if (!qv7_path_to_posix_checked(path, ppath, sizeof ppath))
        return FALSE;
    if (stat(ppath, &st) != 0) {
        qv7_set_error_from_errno(errno, ppath);
        return FALSE;
    }
    mode_t m = st.st_mode & 07777;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        m &= ~(mode_t)0222;
    else if (mode_readonly(m))
        m |= 0200 | ((m & 0040) >> 1); /* owner, and the group if it may read */
    if (m != (st.st_mode & 07777) && chmod(ppath, m) != 0) {
        qv7_set_error_from_errno(errno, ppath);
        return FALSE;
    }
    return TRUE;
}

DWORD GetTempPathA(DWORD size, LPSTR buffer)
{
    const char *t = getenv("TMPDIR");
    if (!t || !*t)
        t = "/tmp";
    char tmp[PATH_BYTES];
    size_t n = strlen(t);
    if (n + 2 > sizeof tmp) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    memcpy(tmp, t, n);
    if (tmp[n - 1] != '/')
        tmp[n++] = '/';
    tmp[n] = 0;
    if (n + 1 > size)
        return (DWORD)(n + 1);
    memcpy(buffer, tmp, n + 1);
    return (DWORD)n;
}
