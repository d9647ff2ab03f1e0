/* The event entry qv7_sock: the host raises PLUGIN_EVENT_RECORD to have a
 * record's CSV text queued in the resend folder, and PLUGIN_EVENT_SEND to have
 * the waiting files sent. The queue is the folder itself; a file gets its
 * ".csv" name only once its bytes are complete and on disk. */
#include "contract.h"
#include "settings.h"
#include "../client/protocol.h"
#include "../support/log.h"
#include "../support/filebuf.h"
#include "../support/durable.h"

#define FORMAT_SIZE 256

/* PLUGIN_EVENT_SEND: calls send_start once when at least one CSV file (not a
 * folder) waits. Always 1: this event reports no failure. */
static int event_send(void)
{
    if (!SHARED_LOAD(plugin_settings.client_enable))
        return 1;
    char pattern[MAX_PATH];
    if (lstrlenA(plugin_settings.resent_dir) + 6 > MAX_PATH - 1)
        return 1; /* no such folder can hold a file either */
    wsprintfA(pattern, "%s\\*.csv", plugin_settings.resent_dir);
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA(pattern, &entry);
    if (find == INVALID_HANDLE_VALUE)
        return 1;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            send_start();
            break;
        }
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    return 1;
}

/* Builds the record's base path "<resent_dir>\<number>_<yyyyMMdd>_<HHmmss>_<name>"
 * into base (MAX_PATH bytes), leaving room for a 4-character extension.
 * 1 on success; 0 when the path would not fit (base is then untouched). */
static int record_base_path(const unsigned char *record, char *base)
{
    int32_t number;
    SYSTEMTIME when;
    memcpy(&number, record + HOST_RECORD_NUMBER, sizeof number);
    memcpy(&when, record + HOST_RECORD_DATE_TIME, sizeof when);
    char date[FORMAT_SIZE] = "";
    char time[FORMAT_SIZE] = "";
    char digits[16];
    GetDateFormatA(LOCALE_USER_DEFAULT, 0, &when, "yyyyMMdd", date, FORMAT_SIZE - 1);
    GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &when, "HHmmss", time, FORMAT_SIZE - 1);
    date[FORMAT_SIZE - 1] = 0;
    time[FORMAT_SIZE - 1] = 0;
    wsprintfA(digits, "%d", number);
    int len = lstrlenA(plugin_settings.resent_dir) + 1 + lstrlenA(digits) + 1 +
              lstrlenA(date) + 1 + lstrlenA(time) + 1 + lstrlenA(plugin_settings.client_name);
    if (len + 4 > MAX_PATH - 1)
        return 0;
    wsprintfA(base, "%s\\%d_%s_%s_%s", plugin_settings.resent_dir, number, date, time,
              plugin_settings.client_name);
    return 1;
}

/* Stores text under the record's names: written to the ".tmp" file, copied to
 * the ".csv" name, made durable, then the ".tmp" file goes. Releases the text
 * to the host (WM_HOST_FREE_CSV) right after the write, on every path. 1 when
 * the CSV file is stored; 0 after logging the failure. */
static int store_record(HWND host_window, const unsigned char *record, char *text)
{
    char tmp_path[MAX_PATH];
    char csv_path[MAX_PATH];
    if (!record_base_path(record, tmp_path)) {
        log_error("wsprintf", ERROR_FILENAME_EXCED_RANGE);
        SendMessageA(host_window, WM_HOST_FREE_CSV, 0, (LPARAM)text);
        return 0;
    }
    lstrcpyA(csv_path, tmp_path);
    lstrcatA(tmp_path, ".tmp");
    lstrcatA(csv_path, ".csv");
    CreateDirectoryA(plugin_settings.resent_dir, NULL);
    int written = file_write_buf(tmp_path, text, (DWORD)lstrlenA(text));
    if (!written)
        log_error("file_write_buf", GetLastError());
    SendMessageA(host_window, WM_HOST_FREE_CSV, 0, (LPARAM)text);
    if (!written)
        return 0;
    if (!CopyFileA(tmp_path, csv_path, FALSE)) {
        log_error("CopyFile", GetLastError());
        return 0;
    }
    /* Until the copy is on disk the ".tmp" file is the record's only durable
     * form, so it goes only after the flush; a failed flush keeps it. */
    if (!file_flush_durable(csv_path)) {
        log_error("file_flush_durable", GetLastError());
        return 0;
    }
    DeleteFileA(tmp_path);
    send_start();
    return 1;
}

/* PLUGIN_EVENT_RECORD: asks the host for the record's CSV text and queues it.
 * 1 when stored or when the client role is off; 0 when the host had nothing to
 * export or the file could not be stored. */
static int event_record(HWND host_window, const void *arg)
{
    if (!SHARED_LOAD(plugin_settings.client_enable))
        return 1;
    const unsigned char *record = NULL;
    if (arg)
        memcpy(&record, (const unsigned char *)arg + HOST_EVENT_ARG_RECORD, sizeof record);
    if (!record)
        return 0;
    char *text = (char *)SendMessageA(host_window, WM_HOST_GET_CSV, 0, (LPARAM)record);
    if (!text)
        return 0;
    return store_record(host_window, record, text);
}

/* The event entry. Event codes other than the two it serves are answered 1. */
QV7_EXPORT int WINAPI qv7_sock(HWND host_window, int event, void *arg, int ignored)
{
    if (event == PLUGIN_EVENT_SEND)
        return event_send();
    if (event == PLUGIN_EVENT_RECORD)
        return event_record(host_window, arg);
    return 1;
}
