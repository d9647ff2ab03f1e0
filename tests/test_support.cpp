// The support services: the diagnostic log, the file and memory helpers and
// the Base64 codec. Runs natively and under Wine; fault injection and guarded
// pages only natively.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <spawn.h>
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

#include "frame/settings.h"
#include "common/client_env.h"
#include "support/base64.h"
#include "support/filebuf.h"
#include "support/log.h"

namespace {

// ---------------------------------------------------------------- helpers

/* Scratch folders and file checks shared by the test programs. */
std::string make_temp_dir(const char *tag) { return ce_make_scratch(); }
void remove_tree(const std::string &dir) { ce_remove_tree(dir); }
bool exists(const std::string &path) { return ce_exists(path); }

// Reads a file whole, independent of the code under test.
bool read_all(const std::string &path, std::string *out)
{
    int ok = 0;
    *out = ce_read(path, &ok);
    return ok != 0;
}

bool write_all(const std::string &path, const std::string &bytes)
{
    return ce_write(path, bytes);
}

std::string time_now()
{
    char stamp[256];
    if (GetTimeFormatA(0, 0, NULL, NULL, stamp, 255) == 0)
        stamp[0] = 0;
    return stamp;
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            break;
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    EXPECT_EQ(start, text.size()) << "the log ends in a partial line";
    return lines;
}

// The first line of the system's own text for code, as a log line carries it.
std::string system_first_line(DWORD code)
{
    char text[256];
    text[0] = 0;
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, code, 0, text, 255, NULL) == 0)
        text[0] = 0;
    std::string s = text;
    size_t cut = s.find_first_of("\r\n");
    return cut == std::string::npos ? s : s.substr(0, cut);
}

// --------------------------------------------- a second process holding a file
//
// The test program doubles as the holder: started with QV7_SUPPORT_HOLD=path it
// opens path for writing, allowing readers only (what another log writer would
// do), creates path.ready and keeps the file until path.release appears.

int hold_file_child()
{
    const char *path = getenv("QV7_SUPPORT_HOLD");
    if (path == NULL || *path == 0)
        return 0;
    std::string p = path;
    HANDLE h = CreateFileA(p.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    write_all(p + ".ready", h == INVALID_HANDLE_VALUE ? "failed" : "held");
    for (int i = 0; i < 3000 && !exists(p + ".release"); i++)
        Sleep(20);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    fflush(stdout);
    _exit(0);
}
const int hold_file_child_ran = hold_file_child();

struct holder_process {
#ifdef _WIN32
    PROCESS_INFORMATION pi;
#else
    pid_t pid;
#endif
    bool started = false;
};

bool start_holder(const std::string &path, holder_process *h)
{
#ifdef _WIN32
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, MAX_PATH);
    std::string cmd = std::string("\"") + self + "\" --gtest_list_tests";
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    SetEnvironmentVariableA("QV7_SUPPORT_HOLD", path.c_str());
    BOOL ok = CreateProcessA(NULL, &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &h->pi);
    SetEnvironmentVariableA("QV7_SUPPORT_HOLD", NULL);
    if (!ok)
        return false;
#else
    std::vector<std::string> env_strings;
    for (char **e = environ; *e; e++)
        if (strncmp(*e, "QV7_SUPPORT_HOLD=", 17) != 0)
            env_strings.push_back(*e);
    env_strings.push_back("QV7_SUPPORT_HOLD=" + path);
    std::vector<char *> envp;
    for (auto &s : env_strings)
        envp.push_back(&s[0]);
    envp.push_back(nullptr);
    char arg0[] = "holder";
    char *argv[] = {arg0, nullptr};
    if (posix_spawn(&h->pid, "/proc/self/exe", NULL, NULL, argv, envp.data()) != 0)
        return false;
#endif
    h->started = true;
    // The child creates the file before it writes into it: wait for its word.
    std::string state;
    for (int i = 0; i < 1500; i++) {
        if (read_all(path + ".ready", &state) && !state.empty())
            break;
        Sleep(20);
    }
    return state == "held";
}

void stop_holder(const std::string &path, holder_process *h)
{
    if (!h->started)
        return;
    write_all(path + ".release", "x");
#ifdef _WIN32
    WaitForSingleObject(h->pi.hProcess, 60000);
    CloseHandle(h->pi.hProcess);
    CloseHandle(h->pi.hThread);
#else
    int status;
    waitpid(h->pid, &status, 0);
#endif
    h->started = false;
}

// ================================================================= the log

class Log : public ::testing::Test {
protected:
    std::string dir, log;
    plugin_settings_t saved;
    void SetUp() override
    {
        saved = plugin_settings;
        dir = make_temp_dir("log");
        log = dir + "\\qv7_sock.log";
        lstrcpyA(plugin_settings.log_path, log.c_str());
        plugin_settings.log_level = 1;
    }
    void TearDown() override
    {
        plugin_settings = saved;
        remove_tree(dir);
    }
    std::string content()
    {
        std::string s;
        EXPECT_TRUE(read_all(log, &s));
        return s;
    }
};

// Each line: the stamp GetTimeFormatA gives around the call, ": ", the text, an
// optional ": " with the detail (empty but present still writes it), CR LF.
TEST_F(Log, LineFormat)
{
    struct {
        const char *text, *detail, *tail;
    } cases[] = {
        {"Start Send Thread", NULL, "Start Send Thread"},
        {"S", "+OK", "S: +OK"},
        {"R", "", "R: "},
        {"Find File", "C:\\dir\\resent\\*.csv", "Find File: C:\\dir\\resent\\*.csv"},
        {"", NULL, ""},
    };
    std::vector<std::string> before, after;
    for (auto &c : cases) {
        before.push_back(time_now());
        EXPECT_EQ(1, log_write(c.text, c.detail, 1));
        after.push_back(time_now());
    }
    std::vector<std::string> lines = split_lines(content());
    ASSERT_EQ(sizeof cases / sizeof cases[0], lines.size());
    for (size_t i = 0; i < lines.size(); i++) {
        const std::string &l = lines[i];
        bool stamp_ok = l == before[i] + ": " + cases[i].tail || l == after[i] + ": " + cases[i].tail;
        EXPECT_TRUE(stamp_ok) << "line " << i << ": \"" << l << "\" stamp around the call: \""
                              << before[i] << "\" / \"" << after[i] << "\"";
    }
    EXPECT_FALSE(before[0].empty()) << "the time of day has a text";
}

// Which lines each log level lets through; 0 and negative levels create no file.
TEST_F(Log, Levels)
{
    struct {
        int level;
        bool one, two;
    } cases[] = {{0, false, false}, {1, true, false}, {2, true, true}, {5, true, true},
                 {-1, false, false}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.level);
        DeleteFileA(log.c_str());
        plugin_settings.log_level = c.level;
        EXPECT_EQ(1, log_write("one", NULL, 1));
        EXPECT_EQ(1, log_write("two", "detail", 2));
        log_error("recv", ERROR_FILE_NOT_FOUND);
        if (!c.one) {
            EXPECT_FALSE(exists(log));
            continue;
        }
        std::vector<std::string> lines = split_lines(content());
        ASSERT_EQ(c.two ? 3u : 2u, lines.size());
        EXPECT_NE(std::string::npos, lines[0].find(": one"));
        if (c.two) {
            EXPECT_NE(std::string::npos, lines[1].find(": two: detail"));
        }
        EXPECT_NE(std::string::npos, lines.back().find(": Error(recv): "));
    }
}

// An existing log is appended to, never truncated; a missing one is created,
// also after it was deleted between two lines.
TEST_F(Log, AppendsAndCreates)
{
    ASSERT_TRUE(write_all(log, "older line\r\n"));
    EXPECT_EQ(1, log_write("first", NULL, 1));
    std::string s = content();
    EXPECT_EQ(0u, s.find("older line\r\n"));
    EXPECT_NE(std::string::npos, s.find(": first\r\n"));

    ASSERT_TRUE(DeleteFileA(log.c_str()));
    EXPECT_EQ(1, log_write("second", NULL, 1));
    std::vector<std::string> lines = split_lines(content());
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find(": second"));
}

// Error lines: "Error(label)" and the first line of the system's text; no text
// gives an empty detail that still has its ": ".
TEST_F(Log, ErrorLines)
{
    // A code with the customer bit set has no system text anywhere.
    const DWORD no_text = 0x2ABCDEF0u;
    ASSERT_EQ("", system_first_line(no_text));
    std::string stamp = time_now();
    log_error("select", no_text);
    std::vector<std::string> lines = split_lines(content());
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(lines[0] == stamp + ": Error(select): " || lines[0] == time_now() + ": Error(select): ")
        << lines[0];

    DeleteFileA(log.c_str());
    std::string expected = system_first_line(ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(expected.empty());
    log_error("file_read_buf", ERROR_FILE_NOT_FOUND);
    lines = split_lines(content());
    ASSERT_EQ(1u, lines.size());
    std::string tail = ": Error(file_read_buf): " + expected;
    ASSERT_GE(lines[0].size(), tail.size());
    EXPECT_EQ(tail, lines[0].substr(lines[0].size() - tail.size()));
}

// A system text of several lines gives its first line only. Which codes have
// such texts depends on the system, so the test looks for one.
TEST_F(Log, ErrorFirstLineOfSeveral)
{
    DWORD code = 0;
    char text[256];
    for (DWORD c = 1; c < 16000 && code == 0; c++) {
        text[0] = 0;
        if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, c, 0, text, 255, NULL) == 0)
            continue;
        std::string s = text;
        size_t cut = s.find_first_of("\r\n");
        if (cut != std::string::npos && cut > 0 && s.find_first_not_of("\r\n", cut) != std::string::npos)
            code = c;
    }
    if (code == 0)
        GTEST_SKIP() << "this system has no message text of several lines";
    log_error("send", code);
    std::vector<std::string> lines = split_lines(content());
    ASSERT_EQ(1u, lines.size());
    std::string tail = ": Error(send): " + system_first_line(code);
    ASSERT_GE(lines[0].size(), tail.size());
    EXPECT_EQ(tail, lines[0].substr(lines[0].size() - tail.size())) << "code " << code;
}

// Someone else holding the log for writing (a handle of ours opened without
// sharing, or another process logging into the same file): the line is dropped
// at once with 0, and the next line after the release is written again.
TEST_F(Log, ForeignWriterDropsTheLine)
{
    ASSERT_TRUE(write_all(log, "kept\r\n"));
    HANDLE h = CreateFileA(log.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(0, log_write("lost", NULL, 1));
    log_error("accept", ERROR_ACCESS_DENIED);
    CloseHandle(h);
    EXPECT_EQ("kept\r\n", content());

    holder_process p;
    ASSERT_TRUE(start_holder(log, &p)) << "the holder process could not take the file";
    int result = log_write("lost too", NULL, 1);
    stop_holder(log, &p);
    EXPECT_EQ(0, result);
    EXPECT_EQ("kept\r\n", content());

    EXPECT_EQ(1, log_write("back", NULL, 1));
    std::vector<std::string> lines = split_lines(content());
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[1].find(": back"));
}

// The plug-in's own threads never lose a line to each other, and lines never
// mix: every line of every thread arrives whole.
TEST_F(Log, OwnThreadsLoseNothing)
{
    const int threads = 8, lines_each = 150;
    plugin_settings.log_level = 2;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++)
        pool.emplace_back([t] {
            for (int i = 0; i < lines_each; i++) {
                std::string text = "thread " + std::to_string(t) + " line " + std::to_string(i);
                log_write("R", text.c_str(), 2);
            }
        });
    for (auto &th : pool)
        th.join();
    std::vector<std::string> lines = split_lines(content());
    ASSERT_EQ((size_t)(threads * lines_each), lines.size());
    std::vector<int> next(threads, 0);
    for (auto &l : lines) {
        int t = -1, i = -1;
        size_t at = l.find(": R: thread ");
        ASSERT_NE(std::string::npos, at) << l;
        ASSERT_EQ(2, sscanf(l.c_str() + at, ": R: thread %d line %d", &t, &i)) << l;
        ASSERT_TRUE(t >= 0 && t < threads) << l;
        std::string tail = "thread " + std::to_string(t) + " line " + std::to_string(i);
        EXPECT_EQ(tail, l.substr(at + 5)) << "a line with foreign bytes";
        EXPECT_EQ(next[t], i) << "thread " << t << " lost or reordered a line";
        next[t] = i + 1;
    }
}

// A detail of several megabytes (a large file's Base64 text) is written whole.
TEST_F(Log, LargeDetailWholeOnOneLine)
{
    plugin_settings.log_level = 2;
    std::string detail(6 * 1024 * 1024 + 7, 'x');
    for (size_t i = 0; i < detail.size(); i += 4093)
        detail[i] = (char)('A' + (i / 4093) % 26);
    EXPECT_EQ(1, log_write("S", detail.c_str(), 2));
    EXPECT_EQ(1, log_write("after", NULL, 1));
    std::vector<std::string> lines = split_lines(content());
    ASSERT_EQ(2u, lines.size());
    size_t at = lines[0].find(": S: ");
    ASSERT_NE(std::string::npos, at);
    EXPECT_TRUE(lines[0].compare(at + 5, std::string::npos, detail) == 0);
    EXPECT_NE(std::string::npos, lines[1].find(": after"));
}

#ifndef _WIN32
// Natively: a log file that cannot be opened loses the line with 0 and leaves
// the caller's last error alone.
TEST_F(Log, OpenFailureNative)
{
    qv7_fault_set("CreateFileA", 1, 1, ERROR_ACCESS_DENIED);
    SetLastError(ERROR_BROKEN_PIPE);
    EXPECT_EQ(0, log_write("lost", NULL, 1));
    EXPECT_EQ((DWORD)ERROR_BROKEN_PIPE, GetLastError());
    qv7_fault_clear();
    EXPECT_FALSE(exists(log));
}
#endif

// ===================================================== files and memory

class FileBuf : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override { dir = make_temp_dir("filebuf"); }
    void TearDown() override
    {
#ifndef _WIN32
        qv7_fault_clear();
#endif
        remove_tree(dir);
    }
    std::string path(const char *name) { return dir + "\\" + name; }
};

TEST_F(FileBuf, Memory)
{
    unsigned char *zero = (unsigned char *)mem_alloc_zero(1 << 20);
    ASSERT_NE(nullptr, zero);
    EXPECT_TRUE(std::all_of(zero, zero + (1 << 20), [](unsigned char c) { return c == 0; }));
    char *block = (char *)mem_alloc(100);
    ASSERT_NE(nullptr, block);
    memset(block, 'x', 100);
    mem_free(&block);
    EXPECT_EQ(nullptr, block);
    mem_free(&block); // already null: nothing happens
    EXPECT_EQ(nullptr, block);
    mem_free(&zero);
    EXPECT_EQ(nullptr, zero);
}

// Reads of present files: content plus one zero byte, size reported or not.
TEST_F(FileBuf, ReadWhole)
{
    struct {
        const char *name;
        std::string bytes;
    } cases[] = {
        {"empty.csv", std::string()},
        {"text.csv", "1,2,3\r\n4,5,6\r\n"},
        {"binary.bin", std::string("\0\x01\xff\x80zero\0in\0between", 18)},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(write_all(path(c.name), c.bytes));
        DWORD size = 12345;
        char *block = file_read_buf(path(c.name).c_str(), &size);
        ASSERT_NE(nullptr, block);
        EXPECT_EQ(c.bytes.size(), size);
        EXPECT_EQ(c.bytes, std::string(block, size));
        EXPECT_EQ(0, block[size]);
        mem_free(&block);
        block = file_read_buf(path(c.name).c_str(), NULL);
        ASSERT_NE(nullptr, block);
        EXPECT_EQ(0, memcmp(block, c.bytes.data(), c.bytes.size()));
        mem_free(&block);
    }
}

TEST_F(FileBuf, ReadMissing)
{
    DWORD size = 12345;
    SetLastError(0);
    EXPECT_EQ(nullptr, file_read_buf(path("missing.csv").c_str(), &size));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(12345u, size);
    SetLastError(0);
    EXPECT_EQ(nullptr, file_read_buf(path("nodir\\missing.csv").c_str(), &size));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
    EXPECT_EQ(12345u, size);
}

// Writes replace the whole content: length 0 leaves an empty file, a shorter
// rewrite leaves exactly the new bytes; then the sizes as file_size_of sees them.
TEST_F(FileBuf, WriteAndSize)
{
    std::string p = path("out.csv");
    std::string s;
    ASSERT_EQ(1, file_write_buf(p.c_str(), "a much longer first content", 27));
    ASSERT_EQ(1, file_write_buf(p.c_str(), "short", 5));
    ASSERT_TRUE(read_all(p, &s));
    EXPECT_EQ("short", s);
    EXPECT_EQ(5, file_size_of(p.c_str()));
    ASSERT_EQ(1, file_write_buf(p.c_str(), "", 0));
    ASSERT_TRUE(read_all(p, &s));
    EXPECT_EQ("", s);
    EXPECT_EQ(0, file_size_of(p.c_str()));

    std::string sub = path("folder");
    ASSERT_TRUE(CreateDirectoryA(sub.c_str(), NULL));
    EXPECT_EQ(0, file_size_of(sub.c_str()));
    EXPECT_EQ(-1, file_size_of(path("missing.csv").c_str()));
    EXPECT_EQ(-1, file_size_of(path("nodir\\missing.csv").c_str()));
    EXPECT_EQ(0, file_write_buf(sub.c_str(), "x", 1)) << "a folder is no file to write";
    EXPECT_EQ(0, file_write_buf(path("nodir\\x.csv").c_str(), "x", 1));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
}

// While file_write_buf holds its file nobody else can open it; file_read_buf
// lets others read and write meanwhile.
TEST_F(FileBuf, ShareModes)
{
    std::string p = path("big.csv");
    std::string data(64 * 1024 * 1024, 'd');
    std::atomic<bool> done{false};
    int violations = 0, opened_while_writing = 0;
    std::thread writer([&] {
        // The file does not exist before: nobody can hold it when it is made,
        // so a refusal here means another opener got in between the file's
        // creation and its share locks.
        EXPECT_EQ(1, file_write_buf(p.c_str(), data.data(), (DWORD)data.size()))
            << "error " << GetLastError();
        done = true;
    });
    while (!done) {
        HANDLE h = CreateFileA(p.c_str(), GENERIC_READ, 7, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL);
        DWORD e = GetLastError();
        bool still_writing = !done;
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            // Opened before the writer had finished: only legal once it closed.
            if (still_writing && violations == 0)
                opened_while_writing++;
        } else if (e == ERROR_SHARING_VIOLATION) {
            violations++;
        }
    }
    writer.join();
    EXPECT_GT(violations, 0) << "nobody was kept out while the file was written";
    EXPECT_EQ(0, opened_while_writing);

    // A reader's hold: the same path may be opened for reading and writing.
    HANDLE other = INVALID_HANDLE_VALUE;
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        for (int i = 0; i < 5; i++) {
            char *block = file_read_buf(p.c_str(), NULL);
            EXPECT_NE(nullptr, block);
            mem_free(&block);
        }
        reading = false;
    });
    int opened = 0;
    while (reading) {
        other = CreateFileA(p.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (other != INVALID_HANDLE_VALUE) {
            opened++;
            CloseHandle(other);
        } else {
            ADD_FAILURE() << "a reader and writer were kept out during file_read_buf: "
                          << GetLastError();
            break;
        }
    }
    reader.join();
    EXPECT_GT(opened, 0);
}

// A file of several hundred megabytes goes through one write and one read.
TEST_F(FileBuf, SeveralHundredMegabytes)
{
    const DWORD size = 300u * 1024 * 1024;
#ifdef _WIN32
    ULARGE_INTEGER avail;
    if (!GetDiskFreeSpaceExA(dir.c_str(), &avail, NULL, NULL) ||
        avail.QuadPart < (ULONGLONG)size * 2)
        GTEST_SKIP() << "less than 600 MB free beside " << dir;
#else
    struct statvfs vfs;
    std::string native_dir = dir;
    std::replace(native_dir.begin(), native_dir.end(), '\\', '/');
    if (statvfs(native_dir.c_str(), &vfs) != 0 || (unsigned long long)vfs.f_bavail * vfs.f_frsize < (unsigned long long)size * 2)
        GTEST_SKIP() << "less than 600 MB free beside " << native_dir;
#endif
    std::vector<unsigned char> data(size);
    uint32_t x = 2463534242u;
    for (DWORD i = 0; i < size; i += 4) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        memcpy(&data[i], &x, 4);
    }
    std::string p = path("huge.bin");
    ASSERT_EQ(1, file_write_buf(p.c_str(), data.data(), size));
    EXPECT_EQ((int32_t)size, file_size_of(p.c_str()));
    DWORD got = 0;
    char *block = file_read_buf(p.c_str(), &got);
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(size, got);
    EXPECT_EQ(0, memcmp(block, data.data(), size));
    EXPECT_EQ(0, block[size]);
    mem_free(&block);
    DeleteFileA(p.c_str());
}

#ifndef _WIN32
// Every failing step of the helpers gives null/0 with that step's code as the
// last error, leaves size_out alone and closes what it opened.
TEST_F(FileBuf, FaultsKeepTheirError)
{
    std::string p = path("data.csv");
    ASSERT_TRUE(write_all(p, "some,content\r\n"));
    struct {
        const char *call;
        DWORD error;
        bool read; // file_read_buf, else file_write_buf
    } cases[] = {
        {"CreateFileA", ERROR_ACCESS_DENIED, true},
        {"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, true},
        {"ReadFile", ERROR_LOCK_VIOLATION, true},
        {"CreateFileA", ERROR_SHARING_VIOLATION, false},
        {"WriteFile", ERROR_DISK_FULL, false},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(std::string(c.call) + (c.read ? " in file_read_buf" : " in file_write_buf"));
        qv7_fault_clear();
        qv7_fault_set(c.call, 1, 1, c.error);
        SetLastError(0);
        if (c.read) {
            DWORD size = 777;
            EXPECT_EQ(nullptr, file_read_buf(p.c_str(), &size));
            EXPECT_EQ(c.error, GetLastError());
            EXPECT_EQ(777u, size);
        } else {
            EXPECT_EQ(0, file_write_buf(p.c_str(), "new", 3));
            EXPECT_EQ(c.error, GetLastError());
        }
        EXPECT_GE(qv7_fault_calls(c.call), 1u);
        qv7_fault_clear();
        // Nothing is left open: the file can be had without any sharing.
        HANDLE h = CreateFileA(p.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL);
        EXPECT_NE(INVALID_HANDLE_VALUE, h);
        CloseHandle(h);
    }
    qv7_fault_set("LocalAlloc", 1, 1, ERROR_NOT_ENOUGH_MEMORY);
    SetLastError(0);
    EXPECT_EQ(nullptr, mem_alloc(10));
    EXPECT_EQ((DWORD)ERROR_NOT_ENOUGH_MEMORY, GetLastError());
    qv7_fault_set("LocalAlloc", 1, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(nullptr, mem_alloc_zero(10));
}
#endif

// ================================================================ Base64

// The codec's algorithms written the plain way, one character at a time: the
// fast code must give exactly these bytes for every input.
std::string ref_encode(const unsigned char *src, int len)
{
    static const char *a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    auto ended = [&](int k) { return len > 0 ? k >= len : src[k] == 0; };
    for (int k = 0;; k += 3) {
        if (ended(k))
            break;
        out += a[src[k] >> 2];
        if (ended(k + 1)) {
            out += a[(src[k] & 3) << 4];
            out += "==";
            break;
        }
        out += a[((src[k] & 3) << 4) | (src[k + 1] >> 4)];
        if (ended(k + 2)) {
            out += a[(src[k + 1] & 0x0F) << 2];
            out += "=";
            break;
        }
        out += a[((src[k + 1] & 0x0F) << 2) | (src[k + 2] >> 6)];
        out += a[src[k + 2] & 0x3F];
    }
    return out;
}

int ref_value(unsigned char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return 0; // a foreign character stands for 0
}

std::string ref_decode(const char *text)
{
    const unsigned char *p = (const unsigned char *)text;
    auto skip = [&] {
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
            p++;
    };
    std::string out;
    skip();
    for (;;) {
        int s[4];
        int i;
        for (i = 0; i < 4; i++) {
            if (*p == '=' || *p == 0)
                break;
            s[i] = ref_value(*p++);
            skip();
            if (i == 1) out += (char)((s[0] << 2 | s[1] >> 4) & 0xFF);
            if (i == 2) out += (char)((s[1] << 4 | s[2] >> 2) & 0xFF);
            if (i == 3) out += (char)((s[2] << 6 | s[3]) & 0xFF);
        }
        if (i < 4)
            break;
    }
    return out;
}

std::string encode(const std::string &bytes, int len)
{
    std::vector<char> out(4 * (bytes.size() / 3 + 1) + 1, '\x55');
    base64_encode((const unsigned char *)bytes.c_str(), out.data(), len);
    return std::string(out.data());
}

// Decodes into an area of exactly the promised capacity (the text's length, 1
// for an empty one), with guard bytes behind it that must stay untouched.
std::string decode(const std::string &text)
{
    size_t cap = std::max<size_t>(text.size(), 1);
    std::vector<unsigned char> out(cap + 16, 0xAA);
    unsigned char *end = base64_decode(text.c_str(), out.data());
    EXPECT_TRUE(end >= out.data() && end < out.data() + cap) << "output past its capacity";
    EXPECT_EQ(0, *end);
    for (size_t i = cap; i < out.size(); i++)
        EXPECT_EQ(0xAA, out[i]) << "byte " << i << " behind the area was written";
    return std::string((const char *)out.data(), end - out.data());
}

TEST(Base64, EncodeCases)
{
    struct {
        std::string bytes;
        int len;
        const char *text;
    } cases[] = {
        {std::string("\0abc", 4), 0, ""},
        {"f", 1, "Zg=="},
        {"fo", 2, "Zm8="},
        {"foo", 3, "Zm9v"},
        {"foob", 4, "Zm9vYg=="},
        {"fooba", 5, "Zm9vYmE="},
        {"foobar", 6, "Zm9vYmFy"},
        {"foobar", 0, "Zm9vYmFy"},
        {std::string("fo\0bar", 6), 0, "Zm8="},
        {std::string("fo\0bar", 6), 6, "Zm8AYmFy"},
        {std::string("\0\0\0", 3), 3, "AAAA"},
        {"\xff\xff\xff", 3, "////"},
        {"\xfb\xef\xbe\x80", 4, "++++gA=="},
        {"123456789abc", 12, "MTIzNDU2Nzg5YWJj"},
        {"123456789ab", 11, "MTIzNDU2Nzg5YWI="},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.text, encode(c.bytes, c.len));
    }
}

TEST(Base64, DecodeCases)
{
    struct {
        const char *text;
        std::string bytes;
    } cases[] = {
        {"", ""},
        {" \t\r\n ", ""},
        {"=", ""},
        {"=Zm9v", ""},
        {"Z", ""},
        {"Zg", "f"},
        {"Zm8", "fo"},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9vYmFy", "foobar"},
        {"Zm9v\r\nYmFy\r\n", "foobar"},
        {" Z m\t9 v\nY\rm F y ", "foobar"},
        {"Zg==Zm9v", "f"},
        {"Zm9vYg=AAAA", "foob"},
        {"Zm9vYmFy=", "foobar"},
        {"Zm\r\n=9v", "f"},
        {"AP+A", std::string("\0\xff\x80", 3)},
        {"////", "\xff\xff\xff"},
        // foreign characters count as one character of their group, value 0
        {"Z*9v", std::string("d\x0fo", 3)},
        {"\x80\x80\x80\x80", std::string("\0\0\0", 3)},
        {"Zm9v.", "foo"},
        {"Zm9v..", std::string("foo\0", 4)},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.bytes, decode(c.text));
    }
}

TEST(Base64, RoundTrip)
{
    std::mt19937 rng(7);
    std::vector<size_t> lengths;
    for (size_t n = 1; n < 70; n++)
        lengths.push_back(n);
    for (int i = 0; i < 200; i++)
        lengths.push_back(1 + rng() % 5000);
    lengths.push_back(3u * 1024 * 1024 + 1);
    for (size_t n : lengths) {
        std::string bytes(n, '\0');
        for (auto &b : bytes)
            b = (char)(rng() & 0xFF);
        std::string text = encode(bytes, (int)n);
        ASSERT_EQ(4 * ((n + 2) / 3), text.size());
        if (n < 20000) {
            ASSERT_EQ(ref_encode((const unsigned char *)bytes.data(), (int)n), text) << n;
        }
        ASSERT_EQ(bytes, decode(text)) << n;
    }
}

// The fast decoder against the plain walk on texts that mix the alphabet,
// whitespace, "=" and foreign bytes at random places and random lengths; the
// same for the encoder's terminator mode.
TEST(Base64, MatchesPlainWalk)
{
    std::mt19937 rng(42);
    static const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int round = 0; round < 20000; round++) {
        size_t n = rng() % (round < 10000 ? 40 : 600);
        unsigned mix = rng() % 4; // how often specials appear
        std::string text;
        for (size_t i = 0; i < n; i++) {
            unsigned r = rng() % 1000;
            unsigned char c;
            if (mix == 0 || r >= 40 * mix)
                c = (unsigned char)alphabet[rng() % 64];
            else if (r < 15 * mix)
                c = " \t\r\n"[rng() % 4];
            else if (r < 17 * mix)
                c = '=';
            else
                c = (unsigned char)(1 + rng() % 255); // anything but the terminator
            text += (char)c;
        }
        ASSERT_EQ(ref_decode(text.c_str()), decode(text)) << "text \"" << text << "\"";
        std::string bytes = text.substr(0, text.find('\0'));
        ASSERT_EQ(ref_encode((const unsigned char *)bytes.c_str(), 0), encode(bytes, 0));
    }
}

#ifndef _WIN32
// Neither direction touches a byte beyond its input: inputs end right at a page
// that may not be read.
TEST(Base64, NoReadPastTheInput)
{
    long page = sysconf(_SC_PAGESIZE);
    unsigned char *area = (unsigned char *)mmap(NULL, 2 * page, PROT_READ | PROT_WRITE,
                                                MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, (void *)area);
    ASSERT_EQ(0, mprotect(area + page, page, PROT_NONE));
    unsigned char *edge = area + page;
    char out[512];
    unsigned char dec[512];
    for (int n = 1; n <= 100; n++) {
        unsigned char *src = edge - n;
        for (int i = 0; i < n; i++)
            src[i] = (unsigned char)('A' + (i * 7) % 26);
        base64_encode(src, out, n); // length mode: the last byte sits at the edge
        EXPECT_EQ(ref_encode(src, n), std::string(out));
        edge[-1] = 0; // terminator mode and the decoder: the zero is the last byte
        base64_encode(src, out, 0);
        EXPECT_EQ(ref_encode(src, 0), std::string(out));
        unsigned char *end = base64_decode((const char *)src, dec);
        EXPECT_EQ(ref_decode((const char *)src), std::string((char *)dec, end - dec));
    }
    munmap(area, 2 * page);
}
#endif

} // namespace
