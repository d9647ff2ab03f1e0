/* Benchmark of the client role: queueing records through the event entry with
 * no server reachable, then delivering the whole queue in one run to a
 * minimal collector on loopback that stores every file durably (write and
 * flush, as the real server does). Both rates are printed next to this
 * machine's rate of create+write+flush of small files, measured in the same
 * run: every record costs at least one flush on the station, so that rate is
 * the ceiling; the target for delivery is at least half of it.
 *
 *   bench_client [RECORDS] [FOLDER]     (defaults: 2000, the temporary folder) */
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <stdio.h>
#include <stdlib.h>

#include "client/protocol.h"
#include "frame/contract.h"
#include "frame/settings.h"
#include "support/base64.h"
#include "support/filebuf.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

/* create + write + flush + close of one small file through the platform. */
bool write_durably(const std::string &path, const void *bytes, DWORD len)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = len == 0 || (WriteFile(h, bytes, len, &written, NULL) && written == len);
    ok = FlushFileBuffers(h) && ok;
    CloseHandle(h);
    return ok;
}

/* files/s of create+write+flush of n files of size bytes in dir. */
double fsync_rate(const std::string &dir, int n, int size)
{
    std::string bytes((size_t)size, 'f');
    CreateDirectoryA(dir.c_str(), NULL);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; i++)
        write_durably(dir + "\\f" + std::to_string(i) + ".dat", bytes.data(), (DWORD)size);
    double s = seconds_since(t0);
    for (int i = 0; i < n; i++)
        DeleteFileA((dir + "\\f" + std::to_string(i) + ".dat").c_str());
    RemoveDirectoryA(dir.c_str());
    return n / s;
}

/* The host's side of the record event: every record's text is `g_text`. */
std::string g_text;
LRESULT CALLBACK host_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_HOST_GET_CSV)
        return (LRESULT)g_text.c_str();
    if (msg == WM_HOST_FREE_CSV)
        return 0;
    return DefWindowProcA(w, msg, wp, lp);
}

/* A minimal collector: one connection at a time, lock-step, each file decoded
 * and written durably under its name in dir. */
struct collector {
    SOCKET listener = INVALID_SOCKET;
    int port = 0;
    std::string dir;
    int stored = 0;
    std::atomic<bool> stop{false};
    std::thread thread;
};

bool send_text(SOCKET s, const char *text)
{
    return send(s, text, (int)strlen(text), 0) == (int)strlen(text);
}

/* One connection: greeting, then name line / data line pairs until it closes. */
void serve_connection(collector *c, SOCKET s)
{
    std::string pending, name;
    std::vector<unsigned char> decoded;
    int line_no = 0;
    char buf[65536];
    if (!send_text(s, "+OK\r\n"))
        return;
    for (;;) {
        int n = recv(s, buf, sizeof buf, 0);
        if (n <= 0)
            return;
        pending.append(buf, (size_t)n);
        size_t at;
        while ((at = pending.find("\r\n")) != std::string::npos) {
            std::string line = pending.substr(0, at);
            pending.erase(0, at + 2);
            bool ok = true;
            if (line_no++ % 2 == 0) {
                name = line;
            } else {
                decoded.resize(line.size() + 4);
                unsigned char *end = base64_decode(line.c_str(), decoded.data());
                ok = write_durably(c->dir + "\\" + name, decoded.data(),
                                   (DWORD)(end - decoded.data()));
                c->stored += ok;
            }
            if (!send_text(s, ok ? "+OK\r\n" : "-ERR\r\n"))
                return;
        }
    }
}

bool collector_start(collector *c)
{
    c->listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    if (c->listener == INVALID_SOCKET || bind(c->listener, (struct sockaddr *)&addr, sizeof addr) ||
        listen(c->listener, 4) || getsockname(c->listener, (struct sockaddr *)&addr, &len))
        return false;
    c->port = ntohs(addr.sin_port);
    CreateDirectoryA(c->dir.c_str(), NULL);
    c->thread = std::thread([c]() {
        while (!c->stop.load()) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(c->listener, &set);
            struct timeval wait = {0, 100000};
            if (select(0, &set, NULL, NULL, &wait) <= 0)
                continue;
            SOCKET s = accept(c->listener, NULL, NULL);
            if (s == INVALID_SOCKET)
                return;
            serve_connection(c, s);
            closesocket(s);
        }
    });
    return true;
}

void remove_folder(const std::string &dir)
{
    WIN32_FIND_DATAA e;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &e);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            if (!(e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileA((dir + "\\" + e.cFileName).c_str());
        } while (FindNextFileA(h, &e));
        FindClose(h);
    }
    RemoveDirectoryA(dir.c_str());
}

int count_csv(const std::string &dir)
{
    int n = 0;
    WIN32_FIND_DATAA e;
    HANDLE h = FindFirstFileA((dir + "\\*.csv").c_str(), &e);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    do
        n += !(e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    while (FindNextFileA(h, &e));
    FindClose(h);
    return n;
}

} // namespace

int main(int argc, char **argv)
{
    int records = argc > 1 ? atoi(argv[1]) : 2000;
    std::string base;
    if (argc > 2) {
        base = argv[2];
    } else {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        base = temp;
    }
    if (!base.empty() && (base.back() == '\\' || base.back() == '/'))
        base.pop_back();
    std::string root = base + "\\qv7_bench_client_" + std::to_string(GetCurrentProcessId());
    if (!CreateDirectoryA(root.c_str(), NULL)) {
        fprintf(stderr, "cannot create %s\n", root.c_str());
        return 1;
    }
    WSADATA wsa;
    WSAStartup(MAKEWORD(1, 1), &wsa);

    double ceiling = fsync_rate(root + "\\fsync", 500, 200);

    /* station settings as the load step leaves them, log at its default level */
    std::string resent = root + "\\resent";
    lstrcpyA(plugin_settings.log_path, (root + "\\qv7_sock.log").c_str());
    lstrcpyA(plugin_settings.resent_dir, resent.c_str());
    plugin_settings.log_level = 1;
    plugin_settings.client_enable = 1;
    lstrcpyA(plugin_settings.client_name, "PC1");
    plugin_settings.client_server[0] = 0; /* no server while queueing */
    plugin_settings.server_addr = 0;
    plugin_settings.send_thread_handle = SEND_THREAD_NONE;

    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = host_proc;
    wc.lpszClassName = "bench_host";
    RegisterClassA(&wc);
    HWND host = CreateWindowExA(0, "bench_host", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    g_text = "id,station,value,unit,time\r\n";
    while (g_text.size() < 200)
        g_text += "17,PC1,123.456,mm,2024-01-05T14:03:09\r\n";
    g_text.resize(200);

    unsigned char record[128] = {0}, arg[512] = {0};
    unsigned char *record_ptr = record;
    memcpy(arg + HOST_EVENT_ARG_RECORD, &record_ptr, sizeof record_ptr);
    SYSTEMTIME when;
    GetLocalTime(&when);
    memcpy(record + HOST_RECORD_DATE_TIME, &when, sizeof when);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 1; i <= records; i++) {
        int32_t number = i;
        memcpy(record + HOST_RECORD_NUMBER, &number, sizeof number);
        if (qv7_sock(host, PLUGIN_EVENT_RECORD, arg, 0) != 1) {
            fprintf(stderr, "record %d not stored\n", i);
            return 1;
        }
    }
    double queue_s = seconds_since(t0);
    int queued = count_csv(resent);

    collector c;
    c.dir = root + "\\collected";
    if (!collector_start(&c)) {
        fprintf(stderr, "collector cannot listen\n");
        return 1;
    }
    lstrcpyA(plugin_settings.client_server, "127.0.0.1");
    plugin_settings.client_port = c.port;
    t0 = std::chrono::steady_clock::now();
    send_start();
    while (__atomic_load_n(&plugin_settings.send_thread_handle, __ATOMIC_ACQUIRE) !=
           SEND_THREAD_NONE)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    double deliver_s = seconds_since(t0);
    int left = count_csv(resent);

    /* the machine is shared: measure the ceiling again and take the mean */
    double ceiling_after = fsync_rate(root + "\\fsync", 500, 200);
    printf("ceiling measured before %.0f and after %.0f files/s\n", ceiling, ceiling_after);
    ceiling = (ceiling + ceiling_after) / 2;
    printf("records: %d queued, %d stored by the collector, %d left in the queue\n", queued,
           c.stored, left);
    printf("create+write+flush of 200-byte files: %8.0f files/s (ceiling)\n", ceiling);
    printf("queueing (event entry, no server):    %8.0f records/s  (%.2f of ceiling)\n",
           records / queue_s, records / queue_s / ceiling);
    printf("delivery (one run, durable collector): %8.0f records/s  (%.2f of ceiling, "
           "target >= 0.50)\n",
           records / deliver_s, records / deliver_s / ceiling);

    c.stop = true;
    c.thread.join();
    closesocket(c.listener);
    remove_folder(c.dir);
    remove_folder(resent);
    DeleteFileA(plugin_settings.log_path);
    RemoveDirectoryA(root.c_str());
    return queued == records && c.stored == records && left == 0 ? 0 : 1;
}
