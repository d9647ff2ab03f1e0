/* Fuzz target: the receive thread's whole conversation. The fuzzer's bytes are
 * what a client sends (name lines, data lines, garbage); the host's answers are
 * fixed: every file goes to one folder. Whatever arrives, the thread must greet,
 * answer only "+OK" or "-ERR" lines, end when the client is done, and never
 * write outside that folder. */
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>

#include "frame/settings.h"
#include "server/server.h"
#include "support/filebuf.h"
#include "frame/contract.h"

static char g_root[256];
static char g_dir[256];
static HWND g_window;

static LRESULT CALLBACK host_proc(HWND w, UINT m, WPARAM wp, LPARAM lp)
{
    if (m == WM_HOST_GET_RECV_DIR) {
        lstrcpyA((char *)lp, g_dir);
        return 0;
    }
    if (m == WM_HOST_FILE_RECEIVED || m == WM_HOST_SERVER_ERROR)
        return 0;
    return DefWindowProcA(w, m, wp, lp);
}

/* The host's window thread: answers the receive threads' messages. */
static void host_thread(void *)
{
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = host_proc;
    wc.lpszClassName = "fuzzhost";
    RegisterClassA(&wc);
    g_window = CreateWindowExA(0, "fuzzhost", "fuzzhost", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0)
        DispatchMessageA(&msg);
}

static void setup(void)
{
    WSADATA wsa;
    WSAStartup(MAKEWORD(1, 1), &wsa);
    snprintf(g_root, sizeof g_root, "/dev/shm/qv7fuzz-%d", (int)getpid());
    snprintf(g_dir, sizeof g_dir, "%s/in", g_root);
    mkdir(g_root, 0700);
    mkdir(g_dir, 0700);
    plugin_settings.log_level = 0;
    _beginthread(host_thread, 0, NULL);
    while (!__atomic_load_n(&g_window, __ATOMIC_ACQUIRE))
        Sleep(1);
}

/* Names in folder other than keep; removes every file when clean is set. */
static int foreign_entries(const char *folder, const char *keep, int clean)
{
    int foreign = 0;
    DIR *d = opendir(folder);
    if (!d)
        abort();
    while (struct dirent *e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, ".."))
            continue;
        if (keep && !strcmp(e->d_name, keep))
            continue;
        if (clean) {
            std::string p = std::string(folder) + "/" + e->d_name;
            unlink(p.c_str());
        } else {
            foreign++;
        }
    }
    closedir(d);
    return foreign;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!g_window)
        setup();
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        return 0;
    conn_param *p = (conn_param *)mem_alloc_zero(sizeof(conn_param));
    p->host_window = g_window;
    p->conn_socket = (SOCKET)sv[1];
    if (_beginthread(recv_thread, 0, p) == (uintptr_t)-1)
        abort();
    if (size && ::write(sv[0], data, size) != (ssize_t)size)
        abort();
    shutdown((SOCKET)sv[0], SD_SEND);

    std::string replies;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(sv[0], buf, sizeof buf)) > 0)
        replies.append(buf, (size_t)n);
    ::close(sv[0]);

    /* The greeting, then only whole "+OK" and "-ERR" lines. */
    if (replies.compare(0, 5, "+OK\r\n") != 0)
        abort();
    for (size_t i = 5; i < replies.size();) {
        if (replies.compare(i, 5, "+OK\r\n") == 0)
            i += 5;
        else if (replies.compare(i, 6, "-ERR\r\n") == 0)
            i += 6;
        else
            abort();
    }
    if (foreign_entries(g_root, "in", 0) != 0)
        abort(); /* something was written beside the receive folder */
    foreign_entries(g_dir, NULL, 1);
    return 0;
}
