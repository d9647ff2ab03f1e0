/* The host's side of the contract: loading the module, the message window on
 * the main thread, and a message pump that keeps answering the module's
 * threads while a command waits for its work to finish. */
#include <stdio.h>
#include <string.h>

#include "host/host.h"

static host_message_handler g_handler;
static volatile LONG g_interrupted;

static BOOL WINAPI on_console_ctrl(DWORD type)
{
    __atomic_store_n(&g_interrupted, 1, __ATOMIC_SEQ_CST);
    return TRUE;
}

int host_interrupted(void)
{
    return __atomic_load_n(&g_interrupted, __ATOMIC_SEQ_CST) != 0;
}

/* Prints the system's text for code after what. */
static void print_error(const char *what, DWORD code)
{
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0,
                   text, sizeof text - 1, NULL);
    size_t n = strcspn(text, "\r\n");
    text[n] = 0;
    fprintf(stderr, "%s: %s (error %lu)\n", what, text, (unsigned long)code);
}

void host_folder_of(const char *path, char *out)
{
    lstrcpynA(out, path, MAX_PATH);
    char *cut = NULL;
    for (char *p = out; *p; p++) {
        if (IsDBCSLeadByte((BYTE)*p) && p[1]) {
            p++;
            continue;
        }
        if (*p == '\\' || *p == '/')
            cut = p;
    }
    if (cut)
        *cut = 0;
    else
        out[0] = 0;
}

int host_load_module(const char *path, host_module *m)
{
    memset(m, 0, sizeof *m);
    if (path) {
        lstrcpynA(m->path, path, MAX_PATH);
    } else {
        char self[MAX_PATH];
        char folder[MAX_PATH];
        GetModuleFileNameA(NULL, self, MAX_PATH);
        host_folder_of(self, folder);
        if (lstrlenA(folder) + 14 >= MAX_PATH) {
            fprintf(stderr, "the program's folder is too long\n");
            return 0;
        }
        wsprintfA(m->path, "%s\\qv7_sock.qv7", folder);
    }
    m->module = LoadLibraryA(m->path);
    if (!m->module) {
        DWORD code = GetLastError();
        char what[MAX_PATH + 40];
        wsprintfA(what, "cannot load module %s", m->path);
        print_error(what, code);
        return 0;
    }
    /* from here on the module's full path, as the module itself sees it */
    GetModuleFileNameA(m->module, m->path, MAX_PATH);
    m->get_plugin_info = (get_plugin_info_fn)(void *)GetProcAddress(m->module, "get_plugin_info");
    m->initialize = (qv7_sock_initialize_fn)(void *)GetProcAddress(m->module, "qv7_sock_initialize");
    m->event = (qv7_sock_fn)(void *)GetProcAddress(m->module, "qv7_sock");
    m->property = (qv7_sock_property_fn)(void *)GetProcAddress(m->module, "qv7_sock_property");
    m->server_start = (server_start_fn)(void *)GetProcAddress(m->module, "server_start");
    if (!m->get_plugin_info || !m->initialize || !m->event || !m->property || !m->server_start) {
        fprintf(stderr, "module %s lacks one of the five exports\n", m->path);
        return 0;
    }
    SetConsoleCtrlHandler(on_console_ctrl, TRUE);
    return 1;
}

static LRESULT CALLBACK host_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_HOST_GET_CSV:
    case WM_HOST_FREE_CSV:
    case WM_HOST_FILE_RECEIVED:
    case WM_HOST_GET_RECV_DIR:
    case WM_HOST_SERVER_ERROR:
        return g_handler ? g_handler(message, wparam, lparam) : 0;
    case WM_CLOSE:
        __atomic_store_n(&g_interrupted, 1, __ATOMIC_SEQ_CST);
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

HWND host_create_window(host_message_handler handler)
{
    g_handler = handler;
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = host_window_proc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "qv7host";
    RegisterClassA(&wc);
    /* A hidden top-level window rather than a message-only one, so that it can
     * also own the settings dialog. */
    HWND window = CreateWindowExA(0, "qv7host", "qv7host", WS_OVERLAPPED, 0, 0, 0, 0, NULL, NULL,
                                  wc.hInstance, NULL);
    /* Without a display (Wine with no X server) only a message-only window can
     * be had; it serves every command but the dialog. */
    if (!window)
        window = CreateWindowExA(0, "qv7host", "qv7host", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                                 wc.hInstance, NULL);
    if (!window)
        print_error("CreateWindowEx", GetLastError());
    return window;
}

int host_pump(int (*done)(void *ctx), void *ctx, DWORD timeout_ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                return 0;
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (done && done(ctx))
            return 1;
        if (host_interrupted())
            return 0;
        if (timeout_ms != INFINITE && GetTickCount() - start >= timeout_ms)
            return 0;
        MsgWaitForMultipleObjects(0, NULL, FALSE, 50, QS_ALLINPUT);
    }
}

int host_queued_files(const host_module *m)
{
    char folder[MAX_PATH];
    char pattern[MAX_PATH];
    host_folder_of(m->path, folder);
    if (lstrlenA(folder) + 14 >= MAX_PATH)
        return -1;
    wsprintfA(pattern, "%s\\resent\\*.csv", folder);
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA(pattern, &entry);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    int count = 0;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            count++;
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    return count;
}
