/* qv7host record / send: the host's client side. "record" raises the record
 * event once per CSV file given, lending the file's bytes as the record's CSV
 * text; "send" raises the send event. Both then keep the message loop running
 * until the resend folder holds no CSV file or the wait runs out. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host/host.h"

#define HOST_EVENT_ARG_SIZE 512
#define HOST_RECORD_SIZE 128

/* The text lent to the module for the record being raised; null when none is
 * out. The module must give it back with WM_HOST_FREE_CSV exactly once. */
static char *g_csv_text;
static const char *g_csv_source;  /* the file the next WM_HOST_GET_CSV reads */
static int g_text_errors;         /* texts the module freed wrongly */

/* A zero-terminated copy of the file's bytes in a malloc block, or null. */
static char *read_whole_file(const char *path)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return NULL;
    size_t cap = 4096, used = 0;
    char *bytes = (char *)malloc(cap + 1);
    while (bytes) {
        size_t n = fread(bytes + used, 1, cap - used, f);
        used += n;
        if (used < cap)
            break;
        char *bigger = (char *)realloc(bytes, cap * 2 + 1);
        if (!bigger) {
            free(bytes);
            bytes = NULL;
            break;
        }
        bytes = bigger;
        cap *= 2;
    }
    int failed = ferror(f);
    fclose(f);
    if (!bytes || failed) {
        free(bytes);
        return NULL;
    }
    bytes[used] = 0;
    return bytes;
}

/* The host's answers to the module: the CSV text on WM_HOST_GET_CSV (0 when
 * the file cannot be read: nothing to export), its release on WM_HOST_FREE_CSV. */
static LRESULT on_record_message(UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_HOST_GET_CSV) {
        if (g_csv_text || !g_csv_source)
            return 0;
        g_csv_text = read_whole_file(g_csv_source);
        if (!g_csv_text)
            fprintf(stderr, "%s: cannot read the file\n", g_csv_source);
        return (LRESULT)g_csv_text;
    }
    if (message == WM_HOST_FREE_CSV) {
        if (!g_csv_text || (char *)lparam != g_csv_text) {
            g_text_errors++;
            return 0;
        }
        free(g_csv_text);
        g_csv_text = NULL;
    }
    return 0;
}

/* Parses "YYYY-MM-DDTHH:MM:SS" into st. 1 on success, 0 when malformed. */
static int parse_time(const char *text, SYSTEMTIME *st)
{
    unsigned y, mo, d, h, mi, s;
    char tail;
    if (sscanf(text, "%4u-%2u-%2uT%2u:%2u:%2u%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6)
        return 0;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59)
        return 0;
    memset(st, 0, sizeof *st);
    st->wYear = (WORD)y;
    st->wMonth = (WORD)mo;
    st->wDay = (WORD)d;
    st->wHour = (WORD)h;
    st->wMinute = (WORD)mi;
    st->wSecond = (WORD)s;
    return 1;
}

/* Parses "--wait SECONDS" at argv[*i] into *wait_ms. 1 when it was that option. */
static int parse_wait(int argc, char **argv, int *i, DWORD *wait_ms, int *bad)
{
    if (strcmp(argv[*i], "--wait") != 0)
        return 0;
    char *end = NULL;
    long seconds = *i + 1 < argc ? strtol(argv[*i + 1], &end, 10) : -1;
    if (!end || *end || seconds < 0 || seconds > 86400 * 365)
        *bad = 1;
    else
        *wait_ms = (DWORD)seconds * 1000;
    *i += 2;
    return 1;
}

/* What the wait for an empty queue needs: the module, the window its events
 * are raised with, and when the send event was raised last. */
typedef struct {
    host_module *m;
    HWND window;
    DWORD last_send;
} queue_wait;

#define RESEND_INTERVAL_MS 1000

/* 1 when no CSV file waits. A record stored while a run is under way does not
 * start another run, and that run's listing may not yield it, so the file would
 * wait for a trigger that never comes; like a user asking for the waiting
 * files, the host raises the send event once a second while files wait (a
 * trigger during a run changes nothing). */
static int queue_is_empty(void *ctx)
{
    queue_wait *w = (queue_wait *)ctx;
    if (host_queued_files(w->m) == 0)
        return 1;
    if (GetTickCount() - w->last_send >= RESEND_INTERVAL_MS) {
        w->m->event(w->window, PLUGIN_EVENT_SEND, NULL, 0);
        w->last_send = GetTickCount();
    }
    return 0;
}

/* Keeps handling messages until no CSV file waits or wait_ms passes. Prints
 * what still waits. 1 when the queue is empty. */
static int wait_for_queue(host_module *m, HWND window, DWORD wait_ms)
{
    queue_wait w = {m, window, GetTickCount()};
    int empty = host_pump(queue_is_empty, &w, wait_ms);
    if (!empty)
        empty = host_queued_files(m) == 0;
    if (!empty)
        printf("waiting: %d file(s) still queued\n", host_queued_files(m));
    return empty;
}

/* Raises one record event for file with the given number and time. Returns
 * the event's result. The two records live in buffers of the host's own. */
static int raise_record(host_module *m, HWND window, const char *file, int32_t number,
                        const SYSTEMTIME *when)
{
    unsigned char arg[HOST_EVENT_ARG_SIZE];
    unsigned char record[HOST_RECORD_SIZE];
    memset(arg, 0, sizeof arg);
    memset(record, 0, sizeof record);
    memcpy(record + HOST_RECORD_NUMBER, &number, sizeof number);
    memcpy(record + HOST_RECORD_DATE_TIME, when, sizeof *when);
    unsigned char *record_ptr = record;
    memcpy(arg + HOST_EVENT_ARG_RECORD, &record_ptr, sizeof record_ptr);
    g_csv_source = file;
    int result = m->event(window, PLUGIN_EVENT_RECORD, arg, 0);
    g_csv_source = NULL;
    if (g_csv_text) {
        fprintf(stderr, "%s: the module did not give the text back\n", file);
        g_text_errors++;
        free(g_csv_text);
        g_csv_text = NULL;
    }
    return result;
}

int cmd_record(host_module *m, int argc, char **argv)
{
    long long number = 1;
    DWORD wait_ms = 30000;
    SYSTEMTIME when;
    int have_time = 0, bad = 0, i = 0;
    while (i < argc && strncmp(argv[i], "--", 2) == 0) {
        if (parse_wait(argc, argv, &i, &wait_ms, &bad))
            continue;
        if (strcmp(argv[i], "--number") == 0 && i + 1 < argc) {
            char *end = NULL;
            number = strtoll(argv[i + 1], &end, 10);
            bad |= !*argv[i + 1] || *end || number < INT32_MIN || number > INT32_MAX;
        } else if (strcmp(argv[i], "--time") == 0 && i + 1 < argc) {
            have_time = parse_time(argv[i + 1], &when);
            bad |= !have_time;
        } else {
            bad = 1;
        }
        i += 2;
    }
    if (bad || i >= argc) {
        fprintf(stderr, "usage: qv7host record [--number N] [--time YYYY-MM-DDTHH:MM:SS] "
                        "[--wait SECONDS] FILE...\n");
        return 2;
    }
    if (!have_time)
        GetLocalTime(&when);
    HWND window = host_create_window(on_record_message);
    if (!window)
        return 1;
    int all_stored = 1;
    for (int k = i; k < argc; k++) {
        int32_t n = (int32_t)(number + (k - i));
        int result = raise_record(m, window, argv[k], n, &when);
        printf("record %ld %s: %d\n", (long)n, argv[k], result);
        fflush(stdout);
        all_stored &= result == 1;
    }
    int empty = wait_for_queue(m, window, wait_ms);
    return all_stored && empty && g_text_errors == 0 ? 0 : 1;
}

int cmd_send(host_module *m, int argc, char **argv)
{
    DWORD wait_ms = 30000;
    int bad = 0, i = 0;
    while (i < argc && parse_wait(argc, argv, &i, &wait_ms, &bad))
        ;
    if (bad || i < argc) {
        fprintf(stderr, "usage: qv7host send [--wait SECONDS]\n");
        return 2;
    }
    HWND window = host_create_window(on_record_message);
    if (!window)
        return 1;
    int result = m->event(window, PLUGIN_EVENT_SEND, NULL, 0);
    printf("send: %d\n", result);
    fflush(stdout);
    return wait_for_queue(m, window, wait_ms) ? 0 : 1;
}
