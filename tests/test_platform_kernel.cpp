// The base services of the platform layer: share modes (in one process and
// across processes), the read-only attribute, create dispositions, listing,
// copying, folders, INI profile calls, date and time pictures, message texts,
// module loading, strings, the DBCS lead-byte test and fault injection.
// Everything that is Windows' own behaviour runs natively and under Wine with
// the same expectations; what only our layer has is guarded by !_WIN32.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

#include "platform/win32.h"

namespace {

// ---------------------------------------------------------------- helpers

// A new empty folder under the temporary folder, ending without separator.
std::string new_folder()
{
    static int serial;
    char base[MAX_PATH];
    DWORD n = GetTempPathA(MAX_PATH, base);
    std::string s(base, n);
    if (!s.empty() && s.back() != '\\' && s.back() != '/')
        s += '\\';
    char name[64];
    snprintf(name, sizeof name, "qv7k_%lu_%d_%lu", (unsigned long)GetCurrentProcessId(), ++serial,
             (unsigned long)GetTickCount());
    s += name;
    EXPECT_TRUE(CreateDirectoryA(s.c_str(), NULL)) << s;
    return s;
}

bool put_file(const std::string &path, const std::string &data)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD w = 0;
    BOOL ok = WriteFile(h, data.data(), (DWORD)data.size(), &w, NULL);
    CloseHandle(h);
    return ok && w == data.size();
}

// The file's content, or "<missing>".
std::string get_file(const std::string &path)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return "<missing>";
    DWORD size = GetFileSize(h, NULL);
    std::string s(size, '\0');
    DWORD r = 0;
    if (size)
        ReadFile(h, &s[0], size, &r, NULL);
    CloseHandle(h);
    s.resize(r);
    return s;
}

HANDLE open_file(const std::string &path, DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING)
{
    return CreateFileA(path.c_str(), access, share, NULL, disposition, FILE_ATTRIBUTE_NORMAL, NULL);
}

void set_env(const char *name, const char *value)
{
#ifdef _WIN32
    SetEnvironmentVariableA(name, value);
    _putenv_s(name, value ? value : "");
#else
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

const DWORD R = GENERIC_READ, W = GENERIC_WRITE, RW = GENERIC_READ | GENERIC_WRITE;
const DWORD SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE, SD = FILE_SHARE_DELETE;

struct share_case {
    DWORD a1, s1, a2, s2;
    bool ok;
};

// Windows' rule, case by case: the second open fails when its access is not
// shared by the first, or the first's access is not shared by the second.
const share_case share_cases[] = {
    {R, SR, R, SR, true},
    {R, SR, W, SR | SW, false},          // the first shares no writing
    {R, SR | SW, W, SR | SW, true},
    {R, SR | SW, W, SW, false},          // the second shares no reading
    {W, SR, R, SR | SW, true},           // the log: readers welcome
    {W, SR, W, SR, false},               // the log: a second writer fails
    {RW, 0, R, SR | SW | SD, false},     // file_write_buf holds it: nobody
    {RW, 0, W, SR | SW | SD, false},
    {R, SR | SW, R, SR | SW, true},      // file_read_buf twice
    {R, SR | SW, RW, 0, false},          // file_write_buf while it is read
    {W, SW, W, SW, true},
    {W, SW, R, SR | SW, false},          // reading not shared by the first
    {0, 0, R, SR, true},                 // attribute-only opens clash with nobody
};

// --------------------------------------------------------- share modes

TEST(ShareModes, MatrixInOneProcess)
{
    std::string dir = new_folder(), f = dir + "\\m.txt";
    ASSERT_TRUE(put_file(f, "data"));
    for (const auto &c : share_cases) {
        HANDLE h1 = open_file(f, c.a1, c.s1);
        ASSERT_NE(h1, INVALID_HANDLE_VALUE);
        HANDLE h2 = open_file(f, c.a2, c.s2);
        DWORD e = GetLastError();
        EXPECT_EQ(h2 != INVALID_HANDLE_VALUE, c.ok)
            << std::hex << c.a1 << "/" << c.s1 << " then " << c.a2 << "/" << c.s2;
        if (h2 != INVALID_HANDLE_VALUE) {
            CloseHandle(h2);
        } else {
            EXPECT_EQ(e, (DWORD)ERROR_SHARING_VIOLATION);
        }
        CloseHandle(h1);
        // every lock dies with its handle
        HANDLE h3 = open_file(f, RW, 0);
        EXPECT_NE(h3, INVALID_HANDLE_VALUE);
        CloseHandle(h3);
    }
}

TEST(ShareModes, DeleteMoveAndCopyAgainstHolders)
{
    std::string dir = new_folder(), a = dir + "\\a.txt", b = dir + "\\b.txt", c = dir + "\\c.txt";
    ASSERT_TRUE(put_file(a, "hello"));
    struct {
        DWORD share;
        bool copy_from, copy_onto, del;
    } cases[] = {
        // a reader holds the file with this share mode
        {0, false, false, false},
        {SR, true, false, false},
        {SW, false, true, false},
        {SR | SW, true, true, false},
        {SD, false, false, true},
        {SR | SW | SD, true, true, true},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.share);
        ASSERT_TRUE(put_file(b, "old content"));
        HANDLE h = open_file(a, R, k.share);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(CopyFileA(a.c_str(), c.c_str(), FALSE) != 0, k.copy_from);
        if (!k.copy_from) {
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
        }
        CloseHandle(h);

        h = open_file(b, R, k.share);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(CopyFileA(a.c_str(), b.c_str(), FALSE) != 0, k.copy_onto);
        if (!k.copy_onto) {
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
        }
        BOOL moved = MoveFileA(b.c_str(), (dir + "\\moved.txt").c_str());
        EXPECT_EQ(moved != 0, k.del);
        if (moved) {
            ASSERT_TRUE(MoveFileA((dir + "\\moved.txt").c_str(), b.c_str()));
        } else {
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
        }
        BOOL deleted = DeleteFileA(b.c_str());
        EXPECT_EQ(deleted != 0, k.del);
        if (!deleted) {
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
        }
        CloseHandle(h);
        DeleteFileA(c.c_str());
    }
}

// A second process holds a file open as the environment says, reports
// through a marker file and closes when the parent creates a release file.
TEST(ShareHelper, Hold)
{
    const char *request = getenv("QV7_SHARE_HELPER");
    if (!request)
        GTEST_SKIP() << "only run as the second process of AcrossProcesses";
    unsigned long access = 0, share = 0;
    char path[MAX_PATH] = "";
    ASSERT_EQ(sscanf(request, "%lx %lx %259[^\n]", &access, &share, path), 3);
    HANDLE h = open_file(path, (DWORD)access, (DWORD)share);
    std::string p = path;
    ASSERT_TRUE(put_file(p + ".ready", h != INVALID_HANDLE_VALUE ? "1" : "0"));
    for (int i = 0; i < 3000 && GetFileAttributesA((p + ".release").c_str()) == INVALID_FILE_ATTRIBUTES; i++)
        Sleep(10);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
}

// Starts this test program as the holder of `path`; true when it started.
bool start_holder(const std::string &path, DWORD access, DWORD share, void **proc)
{
    char request[MAX_PATH + 64];
    snprintf(request, sizeof request, "%lx %lx %s", (unsigned long)access, (unsigned long)share, path.c_str());
    set_env("QV7_SHARE_HELPER", request);
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, sizeof self);
#ifdef _WIN32
    std::string cmd = std::string("\"") + self + "\" --gtest_filter=ShareHelper.Hold --gtest_brief=1";
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    BOOL ok = CreateProcessA(NULL, &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi);
    set_env("QV7_SHARE_HELPER", NULL);
    if (!ok)
        return false;
    CloseHandle(pi.hThread);
    *proc = pi.hProcess;
    return true;
#else
    const char *argv[] = {self, "--gtest_filter=ShareHelper.Hold", "--gtest_brief=1", NULL};
    pid_t pid;
    int rc = posix_spawn(&pid, self, NULL, NULL, (char **)argv, environ);
    set_env("QV7_SHARE_HELPER", NULL);
    *proc = (void *)(intptr_t)pid;
    return rc == 0;
#endif
}

void end_holder(void *proc)
{
#ifdef _WIN32
    WaitForSingleObject((HANDLE)proc, 30000);
    CloseHandle((HANDLE)proc);
#else
    int st;
    waitpid((pid_t)(intptr_t)proc, &st, 0);
#endif
}

TEST(ShareModes, AcrossProcesses)
{
    std::string dir = new_folder(), f = dir + "\\x.txt";
    ASSERT_TRUE(put_file(f, "shared"));
    struct {
        DWORD a1, s1, a2, s2;
        bool ok, del;
    } cases[] = {
        {W, SR, W, SR, false, false},          // a second log writer elsewhere
        {W, SR, R, SR | SW, true, false},      // a reader of the log elsewhere
        {RW, 0, R, SR | SW, false, false},     // a file being written elsewhere
        {R, SR | SW | SD, R, SR | SW, true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.a1);
        void *proc = nullptr;
        DeleteFileA((f + ".ready").c_str());
        DeleteFileA((f + ".release").c_str());
        ASSERT_TRUE(start_holder(f, c.a1, c.s1, &proc));
        for (int i = 0; i < 3000 && get_file(f + ".ready") == "<missing>"; i++)
            Sleep(10);
        ASSERT_EQ(get_file(f + ".ready"), "1");
        HANDLE h = open_file(f, c.a2, c.s2);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.ok);
        if (h == INVALID_HANDLE_VALUE) {
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
        } else {
            CloseHandle(h);
        }
        std::string g = dir + "\\y.txt";
        BOOL moved = MoveFileA(f.c_str(), g.c_str());
        EXPECT_EQ(moved != 0, c.del);
        if (moved)
            MoveFileA(g.c_str(), f.c_str());
        put_file(f + ".release", "");
        end_holder(proc);
        // the holder is gone: the file is free again
        h = open_file(f, RW, 0);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        CloseHandle(h);
    }
}

// ------------------------------------------------- files and folders

TEST(Files, DispositionsAndErrors)
{
    std::string dir = new_folder(), f = dir + "\\d.txt";
    HANDLE h = open_file(f, W, 0, OPEN_EXISTING);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    h = open_file(dir + "\\nofolder\\d.txt", R, SR, OPEN_EXISTING);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    h = open_file(dir, R, SR, OPEN_EXISTING);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);

    ASSERT_TRUE(put_file(f, "0123456789"));
    h = open_file(f, W, 0, OPEN_ALWAYS); // keeps the content
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(SetFilePointer(h, 0, NULL, FILE_END), 10u);
    DWORD w;
    ASSERT_TRUE(WriteFile(h, "ab", 2, &w, NULL));
    CloseHandle(h);
    EXPECT_EQ(get_file(f), "0123456789ab");

    h = open_file(f, W, 0, CREATE_NEW);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);

    h = open_file(f, W, 0, CREATE_ALWAYS); // empties it
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetFileSize(h, NULL), 0u);
    CloseHandle(h);

    // a refused open must not have emptied the file
    ASSERT_TRUE(put_file(f, "keep me"));
    HANDLE holder = open_file(f, R, 0);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open_file(f, W, SR | SW, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    CloseHandle(holder);
    EXPECT_EQ(get_file(f), "keep me");
}

TEST(Files, LargeOffsetsAndSizes)
{
    std::string dir = new_folder(), f = dir + "\\big.bin";
    HANDLE h = open_file(f, RW, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    LONG high = 1; // 4 GiB + 16: sparse, nothing is really written
    EXPECT_EQ(SetFilePointer(h, 16, &high, FILE_BEGIN), 16u);
    DWORD w;
    ASSERT_TRUE(WriteFile(h, "x", 1, &w, NULL));
    DWORD size_high = 0;
    EXPECT_EQ(GetFileSize(h, &size_high), 17u);
    EXPECT_EQ(size_high, 1u);
    EXPECT_EQ(SetFilePointer(h, 0, NULL, FILE_BEGIN), 0u);
    char buf[4];
    DWORD r = 99;
    ASSERT_TRUE(ReadFile(h, buf, 4, &r, NULL));
    EXPECT_EQ(r, 4u);
    EXPECT_EQ(std::string(buf, 4), std::string(4, '\0'));
    CloseHandle(h);
    EXPECT_TRUE(DeleteFileA(f.c_str()));
}

TEST(Files, FoldersCopyMoveDelete)
{
    std::string dir = new_folder(), sub = dir + "\\sub", a = dir + "\\a.txt", b = dir + "\\b.txt";
    EXPECT_TRUE(CreateDirectoryA(sub.c_str(), NULL));
    EXPECT_FALSE(CreateDirectoryA(sub.c_str(), NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryA((dir + "\\no\\deeper").c_str(), NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesA(sub.c_str()) & FILE_ATTRIBUTE_DIRECTORY, (DWORD)FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(DeleteFileA(sub.c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteFileA(a.c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

    // copy: replaces a longer target whole, refuses when asked to, not onto itself
    std::string big(3 * 1024 * 1024 + 7, '\0');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = (char)(i * 131 + (i >> 12));
    ASSERT_TRUE(put_file(a, "short"));
    ASSERT_TRUE(put_file(b, big));
    EXPECT_TRUE(CopyFileA(a.c_str(), b.c_str(), FALSE));
    EXPECT_EQ(get_file(b), "short");
    ASSERT_TRUE(put_file(a, big));
    EXPECT_TRUE(CopyFileA(a.c_str(), b.c_str(), FALSE));
    EXPECT_TRUE(get_file(b) == big);
    EXPECT_FALSE(CopyFileA(a.c_str(), b.c_str(), TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);
    EXPECT_FALSE(CopyFileA(a.c_str(), a.c_str(), FALSE));
    EXPECT_TRUE(get_file(a) == big);
    EXPECT_FALSE(CopyFileA((dir + "\\none").c_str(), b.c_str(), FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

    // move: never onto an existing name
    EXPECT_FALSE(MoveFileA(a.c_str(), b.c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(MoveFileA(a.c_str(), (sub + "\\moved.txt").c_str()));
    EXPECT_EQ(GetFileAttributesA(a.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(RemoveDirectoryA(sub.c_str())); // not empty
    EXPECT_TRUE(DeleteFileA((sub + "\\moved.txt").c_str()));
    EXPECT_TRUE(RemoveDirectoryA(sub.c_str()));
}

#ifndef _WIN32
// Root ignores permissions (and so does Wine run as root); the layer itself
// honours the read-only attribute, as Windows does for everybody.
TEST(Files, ReadOnlyAttributeIsHonoured)
{
    std::string dir = new_folder(), f = dir + "\\ro.csv", src = dir + "\\src.csv";
    ASSERT_TRUE(put_file(f, "locked"));
    ASSERT_TRUE(put_file(src, "new"));
    ASSERT_TRUE(SetFileAttributesA(f.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesA(f.c_str()) & FILE_ATTRIBUTE_READONLY, (DWORD)FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(open_file(f, W, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(open_file(f, R, SR, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(CopyFileA(src.c_str(), f.c_str(), FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteFileA(f.c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(get_file(f), "locked");
    ASSERT_TRUE(SetFileAttributesA(f.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(CopyFileA(src.c_str(), f.c_str(), FALSE));
    EXPECT_EQ(get_file(f), "new");
    EXPECT_TRUE(DeleteFileA(f.c_str()));
}
#endif

// ------------------------------------------------------------- listing

TEST(Find, WildcardsIgnoreCaseAndFlagFolders)
{
    std::string dir = new_folder();
    ASSERT_TRUE(CreateDirectoryA((dir + "\\d.csv").c_str(), NULL));
    ASSERT_TRUE(put_file(dir + "\\c.txt", "x"));
    ASSERT_TRUE(put_file(dir + "\\B.CSV", ""));
    ASSERT_TRUE(put_file(dir + "\\a.csv", "12345"));
    WIN32_FIND_DATAA e;
    HANDLE h = FindFirstFileA((dir + "\\*.csv").c_str(), &e);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::set<std::string> files, folders;
    std::vector<std::string> order;
    do {
        order.push_back(e.cFileName);
        if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            folders.insert(e.cFileName);
        else
            files.insert(e.cFileName);
        if (std::string(e.cFileName) == "a.csv") {
            EXPECT_EQ(e.nFileSizeLow, 5u);
            EXPECT_EQ(e.nFileSizeHigh, 0u);
        }
    } while (FindNextFileA(h, &e));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
    FindClose(h);
    EXPECT_EQ(files, (std::set<std::string>{"a.csv", "B.CSV"}));
    // by name ignoring case, as NTFS lists (and our layer on every system)
    EXPECT_EQ(order, (std::vector<std::string>{"a.csv", "B.CSV", "d.csv"}));
    EXPECT_EQ(folders, (std::set<std::string>{"d.csv"}));

    h = FindFirstFileA((dir + "\\?.TXT").c_str(), &e);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(e.cFileName, "c.txt");
    FindClose(h);
    h = FindFirstFileA((dir + "\\A.CSV").c_str(), &e); // one name, letter case aside
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(e.nFileSizeLow, 5u);
    FindClose(h);

    EXPECT_EQ(FindFirstFileA((dir + "\\*.zip").c_str(), &e), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(FindFirstFileA((dir + "\\nowhere\\*.csv").c_str(), &e), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
}

// ---------------------------------------------------------- INI files

TEST(Ini, ReadingTable)
{
    std::string dir = new_folder(), ini = dir + "\\t.ini";
    ASSERT_TRUE(put_file(ini, "; comment\r\n[S]\r\na=abc\r\nb=\r\nc=12abc\r\nd= 7 \r\ne=-3\r\n"
                              "f=0x10\r\ng=\"q v\"\r\nh='x'\r\ni=  \"  sp  \"  \r\nj=\"a\r\n"
                              "  k  =  spaced key  \r\nl=a;b\r\nm=-0x10\r\nn=0X1f\r\no=4294967295\r\n"
                              "noequals\r\n[ t ]\r\nx=1\r\n[u]\r\ny=2\r\ny=3\r\n[s]\r\nz=second\r\n"));
    struct {
        const char *sec, *key, *str;
        int num;
    } cases[] = {
        {"s", "a", "abc", 0},       {"s", "B", "", 77},          {"S", "c", "12abc", 12},
        {"s", "d", "7", 7},         {"s", "e", "-3", -3},        {"s", "f", "0x10", 16},
        {"s", "g", "q v", 0},       {"s", "h", "x", 0},          {"s", "i", "  sp  ", 0},
        {"s", "j", "\"a", 0},       {"s", "k", "spaced key", 0}, {"s", "l", "a;b", 0},
        {"s", "m", "-0x10", -16},   {"s", "n", "0X1f", 0},       {"s", "o", "4294967295", -1},
        {"s", "noequals", "DEF", 77}, {"s", "missing", "DEF", 77}, {"t", "x", "1", 1},
        {"u", "y", "2", 2},         {"s", "z", "DEF", 77}, // only the first [s] counts
        {"none", "a", "DEF", 77},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.sec) + "." + c.key);
        char buf[64];
        DWORD n = GetPrivateProfileStringA(c.sec, c.key, "DEF", buf, sizeof buf, ini.c_str());
        EXPECT_STREQ(buf, c.str);
        EXPECT_EQ(n, strlen(c.str));
        EXPECT_EQ((int)GetPrivateProfileIntA(c.sec, c.key, 77, ini.c_str()), c.num);
    }
    char small[4];
    EXPECT_EQ(GetPrivateProfileStringA("s", "c", "DEF", small, sizeof small, ini.c_str()), 3u);
    EXPECT_STREQ(small, "12a");
    char buf[64];
    EXPECT_EQ(GetPrivateProfileStringA("s", "zz", "  dflt  ", buf, sizeof buf, ini.c_str()), 6u);
    EXPECT_STREQ(buf, "  dflt"); // trailing blanks of the default go
    EXPECT_EQ(GetPrivateProfileStringA("s", "a", "DEF", buf, sizeof buf, (dir + "\\none.ini").c_str()), 3u);
    EXPECT_STREQ(buf, "DEF");
    EXPECT_EQ(GetPrivateProfileIntA("s", "a", 5, (dir + "\\none.ini").c_str()), 5u);
}

TEST(Ini, WritingKeepsTheRest)
{
    std::string dir = new_folder(), ini = dir + "\\w.ini";
    ASSERT_TRUE(WritePrivateProfileStringA("client", "name", "PC1", ini.c_str())); // new file
    ASSERT_TRUE(WritePrivateProfileStringA("CLIENT", "Port", "1501", ini.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("option", "log", "2", ini.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("Client", "NAME", "PC2", ini.c_str())); // in place
    ASSERT_TRUE(WritePrivateProfileStringA("client", "server", "", ini.c_str()));
    char buf[64];
    GetPrivateProfileStringA("client", "name", "", buf, sizeof buf, ini.c_str());
    EXPECT_STREQ(buf, "PC2");
    EXPECT_EQ(GetPrivateProfileIntA("client", "port", 0, ini.c_str()), 1501u);
    EXPECT_EQ(GetPrivateProfileIntA("option", "log", 0, ini.c_str()), 2u);
    GetPrivateProfileStringA("client", "server", "DEF", buf, sizeof buf, ini.c_str());
    EXPECT_STREQ(buf, "");
    ASSERT_TRUE(WritePrivateProfileStringA("client", "port", NULL, ini.c_str())); // delete
    EXPECT_EQ(GetPrivateProfileIntA("client", "port", 9, ini.c_str()), 9u);
#ifndef _WIN32 // Wine rewrites every line in its own form; Windows and we keep them
    EXPECT_EQ(get_file(ini), "[client]\r\nname=PC2\r\nserver=\r\n[option]\r\nlog=2\r\n");
    ASSERT_TRUE(put_file(ini, "; keep\n[a]\n  x = 1 \n\n[b]\ny=2"));
    ASSERT_TRUE(WritePrivateProfileStringA("a", "X", "5", ini.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("a", "new", "n", ini.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("b", "z", "3", ini.c_str()));
    EXPECT_EQ(get_file(ini), "; keep\n[a]\nx=5\r\nnew=n\r\n\n[b]\ny=2\r\nz=3\r\n");
#endif
}

TEST(Ini, ConcurrentWritersLoseNothing)
{
    std::string dir = new_folder(), ini = dir + "\\c.ini";
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; i++) {
                char key[32], val[32];
                snprintf(key, sizeof key, "k%d_%d", t, i);
                snprintf(val, sizeof val, "%d", t * 1000 + i);
                WritePrivateProfileStringA(t % 2 ? "odd" : "even", key, val, ini.c_str());
            }
        });
    for (auto &th : threads)
        th.join();
    for (int t = 0; t < 4; t++)
        for (int i = 0; i < 25; i++) {
            char key[32];
            snprintf(key, sizeof key, "k%d_%d", t, i);
            EXPECT_EQ((int)GetPrivateProfileIntA(t % 2 ? "odd" : "even", key, -1, ini.c_str()), t * 1000 + i)
                << key;
        }
}

// ------------------------------------------------------ date and time

TEST(Time, PicturesTable)
{
    SYSTEMTIME st = {2024, 1, 5, 5, 14, 3, 9, 0};
    struct {
        bool date;
        const char *picture, *out;
    } cases[] = {
        {true, "yyyyMMdd", "20240105"},
        {false, "HHmmss", "140309"},
        {true, "yy/M/d ddd dddd", "24/1/5 Fri Friday"},
        {true, "MMM MMMM", "Jan January"},
        {true, "dd.MM.yyyy", "05.01.2024"},
        {false, "hh:mm:ss tt", "02:03:09 PM"},
        {false, "h:m:s t", "2:3:9 P"},
        {false, "'at' HH 'o''clock'", "at 14 o'clock"},
        {true, "HHmmss", "HHmmss"},   // time letters mean nothing in a date
        {false, "yyyyMMdd", "yyyyMMdd"}, // and date letters nothing in a time
    };
    for (const auto &c : cases) {
        char out[64];
        int n = c.date ? GetDateFormatA(0, 0, &st, c.picture, out, sizeof out)
                       : GetTimeFormatA(0, 0, &st, c.picture, out, sizeof out);
        EXPECT_EQ(n, (int)strlen(c.out) + 1) << c.picture;
        EXPECT_STREQ(out, c.out) << c.picture;
    }
    SYSTEMTIME midnight = {2024, 12, 0, 31, 0, 0, 0, 0};
    char out[64];
    GetTimeFormatA(0, 0, &midnight, "h hh tt", out, sizeof out);
    EXPECT_STREQ(out, "12 12 AM");
    GetDateFormatA(0, 0, &midnight, "dddd", out, sizeof out);
    EXPECT_STREQ(out, "Tuesday"); // from the date, not wDayOfWeek

    EXPECT_EQ(GetDateFormatA(0, 0, &st, "yyyyMMdd", NULL, 0), 9); // size asked
    SetLastError(0);
    EXPECT_EQ(GetDateFormatA(0, 0, &st, "yyyyMMdd", out, 8), 0);   // no room for the 0
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_GT(GetTimeFormatA(0, 0, NULL, "HH:mm", out, sizeof out), 0); // now
    EXPECT_EQ(strlen(out), 5u);
}

#ifndef _WIN32
TEST(Time, DefaultFormatsFollowTheLocale)
{
    SYSTEMTIME st = {2024, 1, 5, 5, 14, 3, 9, 0};
    const char *saved = getenv("LC_ALL");
    std::string keep = saved ? saved : "";
    char out[64];
    set_env("LC_ALL", "en_US.UTF-8");
    GetTimeFormatA(0, 0, &st, NULL, out, sizeof out);
    EXPECT_STREQ(out, "2:03:09 PM");
    GetDateFormatA(0, 0, &st, NULL, out, sizeof out);
    EXPECT_STREQ(out, "1/5/2024");
    set_env("LC_ALL", "ja_JP.UTF-8");
    GetTimeFormatA(0, 0, &st, NULL, out, sizeof out);
    EXPECT_STREQ(out, "14:03:09");
    GetDateFormatA(0, 0, &st, NULL, out, sizeof out);
    EXPECT_STREQ(out, "2024/01/05");
    set_env("LC_ALL", saved ? keep.c_str() : NULL);
}
#endif

// ------------------------------------------------------ message texts

TEST(Messages, EveryProducedCodeHasAText)
{
    const DWORD codes[] = {
        ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_TOO_MANY_OPEN_FILES, ERROR_ACCESS_DENIED,
        ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY, ERROR_NO_MORE_FILES, ERROR_WRITE_PROTECT,
        ERROR_NOT_READY, ERROR_WRITE_FAULT, ERROR_READ_FAULT, ERROR_GEN_FAILURE, ERROR_SHARING_VIOLATION, ERROR_NOT_SUPPORTED, ERROR_FILE_EXISTS,
        ERROR_INVALID_PARAMETER, ERROR_BROKEN_PIPE, ERROR_DISK_FULL, ERROR_INSUFFICIENT_BUFFER,
        ERROR_MOD_NOT_FOUND, ERROR_PROC_NOT_FOUND, 131, ERROR_DIR_NOT_EMPTY, ERROR_ALREADY_EXISTS,
        203, ERROR_FILENAME_EXCED_RANGE, ERROR_DIRECTORY, 317, ERROR_NO_UNICODE_TRANSLATION,
        ERROR_DLL_INIT_FAILED, ERROR_INVALID_WINDOW_HANDLE, 1407, 1410, 1413, 1421, 1444,
        ERROR_RESOURCE_NAME_NOT_FOUND, ERROR_TIMEOUT,
        10004, 10009, 10013, 10014, 10022, 10024, 10035, 10036, 10038, 10040, 10043, 10047,
        10048, 10049, 10050, 10051, 10053, 10054, 10055, 10057, 10058, 10060, 10061, 10065,
        10091, 10092, 10093, 11001, 11002, 11003, 11004,
    };
#ifndef _WIN32 // Wine's own table lacks some of these (Windows has them all)
    for (DWORD code : codes) {
        char buf[256];
        memset(buf, 0, sizeof buf);
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, code, 0, buf, 255, NULL);
        EXPECT_GT(n, 2u) << code;
        EXPECT_EQ(n, strlen(buf)) << code;
        EXPECT_TRUE(n >= 2 && buf[n - 2] == '\r' && buf[n - 1] == '\n') << code;
    }
#else
    (void)codes;
#endif
    char buf[16] = "untouched";
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, 0x3fffff, 0, buf, sizeof buf, NULL), 0u);
    EXPECT_EQ(GetLastError(), 317u);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, ERROR_SHARING_VIOLATION, 0, buf, 5, NULL), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
}

// ---------------------------------------------- strings and code page

TEST(Strings, CopyAndCompare)
{
    char buf[8];
    EXPECT_EQ(lstrlenA(NULL), 0);
    lstrcpynA(buf, "abcdefghij", 5);
    EXPECT_STREQ(buf, "abcd");
    lstrcpyA(buf, "ab");
    lstrcatA(buf, "cd");
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(lstrcmpiA("ABCD", buf), 0);
    EXPECT_NE(lstrcmpA("ABCD", buf), 0);
    char full[MAX_PATH], path[5];
    ASSERT_GT(GetModuleFileNameA(NULL, full, sizeof full), 4u);
    EXPECT_EQ(GetModuleFileNameA(NULL, path, sizeof path), (DWORD)sizeof path); // cut
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(path, 4), std::string(full, 4));
#ifndef _WIN32 // terminated as current Windows does (Wine leaves it open)
    EXPECT_EQ(path[4], 0);
#endif
}

TEST(CodePage, LeadBytesOf932)
{
#ifndef _WIN32
    set_env("QV7_ACP", "932");
#endif
    if (GetACP() != 932)
        GTEST_SKIP() << "the ANSI code page is not 932 here";
    for (int c = 0; c < 256; c++) {
        bool lead = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
        EXPECT_EQ(IsDBCSLeadByte((BYTE)c) != 0, lead) << c;
    }
    // "表" is 0x95 0x5C: its trail byte is no separator, so this is one file
    std::string dir = new_folder(), f = dir + "\\\x95\x5c.txt";
    ASSERT_TRUE(put_file(f, "dbcs"));
    WIN32_FIND_DATAA e;
    HANDLE h = FindFirstFileA((dir + "\\*.txt").c_str(), &e);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(e.cFileName, "\x95\x5c.txt");
    FindClose(h);
    EXPECT_TRUE(DeleteFileA(f.c_str()));
#ifndef _WIN32
    set_env("QV7_ACP", NULL);
#endif
}

#ifndef _WIN32
TEST(CodePage, FromTheLocale)
{
    const char *saved = getenv("LC_ALL");
    std::string keep = saved ? saved : "";
    set_env("QV7_ACP", NULL);
    struct {
        const char *lc_all;
        UINT acp;
    } cases[] = {{"ja_JP.SJIS", 932}, {"ja_JP.Shift_JIS", 932}, {"ja_JP.UTF-8", 65001}, {"C", 65001}};
    for (const auto &c : cases) {
        set_env("LC_ALL", c.lc_all);
        EXPECT_EQ(GetACP(), c.acp) << c.lc_all;
    }
    EXPECT_FALSE(IsDBCSLeadByte(0x81));
    set_env("QV7_ACP", "932");
    EXPECT_EQ(GetACP(), 932u);
    set_env("QV7_ACP", NULL);
    set_env("LC_ALL", saved ? keep.c_str() : NULL);
}

// ------------------------------------------------------------ modules

typedef const char *(*path_fn)(void);
typedef int (*count_fn)(void);

template <typename F> F export_of(HMODULE m, const char *name)
{
    return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(m, name)));
}

// A copy of the test module under `name` in `dir`.
std::string module_copy(const std::string &dir, const char *name)
{
    const char *build = getenv("QV7_BUILD_DIR");
    std::string src = std::string(build ? build : ".") + "/fake_module.qv7", dst = dir + "/" + name;
    EXPECT_TRUE(CopyFileA(src.c_str(), dst.c_str(), FALSE)) << src;
    return dst;
}

TEST(Modules, LoadRunsDllMainAndKnowsItsPath)
{
    std::string dir = new_folder();
    std::string one = module_copy(dir, "one.qv7"), two = module_copy(dir, "two.qv7"),
                bad = module_copy(dir, "bad.qv7");
    HMODULE m1 = LoadLibraryA(one.c_str());
    ASSERT_NE(m1, nullptr) << GetLastError();
    path_fn path_of = export_of<path_fn>(m1, "fake_module_path");
    count_fn attaches = export_of<count_fn>(m1, "fake_module_attaches");
    ASSERT_TRUE(path_of && attaches);
    const char *expect = one.c_str(); // new_folder gives "/tmp/..." here
    EXPECT_STREQ(path_of(), expect); // asked from inside its DllMain
    char got[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameA(m1, got, sizeof got), strlen(expect));
    EXPECT_STREQ(got, expect);
    EXPECT_EQ(LoadLibraryA(one.c_str()), m1); // counted, DllMain not run again
    EXPECT_EQ(attaches(), 1);

    HMODULE m2 = LoadLibraryA(two.c_str()); // another copy: another instance
    ASSERT_NE(m2, nullptr);
    EXPECT_NE(m2, m1);
    EXPECT_EQ(export_of<count_fn>(m2, "fake_module_attaches")(), 1);
    EXPECT_EQ(GetProcAddress(m2, "no_such_export"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PROC_NOT_FOUND);

    set_env("QV7_FAKE_DLLMAIN", "0");
    EXPECT_EQ(LoadLibraryA(bad.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DLL_INIT_FAILED);
    set_env("QV7_FAKE_DLLMAIN", NULL);
    EXPECT_EQ(LoadLibraryA((dir + "/none.qv7").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);

    count_fn detaches = export_of<count_fn>(m1, "fake_module_detaches");
    EXPECT_TRUE(FreeLibrary(m1));
    EXPECT_EQ(detaches(), 0);
    EXPECT_TRUE(FreeLibrary(m1));
    EXPECT_EQ(detaches(), 1); // the last reference ran the detach
    EXPECT_TRUE(FreeLibrary(m2));

    char exe[MAX_PATH], real[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(NULL, exe, sizeof exe), 0u);
    ssize_t n = readlink("/proc/self/exe", real, sizeof real - 1);
    real[n > 0 ? n : 0] = 0;
    EXPECT_STREQ(exe, real);
    EXPECT_EQ(GetModuleHandleA(NULL), GetModuleHandleA(NULL));
}

// ------------------------------------------------ console control

std::atomic<int> ctrl_seen{-1};
std::atomic<DWORD> ctrl_thread{0};

BOOL WINAPI ctrl_handler(DWORD type)
{
    ctrl_thread = GetCurrentThreadId();
    ctrl_seen = (int)type;
    return TRUE; // handled: the process goes on
}

TEST(Console, InterruptRunsTheHandlerOnAnotherThread)
{
    ASSERT_TRUE(SetConsoleCtrlHandler(ctrl_handler, TRUE));
    raise(SIGINT);
    for (int i = 0; i < 500 && ctrl_seen < 0; i++)
        Sleep(10);
    EXPECT_EQ(ctrl_seen.load(), CTRL_C_EVENT);
    EXPECT_NE(ctrl_thread.load(), GetCurrentThreadId());
    ctrl_seen = -1;
    raise(SIGTERM);
    for (int i = 0; i < 500 && ctrl_seen < 0; i++)
        Sleep(10);
    EXPECT_EQ(ctrl_seen.load(), CTRL_BREAK_EVENT);
    EXPECT_TRUE(SetConsoleCtrlHandler(ctrl_handler, FALSE));
    EXPECT_FALSE(SetConsoleCtrlHandler(ctrl_handler, FALSE)); // no longer there
}

// --------------------------------------------------- fault injection

TEST(Faults, NthCallFailsWithTheChosenError)
{
    std::string dir = new_folder(), f = dir + "\\f.txt";
    qv7_fault_clear();
    qv7_fault_set("CreateFileA", 2, 1, ERROR_DISK_FULL);
    EXPECT_TRUE(put_file(f, "1"));
    EXPECT_FALSE(put_file(f, "2"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DISK_FULL);
    EXPECT_TRUE(put_file(f, "3"));
    EXPECT_EQ(qv7_fault_calls("CreateFileA"), 3u);

    qv7_fault_set("WriteFile", 1, 0, ERROR_HANDLE_DISK_FULL); // every later call
    EXPECT_FALSE(put_file(f, "4"));
    EXPECT_FALSE(put_file(f, "5"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_HANDLE_DISK_FULL);
    qv7_fault_clear();
    EXPECT_TRUE(put_file(f, "6"));
    EXPECT_EQ(qv7_fault_calls("CreateFileA"), 1u);
    // the layer's own opens inside CopyFileA are not the caller's calls
    EXPECT_TRUE(CopyFileA(f.c_str(), (f + "c").c_str(), FALSE));
    EXPECT_EQ(qv7_fault_calls("CreateFileA"), 1u);
    EXPECT_EQ(qv7_fault_calls("CopyFileA"), 1u);
    DeleteFileA((f + "c").c_str());

    struct {
        const char *call;
        DWORD error;
    } calls[] = {{"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY}, {"CopyFileA", ERROR_DISK_FULL},
                 {"DeleteFileA", ERROR_ACCESS_DENIED}, {"FindFirstFileA", ERROR_PATH_NOT_FOUND},
                 {"CreateDirectoryA", ERROR_ACCESS_DENIED}, {"MoveFileA", ERROR_SHARING_VIOLATION},
                 {"WritePrivateProfileStringA", ERROR_ACCESS_DENIED}};
    for (const auto &c : calls) {
        qv7_fault_set(c.call, 1, 1, c.error);
        WIN32_FIND_DATAA e;
        bool failed = !strcmp(c.call, "LocalAlloc") ? LocalAlloc(LMEM_FIXED, 16) == NULL
                    : !strcmp(c.call, "CopyFileA") ? !CopyFileA(f.c_str(), (f + "2").c_str(), FALSE)
                    : !strcmp(c.call, "DeleteFileA") ? !DeleteFileA(f.c_str())
                    : !strcmp(c.call, "FindFirstFileA") ? FindFirstFileA(f.c_str(), &e) == INVALID_HANDLE_VALUE
                    : !strcmp(c.call, "CreateDirectoryA") ? !CreateDirectoryA((dir + "\\n").c_str(), NULL)
                    : !strcmp(c.call, "MoveFileA") ? !MoveFileA(f.c_str(), (f + "3").c_str())
                    : !WritePrivateProfileStringA("s", "k", "v", (dir + "\\x.ini").c_str());
        EXPECT_TRUE(failed) << c.call;
        EXPECT_EQ(GetLastError(), c.error) << c.call;
    }
    // nothing happened for real
    EXPECT_EQ(get_file(f), "6");
    EXPECT_EQ(GetFileAttributesA((dir + "\\n").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesA((dir + "\\x.ini").c_str()), INVALID_FILE_ATTRIBUTES);
    void *p = LocalAlloc(LMEM_ZEROINIT, 64); // the rules were for one call each
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(((char *)p)[63], 0);
    LocalFree(p);
    qv7_fault_clear();
}
#endif

} // namespace
