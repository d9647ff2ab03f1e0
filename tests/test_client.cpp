/* The client role against the test collector on loopback: the send trigger,
 * the delivery run's state machine with every way the server can break it,
 * the run marker under concurrent triggers, and the event entry that fills
 * the queue. */
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <stdlib.h>
#endif

#include "common/client_env.h"
#include "common/test_collector.h"
#include "client/protocol.h"
#include "frame/contract.h"
#include "frame/settings.h"

namespace {

std::string b64(const std::string &bytes)
{
    static const char abc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        unsigned v = (unsigned char)bytes[i] << 16;
        if (i + 1 < bytes.size())
            v |= (unsigned char)bytes[i + 1] << 8;
        if (i + 2 < bytes.size())
            v |= (unsigned char)bytes[i + 2];
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? abc[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? abc[v & 63] : '=';
    }
    return out;
}

void set_recv_timeout_env(const char *ms)
{
#ifdef _WIN32
    SetEnvironmentVariableA("QV7_SOCK_RECV_TIMEOUT_MS", ms);
#else
    if (ms)
        setenv("QV7_SOCK_RECV_TIMEOUT_MS", ms, 1);
    else
        unsetenv("QV7_SOCK_RECV_TIMEOUT_MS");
#endif
}

/* A port on loopback where nothing listens. */
int dead_port(void)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    int port = 0;
    if (bind(s, (struct sockaddr *)&addr, sizeof addr) == 0 &&
        getsockname(s, (struct sockaddr *)&addr, &len) == 0)
        port = ntohs(addr.sin_port);
    closesocket(s);
    return port;
}

class Client : public ::testing::Test {
protected:
    std::string scratch;
    std::string resent;
    test_collector *collector = nullptr;

    void SetUp() override
    {
        scratch = ce_make_scratch();
        ASSERT_FALSE(scratch.empty());
        resent = scratch + "\\resent";
        ce_settings(scratch, 1);
        set_recv_timeout_env("20000"); /* a broken test fails instead of hanging */
    }
    void TearDown() override
    {
        ce_wait_run_end();
        tc_stop(collector);
        set_recv_timeout_env(nullptr);
#ifndef _WIN32
        qv7_fault_clear();
#endif
        ce_remove_tree(scratch);
    }
    void start(const tc_script &script = tc_script())
    {
        collector = tc_start(script);
        ASSERT_NE(nullptr, collector);
        plugin_settings.client_port = tc_port(collector);
    }
    void put(const std::string &name, const std::string &bytes)
    {
        ASSERT_TRUE(ce_write(resent + "\\" + name, bytes));
    }
    std::vector<std::string> queued() { return ce_list(resent, "*.csv"); }
    std::set<std::string> stored_names()
    {
        std::set<std::string> names;
        for (const tc_file &f : tc_files(collector))
            names.insert(f.name);
        return names;
    }
};

TEST_F(Client, DeliversEveryFileAndDeletesIt)
{
    start();
    std::string binary("\0\x01\xff\xfe\r\n,;\x80", 10);
    put("1_20240105_140309_PC1.csv", "a,b,c\r\n1,2,3\r\n");
    put("2_20240105_140310_PC1.csv", "");
    put("3_20240105_140311_PC1.csv", binary);
    put("notes.txt", "not queued");
    put("4_20240105_140312_PC1.tmp", "never sent");
    ASSERT_EQ(1, ce_run());

    EXPECT_TRUE(queued().empty());
    EXPECT_TRUE(ce_exists(resent + "\\notes.txt"));
    EXPECT_TRUE(ce_exists(resent + "\\4_20240105_140312_PC1.tmp"));
    std::vector<tc_file> files = tc_files(collector);
    ASSERT_EQ(3u, files.size());
    for (const tc_file &f : files) {
        if (f.name == "1_20240105_140309_PC1.csv")
            EXPECT_EQ("a,b,c\r\n1,2,3\r\n", f.bytes);
        else if (f.name == "2_20240105_140310_PC1.csv")
            EXPECT_EQ("", f.bytes);
        else
            EXPECT_EQ(binary, f.bytes) << f.name;
    }
    EXPECT_EQ(1, tc_connections(collector));
    /* the empty file's data line is CR LF alone */
    std::vector<std::string> lines = tc_lines(collector, 0);
    auto empty_at = std::find(lines.begin(), lines.end(), "2_20240105_140310_PC1.csv");
    ASSERT_NE(lines.end(), empty_at);
    ASSERT_NE(lines.end(), empty_at + 1);
    EXPECT_EQ("", *(empty_at + 1));
    EXPECT_EQ(1, ce_log_count("gethostbyname: 127.0.0.1"));
}

TEST_F(Client, LogOfOneRunInOrder)
{
    start();
    put("7_20240105_140309_PC1.csv", "x,y");
    ASSERT_EQ(1, ce_run());
    std::string path = resent + "\\7_20240105_140309_PC1.csv";
    std::vector<std::string> expected = {
        "gethostbyname: 127.0.0.1",
        "Start Send Thread",
        "socket",
        "connect",
        "R: +OK",
        "Find File: " + resent + "\\*.csv",
        "Send File",
        "S: 7_20240105_140309_PC1.csv",
        "R: +OK",
        "S: " + b64("x,y"),
        "R: +OK",
        "Delete: " + path,
        "closesocket",
        "End Send Thread",
    };
    EXPECT_EQ(expected, ce_log());
    EXPECT_EQ((std::vector<std::string>{"7_20240105_140309_PC1.csv", b64("x,y")}),
              tc_lines(collector, 0));

    /* a second run uses the cached address: no lookup line */
    put("8_20240105_140309_PC1.csv", "z");
    ASSERT_EQ(1, ce_run());
    EXPECT_EQ(1, ce_log_count("gethostbyname", true));
    EXPECT_EQ(2, tc_connections(collector));

    /* level 1 keeps only starts, ends, one line per file and errors */
    plugin_settings.log_level = 1;
    put("9_20240105_140309_PC1.csv", "z");
    DeleteFileA(plugin_settings.log_path);
    ASSERT_EQ(1, ce_run());
    EXPECT_EQ((std::vector<std::string>{"Start Send Thread", "Send File", "End Send Thread"}),
              ce_log());
}

TEST_F(Client, NegativeReplyKeepsTheFileAndTheRunGoesOn)
{
    tc_script script;
    std::string name;
    script.reply = [](int, int line, const std::string &text) {
        /* the second file's data line is refused */
        return line == 3 ? tc_act::err : tc_act::ok;
    };
    start(script);
    put("a.csv", "1");
    put("b.csv", "2");
    put("c.csv", "3");
    ASSERT_EQ(1, ce_run());
    EXPECT_EQ(1, tc_connections(collector));
    std::vector<std::string> lines = tc_lines(collector, 0);
    ASSERT_EQ(6u, lines.size()); /* all three offered on the one connection */
    EXPECT_EQ((std::vector<std::string>{lines[2]}), queued());
    EXPECT_EQ(2u, stored_names().size());
    EXPECT_EQ(0u, stored_names().count(lines[2]));
    EXPECT_EQ(0, ce_log_count("Error(", true));
}

/* One way the server breaks the run, and what must show afterwards. */
struct break_case {
    const char *what;
    tc_act greeting;
    int bad_line;       /* line whose answer is `act` (-1: none) */
    tc_act act;
    int cut_line;       /* line broken off after a few bytes (-1: none) */
    size_t acked;       /* files that got a positive data reply */
    bool listed;        /* "Find File" reached */
    bool loop_ended;    /* "closesocket" written */
    const char *error;  /* an error line that must be there, or null */
};

TEST_F(Client, EveryBreakOfTheConnectionKeepsUnacknowledgedFiles)
{
    const break_case cases[] = {
        {"closed before the greeting", tc_act::close, -1, tc_act::ok, -1, 0, false, false, nullptr},
        {"reset before the greeting", tc_act::reset, -1, tc_act::ok, -1, 0, false, false,
         "Error(recv)"},
        {"garbage greeting", tc_act::garbage, -1, tc_act::ok, -1, 0, false, false, nullptr},
        {"-ERR greeting", tc_act::err, -1, tc_act::ok, -1, 0, false, false, nullptr},
        {"closed after the first name line", tc_act::ok, 0, tc_act::close, -1, 0, true, true,
         nullptr},
        {"reset after the second name line", tc_act::ok, 2, tc_act::reset, -1, 1, true, true,
         "Error(recv)"},
        {"-ERR to a name line", tc_act::ok, 2, tc_act::err, -1, 1, true, true, nullptr},
        {"garbage to a name line", tc_act::ok, 0, tc_act::garbage, -1, 0, true, true, nullptr},
        {"closed in the middle of a data line", tc_act::ok, -1, tc_act::ok, 1, 0, true, true,
         nullptr},
        {"closed in the middle of the second data line", tc_act::ok, -1, tc_act::ok, 3, 1, true,
         true, nullptr},
        {"closed after a data line", tc_act::ok, 3, tc_act::close, -1, 1, true, true, nullptr},
        {"reset after a data line", tc_act::ok, 1, tc_act::reset, -1, 0, true, true, nullptr},
    };
    for (const break_case &c : cases) {
        SCOPED_TRACE(c.what);
        tc_script script;
        script.greeting = [c](int) { return c.greeting; };
        script.reply = [c](int, int line, const std::string &) {
            return line == c.bad_line ? c.act : tc_act::ok;
        };
        script.cut = [c](int, int line) { return line == c.cut_line ? 20L : -1L; };
        start(script);
        /* data lines long enough to be cut in the middle */
        put("a.csv", std::string(3000, 'a'));
        put("b.csv", std::string(3000, 'b'));
        put("c.csv", std::string(3000, 'c'));
        ASSERT_EQ(1, ce_run());

        std::set<std::string> acked = stored_names();
        EXPECT_EQ(c.acked, acked.size());
        std::vector<std::string> left = queued();
        EXPECT_EQ(3 - c.acked, left.size());
        for (const std::string &name : left)
            EXPECT_EQ(0u, acked.count(name)) << name;
        EXPECT_EQ(1, tc_connections(collector));
        EXPECT_EQ(c.listed ? 1 : 0, ce_log_count("Find File", true));
        EXPECT_EQ(c.loop_ended ? 1 : 0, ce_log_count("closesocket"));
        if (c.error) {
            EXPECT_LE(1, ce_log_count(std::string(c.error) + ": ", true));
        }
        EXPECT_EQ(0, ce_log_count("Error(FindFirstFile)", true));
        EXPECT_EQ(1, ce_log_count("End Send Thread"));

        tc_stop(collector);
        collector = nullptr;
        ce_remove_tree(resent);
        CreateDirectoryA(resent.c_str(), NULL);
        DeleteFileA(plugin_settings.log_path);
    }
}

TEST_F(Client, SizeCheckBeforeDelete)
{
    tc_script script;
    std::string dir = resent;
    script.store = [dir](const std::string &name, const std::string &) {
        std::string path = dir + "\\" + name;
        if (name == "grown.csv")
            ce_write(path, "grown,longer");
        else if (name == "gone.csv")
            DeleteFileA(path.c_str());
        else if (name == "same.csv")
            ce_write(path, "SAME");
        return true;
    };
    start(script);
    put("grown.csv", "grown");
    put("gone.csv", "gone");
    put("same.csv", "same");
    ASSERT_EQ(1, ce_run());
    EXPECT_EQ(3u, stored_names().size());
    /* a rewritten file with a new size waits for the next run; one rewritten
     * with the same size counts as delivered */
    EXPECT_EQ((std::vector<std::string>{"grown.csv"}), queued());
    EXPECT_EQ("grown,longer", ce_read(resent + "\\grown.csv"));
    EXPECT_EQ(1, ce_log_count("Delete", true));
    EXPECT_EQ(0, ce_log_count("Error(", true));
}

TEST_F(Client, FolderContents)
{
    tc_script script;
    start(script);
    /* folders named *.csv are skipped, the pattern ignores letter case */
    ASSERT_TRUE(CreateDirectoryA((resent + "\\folder.csv").c_str(), NULL));
    put("UPPER.CSV", "u");
    ASSERT_EQ(1, ce_run());
    EXPECT_EQ((std::set<std::string>{"UPPER.CSV"}), stored_names());
    EXPECT_TRUE(ce_exists(resent + "\\folder.csv"));

    /* only a folder left: the run connects, reads the greeting, lists nothing */
    DeleteFileA(plugin_settings.log_path);
    ASSERT_EQ(1, ce_run());
    EXPECT_EQ(2, tc_connections(collector));
    EXPECT_TRUE(tc_lines(collector, 1).empty());

    EXPECT_EQ(1, ce_log_count("closesocket"));
    EXPECT_EQ(0, ce_log_count("Error(", true));

    /* no folder at all */
    ce_remove_tree(resent);
    DeleteFileA(plugin_settings.log_path);
    ASSERT_EQ(1, ce_run());
    EXPECT_EQ(3, tc_connections(collector));
    EXPECT_TRUE(tc_lines(collector, 2).empty());
    EXPECT_EQ(1, ce_log_count("Error(FindFirstFile): ", true));
    EXPECT_EQ(0, ce_log_count("closesocket"));
    EXPECT_EQ(0, ce_log_count("Send File"));
}

TEST_F(Client, LockedFileEndsTheRun)
{
    start();
    put("locked.csv", "held");
    std::string path = resent + "\\locked.csv";
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    ASSERT_EQ(1, ce_run());
    CloseHandle(h);
    EXPECT_EQ(1, ce_log_count("Error(file_read_buf): ", true));
    EXPECT_EQ((std::vector<std::string>{"locked.csv"}), tc_lines(collector, 0));
    EXPECT_EQ((std::vector<std::string>{"locked.csv"}), queued());
    EXPECT_EQ(1, ce_log_count("closesocket"));
    /* once released it goes with the next run */
    ASSERT_EQ(1, ce_run());
    EXPECT_TRUE(queued().empty());
}

TEST_F(Client, SendStartOutcomes)
{
    start();
    put("a.csv", "1");

    /* no server: 0, nothing logged, nothing started */
    plugin_settings.client_server[0] = 0;
    EXPECT_EQ(0, send_start());
    EXPECT_TRUE(ce_log().empty());
    EXPECT_EQ(SEND_THREAD_NONE, plugin_settings.send_thread_handle);

    /* a run under way: 1, nothing logged, nothing started */
    lstrcpyA(plugin_settings.client_server, "127.0.0.1");
    plugin_settings.send_thread_handle = 12345;
    EXPECT_EQ(1, send_start());
    EXPECT_TRUE(ce_log().empty());
    EXPECT_EQ(12345u, plugin_settings.send_thread_handle);
    plugin_settings.send_thread_handle = SEND_THREAD_NONE;

    /* a name that cannot be resolved: the lookup line, the error, no cache,
     * and the next trigger tries again */
    lstrcpyA(plugin_settings.client_server, "no-such-host.invalid");
    EXPECT_EQ(0, send_start());
    EXPECT_EQ(0, send_start());
    EXPECT_EQ(2, ce_log_count("gethostbyname: no-such-host.invalid"));
    EXPECT_EQ(2, ce_log_count("Error(gethostbyname): ", true));
    EXPECT_EQ(0u, plugin_settings.server_addr);
    EXPECT_EQ(SEND_THREAD_NONE, plugin_settings.send_thread_handle);
    EXPECT_EQ(0, tc_connections(collector));

    /* a host name is looked up; only the low 16 bits of the port count */
    lstrcpyA(plugin_settings.client_server, "localhost");
    plugin_settings.client_port = tc_port(collector) | 0x70000;
    ASSERT_EQ(1, ce_run());
    EXPECT_EQ(1, ce_log_count("gethostbyname: localhost"));
    EXPECT_EQ(htonl(INADDR_LOOPBACK), plugin_settings.server_addr);
    EXPECT_TRUE(queued().empty());

    /* a dotted address is converted, still with its line */
    plugin_settings.server_addr = 0;
    lstrcpyA(plugin_settings.client_server, "127.0.0.1");
    put("b.csv", "2");
    ASSERT_EQ(1, ce_run());
    EXPECT_EQ(1, ce_log_count("gethostbyname: 127.0.0.1"));
    EXPECT_TRUE(queued().empty());
}

TEST_F(Client, ConnectFailureEndsTheRun)
{
    plugin_settings.client_port = dead_port();
    put("a.csv", "1");
    ASSERT_EQ(1, ce_run());
    EXPECT_EQ(1, ce_log_count("Error(connect): ", true));
    EXPECT_EQ(0, ce_log_count("Find File", true));
    EXPECT_EQ(1, ce_log_count("End Send Thread"));
    EXPECT_EQ(1u, queued().size());
}

TEST_F(Client, TriggersFromManyThreadsNeverOverlapRuns)
{
    tc_script script;
    script.slow_ms = 5;
    script.reply = [](int, int, const std::string &) { return tc_act::slow_ok; };
    start(script);
    for (int i = 0; i < 12; i++)
        put("f" + std::to_string(i) + ".csv", std::string(100, (char)('a' + i)));
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; t++)
        threads.emplace_back([&go]() {
            while (!go.load())
                std::this_thread::yield();
            for (int k = 0; k < 300; k++)
                send_start();
        });
    go = true;
    for (std::thread &t : threads)
        t.join();
    ASSERT_TRUE(ce_wait_run_end());
    for (int k = 0; k < 20 && !queued().empty(); k++)
        ASSERT_EQ(1, ce_run());
    EXPECT_TRUE(queued().empty());
    EXPECT_LE(1, tc_connections(collector));
    EXPECT_EQ(1, tc_max_concurrent(collector));
    EXPECT_EQ(ce_log_count("Start Send Thread"), tc_connections(collector));
    EXPECT_EQ(12u, stored_names().size());
}

TEST_F(Client, SilentServerTimesOutAndTheNextTriggerDelivers)
{
    set_recv_timeout_env("300");
    tc_script script;
    script.greeting = [](int conn) { return conn == 0 ? tc_act::silent : tc_act::ok; };
    script.reply = [](int conn, int line, const std::string &) {
        return conn == 1 && line == 2 ? tc_act::silent : tc_act::ok;
    };
    start(script);
    put("a.csv", "1");
    put("b.csv", "2");
    /* silent before the greeting */
    ASSERT_EQ(1, ce_run());
    EXPECT_EQ(2u, queued().size());
    std::vector<std::string> log = ce_log();
    ASSERT_EQ(1, ce_log_count("Error(recv): ", true));
    EXPECT_EQ(0, ce_log_count("Find File", true));
    /* silent after the second name line: the first file is through */
    ASSERT_EQ(1, ce_run());
    EXPECT_EQ(1u, queued().size());
    EXPECT_EQ(2, ce_log_count("Error(recv): ", true));
    /* the next trigger delivers the rest */
    ASSERT_EQ(1, ce_run());
    EXPECT_TRUE(queued().empty());
    EXPECT_EQ(3, tc_connections(collector));
}

TEST_F(Client, LateDataReplyIsNeverTakenForTheNextFile)
{
    /* The first data reply comes after the read time-out. Were the run to go
     * on reading, that late "+OK" would pass for the second file's name reply
     * and the name reply for its data reply: the second file would be deleted
     * although the collector refuses it. */
    set_recv_timeout_env("1000");
    tc_script script;
    script.slow_ms = 1500;
    script.reply = [](int conn, int line, const std::string &) {
        if (conn == 0 && line == 1)
            return tc_act::slow_ok;
        return conn == 0 && line == 3 ? tc_act::err : tc_act::ok;
    };
    start(script);
    put("a.csv", "1");
    put("b.csv", "2");
    ASSERT_EQ(1, ce_run());
    ASSERT_TRUE(tc_wait_idle(collector, 10000));
    std::set<std::string> stored = stored_names();
    std::vector<std::string> left = queued();
    std::vector<std::string> lines = tc_lines(collector, 0);
    ASSERT_LE(1u, lines.size());
    /* whatever was not stored is still queued */
    for (const std::string &name : {std::string("a.csv"), std::string("b.csv")})
        if (!stored.count(name)) {
            EXPECT_NE(left.end(), std::find(left.begin(), left.end(), name)) << name;
        }
    EXPECT_EQ(2u, left.size());
    EXPECT_EQ(1, ce_log_count("Error(recv): ", true));
}

#ifndef _WIN32
TEST_F(Client, FailuresThroughTheLayer)
{
    start();
    put("a.csv", "1");
    put("b.csv", "2");

    /* the thread cannot start: marker back, error line, nothing sent */
    qv7_fault_set("_beginthread", 1, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(0, send_start());
    EXPECT_EQ(SEND_THREAD_NONE, plugin_settings.send_thread_handle);
    EXPECT_EQ(1, ce_log_count("Error(_beginthread): ", true));

    /* no socket */
    qv7_fault_set("socket", 1, 1, WSAENOBUFS);
    ASSERT_EQ(1, ce_run());
    EXPECT_EQ(1, ce_log_count("Error(socket): ", true));
    EXPECT_EQ(0, ce_log_count("connect"));
    EXPECT_EQ(0, tc_connections(collector));

    /* the lookup fails */
    plugin_settings.server_addr = 0;
    lstrcpyA(plugin_settings.client_server, "localhost");
    qv7_fault_set("gethostbyname", 1, 1, WSAHOST_NOT_FOUND);
    EXPECT_EQ(0, send_start());
    EXPECT_EQ(1, ce_log_count("Error(gethostbyname): ", true));
    lstrcpyA(plugin_settings.client_server, "127.0.0.1");

    /* the name line cannot be sent (the greeting is send #1, by the collector) */
    qv7_fault_set("send", 2, 1, WSAECONNRESET);
    ASSERT_EQ(1, ce_run());
    EXPECT_EQ(1, ce_log_count("Error(send): ", true));
    EXPECT_EQ(2u, queued().size());

    /* the data line cannot be sent: greeting, name, reply, then data (#4) */
    qv7_fault_set("send", 4, 1, WSAECONNRESET);
    ASSERT_EQ(1, ce_run());
    EXPECT_EQ(2, ce_log_count("Error(send): ", true));
    EXPECT_EQ(2u, queued().size());
    EXPECT_EQ(0, ce_log_count("Delete", true));

    /* no memory for the Base64 text: greeting line, name reply, file, text */
    qv7_fault_set("LocalAlloc", 4, 1, ERROR_NOT_ENOUGH_MEMORY);
    ASSERT_EQ(1, ce_run());
    EXPECT_EQ(1, ce_log_count("Error(mem_alloc): ", true));
    EXPECT_EQ(2u, queued().size());

    /* a file that cannot be deleted stays; the run goes on with the next */
    qv7_fault_set("DeleteFileA", 1, 1, ERROR_ACCESS_DENIED);
    ASSERT_EQ(1, ce_run());
    EXPECT_EQ(1, ce_log_count("Error(DeleteFile): ", true));
    EXPECT_EQ(1u, queued().size());
    EXPECT_EQ(2u, stored_names().size());
    qv7_fault_clear();
}
#endif

/* ---- the event entry ---- */

class EventEntry : public Client {
protected:
    ce_host host;
    SYSTEMTIME when{};
    void SetUp() override
    {
        Client::SetUp();
        ASSERT_TRUE(ce_host_open(&host));
        plugin_settings.client_server[0] = 0; /* store only, unless a test sets one */
        when.wYear = 2024;
        when.wMonth = 1;
        when.wDay = 5;
        when.wDayOfWeek = 5;
        when.wHour = 14;
        when.wMinute = 3;
        when.wSecond = 9;
        when.wMilliseconds = 789;
    }
    void TearDown() override
    {
        ce_host_close(&host);
        Client::TearDown();
    }
};

TEST_F(EventEntry, StoresTheRecordUnderItsName)
{
    host.text = "no,header\r\n1,2";
    EXPECT_EQ(1, ce_raise_record(&host, 7, when));
    EXPECT_EQ((std::vector<std::string>{"7_20240105_140309_PC1.csv"}), queued());
    EXPECT_EQ("no,header\r\n1,2", ce_read(resent + "\\7_20240105_140309_PC1.csv"));
    EXPECT_TRUE(ce_list(resent, "*.tmp").empty());
    EXPECT_EQ(1, host.get_calls);
    EXPECT_EQ(1, host.free_calls);
    EXPECT_EQ((LPARAM)host.text, host.last_freed);

    SYSTEMTIME other{};
    other.wYear = 1999;
    other.wMonth = 12;
    other.wDay = 31;
    other.wHour = 0;
    other.wMinute = 0;
    other.wSecond = 0;
    host.text = "";
    EXPECT_EQ(1, ce_raise_record(&host, -12, other));
    EXPECT_TRUE(ce_exists(resent + "\\-12_19991231_000000_PC1.csv"));
    EXPECT_EQ("", ce_read(resent + "\\-12_19991231_000000_PC1.csv"));
    EXPECT_EQ(2, host.free_calls);

    /* the same name again replaces the waiting file */
    host.text = "second";
    EXPECT_EQ(1, ce_raise_record(&host, 7, when));
    EXPECT_EQ("second", ce_read(resent + "\\7_20240105_140309_PC1.csv"));
    EXPECT_EQ(2u, queued().size());
    EXPECT_TRUE(ce_log().empty()); /* no server: nothing is tried */
}

TEST_F(EventEntry, NothingToDo)
{
    ce_remove_tree(resent);
    host.text = "x";

    /* client role off: 1, the host is not asked, nothing written */
    plugin_settings.client_enable = 0;
    EXPECT_EQ(1, ce_raise_record(&host, 1, when));
    EXPECT_EQ(1, qv7_sock(host.window, PLUGIN_EVENT_SEND, NULL, 0));
    EXPECT_EQ(0, host.get_calls);
    EXPECT_FALSE(ce_exists(resent));
    plugin_settings.client_enable = 1;

    /* the host has nothing: 0, no release, no folder */
    host.text = nullptr;
    EXPECT_EQ(0, ce_raise_record(&host, 1, when));
    EXPECT_EQ(1, host.get_calls);
    EXPECT_EQ(0, host.free_calls);
    EXPECT_FALSE(ce_exists(resent));

    /* other codes: 1, nothing */
    EXPECT_EQ(1, qv7_sock(host.window, 2, NULL, 0));
    EXPECT_EQ(1, qv7_sock(host.window, 0x80, NULL, 0));
    EXPECT_EQ(1, host.get_calls);
    EXPECT_TRUE(ce_log().empty());
}

TEST_F(EventEntry, RecordFailures)
{
    host.text = "data";

    /* a name the file system refuses */
    lstrcpyA(plugin_settings.client_name, "x\\y");
    EXPECT_EQ(0, ce_raise_record(&host, 1, when));
    EXPECT_EQ(1, ce_log_count("Error(file_write_buf): ", true));
    EXPECT_EQ(1, host.free_calls);
    EXPECT_TRUE(ce_list(resent).empty());

    /* a path longer than its buffer: refused before anything is written */
    lstrcpyA(plugin_settings.client_name, std::string(254, 'n').c_str());
    EXPECT_EQ(0, ce_raise_record(&host, 1, when));
    EXPECT_EQ(1, ce_log_count("Error(wsprintf): ", true));
    EXPECT_EQ(2, host.free_calls);
    EXPECT_TRUE(ce_list(resent).empty());

    /* the CSV name is held open by someone who shares nothing: the copy
     * fails and the complete .tmp stays */
    lstrcpyA(plugin_settings.client_name, "PC1");
    std::string csv = resent + "\\3_20240105_140309_PC1.csv";
    ASSERT_TRUE(ce_write(csv, "old"));
    HANDLE held = CreateFileA(csv.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    EXPECT_EQ(0, ce_raise_record(&host, 3, when));
    CloseHandle(held);
    EXPECT_EQ(1, ce_log_count("Error(CopyFile): ", true));
    EXPECT_EQ(3, host.free_calls);
    EXPECT_EQ("data", ce_read(resent + "\\3_20240105_140309_PC1.tmp"));
    EXPECT_EQ("old", ce_read(csv));

#ifndef _WIN32
    /* a read-only file of that name (Wine's CopyFileA overwrites those) */
    ASSERT_TRUE(SetFileAttributesA(csv.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(0, ce_raise_record(&host, 3, when));
    EXPECT_EQ(2, ce_log_count("Error(CopyFile): ", true));
    EXPECT_EQ("old", ce_read(csv));
    SetFileAttributesA(csv.c_str(), FILE_ATTRIBUTE_NORMAL);
#endif

    /* once the name is free again, the same record replaces the .tmp */
    EXPECT_EQ(1, ce_raise_record(&host, 3, when));
    EXPECT_EQ("data", ce_read(csv));
    EXPECT_TRUE(ce_list(resent, "*.tmp").empty());
}

#ifndef _WIN32
TEST_F(EventEntry, FailuresThroughTheLayer)
{
    host.text = "data";
    qv7_fault_set("CopyFileA", 1, 1, ERROR_DISK_FULL);
    EXPECT_EQ(0, ce_raise_record(&host, 1, when));
    EXPECT_EQ(1, ce_log_count("Error(CopyFile): ", true));
    EXPECT_TRUE(queued().empty());
    EXPECT_EQ(1u, ce_list(resent, "*.tmp").size());

    /* the stored copy cannot be flushed: the durable .tmp stays */
    qv7_fault_set("FlushFileBuffers", 2, 1, ERROR_DISK_FULL);
    EXPECT_EQ(0, ce_raise_record(&host, 2, when));
    EXPECT_EQ(1, ce_log_count("Error(file_flush_durable): ", true));
    EXPECT_EQ(1u, ce_list(resent, "2_*.tmp").size());

    qv7_fault_clear();
    EXPECT_EQ(1, ce_raise_record(&host, 5, when));
    /* the .tmp file, then the stored copy and its folder entry */
    EXPECT_EQ(3u, qv7_fault_calls("FlushFileBuffers"));

    qv7_fault_set("CreateFileA", 1, 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, ce_raise_record(&host, 4, when));
    EXPECT_EQ(1, ce_log_count("Error(file_write_buf): ", true));
    EXPECT_EQ(4, host.free_calls);
    qv7_fault_clear();
}
#endif

TEST_F(EventEntry, SendEventStartsOneRunOnlyWhenFilesWait)
{
    /* An unresolvable server makes every call of send_start write one
     * "gethostbyname" line, so the lines count the calls. */
    lstrcpyA(plugin_settings.client_server, "no-such-host.invalid");
    auto calls = []() { return ce_log_count("gethostbyname: no-such-host.invalid"); };

    ce_remove_tree(resent);
    EXPECT_EQ(1, qv7_sock(host.window, PLUGIN_EVENT_SEND, NULL, 0));
    EXPECT_EQ(0, calls());

    CreateDirectoryA(resent.c_str(), NULL);
    EXPECT_EQ(1, qv7_sock(host.window, PLUGIN_EVENT_SEND, NULL, 0));
    EXPECT_EQ(0, calls());

    CreateDirectoryA((resent + "\\a.csv").c_str(), NULL);
    CreateDirectoryA((resent + "\\b.csv").c_str(), NULL);
    put("c.txt", "x");
    EXPECT_EQ(1, qv7_sock(host.window, PLUGIN_EVENT_SEND, NULL, 0));
    EXPECT_EQ(0, calls());

    put("1.csv", "1");
    put("2.csv", "2");
    put("3.csv", "3");
    EXPECT_EQ(1, qv7_sock(host.window, PLUGIN_EVENT_SEND, NULL, 0));
    EXPECT_EQ(1, calls());
    EXPECT_EQ(0, host.get_calls);
}

TEST_F(EventEntry, StoredRecordIsDelivered)
{
    start();
    lstrcpyA(plugin_settings.client_server, "127.0.0.1");
    host.text = "id,value\r\n7,42\r\n";
    EXPECT_EQ(1, ce_raise_record(&host, 7, when));
    ASSERT_TRUE(ce_wait_run_end());
    std::vector<tc_file> files = tc_files(collector);
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ("7_20240105_140309_PC1.csv", files[0].name);
    EXPECT_EQ("id,value\r\n7,42\r\n", files[0].bytes);
    EXPECT_TRUE(ce_list(resent).empty());
}

} // namespace
