/* The server role in-process: server_start, the server thread and the receive
 * threads against a host window on a thread of its own and a hostile client
 * on loopback. Natively, faults injected through the layer drive every error
 * path that a healthy machine never takes. */
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/hostile_client.h"
#include "frame/contract.h"
#include "frame/settings.h"
#include "server/server.h"
#include "support/filebuf.h"

namespace {

/* ---- a host window on its own thread ------------------------------------- */

#define WM_TEST_QUIT (WM_APP + 1)

/* Answers the folder request and records what the module tells the host. The
 * server threads send synchronously, so the window's thread pumps messages. */
struct test_host {
    std::thread thread;
    HWND window = NULL;
    std::mutex lock;
    std::string dir;      /* answered to WM_HOST_GET_RECV_DIR */
    bool fill_dir = true; /* false: leave the buffer as it came */
    int dir_requests = 0;
    std::vector<std::string> received;
    std::vector<std::string> errors;
};

std::mutex hosts_lock;
std::map<HWND, test_host *> hosts;

test_host *host_of(HWND window)
{
    std::lock_guard<std::mutex> g(hosts_lock);
    auto it = hosts.find(window);
    return it == hosts.end() ? nullptr : it->second;
}

LRESULT CALLBACK test_host_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    test_host *h = host_of(window);
    if (h == nullptr || message == WM_TEST_QUIT) {
        if (message == WM_TEST_QUIT)
            PostQuitMessage(0);
        return DefWindowProcA(window, message, wparam, lparam);
    }
    std::lock_guard<std::mutex> g(h->lock);
    switch (message) {
    case WM_HOST_GET_RECV_DIR:
        h->dir_requests++;
        if (h->fill_dir)
            lstrcpynA((char *)lparam, h->dir.c_str(), MAX_PATH);
        return 1;
    case WM_HOST_FILE_RECEIVED:
        h->received.push_back((const char *)lparam);
        return 1;
    case WM_HOST_SERVER_ERROR:
        h->errors.push_back((const char *)lparam);
        return 1;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

void host_start(test_host *h)
{
    static std::once_flag registered;
    std::call_once(registered, [] {
        WNDCLASSA wc;
        memset(&wc, 0, sizeof wc);
        wc.lpfnWndProc = test_host_proc;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.lpszClassName = "qv7testhost";
        RegisterClassA(&wc);
    });
    std::mutex ready_lock;
    std::unique_lock<std::mutex> ready(ready_lock);
    volatile bool created = false;
    h->thread = std::thread([h, &created] {
        HWND w = CreateWindowExA(0, "qv7testhost", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                                 GetModuleHandleA(NULL), NULL);
        {
            std::lock_guard<std::mutex> g(hosts_lock);
            hosts[w] = h;
            h->window = w;
        }
        __atomic_store_n(&created, true, __ATOMIC_SEQ_CST);
        MSG msg;
        while (GetMessageA(&msg, NULL, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        DestroyWindow(w);
    });
    while (!__atomic_load_n(&created, __ATOMIC_SEQ_CST))
        Sleep(5);
}

void host_stop(test_host *h)
{
    PostMessageA(h->window, WM_TEST_QUIT, 0, 0);
    h->thread.join();
    std::lock_guard<std::mutex> g(hosts_lock);
    hosts.erase(h->window);
}

/* ---- files and the log ---------------------------------------------------- */

std::string root_dir; /* a fresh folder for this run */

bool exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

/* The file's bytes, or "<missing>". */
std::string read_all(const std::string &path)
{
    DWORD size = 0;
    char *data = file_read_buf(path.c_str(), &size);
    if (data == NULL)
        return "<missing>";
    std::string s(data, size);
    mem_free(&data);
    return s;
}

/* Names in a folder (no "." and ".."), sorted. */
std::vector<std::string> list_dir(const std::string &dir)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA e;
    HANDLE f = FindFirstFileA((dir + "\\*").c_str(), &e);
    if (f == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::string n = e.cFileName;
        if (n != "." && n != "..")
            names.push_back(n);
    } while (FindNextFileA(f, &e));
    FindClose(f);
    std::sort(names.begin(), names.end());
    return names;
}

void remove_tree(const std::string &dir)
{
    for (const std::string &n : list_dir(dir)) {
        std::string p = dir + "\\" + n;
        SetFileAttributesA(p.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (GetFileAttributesA(p.c_str()) & FILE_ATTRIBUTE_DIRECTORY)
            remove_tree(p);
        else
            DeleteFileA(p.c_str());
    }
    RemoveDirectoryA(dir.c_str());
}

/* A fresh, empty folder under the run's root. */
std::string fresh_dir(const std::string &name)
{
    std::string dir = root_dir + "\\" + name;
    remove_tree(dir);
    CreateDirectoryA(dir.c_str(), NULL);
    return dir;
}

/* The log's lines without their time stamps: "text" or "text: detail". */
std::vector<std::string> log_lines()
{
    std::string all = read_all(plugin_settings.log_path);
    std::vector<std::string> lines;
    if (all == "<missing>")
        return lines;
    size_t at = 0;
    while (at < all.size()) {
        size_t end = all.find("\r\n", at);
        if (end == std::string::npos)
            end = all.size();
        std::string line = all.substr(at, end - at);
        size_t sep = line.find(": ");
        lines.push_back(sep == std::string::npos ? line : line.substr(sep + 2));
        at = end + 2;
    }
    return lines;
}

int count_of(const std::vector<std::string> &lines, const std::string &line)
{
    return (int)std::count(lines.begin(), lines.end(), line);
}

int count_prefix(const std::vector<std::string> &lines, const std::string &prefix)
{
    int n = 0;
    for (const std::string &l : lines)
        n += l.compare(0, prefix.size(), prefix) == 0;
    return n;
}

/* Waits up to 10 s until some line of the log begins with prefix. */
bool wait_log_prefix(const std::string &prefix)
{
    for (int i = 0; i < 1000; i++) {
        if (count_prefix(log_lines(), prefix) > 0)
            return true;
        Sleep(10);
    }
    return false;
}

/* Waits up to 10 s until the log holds `line` at least n times. */
bool wait_log(const std::string &line, int n = 1)
{
    for (int i = 0; i < 1000; i++) {
        if (count_of(log_lines(), line) >= n)
            return true;
        Sleep(10);
    }
    return false;
}

/* Waits until no thread has written the log for a while, then starts it
 * afresh, so that a test sees only its own lines (threads that write at the
 * same moment lose lines by design, so log tests run one connection at a time). */
void fresh_log()
{
    std::string last = "?";
    for (int i = 0; i < 100; i++) {
        std::string now = read_all(plugin_settings.log_path);
        if (now == last)
            break;
        last = now;
        Sleep(150);
    }
    for (int i = 0; i < 100 && exists(plugin_settings.log_path); i++) {
        DeleteFileA(plugin_settings.log_path);
        Sleep(10);
    }
}

/* ---- one server for the whole program ------------------------------------- */

test_host shared_host;
int shared_port;

/* Starts one more server on port for window h. The call returns at once;
 * whether the server listens shows when a client can connect. */
uintptr_t start_server(test_host *h, int port)
{
    plugin_settings.server_port = port;
    return server_start(h->window);
}

struct server_environment : ::testing::Environment {
    void SetUp() override
    {
        WSADATA wsa;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(1, 1), &wsa));
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        root_dir = std::string(temp) + "qv7_server_" + std::to_string(GetCurrentProcessId());
        remove_tree(root_dir);
        ASSERT_TRUE(CreateDirectoryA(root_dir.c_str(), NULL));
        lstrcpynA(plugin_settings.log_path, (root_dir + "\\qv7_sock.log").c_str(), MAX_PATH);
        plugin_settings.log_level = 2;
        host_start(&shared_host);
        shared_host.dir = fresh_dir("recv");
        shared_port = hc_free_port();
        ASSERT_NE(0, shared_port);
        ASSERT_NE((uintptr_t)-1, start_server(&shared_host, shared_port));
        SOCKET s = hc_connect(shared_port);
        ASSERT_NE(INVALID_SOCKET, s);
        ASSERT_EQ("+OK", hc_line(s));
        hc_close(s);
    }
    void TearDown() override
    {
        /* Servers never stop: their threads, and the window they send to, end
         * with the process. */
        shared_host.thread.detach();
        remove_tree(root_dir);
    }
};

::testing::Environment *const environment =
    ::testing::AddGlobalTestEnvironment(new server_environment);

/* A connection to the shared server past its greeting. */
SOCKET station()
{
    SOCKET s = hc_connect(shared_port);
    EXPECT_NE(INVALID_SOCKET, s);
    EXPECT_EQ("+OK", hc_line(s));
    return s;
}

/* Points the shared host at dir and clears what it recorded. */
void host_reset(const std::string &dir, bool fill = true)
{
    std::lock_guard<std::mutex> g(shared_host.lock);
    shared_host.dir = dir;
    shared_host.fill_dir = fill;
    shared_host.dir_requests = 0;
    shared_host.received.clear();
    shared_host.errors.clear();
}

std::vector<std::string> host_received()
{
    std::lock_guard<std::mutex> g(shared_host.lock);
    return shared_host.received;
}

int host_dir_requests()
{
    std::lock_guard<std::mutex> g(shared_host.lock);
    return shared_host.dir_requests;
}

/* ---- the conversation ----------------------------------------------------- */

/* One connection, one file, every log line of both threads in order. */
TEST(Server, OneFileLogsEveryStepInOrder)
{
    std::string dir = fresh_dir("one");
    host_reset(dir);
    fresh_log();
    SOCKET s = station();
    EXPECT_EQ("+OK +OK", hc_file(s, "7_20240105_140309_PC1.csv", "1,2,3\r\n"));
    hc_close(s);
    ASSERT_TRUE(wait_log("End Recv Thread"));
    std::vector<std::string> expected = {
        "accept",
        "Start Recv Thread",
        "S: +OK",
        "R: 7_20240105_140309_PC1.csv",
        "S: +OK",
        "Recv File",
        "R: " + hc_base64("1,2,3\r\n"),
        "CopyFile",
        "S: +OK",
        "closesocket(Recv)",
        "End Recv Thread",
    };
    EXPECT_EQ(expected, log_lines());
    EXPECT_EQ("1,2,3\r\n", read_all(dir + "\\7_20240105_140309_PC1.csv"));
    EXPECT_EQ(std::vector<std::string>{"7_20240105_140309_PC1.csv"}, list_dir(dir));
    EXPECT_EQ(std::vector<std::string>{"7_20240105_140309_PC1.csv"}, host_received());
    EXPECT_EQ(1, host_dir_requests());
}

/* Several files on one connection: each asks for its folder once, is stored
 * byte for byte (empty and binary included), replaces a file of the same name,
 * and is reported to the host by its bare name. */
TEST(Server, ManyFilesOnOneConnection)
{
    std::string dir = fresh_dir("many");
    host_reset(dir);
    std::string binary;
    for (int i = 0; i < 70000; i++)
        binary += (char)((i * 7 + i / 256) & 0xFF);
    struct {
        std::string name, content;
    } files[] = {
        {"empty.csv", ""},
        {"binary.bin", binary},
        {"one", "x"},
        {"two", "xy"},
        {"replaced.csv", "first version, longer than the second"},
        {"replaced.csv", "second"},
    };
    SOCKET s = station();
    for (auto &f : files)
        EXPECT_EQ("+OK +OK", hc_file(s, f.name, f.content)) << f.name;
    hc_close(s);
    EXPECT_EQ("", read_all(dir + "\\empty.csv"));
    EXPECT_EQ(binary, read_all(dir + "\\binary.bin"));
    EXPECT_EQ("x", read_all(dir + "\\one"));
    EXPECT_EQ("xy", read_all(dir + "\\two"));
    EXPECT_EQ("second", read_all(dir + "\\replaced.csv"));
    std::vector<std::string> names = {"binary.bin", "empty.csv", "one", "replaced.csv", "two"};
    EXPECT_EQ(names, list_dir(dir)) << "no temporary file stays behind";
    std::vector<std::string> told = {"empty.csv", "binary.bin", "one", "two", "replaced.csv",
                                     "replaced.csv"};
    EXPECT_EQ(told, host_received());
    EXPECT_EQ(6, host_dir_requests());
}

/* The host may name another folder for every file. */
TEST(Server, FolderAskedAfresh)
{
    std::string a = fresh_dir("folder_a");
    std::string b = fresh_dir("folder_b");
    SOCKET s = station();
    host_reset(a);
    EXPECT_EQ("+OK +OK", hc_file(s, "f.csv", "A"));
    host_reset(b);
    EXPECT_EQ("+OK +OK", hc_file(s, "f.csv", "B"));
    hc_close(s);
    EXPECT_EQ("A", read_all(a + "\\f.csv"));
    EXPECT_EQ("B", read_all(b + "\\f.csv"));
}

/* ---- names ---------------------------------------------------------------- */

/* Names that would leave the folder, name a device or nothing at all are
 * answered "+OK" (every name is) and "-ERR" for their data; nothing is written
 * anywhere and the connection goes on. Names that merely look alike are kept. */
TEST(Server, NamesThatLeaveTheFolderAreRefused)
{
    std::string outer = fresh_dir("names");
    std::string dir = outer + "\\in";
    CreateDirectoryA(dir.c_str(), NULL);
    host_reset(dir);
    const char *refused[] = {
        "..\\x", "../x", "C:x", "a/b", "a\\b", "", ".", "..", "...", ". .", "x:stream",
        "\x01" "a", "a\x1f", "a\x7f", "tab\there", "new\nline", "CON", "con", "NUL.txt",
        "aux.csv", "PRN", "COM1", "com9.csv", "LPT1", "lpt9.txt", "CON .csv", "CONIN$",
        "conout$",
    };
    fresh_log();
    SOCKET s = station();
    for (const char *name : refused)
        EXPECT_EQ("+OK -ERR", hc_file(s, name, "data")) << "[" << name << "]";
    const char *kept[] = {"..a", "a..b", "CONFIG.csv", "COM10", "COM0", "LPT", "NULL.txt",
                          "a b.csv", ".hidden", "x.y.z"};
    for (const char *name : kept)
        EXPECT_EQ("+OK +OK", hc_file(s, name, name)) << "[" << name << "]";
    hc_close(s);
    ASSERT_TRUE(wait_log("End Recv Thread"));
    EXPECT_EQ((int)(sizeof refused / sizeof refused[0]), count_prefix(log_lines(), "Error(name): "));
    EXPECT_EQ(std::vector<std::string>{"in"}, list_dir(outer)) << "nothing beside the folder";
    std::vector<std::string> stored(std::begin(kept), std::end(kept));
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(stored, list_dir(dir));
    for (const char *name : kept)
        EXPECT_EQ(name, read_all(dir + "\\" + name));
    EXPECT_EQ((int)(sizeof kept / sizeof kept[0]), host_dir_requests())
        << "a refused name does not ask for a folder";
}

/* A name line is kept up to 258 characters; folder, separator and name must
 * fit 259 characters or the file is refused before any path is built. */
TEST(Server, LongNamesAreCutAndPathsNeverOverflow)
{
    std::string dir = fresh_dir("long");
    host_reset(dir);
    int room = MAX_PATH - 1 - (int)dir.size() - 1; /* characters left for the name */
    ASSERT_GT(room, 20);
    ASSERT_LT(room, 256);
    std::string fits(room, 'f');
    std::string too_long(room + 1, 'g');
    fresh_log();
    SOCKET s = station();
    EXPECT_EQ("+OK +OK", hc_file(s, fits, "fits"));
    EXPECT_EQ("+OK -ERR", hc_file(s, too_long, "too long"));
    /* 10,000 characters whose 300th is a separator: the cut name (258 'h')
     * holds none, so the refusal is for its length, not for the separator. */
    std::string huge(10000, 'h');
    huge[299] = '/';
    EXPECT_EQ("+OK -ERR", hc_file(s, huge, "huge"));
    EXPECT_EQ("+OK +OK", hc_file(s, "after.csv", "after")) << "the connection goes on";
    hc_close(s);
    ASSERT_TRUE(wait_log("End Recv Thread"));
    std::vector<std::string> lines = log_lines();
    EXPECT_EQ(1, count_of(lines, "R: " + huge)) << "the whole line is traced";
    EXPECT_EQ(2, count_prefix(lines, "Error(path): "));
    EXPECT_EQ(0, count_prefix(lines, "Error(name): "));
    std::vector<std::string> names = {"after.csv", fits};
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, list_dir(dir));
    EXPECT_EQ("fits", read_all(dir + "\\" + fits));
}

/* In code page 932 the second byte of a double-byte character may be 0x5C,
 * the code of "\": such a name is one name, stored as sent. */
TEST(Server, DoubleByteNamesKeepTheirTrailBytes)
{
    if (GetACP() != 932)
        GTEST_SKIP() << "needs ANSI code page 932";
    std::string dir = fresh_dir("dbcs");
    host_reset(dir);
    std::string name = "\x95\x5C_\x83\x5C.csv"; /* two characters whose trail byte is 0x5C */
    SOCKET s = station();
    EXPECT_EQ("+OK +OK", hc_file(s, name, "dbcs"));
    EXPECT_EQ("+OK -ERR", hc_file(s, "\x95\x5C\\x", "sep")) << "a real separator still counts";
    hc_close(s);
    EXPECT_EQ("dbcs", read_all(dir + "\\" + name));
    EXPECT_EQ(std::vector<std::string>{name}, list_dir(dir));
}

/* ---- storing fails, the connection goes on -------------------------------- */

TEST(Server, StoreFailuresAnswerErrAndGoOn)
{
    std::string dir = fresh_dir("fail");
    std::string missing = root_dir + "\\no_such_folder";
    fresh_log();
    SOCKET s = station();
    host_reset(missing);
    EXPECT_EQ("+OK -ERR", hc_file(s, "lost.csv", "lost"));
    host_reset(dir, false); /* the host leaves the folder unfilled */
    EXPECT_EQ("+OK -ERR", hc_file(s, "unfilled.csv", "unfilled"));
    host_reset(dir);
    EXPECT_EQ("+OK +OK", hc_file(s, "ok.csv", "ok"));
    hc_close(s);
    ASSERT_TRUE(wait_log("End Recv Thread"));
    EXPECT_FALSE(exists(missing));
    EXPECT_EQ(std::vector<std::string>{"ok.csv"}, list_dir(dir));
    EXPECT_EQ(std::vector<std::string>{"ok.csv"}, host_received());
    std::vector<std::string> errors;
    for (const std::string &l : log_lines())
        if (l.compare(0, 6, "Error(") == 0)
            errors.push_back(l.substr(0, l.find(')') + 1));
    EXPECT_EQ((std::vector<std::string>{"Error(file_write_buf)", "Error(recv_dir)"}), errors);
}

/* A final name that cannot be replaced: the copy fails, the temporary file is
 * deleted, the old file stays, the host is not told, and the connection goes
 * on. */
TEST(Server, FinalNameThatCannotBeReplaced)
{
    std::string dir = fresh_dir("held");
    host_reset(dir);
    std::string open_file = dir + "\\open.csv";
    std::string folder = dir + "\\folder.csv";
    std::string read_only = dir + "\\read_only.csv";
    ASSERT_TRUE(file_write_buf(open_file.c_str(), "old", 3));
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL));
    ASSERT_TRUE(file_write_buf(read_only.c_str(), "old", 3));
    ASSERT_TRUE(SetFileAttributesA(read_only.c_str(), FILE_ATTRIBUTE_READONLY));
    HANDLE held = CreateFileA(open_file.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    std::vector<std::string> names = {"open.csv", "folder.csv"};
#ifndef _WIN32
    /* Windows refuses to replace a read-only file; Wine's CopyFile does not. */
    names.push_back("read_only.csv");
#endif
    fresh_log();
    SOCKET s = station();
    for (const std::string &name : names)
        EXPECT_EQ("+OK -ERR", hc_file(s, name, "new")) << name;
    EXPECT_EQ("+OK +OK", hc_file(s, "ok.csv", "ok"));
    hc_close(s);
    CloseHandle(held);
    ASSERT_TRUE(wait_log("End Recv Thread"));
    EXPECT_EQ("old", read_all(open_file));
    EXPECT_EQ("old", read_all(read_only));
    EXPECT_EQ((std::vector<std::string>{"folder.csv", "ok.csv", "open.csv", "read_only.csv"}),
              list_dir(dir))
        << "no temporary file stays behind";
    EXPECT_EQ(std::vector<std::string>{"ok.csv"}, host_received());
    std::vector<std::string> lines = log_lines();
    EXPECT_EQ((int)names.size(), count_prefix(lines, "Error(CopyFile): "));
    EXPECT_EQ((int)names.size() + 1, count_of(lines, "CopyFile"));
    SetFileAttributesA(read_only.c_str(), FILE_ATTRIBUTE_NORMAL);
}

/* ---- a hostile client ----------------------------------------------------- */

/* Broken lines never end a line early, never crash the server and never leave
 * a file behind; after each the server still serves a polite station. */
TEST(Server, HostileInputIsSurvived)
{
    std::string dir = fresh_dir("hostile");
    host_reset(dir);
    std::string garbage;
    for (int i = 0; i < 20000; i++) {
        char c = (char)((i * 131) & 0xFF);
        garbage += c == '\r' ? 'r' : c; /* anything but a line end */
    }

    /* Lone CR and LF are bytes of the line: the name is "a\nb\rc", refused. */
    SOCKET s = station();
    EXPECT_EQ("+OK -ERR", hc_file(s, "a\nb\rc", "x"));
    /* Base64 with foreign characters still decodes group by group: 4 + 1
     * characters give 3 bytes. */
    EXPECT_TRUE(hc_send(s, "foreign.bin\r\n"));
    EXPECT_EQ("+OK", hc_line(s));
    EXPECT_TRUE(hc_send(s, "QU*JD\r\n"));
    EXPECT_EQ("+OK", hc_line(s));
    EXPECT_EQ(3u, read_all(dir + "\\foreign.bin").size());
    /* A name with a zero byte is the text before it. */
    EXPECT_TRUE(hc_send(s, std::string("zero\0tail\r\n", 11)));
    EXPECT_EQ("+OK", hc_line(s));
    EXPECT_TRUE(hc_send(s, hc_base64("z") + "\r\n"));
    EXPECT_EQ("+OK", hc_line(s));
    EXPECT_EQ("z", read_all(dir + "\\zero"));
    hc_close(s);

    /* Garbage without CR LF, then the client half-closes: no reply, the
     * server closes. */
    s = station();
    EXPECT_TRUE(hc_send(s, garbage));
    shutdown(s, SD_SEND);
    EXPECT_TRUE(hc_closed(s));
    closesocket(s);

    /* Stops in the middle of the data line and resets. */
    s = station();
    EXPECT_TRUE(hc_send(s, "cut.csv\r\n"));
    EXPECT_EQ("+OK", hc_line(s));
    EXPECT_TRUE(hc_send(s, hc_base64(garbage).substr(0, 5000)));
    hc_reset(s);

    /* Resets right after the greeting, and in the middle of a name. */
    s = station();
    hc_reset(s);
    s = station();
    EXPECT_TRUE(hc_send(s, "half"));
    hc_reset(s);

    /* Closes right after its name was answered. */
    s = station();
    EXPECT_TRUE(hc_send(s, "gone.csv\r\n"));
    EXPECT_EQ("+OK", hc_line(s));
    hc_close(s);

    s = station();
    EXPECT_EQ("+OK +OK", hc_file(s, "polite.csv", "still here"));
    hc_close(s);
    EXPECT_EQ((std::vector<std::string>{"foreign.bin", "polite.csv", "zero"}), list_dir(dir));
}

/* Silent connections each hold a receive thread, and the server keeps
 * greeting and serving new stations all the while. */
TEST(Server, SilentConnectionsDoNotBlockOthers)
{
    std::string dir = fresh_dir("silent");
    host_reset(dir);
    std::vector<SOCKET> silent;
    for (int i = 0; i < 200; i++) {
        SOCKET s = hc_connect(shared_port);
        ASSERT_NE(INVALID_SOCKET, s) << i;
        silent.push_back(s);
        ASSERT_EQ("+OK", hc_line(s)) << "greeting of connection " << i;
    }
    /* One of them is half-way through a file and stays silent. */
    EXPECT_TRUE(hc_send(silent[0], "pending.csv\r\n"));
    EXPECT_EQ("+OK", hc_line(silent[0]));
    SOCKET s = station();
    EXPECT_EQ("+OK +OK", hc_file(s, "busy.csv", "served"));
    hc_close(s);
    for (SOCKET t : silent)
        hc_close(t);
    EXPECT_EQ(std::vector<std::string>{"busy.csv"}, list_dir(dir));
}

/* Stations that connect at the same moment, again and again while the server
 * is busy storing, are each greeted: none is left waiting for a greeting that
 * never comes (a listen queue of one let Linux complete connections with SYN
 * cookies that the server never saw). */
TEST(Server, SimultaneousStationsAreAllGreeted)
{
    std::string dir = fresh_dir("burst");
    host_reset(dir);
    const int n = 64, rounds = 3;
    std::vector<std::string> results(n);
    std::vector<std::thread> threads;
    for (int i = 0; i < n; i++)
        threads.emplace_back([i, &results] {
            for (int r = 0; r < rounds; r++) {
                SOCKET s = hc_connect(shared_port);
                int ok = 0;
                std::string greeting = s == INVALID_SOCKET ? "" : hc_line(s, &ok);
                if (!ok) {
                    results[i] = "round " + std::to_string(r) + ": no greeting";
                    if (s != INVALID_SOCKET)
                        closesocket(s);
                    return;
                }
                std::string name = std::to_string(i) + "_" + std::to_string(r) + ".csv";
                results[i] = hc_file(s, name, name);
                hc_close(s);
                if (results[i] != "+OK +OK")
                    return;
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(std::vector<std::string>(n, "+OK +OK"), results);
    EXPECT_EQ((size_t)(n * rounds), list_dir(dir).size());
}

/* Two connections that interleave their files each store their own. */
TEST(Server, InterleavedConnections)
{
    std::string dir = fresh_dir("interleaved");
    host_reset(dir);
    SOCKET a = station();
    SOCKET b = station();
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ("+OK +OK", hc_file(a, "a" + std::to_string(i), "from a"));
        EXPECT_EQ("+OK +OK", hc_file(b, "b" + std::to_string(i), "from b"));
    }
    /* Both name a file and send their data lines before either answer is read. */
    EXPECT_TRUE(hc_send(a, "same.csv\r\n"));
    EXPECT_TRUE(hc_send(b, "same.csv\r\n"));
    EXPECT_EQ("+OK", hc_line(a));
    EXPECT_EQ("+OK", hc_line(b));
    EXPECT_TRUE(hc_send(a, hc_base64("AAAA") + "\r\n"));
    EXPECT_TRUE(hc_send(b, hc_base64("BBBB") + "\r\n"));
    EXPECT_EQ("+OK", hc_line(a));
    EXPECT_EQ("+OK", hc_line(b));
    hc_close(a);
    hc_close(b);
    std::string same = read_all(dir + "\\same.csv");
    EXPECT_TRUE(same == "AAAA" || same == "BBBB") << same;
    EXPECT_EQ(7u, list_dir(dir).size());
}

/* ---- servers -------------------------------------------------------------- */

/* A second server on a busy port reports "bind" to its own window and ends;
 * the first goes on serving. */
TEST(Server, SecondServerOnTheSamePortReportsBind)
{
    test_host second;
    host_start(&second);
    fresh_log();
    uintptr_t thread = start_server(&second, shared_port);
    EXPECT_NE((uintptr_t)-1, thread);
    ASSERT_TRUE(wait_log("End Server Thread"));
    {
        std::lock_guard<std::mutex> g(second.lock);
        EXPECT_EQ(std::vector<std::string>{"bind"}, second.errors);
    }
    std::vector<std::string> lines = log_lines();
    ASSERT_EQ(6u, lines.size());
    EXPECT_EQ("Start Server", lines[0]);
    EXPECT_EQ("Start Server Thread", lines[1]);
    EXPECT_EQ("socket", lines[2]);
    EXPECT_EQ("bind", lines[3]);
    EXPECT_EQ(0u, lines[4].find("Error(bind): ")) << lines[4];
    EXPECT_EQ("End Server Thread", lines[5]);
    host_stop(&second);
    {
        std::lock_guard<std::mutex> g(shared_host.lock);
        EXPECT_TRUE(shared_host.errors.empty());
    }
    std::string dir = fresh_dir("second");
    host_reset(dir);
    SOCKET s = station();
    EXPECT_EQ("+OK +OK", hc_file(s, "first.csv", "still serving"));
    hc_close(s);
}

/* The port is the low 16 bits of the setting. */
TEST(Server, PortUsesLow16Bits)
{
    int port = hc_free_port();
    ASSERT_NE(0, port);
    test_host *h = new test_host; /* lives on with its server */
    host_start(h);
    EXPECT_NE((uintptr_t)-1, start_server(h, port + 0x30000));
    SOCKET s = hc_connect(port);
    ASSERT_NE(INVALID_SOCKET, s);
    EXPECT_EQ("+OK", hc_line(s));
    hc_close(s);
}

#ifndef _WIN32
/* ---- faults through the layer (native) ------------------------------------ */

struct fault_guard {
    ~fault_guard() { qv7_fault_clear(); }
};

/* Each setup failure ends the server with its own report and log lines. */
TEST(ServerFaults, SetupFailuresReportTheCall)
{
    struct {
        const char *call;
        DWORD code;
        std::vector<std::string> lines; /* after "Start Server", "Start Server Thread" */
    } cases[] = {
        {"socket", WSAEMFILE, {"socket", "Error(socket)", "End Server Thread"}},
        {"bind", WSAEADDRINUSE, {"socket", "bind", "Error(bind)", "End Server Thread"}},
        {"listen", WSAENOBUFS,
         {"socket", "bind", "listen", "Error(listen)", "End Server Thread"}},
        {"select", WSAENETDOWN,
         {"socket", "bind", "listen", "Error(select)", "closesocket(Server)",
          "End Server Thread"}},
    };
    for (auto &c : cases) {
        fault_guard guard;
        test_host h;
        host_start(&h);
        int port = hc_free_port();
        fresh_log();
        qv7_fault_set(c.call, 1, 1, c.code);
        EXPECT_NE((uintptr_t)-1, start_server(&h, port)) << c.call;
        ASSERT_TRUE(wait_log("End Server Thread")) << c.call;
        qv7_fault_clear();
        std::vector<std::string> lines;
        for (std::string l : log_lines())
            lines.push_back(l.compare(0, 6, "Error(") == 0 ? l.substr(0, l.find(')') + 1) : l);
        std::vector<std::string> expected = {"Start Server", "Start Server Thread"};
        expected.insert(expected.end(), c.lines.begin(), c.lines.end());
        EXPECT_EQ(expected, lines) << c.call;
        {
            std::lock_guard<std::mutex> g(h.lock);
            EXPECT_EQ(std::vector<std::string>{c.call}, h.errors);
        }
        host_stop(&h);
        /* The port is free again: the failed server closed its socket. */
        if (strcmp(c.call, "socket") != 0) {
            SOCKET probe = socket(AF_INET, SOCK_STREAM, 0);
            struct sockaddr_in addr;
            memset(&addr, 0, sizeof addr);
            addr.sin_family = AF_INET;
            addr.sin_port = htons((u_short)port);
            addr.sin_addr.s_addr = htonl(INADDR_ANY);
            EXPECT_EQ(0, bind(probe, (struct sockaddr *)&addr, sizeof addr)) << c.call;
            closesocket(probe);
        }
    }
}

/* server_start itself: no record or no thread gives -1; only the allocation
 * failure is logged. */
TEST(ServerFaults, ServerStartFailures)
{
    fault_guard guard;
    fresh_log();
    qv7_fault_set("LocalAlloc", 1, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ((uintptr_t)-1, server_start(shared_host.window));
    qv7_fault_set("_beginthread", 1, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ((uintptr_t)-1, server_start(shared_host.window));
    qv7_fault_clear();
    std::vector<std::string> lines = log_lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("Start Server", lines[0]);
    EXPECT_EQ(0u, lines[1].find("Error(mem_alloc): "));
    EXPECT_EQ("Start Server", lines[2]);
}

/* A connection that cannot be taken is closed before any greeting; the server
 * then takes the next one as usual. */
TEST(ServerFaults, AcceptFailuresCloseTheConnectionAndGoOn)
{
    struct {
        const char *call;
        DWORD code;
        const char *label;
    } cases[] = {
        {"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, "Error(mem_alloc)"},
        {"_beginthread", ERROR_NOT_ENOUGH_MEMORY, "Error(_beginthread)"},
    };
    std::string dir = fresh_dir("accept_faults");
    host_reset(dir);
    for (auto &c : cases) {
        fault_guard guard;
        fresh_log();
        qv7_fault_set(c.call, 1, 1, c.code);
        SOCKET s = hc_connect(shared_port);
        ASSERT_NE(INVALID_SOCKET, s);
        EXPECT_TRUE(hc_closed(s)) << c.call << ": closed without a greeting";
        closesocket(s);
        qv7_fault_clear();
        std::vector<std::string> lines = log_lines();
        ASSERT_EQ(2u, lines.size()) << c.call;
        EXPECT_EQ("accept", lines[0]);
        EXPECT_EQ(0u, lines[1].find(c.label)) << lines[1];
        s = station();
        EXPECT_EQ("+OK +OK", hc_file(s, std::string(c.call) + ".csv", "next"));
        hc_close(s);
    }
    fault_guard guard;
    fresh_log();
    qv7_fault_set("accept", 1, 1, WSAECONNABORTED);
    SOCKET s = hc_connect(shared_port);
    EXPECT_TRUE(wait_log_prefix("Error(accept): "));
    closesocket(s);
    qv7_fault_clear();
    s = station();
    EXPECT_EQ("+OK +OK", hc_file(s, "after_accept.csv", "next"));
    hc_close(s);
}

/* The greeting cannot be sent: the thread ends without "closesocket(Recv)". */
TEST(ServerFaults, GreetingSendFails)
{
    fault_guard guard;
    fresh_log();
    qv7_fault_set("send", 1, 1, WSAECONNRESET);
    SOCKET s = hc_connect(shared_port);
    ASSERT_NE(INVALID_SOCKET, s);
    ASSERT_TRUE(wait_log("End Recv Thread"));
    qv7_fault_clear();
    EXPECT_TRUE(hc_closed(s));
    closesocket(s);
    std::vector<std::string> lines = log_lines();
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ("Start Recv Thread", lines[1]);
    EXPECT_EQ("S: +OK", lines[2]);
    EXPECT_EQ(0u, lines[3].find("Error(send): "));
    EXPECT_EQ("End Recv Thread", lines[4]);
}

/* No memory for the decode buffer: "-ERR", then the connection ends. The
 * count of allocations for one data line is measured on a first file. */
TEST(ServerFaults, NoDecodeBufferEndsTheConnection)
{
    std::string dir = fresh_dir("decode_fault");
    host_reset(dir);
    fault_guard guard;
    SOCKET s = station();
    std::string data = hc_base64("same size") + "\r\n";
    EXPECT_TRUE(hc_send(s, "first.csv\r\n"));
    EXPECT_EQ("+OK", hc_line(s));
    unsigned before = qv7_fault_calls("LocalAlloc");
    EXPECT_TRUE(hc_send(s, data));
    EXPECT_EQ("+OK", hc_line(s));
    unsigned per_file = qv7_fault_calls("LocalAlloc") - before;
    ASSERT_GE(per_file, 2u) << "the line and the decode buffer";
    EXPECT_TRUE(hc_send(s, "second.csv\r\n"));
    EXPECT_EQ("+OK", hc_line(s));
    fresh_log();
    qv7_fault_set("LocalAlloc", per_file, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(hc_send(s, data));
    EXPECT_EQ("-ERR", hc_line(s));
    EXPECT_TRUE(hc_closed(s));
    closesocket(s);
    ASSERT_TRUE(wait_log("End Recv Thread"));
    std::vector<std::string> lines = log_lines();
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ("R: " + hc_base64("same size"), lines[0]);
    EXPECT_EQ(0u, lines[1].find("Error(mem_alloc): "));
    EXPECT_EQ("S: -ERR", lines[2]);
    EXPECT_EQ("closesocket(Recv)", lines[3]);
    EXPECT_EQ(std::vector<std::string>{"first.csv"}, list_dir(dir));
}

/* The copy fails: the temporary file is deleted and the file is refused. A
 * final file that cannot be flushed is refused too. */
TEST(ServerFaults, CopyFailureDeletesTheTemporaryFile)
{
    std::string dir = fresh_dir("copy_fault");
    host_reset(dir);
    fault_guard guard;
    SOCKET s = station();
    qv7_fault_set("CopyFileA", 1, 1, ERROR_DISK_FULL);
    EXPECT_EQ("+OK -ERR", hc_file(s, "copy.csv", "copy"));
    qv7_fault_clear();
    EXPECT_TRUE(list_dir(dir).empty());
    fresh_log();
    qv7_fault_set("FlushFileBuffers", 1, 0, ERROR_DISK_FULL);
    EXPECT_EQ("+OK -ERR", hc_file(s, "flush.csv", "flush"));
    qv7_fault_clear();
    EXPECT_EQ("+OK +OK", hc_file(s, "fine.csv", "fine"));
    hc_close(s);
    EXPECT_EQ(1, count_prefix(log_lines(), "Error(file_flush_durable): "));
    EXPECT_EQ(std::vector<std::string>{"fine.csv"}, host_received()) << "never told of a file not on disk";
}

/* The temporary name: one per connection, the record's whole address in
 * upper-case hexadecimal. A write that fails leaves it behind, which shows it. */
TEST(ServerFaults, TemporaryNamePerConnection)
{
    std::string dir = fresh_dir("temp_names");
    host_reset(dir);
    fault_guard guard;
    SOCKET a = station();
    SOCKET b = station();
    qv7_fault_set("WriteFile", 1, 0, ERROR_DISK_FULL); /* every write fails */
    for (int i = 0; i < 3; i++)
        EXPECT_EQ("+OK -ERR", hc_file(a, "a" + std::to_string(i), "a"));
    std::vector<std::string> after_a = list_dir(dir);
    EXPECT_EQ("+OK -ERR", hc_file(b, "b", "b"));
    qv7_fault_clear();
    std::vector<std::string> after_b = list_dir(dir);
    hc_close(a);
    hc_close(b);
    ASSERT_EQ(1u, after_a.size()) << "three files, one temporary name";
    ASSERT_EQ(2u, after_b.size()) << "two connections, two temporary names";
    for (const std::string &n : after_b) {
        ASSERT_GT(n.size(), 4u);
        std::string hex = n.substr(0, n.size() - 4);
        EXPECT_EQ(".tmp", n.substr(n.size() - 4));
        EXPECT_EQ(std::string::npos, hex.find_first_not_of("0123456789ABCDEF")) << n;
        EXPECT_NE('0', hex[0]) << n;
        if (sizeof(void *) == 8) {
            EXPECT_GT(hex.size(), 8u) << "the whole 64-bit address: " << n;
        }
    }
}
#endif

} // namespace
