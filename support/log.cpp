/* The diagnostic log: one line per call, appended to log_path.
 *
 * Each line opens the file, seeks to its end, writes and closes it again, so
 * nothing is held between lines and a file deleted in between is simply
 * created again. The open allows readers only: another process that holds the
 * file open for writing makes our line drop at once, and while we write nobody
 * else can. Our own threads, though, must never lose a line to each other (the
 * lines that vanish would be exactly those written when threads meet), so they
 * take turns on a small in-process lock around the open-write-close.
 *
 * Nothing here takes memory from the heap: log_error reports failed
 * allocations, so it must work when the heap does not. */
#include "log.h"
#include "../frame/settings.h"

/* 0 = free, 1 = a thread of ours is writing a line. */
static volatile int log_busy;

/* Waits until no other thread of ours is writing a line. A line is short work
 * (an open, a few writes, a close), so yielding is enough; a long detail of a
 * large file makes others sleep instead of spinning. */
static void log_lock(void)
{
    unsigned spins = 0;
    while (__atomic_exchange_n(&log_busy, 1, __ATOMIC_ACQUIRE) != 0) {
        while (__atomic_load_n(&log_busy, __ATOMIC_RELAXED) != 0) {
            Sleep(spins < 64 ? 0 : 1);
            spins++;
        }
    }
}

static void log_unlock(void)
{
    __atomic_store_n(&log_busy, 0, __ATOMIC_RELEASE);
}

/* Small pieces of a line are gathered here and written together; a piece too
 * big for the area is written straight from the caller's memory, so a detail
 * of many megabytes is neither copied nor cut. The bytes in the file are the
 * same as with one write per piece. */
typedef struct line_area {
    HANDLE file;
    DWORD used;
    char bytes[512];
} line_area;

static void line_flush(line_area *line)
{
    DWORD written;
    if (line->used != 0)
        WriteFile(line->file, line->bytes, line->used, &written, NULL);
    line->used = 0;
}

static void line_put(line_area *line, const char *piece, DWORD length)
{
    DWORD written;
    if (line->used + length > sizeof line->bytes) {
        line_flush(line);
        if (length > sizeof line->bytes) {
            WriteFile(line->file, piece, length, &written, NULL);
            return;
        }
    }
    memcpy(line->bytes + line->used, piece, length);
    line->used += length;
}

/* Writes "time: text[: detail]\r\n" at the end of the log when log_level >=
 * level (signed). Returns 1 when written or suppressed by the level, 0 when the
 * file could not be opened (the line is lost). The caller's last error is left
 * as it was, so logging never changes the caller's course. */
int log_write(const char *text, const char *detail, int level)
{
    char stamp[256];
    line_area line;
    DWORD saved_error;
    int result = 1;

    if (plugin_settings.log_level < level)
        return 1;
    saved_error = GetLastError();
    log_lock();
    line.file = CreateFileA(plugin_settings.log_path, GENERIC_WRITE, FILE_SHARE_READ, NULL,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (line.file == NULL || line.file == INVALID_HANDLE_VALUE) {
        result = 0;
        goto end;
    }
    SetFilePointer(line.file, 0, NULL, FILE_END);
    /* A time that cannot be formatted leaves the stamp empty. */
    if (GetTimeFormatA(0, 0, NULL, NULL, stamp, 255) == 0)
        stamp[0] = 0;
    line.used = 0;
    line_put(&line, stamp, (DWORD)strlen(stamp));
    line_put(&line, ": ", 2);
    line_put(&line, text, (DWORD)strlen(text));
    if (detail != NULL) {
        line_put(&line, ": ", 2);
        line_put(&line, detail, (DWORD)strlen(detail));
    }
    line_put(&line, "\r\n", 2);
    line_flush(&line);
    CloseHandle(line.file);
end:
    log_unlock();
    SetLastError(saved_error);
    return result;
}

/* Writes "Error(label)" with the first line of the system's text for code as
 * detail (empty when the system has none), at level 1. */
void log_error(const char *label, DWORD code)
{
    char message[256];
    char heading[256];
    char *p;

    message[0] = 0;
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, code, 0, message, 255, NULL) == 0)
        message[0] = 0; /* nothing half-written stands in for a missing text */
    message[255] = 0;
    for (p = message; *p != 0; p++) {
        if (*p == '\r' || *p == '\n') {
            *p = 0;
            break;
        }
    }
    wsprintfA(heading, "Error(%s)", label);
    log_write(heading, message, 1);
}
