#include "client_env.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client/protocol.h"
#include "frame/contract.h"
#include "frame/settings.h"

static int g_scratch_counter;

std::string ce_make_scratch(void)
{
    char temp[MAX_PATH];
    DWORD n = GetTempPathA(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH - 40)
        return "";
    std::string base(temp);
    if (base.back() == '\\' || base.back() == '/')
        base.pop_back();
    for (int tries = 0; tries < 1000; tries++) {
        char name[64];
        wsprintfA(name, "\\qv7c_%lu_%d", (unsigned long)GetCurrentProcessId(), ++g_scratch_counter);
        std::string dir = base + name;
        if (CreateDirectoryA(dir.c_str(), NULL))
            return dir;
    }
    return "";
}

void ce_remove_tree(const std::string &dir)
{
    if (dir.empty())
        return;
    WIN32_FIND_DATAA e;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &e);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string name = e.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string path = dir + "\\" + name;
            if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                ce_remove_tree(path);
            else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(h, &e));
        FindClose(h);
    }
    RemoveDirectoryA(dir.c_str());
}

void ce_settings(const std::string &scratch, int port, bool make_resent)
{
    static bool started;
    if (!started) {
        WSADATA data;
        WSAStartup(MAKEWORD(1, 1), &data);
        started = true;
    }
    std::string log = scratch + "\\qv7_sock.log";
    std::string resent = scratch + "\\resent";
    DeleteFileA(log.c_str());
    if (make_resent)
        CreateDirectoryA(resent.c_str(), NULL);
    lstrcpyA(plugin_settings.log_path, log.c_str());
    lstrcpyA(plugin_settings.resent_dir, resent.c_str());
    lstrcpyA(plugin_settings.ini_path, (scratch + "\\qv7_sock.ini").c_str());
    plugin_settings.log_level = 2;
    plugin_settings.server_port = 1501;
    plugin_settings.client_enable = 1;
    lstrcpyA(plugin_settings.client_name, "PC1");
    lstrcpyA(plugin_settings.client_server, "127.0.0.1");
    plugin_settings.client_port = port;
    plugin_settings.server_addr = 0;
    plugin_settings.send_thread_handle = SEND_THREAD_NONE;
}

std::vector<std::string> ce_log(void)
{
    int ok = 0;
    std::string all = ce_read(plugin_settings.log_path, &ok);
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < all.size()) {
        size_t end = all.find("\r\n", pos);
        if (end == std::string::npos)
            end = all.size();
        std::string line = all.substr(pos, end - pos);
        size_t sep = line.find(": ");
        lines.push_back(sep == std::string::npos ? line : line.substr(sep + 2));
        pos = end + 2;
    }
    return lines;
}

int ce_log_count(const std::string &line, bool prefix)
{
    int n = 0;
    for (const std::string &l : ce_log())
        if (prefix ? l.compare(0, line.size(), line) == 0 : l == line)
            n++;
    return n;
}

bool ce_write(const std::string &path, const std::string &bytes)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = bytes.empty() ||
              WriteFile(h, bytes.data(), (DWORD)bytes.size(), &written, NULL);
    CloseHandle(h);
    return ok && written == bytes.size();
}

std::string ce_read(const std::string &path, int *ok)
{
    if (ok)
        *ok = 0;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return "";
    std::string bytes;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, NULL) && got > 0)
        bytes.append(buf, got);
    CloseHandle(h);
    if (ok)
        *ok = 1;
    return bytes;
}

bool ce_exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> ce_list(const std::string &dir, const std::string &pattern)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA e;
    HANDLE h = FindFirstFileA((dir + "\\" + pattern).c_str(), &e);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (!(e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(e.cFileName);
    } while (FindNextFileA(h, &e));
    FindClose(h);
    std::sort(names.begin(), names.end());
    return names;
}

bool ce_wait_run_end(int wait_ms)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
        if (__atomic_load_n(&plugin_settings.send_thread_handle, __ATOMIC_ACQUIRE) ==
                SEND_THREAD_NONE &&
            ce_log_count("End Send Thread") == ce_log_count("Start Send Thread"))
            return true;
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int ce_run(int wait_ms)
{
    int r = send_start();
    if (!ce_wait_run_end(wait_ms))
        return -1;
    return r;
}

static ce_host *g_host;

static LRESULT CALLBACK ce_host_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (g_host && message == WM_HOST_GET_CSV) {
        g_host->get_calls++;
        g_host->last_record = lparam;
        return (LRESULT)g_host->text;
    }
    if (g_host && message == WM_HOST_FREE_CSV) {
        g_host->free_calls++;
        g_host->last_freed = lparam;
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

bool ce_host_open(ce_host *host)
{
    static bool registered;
    if (!registered) {
        WNDCLASSA wc;
        memset(&wc, 0, sizeof wc);
        wc.lpfnWndProc = ce_host_proc;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.lpszClassName = "qv7_test_host";
        registered = RegisterClassA(&wc) != 0;
    }
    g_host = host;
    host->window = CreateWindowExA(0, "qv7_test_host", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                                   GetModuleHandleA(NULL), NULL);
    return host->window != NULL;
}

void ce_host_close(ce_host *host)
{
    if (host->window)
        DestroyWindow(host->window);
    host->window = NULL;
    g_host = nullptr;
}

int ce_raise_record(ce_host *host, int32_t number, const SYSTEMTIME &when)
{
    unsigned char record[128];
    unsigned char arg[512];
    memset(record, 0xCC, sizeof record); /* fields the entry must not read */
    memset(arg, 0xCC, sizeof arg);
    memcpy(record + HOST_RECORD_NUMBER, &number, sizeof number);
    memcpy(record + HOST_RECORD_DATE_TIME, &when, sizeof when);
    unsigned char *p = record;
    memcpy(arg + HOST_EVENT_ARG_RECORD, &p, sizeof p);
    return qv7_sock(host->window, PLUGIN_EVENT_RECORD, arg, 0);
}
