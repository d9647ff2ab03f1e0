/* The fault sweep: every fallible call of a delivery run and of a receive
 * conversation is made to fail in turn, through the layer's fault table, and
 * each case must end in the state that the error tables give: its error line,
 * the files where they belong (nothing lost, nothing half-written under a
 * final name), the right replies, the run marker free again and every thread
 * at its end line.
 *
 * How a case is chosen: the scenario runs once without a fault while the
 * layer counts its calls and records their order. The nth call of a name is
 * then failed, and what it served is read from the recorded order: a
 * CreateFileA followed by GetFileSize is the open of a file read, one that
 * follows CopyFileA is the copy's, the others open the log for a line; the
 * kth send of the station is the name line (odd) or data line (even) of a
 * file; a LocalAlloc right after a recv is the line reader's buffer. The role
 * decides the expected outcome, in the two tables below.
 *
 * The peers on the other end use plain BSD sockets, not the layer, so that
 * the only calls counted and failed are the plug-in's own. The sweep exists
 * only where the layer is ours (not on Windows). */
#ifndef _WIN32

/* ---- raw peers: BSD sockets, outside the layer (before win32.h) ----------- */

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

/* A listening socket on 127.0.0.1 with a free port, or -1. */
int raw_listen(int *port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, (struct sockaddr *)&a, sizeof a) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, (struct sockaddr *)&a, &len) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

/* The next connection within wait_ms, or -1. */
int raw_accept(int listener, int wait_ms)
{
    struct pollfd p = {listener, POLLIN, 0};
    if (::poll(&p, 1, wait_ms) != 1)
        return -1;
    return ::accept4(listener, NULL, NULL, SOCK_CLOEXEC);
}

/* A connection to 127.0.0.1:port, or -1 when refused. */
int raw_connect(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool raw_send(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

/* One line without its CR LF from fd, *pending holding what came after the
 * previous line. false when the peer closed, failed or stayed silent for
 * wait_ms. */
bool raw_line(int fd, std::string *pending, std::string *line, int wait_ms = 10000)
{
    for (;;) {
        size_t end = pending->find("\r\n");
        if (end != std::string::npos) {
            *line = pending->substr(0, end);
            pending->erase(0, end + 2);
            return true;
        }
        struct pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, wait_ms) != 1)
            return false;
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        pending->append(buf, (size_t)n);
    }
}

void raw_close(int fd)
{
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

} // namespace

/* ---- the rest through the platform header ---------------------------------- */

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "common/client_env.h"
#include "common/hostile_client.h"
#include "common/test_collector.h"
#include "client/protocol.h"
#include "frame/contract.h"
#include "frame/settings.h"
#include "server/server.h"

namespace {

using strings = std::vector<std::string>;

/* ---- what the layer recorded ---------------------------------------------- */

strings history()
{
    std::vector<const char *> names(65536);
    unsigned n = qv7_fault_history(names.data(), (unsigned)names.size());
    return strings(names.begin(), names.begin() + n);
}

/* Index in h of the nth (1-based) call named call; -1 when there is none. */
long nth_index(const strings &h, const std::string &call, unsigned nth)
{
    for (size_t i = 0; i < h.size(); i++)
        if (h[i] == call && --nth == 0)
            return (long)i;
    return -1;
}

/* How many calls named call come before index i. */
int count_before(const strings &h, long i, const std::string &call)
{
    return (int)std::count(h.begin(), h.begin() + i, call);
}

std::string at(const strings &h, long i)
{
    return i >= 0 && i < (long)h.size() ? h[i] : "";
}

/* The representative error of each call. */
DWORD code_of(const std::string &call)
{
    static const std::map<std::string, DWORD> codes = {
        {"_beginthread", ERROR_NOT_ENOUGH_MEMORY}, {"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY},
        {"gethostbyname", WSAHOST_NOT_FOUND},      {"socket", WSAEMFILE},
        {"setsockopt", WSAEINVAL},                 {"connect", WSAECONNREFUSED},
        {"send", WSAECONNRESET},                   {"recv", WSAECONNRESET},
        {"bind", WSAEADDRINUSE},                   {"listen", WSAENOBUFS},
        {"select", WSAENETDOWN},                   {"accept", WSAECONNABORTED},
        {"FindFirstFileA", ERROR_PATH_NOT_FOUND},  {"FindNextFileA", ERROR_INVALID_HANDLE},
        {"CreateFileA", ERROR_ACCESS_DENIED},      {"GetFileSize", ERROR_INVALID_HANDLE},
        {"ReadFile", ERROR_LOCK_VIOLATION},            {"WriteFile", ERROR_DISK_FULL},
        {"FlushFileBuffers", ERROR_DISK_FULL},   {"CopyFileA", ERROR_DISK_FULL},
        {"DeleteFileA", ERROR_SHARING_VIOLATION},
    };
    auto it = codes.find(call);
    return it == codes.end() ? ERROR_INVALID_FUNCTION : it->second;
}

/* The error line that log_error writes for label and code, without its time. */
std::string error_line(const std::string &label, DWORD code)
{
    char message[256] = "";
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, code, 0, message, 255, NULL) == 0)
        message[0] = 0;
    message[255] = 0;
    std::string text(message);
    size_t end = text.find_first_of("\r\n");
    if (end != std::string::npos)
        text.erase(end);
    return "Error(" + label + "): " + text;
}

/* ---- the log, read around the layer ---------------------------------------- */

std::string posix_path(std::string path)
{
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

/* The log's lines without time stamps, read with the C++ library so that the
 * reading is neither counted nor failed by the fault table. */
strings log_lines()
{
    std::ifstream in(posix_path(plugin_settings.log_path), std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    strings lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        size_t sep = line.find(": ");
        lines.push_back(sep == std::string::npos ? line : line.substr(sep + 2));
        pos = end + 2;
    }
    return lines;
}

int count_of(const strings &lines, const std::string &line)
{
    return (int)std::count(lines.begin(), lines.end(), line);
}

/* The error lines of the log, in order. */
strings error_lines(const strings &lines)
{
    strings errors;
    for (const std::string &l : lines)
        if (l.compare(0, 6, "Error(") == 0)
            errors.push_back(l);
    return errors;
}

std::string label_of(const std::string &error)
{
    return error.substr(6, error.find(')') - 6);
}

bool wait_for(const std::function<bool()> &done, int wait_ms)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

/* true when b is a with exactly one line taken out. */
bool one_line_less(const strings &a, const strings &b)
{
    if (b.size() + 1 != a.size())
        return false;
    size_t i = 0;
    while (i < b.size() && a[i] == b[i])
        i++;
    return std::equal(b.begin() + i, b.end(), a.begin() + i + 1);
}

/* ==== the delivery run ====================================================== */

/* A collector on raw sockets: greets, answers every name "+OK", decodes every
 * data line and answers it "+OK" (recording the file) unless told otherwise.
 * One connection at a time, on its own thread. */
struct raw_collector {
    int listener = -1;
    int port = 0;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<int> connections{0};
    std::atomic<int> open{0};
    std::mutex lock;
    std::vector<std::pair<std::string, std::string>> acked; /* name, bytes */
    /* For the data line number i (0 = the first of a connection): a delay
     * before the reply, and whether the reply is "-ERR". */
    int late_ms_for_first = 0;
    std::set<int> refused;
};

void collector_serve(raw_collector *c, int fd)
{
    std::string pending, name, data;
    int files = 0;
    if (!raw_send(fd, "+OK\r\n"))
        return;
    while (raw_line(fd, &pending, &name) && raw_send(fd, "+OK\r\n") &&
           raw_line(fd, &pending, &data)) {
        int ok = 0;
        std::string bytes = tc_base64_decode(data, &ok);
        if (files == 0 && c->late_ms_for_first > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(c->late_ms_for_first));
        bool refuse = !ok || c->refused.count(files) != 0;
        files++;
        if (!refuse) {
            std::lock_guard<std::mutex> g(c->lock);
            c->acked.push_back({name, bytes});
        }
        if (!raw_send(fd, refuse ? "-ERR\r\n" : "+OK\r\n"))
            return;
    }
}

bool collector_start(raw_collector *c)
{
    c->listener = raw_listen(&c->port);
    if (c->listener < 0)
        return false;
    c->thread = std::thread([c] {
        while (!c->stop) {
            int fd = raw_accept(c->listener, 20);
            if (fd < 0)
                continue;
            c->open = 1;
            c->connections++;
            collector_serve(c, fd);
            raw_close(fd);
            c->open = 0;
        }
    });
    return true;
}

void collector_stop(raw_collector *c)
{
    c->stop = true;
    if (c->thread.joinable())
        c->thread.join();
    if (c->listener >= 0)
        ::close(c->listener);
    c->listener = -1;
}


/* What the failed call served in a delivery run, and what must follow. */
enum class fate {
    not_started,  /* send_start returns 0, no thread: every file waits */
    nothing_sent, /* the run ends before any name line: every file waits */
    cut_at,       /* the loop ends at this file: it and every later file wait */
    keep_one,     /* this file waits, the run goes on with the next */
    cut_after,    /* the listing ends after this file: every later file waits */
    all_sent,     /* the run is not harmed: every file delivered */
    line_lost,    /* one log line is lost and nothing else changes */
};

struct delivery_role {
    const char *role;
    const char *call;
    const char *label; /* the error line it must produce; "" for none */
    fate outcome;
    /* The reply went unread, so the connection is given up: the next file's
     * name line then fails with an error "send" (when there is a next file). */
    bool then_send_fails;
};

/* The error table of the send trigger and the send thread, per call. */
const delivery_role delivery_table[] = {
    {"thread start", "_beginthread", "_beginthread", fate::not_started, false},
    {"server lookup", "gethostbyname", "gethostbyname", fate::not_started, false},
    {"socket", "socket", "socket", fate::nothing_sent, false},
    {"read time-out", "setsockopt", "setsockopt", fate::all_sent, false},
    {"connect", "connect", "connect", fate::nothing_sent, false},
    {"greeting", "recv", "recv", fate::nothing_sent, false},
    {"greeting line", "LocalAlloc", "mem_alloc", fate::nothing_sent, false},
    {"listing", "FindFirstFileA", "FindFirstFile", fate::nothing_sent, false},
    {"name line", "send", "send", fate::cut_at, false},
    {"name reply", "recv", "recv", fate::cut_at, false},
    {"name reply line", "LocalAlloc", "mem_alloc", fate::cut_at, false},
    {"file open", "CreateFileA", "file_read_buf", fate::cut_at, false},
    {"file size", "GetFileSize", "file_read_buf", fate::cut_at, false},
    {"file block", "LocalAlloc", "file_read_buf", fate::cut_at, false},
    {"file read", "ReadFile", "file_read_buf", fate::cut_at, false},
    {"Base64 text", "LocalAlloc", "mem_alloc", fate::cut_at, false},
    {"data line", "send", "send", fate::cut_at, false},
    {"data reply", "recv", "recv", fate::cut_at, true},
    {"data reply line", "LocalAlloc", "mem_alloc", fate::cut_at, true},
    {"size check", "FindFirstFileA", "", fate::keep_one, false},
    {"delete", "DeleteFileA", "DeleteFile", fate::keep_one, false},
    {"next entry", "FindNextFileA", "", fate::cut_after, false},
    {"log open", "CreateFileA", "", fate::line_lost, false},
    {"log write", "WriteFile", "", fate::line_lost, false},
};

/* Every call a delivery run makes through the layer; each is swept. */
const char *const delivery_calls[] = {
    "_beginthread", "gethostbyname", "socket",      "setsockopt", "connect",
    "recv",         "send",          "FindFirstFileA", "FindNextFileA", "CreateFileA",
    "GetFileSize",  "ReadFile",      "LocalAlloc",  "WriteFile",  "DeleteFileA",
};

/* The role of call h[i] of a delivery run, and in *file the index (in listing
 * order) of the file it served, -1 for none. The conversation is lock-step:
 * the greeting, then per file the name line and its reply, the data line and
 * its reply; so the sends and receives before a call place it. */
std::string delivery_role_of(const strings &h, long i, int *file)
{
    const std::string &c = h[i];
    int sends = count_before(h, i, "send");
    *file = -1;
    if (c == "send") {
        *file = sends / 2;
        return sends % 2 == 0 ? "name line" : "data line";
    }
    if (c == "recv") {
        int r = count_before(h, i, "recv");
        if (r == 0)
            return "greeting";
        *file = (r - 1) / 2;
        return (r - 1) % 2 == 0 ? "name reply" : "data reply";
    }
    if (c == "LocalAlloc") {
        if (at(h, i - 1) == "recv")
            return delivery_role_of(h, i - 1, file) + " line";
        *file = (sends - 1) / 2;
        return at(h, i - 1) == "GetFileSize" ? "file block" : "Base64 text";
    }
    if (c == "CreateFileA" || c == "GetFileSize" || c == "ReadFile") {
        if (c == "CreateFileA" && at(h, i + 1) != "GetFileSize")
            return "log open";
        *file = (sends - 1) / 2;
        return c == "CreateFileA" ? "file open" : c == "GetFileSize" ? "file size" : "file read";
    }
    if (c == "FindFirstFileA" && sends == 0)
        return "listing";
    if (c == "FindFirstFileA" || c == "DeleteFileA" || c == "FindNextFileA") {
        *file = (sends - 2) / 2;
        return c == "FindFirstFileA" ? "size check" : c == "DeleteFileA" ? "delete" : "next entry";
    }
    if (c == "WriteFile")
        return "log write";
    if (c == "_beginthread")
        return "thread start";
    if (c == "gethostbyname")
        return "server lookup";
    if (c == "setsockopt")
        return "read time-out";
    return c;
}

const delivery_role *delivery_lookup(const std::string &role, const std::string &call)
{
    for (const delivery_role &r : delivery_table)
        if (role == r.role && call == r.call)
            return &r;
    return nullptr;
}

/* The station's queue: small records, an empty one, and one of 300 bytes. */
const std::vector<std::pair<std::string, std::string>> station_files = {
    {"1_20240105_140309_PC1.csv", "1,2024/01/05,14:03:09,21.5\r\n"},
    {"2_20240105_140310_PC1.csv", ""},
    {"3_20240105_140311_PC1.csv", std::string(300, 'x')},
};

struct delivery_result {
    int started = 0;
    uintptr_t marker = 0;
    uint32_t server_addr = 0;
    strings log;
    strings queued;
    std::vector<std::pair<std::string, std::string>> acked;
    strings history;
};

/* One delivery run of the station's queue to a raw collector, with the nth
 * call named call failing (call null: no fault). The server is given by name,
 * so the lookup runs. */
delivery_result run_delivery(const char *call, unsigned nth)
{
    delivery_result r;
    raw_collector c;
    EXPECT_TRUE(collector_start(&c));
    std::string scratch = ce_make_scratch();
    ce_settings(scratch, c.port);
    lstrcpyA(plugin_settings.client_server, "localhost");
    std::string resent = plugin_settings.resent_dir;
    for (const auto &f : station_files)
        EXPECT_TRUE(ce_write(resent + "\\" + f.first, f.second));

    qv7_fault_clear();
    if (call)
        qv7_fault_set(call, nth, 1, code_of(call));
    r.started = send_start();
    if (r.started) {
        EXPECT_TRUE(wait_for([] { return __atomic_load_n(&plugin_settings.send_thread_handle,
                                                          __ATOMIC_ACQUIRE) == SEND_THREAD_NONE; },
                             20000));
        /* the end line follows the marker (it may be the line a fault lost) */
        wait_for([] { return count_of(log_lines(), "End Send Thread") == 1; }, 300);
        /* the collector has seen the close of a connection that was made */
        strings lines = log_lines();
        bool connected = count_of(lines, "connect") == 1 &&
                         std::none_of(lines.begin(), lines.end(), [](const std::string &l) {
                             return l.compare(0, 15, "Error(connect):") == 0;
                         });
        EXPECT_TRUE(wait_for([&] { return c.connections == (connected ? 1 : 0) && c.open == 0; },
                             5000));
    }
    r.history = history();
    qv7_fault_clear();
    r.marker = plugin_settings.send_thread_handle;
    r.server_addr = plugin_settings.server_addr;
    r.log = log_lines();
    for (std::string &line : r.log) /* runs differ only in their scratch folder */
        for (size_t at = line.find(scratch); at != std::string::npos; at = line.find(scratch))
            line.replace(at, scratch.size(), "<scratch>");
    r.queued = ce_list(resent, "*.csv");
    collector_stop(&c);
    r.acked = c.acked;
    ce_remove_tree(scratch);
    return r;
}

std::string station_bytes(const std::string &name)
{
    for (const auto &f : station_files)
        if (f.first == name)
            return f.second;
    return "<not a station file>";
}

/* Checks one faulted run against its role. order: the listing order. */
void check_delivery(const delivery_result &base, const strings &order, const delivery_role &role,
                    int file, const delivery_result &r, const std::string &where)
{
    SCOPED_TRACE(where);
    size_t n = order.size(), k = file < 0 ? 0 : (size_t)file;
    strings waiting; /* expected in the queue afterwards */
    size_t acked_up_to = 0; /* files the collector may have stored: order[0, acked_up_to) */
    switch (role.outcome) {
    case fate::not_started:
    case fate::nothing_sent:
        waiting = order;
        break;
    case fate::cut_at:
        waiting.assign(order.begin() + k, order.end());
        acked_up_to = k + 1;
        break;
    case fate::keep_one:
        waiting = {order[k]};
        acked_up_to = n;
        break;
    case fate::cut_after:
        waiting.assign(order.begin() + k + 1, order.end());
        acked_up_to = k + 1;
        break;
    case fate::all_sent:
    case fate::line_lost:
        acked_up_to = n;
        break;
    }
    std::sort(waiting.begin(), waiting.end());
    EXPECT_EQ(waiting, r.queued) << "files left in the queue";

    /* No file lost: every file gone from the queue was acknowledged with its
     * bytes; and only files the run reached were offered. */
    std::set<std::string> gone;
    for (const std::string &name : order)
        if (!std::count(r.queued.begin(), r.queued.end(), name))
            gone.insert(name);
    for (const std::string &name : gone) {
        auto it = std::find_if(r.acked.begin(), r.acked.end(),
                               [&](const std::pair<std::string, std::string> &a) { return a.first == name; });
        ASSERT_TRUE(it != r.acked.end()) << name << " left the queue unacknowledged";
        EXPECT_EQ(station_bytes(name), it->second) << name;
    }
    for (const auto &a : r.acked) {
        size_t pos = std::find(order.begin(), order.end(), a.first) - order.begin();
        EXPECT_LT(pos, acked_up_to) << a.first << " was offered after the failure";
    }

    EXPECT_EQ(SEND_THREAD_NONE, r.marker) << "run marker";
    EXPECT_EQ(role.outcome == fate::not_started ? 0 : 1, r.started) << "send_start";
    if (std::string(role.call) == "gethostbyname") {
        EXPECT_EQ(0u, r.server_addr) << "a failed lookup caches nothing";
    }

    /* The error lines: the call's own, with the text of the injected code,
     * and the follow-on of a connection given up. */
    strings errors = error_lines(r.log);
    strings expected;
    if (*role.label)
        expected.push_back(error_line(role.label, code_of(role.call)));
    if (role.then_send_fails && k + 1 < n)
        expected.push_back("Error(send)");
    ASSERT_EQ(expected.size(), errors.size()) << ::testing::PrintToString(errors);
    for (size_t i = 0; i < errors.size(); i++) {
        if (expected[i] == "Error(send)")
            EXPECT_EQ("send", label_of(errors[i]));
        else
            EXPECT_EQ(expected[i], errors[i]);
    }

    /* The thread ran to its end line (which only a fault of the log may lose). */
    if (role.outcome == fate::not_started) {
        EXPECT_EQ(0, count_of(r.log, "Start Send Thread"));
    } else if (role.outcome == fate::line_lost) {
        EXPECT_TRUE(one_line_less(base.log, r.log)) << "exactly one line lost";
    } else {
        EXPECT_EQ(1, count_of(r.log, "Start Send Thread"));
        ASSERT_FALSE(r.log.empty());
        EXPECT_EQ("End Send Thread", r.log.back());
    }
}

class DeliverySweep : public ::testing::TestWithParam<const char *> {};

/* Fails each call of the parameter's name in turn: every occurrence, except
 * that of the calls that only open or write the log, where the first three
 * and the last are enough. */
TEST_P(DeliverySweep, EveryFailureEndsAsTheTableSays)
{
    const char *call = GetParam();
    delivery_result base = run_delivery(nullptr, 0);
    strings order;
    for (const auto &a : base.acked)
        order.push_back(a.first);
    ASSERT_EQ(station_files.size(), order.size()) << "the run without a fault delivers all";
    ASSERT_TRUE(base.queued.empty());
    ASSERT_TRUE(error_lines(base.log).empty()) << ::testing::PrintToString(base.log);
    unsigned count = (unsigned)std::count(base.history.begin(), base.history.end(), call);
    ASSERT_GT(count, 0u) << call << " is not made by a delivery run";

    std::vector<unsigned> log_calls;
    for (unsigned nth = 1; nth <= count; nth++) {
        int file;
        std::string role = delivery_role_of(base.history, nth_index(base.history, call, nth), &file);
        const delivery_role *entry = delivery_lookup(role, call);
        ASSERT_NE(nullptr, entry) << call << " #" << nth << ": no row for \"" << role << "\"";
        if (entry->outcome == fate::line_lost) {
            log_calls.push_back(nth);
            continue;
        }
        std::string where = std::string(call) + " #" + std::to_string(nth) + " (" + role +
                            (file >= 0 ? ", file " + std::to_string(file) : "") + ")";
        check_delivery(base, order, *entry, file, run_delivery(call, nth), where);
    }
    for (size_t j = 0; j < log_calls.size(); j++) {
        if (j >= 3 && j + 1 != log_calls.size())
            continue;
        unsigned nth = log_calls[j];
        const delivery_role *entry = delivery_lookup(
            std::string(call) == "WriteFile" ? "log write" : "log open", call);
        check_delivery(base, order, *entry, -1, run_delivery(call, nth),
                       std::string(call) + " #" + std::to_string(nth) + " (log line)");
    }
}

std::string param_name(const ::testing::TestParamInfo<const char *> &info)
{
    std::string name = info.param;
    return name[0] == '_' ? name.substr(1) : name;
}

INSTANTIATE_TEST_SUITE_P(FaultSweep, DeliverySweep, ::testing::ValuesIn(delivery_calls), param_name);

/* Every call the run makes through the layer is one the sweep fails. */
TEST(FaultSweep, DeliveryCallsAreAllSwept)
{
    delivery_result base = run_delivery(nullptr, 0);
    std::set<std::string> made(base.history.begin(), base.history.end());
    std::set<std::string> swept(std::begin(delivery_calls), std::end(delivery_calls));
    for (const std::string &c : made)
        EXPECT_TRUE(swept.count(c)) << c << " is made by a delivery run but not swept";
}

/* A reply that comes after the read time-out must not be taken for the answer
 * to the next line: the first data reply comes late, the second file is
 * refused; had the late "+OK" been read as the answer to the second name, the
 * name's "+OK" would have been read as the second file's acknowledgement and
 * the refused file deleted. */
TEST(FaultSweep, LateReplyIsNeverTakenForTheNextAnswer)
{
    raw_collector c;
    c.late_ms_for_first = 1500; /* between one and two read time-outs */
    c.refused = {1};
    ASSERT_TRUE(collector_start(&c));
    std::string scratch = ce_make_scratch();
    ce_settings(scratch, c.port);
    std::string resent = plugin_settings.resent_dir;
    ASSERT_TRUE(ce_write(resent + "\\a.csv", "first"));
    ASSERT_TRUE(ce_write(resent + "\\b.csv", "second"));
    setenv("QV7_SOCK_RECV_TIMEOUT_MS", "1000", 1);
    ASSERT_EQ(1, send_start());
    EXPECT_TRUE(wait_for([] { return count_of(log_lines(), "End Send Thread") == 1; }, 20000));
    unsetenv("QV7_SOCK_RECV_TIMEOUT_MS");
    EXPECT_TRUE(wait_for([&] { return c.open == 0; }, 5000));
    collector_stop(&c);
    EXPECT_EQ((strings{"a.csv", "b.csv"}), ce_list(resent, "*.csv"))
        << "neither file got its own positive reply";
    ce_remove_tree(scratch);
}

/* ==== the receive conversation ============================================== */

/* A host window on a thread of its own: names the receive folder and records
 * what the module tells it. The server side sends synchronously. */
#define WM_SWEEP_QUIT (WM_APP + 1)

struct sweep_host {
    std::thread thread;
    HWND window = NULL;
    std::mutex lock;
    std::string dir;
    strings received;
    strings errors;
};

sweep_host *g_sweep_host;

LRESULT CALLBACK sweep_host_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    sweep_host *h = g_sweep_host;
    if (message == WM_SWEEP_QUIT) {
        PostQuitMessage(0);
        return 0;
    }
    if (h != nullptr) {
        std::lock_guard<std::mutex> g(h->lock);
        switch (message) {
        case WM_HOST_GET_RECV_DIR:
            lstrcpynA((char *)lparam, h->dir.c_str(), MAX_PATH);
            return 1;
        case WM_HOST_FILE_RECEIVED:
            h->received.push_back((const char *)lparam);
            return 1;
        case WM_HOST_SERVER_ERROR:
            h->errors.push_back((const char *)lparam);
            return 1;
        }
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

void sweep_host_start(sweep_host *h)
{
    static std::once_flag registered;
    std::call_once(registered, [] {
        WNDCLASSA wc;
        memset(&wc, 0, sizeof wc);
        wc.lpfnWndProc = sweep_host_proc;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.lpszClassName = "qv7sweephost";
        RegisterClassA(&wc);
    });
    g_sweep_host = h;
    std::atomic<bool> created{false};
    h->thread = std::thread([h, &created] {
        h->window = CreateWindowExA(0, "qv7sweephost", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                                    GetModuleHandleA(NULL), NULL);
        created = true;
        MSG msg;
        while (GetMessageA(&msg, NULL, 0, 0) > 0)
            DispatchMessageA(&msg);
        DestroyWindow(h->window);
    });
    while (!created)
        Sleep(1);
}

void sweep_host_stop(sweep_host *h)
{
    PostMessageA(h->window, WM_SWEEP_QUIT, 0, 0);
    h->thread.join();
    g_sweep_host = nullptr;
}

/* How a receive conversation ends, as the client of three files sees it. */
enum class ending {
    not_served,       /* no greeting: nothing stored */
    all_stored,       /* "+OK +OK" for every file */
    closed_at_name,   /* file k's name gets no reply; files before it stored */
    closed_at_data,   /* file k's data gets no reply; files before it stored */
    err_then_closed,  /* file k "-ERR", then the connection ends */
    stored_no_reply,  /* file k stored and the host told, but no reply */
    err_goes_on,      /* file k "-ERR", not stored; the others stored */
    err_file_kept,    /* file k "-ERR" and the host not told, its whole file in place */
    err_temp_left,    /* as err_goes_on; the temporary file stays after the last file */
    temp_left,        /* all stored; the temporary file stays after the last file */
};

struct receive_role {
    const char *role;
    const char *call;
    const char *label;  /* "" for no error line */
    ending outcome;
    bool server_ends;   /* the server thread ends and reports the call to the host */
};

/* The error tables of server_start, the server thread and the receive
 * thread, per call. */
const receive_role receive_table[] = {
    {"server record", "LocalAlloc", "mem_alloc", ending::not_served, false},
    {"server thread", "_beginthread", "", ending::not_served, false},
    {"socket", "socket", "socket", ending::not_served, true},
    {"bind", "bind", "bind", ending::not_served, true},
    {"listen", "listen", "listen", ending::not_served, true},
    {"first wait", "select", "select", ending::not_served, true},
    {"later wait", "select", "select", ending::all_stored, true},
    /* the pending connection is then taken by the next wait */
    {"accept", "accept", "accept", ending::all_stored, false},
    {"connection record", "LocalAlloc", "mem_alloc", ending::not_served, false},
    {"receive thread", "_beginthread", "_beginthread", ending::not_served, false},
    {"greeting", "send", "send", ending::not_served, false},
    {"name read", "recv", "recv", ending::closed_at_name, false},
    {"name line", "LocalAlloc", "mem_alloc", ending::closed_at_name, false},
    {"name reply", "send", "send", ending::closed_at_name, false},
    {"data read", "recv", "recv", ending::closed_at_data, false},
    {"data line", "LocalAlloc", "mem_alloc", ending::closed_at_data, false},
    {"decode buffer", "LocalAlloc", "mem_alloc", ending::err_then_closed, false},
    {"temporary create", "CreateFileA", "file_write_buf", ending::err_goes_on, false},
    {"temporary write", "WriteFile", "file_write_buf", ending::err_temp_left, false},
    {"temporary flush", "FlushFileBuffers", "", ending::all_stored, false},
    {"copy", "CopyFileA", "CopyFile", ending::err_goes_on, false},
    /* only where the layer's copy opens its files through the seam */
    {"copy source open", "CreateFileA", "CopyFile", ending::err_goes_on, false},
    {"copy target open", "CreateFileA", "CopyFile", ending::err_goes_on, false},
    {"temporary delete", "DeleteFileA", "", ending::temp_left, false},
    {"final open", "CreateFileA", "file_flush_durable", ending::err_file_kept, false},
    {"final flush", "FlushFileBuffers", "file_flush_durable", ending::err_file_kept, false},
    /* the folder's flush is best effort */
    {"folder open", "CreateFileA", "", ending::all_stored, false},
    {"folder flush", "FlushFileBuffers", "", ending::all_stored, false},
    {"data reply", "send", "send", ending::stored_no_reply, false},
    {"end read", "recv", "recv", ending::all_stored, false},
    {"log open", "CreateFileA", "", ending::all_stored, false},
    {"log write", "WriteFile", "", ending::all_stored, false},
};

const char *const receive_calls[] = {
    "LocalAlloc",  "_beginthread", "socket",    "bind",      "listen",
    "select",      "accept",       "send",      "recv",      "CreateFileA",
    "WriteFile",   "FlushFileBuffers", "CopyFileA", "DeleteFileA",
};

/* The files the client offers: a record, an empty file, 300 bytes. */
const std::vector<std::pair<std::string, std::string>> client_files = station_files;

/* The role of call h[i] of a receive conversation and in *file the index of
 * the file it served (-1: none). The server thread's calls come first (the
 * record, the thread, socket, bind, listen, the waits, accept); the receive
 * thread then greets and answers each name and data line, so its sends and
 * receives place every other call. */
std::string receive_role_of(const strings &h, long i, int *file)
{
    const std::string &c = h[i];
    int sends = count_before(h, i, "send");
    int files = (int)client_files.size();
    *file = -1;
    if (c == "LocalAlloc") {
        if (count_before(h, i, "socket") == 0)
            return "server record";
        if (at(h, i - 1) == "accept")
            return "connection record";
        if (at(h, i - 1) == "recv")
            return receive_role_of(h, i - 1, file) == "name read" ? "name line" : "data line";
        *file = (sends - 2) / 2;
        return "decode buffer";
    }
    if (c == "_beginthread")
        return count_before(h, i, "_beginthread") == 0 ? "server thread" : "receive thread";
    if (c == "select")
        return count_before(h, i, "select") == 0 ? "first wait" : "later wait";
    if (c == "send") {
        if (sends == 0)
            return "greeting";
        *file = (sends - 1) / 2;
        return (sends - 1) % 2 == 0 ? "name reply" : "data reply";
    }
    if (c == "recv") {
        int r = count_before(h, i, "recv");
        if (r == 2 * files)
            return "end read";
        *file = r / 2;
        return r % 2 == 0 ? "name read" : "data read";
    }
    *file = (sends - 2) / 2;
    if (c == "CreateFileA") {
        if (at(h, i - 1) == "CopyFileA")
            return "copy source open";
        if (at(h, i - 1) == "CreateFileA" && at(h, i - 2) == "CopyFileA")
            return "copy target open";
        if (at(h, i + 1) == "WriteFile" && at(h, i + 2) == "FlushFileBuffers")
            return "temporary create";
        if (at(h, i - 1) == "DeleteFileA" && at(h, i + 1) == "FlushFileBuffers")
            return "final open";
        if (at(h, i - 1) == "FlushFileBuffers" && at(h, i - 3) == "DeleteFileA")
            return "folder open"; /* after the final file's open and flush */
        *file = -1;
        return "log open";
    }
    if (c == "WriteFile") {
        if (at(h, i + 1) == "FlushFileBuffers")
            return "temporary write";
        *file = -1;
        return "log write";
    }
    if (c == "FlushFileBuffers") {
        if (at(h, i - 1) == "WriteFile")
            return "temporary flush";
        return at(h, i - 2) == "DeleteFileA" ? "final flush" : "folder flush";
    }
    if (c == "CopyFileA")
        return "copy";
    if (c == "DeleteFileA")
        return "temporary delete";
    *file = -1;
    return c;
}

const receive_role *receive_lookup(const std::string &role, const std::string &call)
{
    for (const receive_role &r : receive_table)
        if (role == r.role && call == r.call)
            return &r;
    return nullptr;
}

struct receive_result {
    uintptr_t started = 0;
    bool greeted = false;
    strings replies; /* per file offered: "+OK +OK", "+OK -ERR", "+OK <closed>", "<closed>" */
    strings log;     /* up to the end of the conversation */
    strings host_errors, host_received;
    std::map<std::string, std::string> stored; /* the receive folder afterwards */
    strings history;
};

/* The client's half on raw sockets: greeting, then each file until a reply
 * does not come. */
void raw_client(int port, receive_result *r)
{
    int fd = -1;
    wait_for([&] {
        fd = raw_connect(port);
        return fd >= 0 || count_of(log_lines(), "End Server Thread") > 0;
    }, 5000);
    if (fd < 0)
        return;
    std::string pending, line;
    r->greeted = raw_line(fd, &pending, &line, 5000) && line == "+OK";
    for (size_t i = 0; r->greeted && i < client_files.size(); i++) {
        raw_send(fd, client_files[i].first + "\r\n");
        if (!raw_line(fd, &pending, &line)) {
            r->replies.push_back("<closed>");
            break;
        }
        std::string reply = line;
        raw_send(fd, hc_base64(client_files[i].second) + "\r\n");
        if (!raw_line(fd, &pending, &line)) {
            r->replies.push_back(reply + " <closed>");
            break;
        }
        r->replies.push_back(reply + " " + line);
    }
    raw_close(fd);
}

/* Ends a server that still listens: its next accept and wait fail. */
void server_shut(int port)
{
    if (count_of(log_lines(), "End Server Thread") > 0)
        return;
    qv7_fault_set("accept", 1, 1, WSAECONNABORTED);
    qv7_fault_set("select", 1, 1, WSAENETDOWN);
    int fd = raw_connect(port);
    EXPECT_TRUE(wait_for([] { return count_of(log_lines(), "End Server Thread") > 0; }, 10000));
    if (fd >= 0)
        ::close(fd);
    qv7_fault_clear();
}

/* One receive conversation: server_start with a host window, a client
 * delivering client_files, the nth call named call failing (null: none). */
receive_result run_receive(const char *call, unsigned nth, const receive_role *role = nullptr)
{
    receive_result r;
    std::string scratch = ce_make_scratch();
    ce_settings(scratch, 0, false);
    int port = hc_free_port();
    plugin_settings.server_port = port;
    std::string dir = scratch + "\\recv";
    CreateDirectoryA(dir.c_str(), NULL);
    sweep_host host;
    host.dir = dir;
    sweep_host_start(&host);

    qv7_fault_clear();
    if (call)
        qv7_fault_set(call, nth, 1, code_of(call));
    r.started = server_start(host.window);
    if (r.started != (uintptr_t)-1)
        raw_client(port, &r);
    /* every receive thread at its end, and a server that must end at its own
     * (a fault of the log may lose the end line itself) */
    bool log_role = role && std::string(role->role).compare(0, 4, "log ") == 0;
    bool ended = wait_for([&] {
        strings l = log_lines();
        return count_of(l, "Start Recv Thread") == count_of(l, "End Recv Thread") &&
               (!role || !role->server_ends || count_of(l, "End Server Thread") == 1);
    }, log_role ? 300 : 10000);
    EXPECT_TRUE(ended || log_role);
    r.history = history();
    qv7_fault_clear();
    r.log = log_lines();
    {
        std::lock_guard<std::mutex> g(host.lock);
        r.host_errors = host.errors;
        r.host_received = host.received;
    }
    if (r.started != (uintptr_t)-1)
        server_shut(port);
    sweep_host_stop(&host);
    for (const std::string &name : ce_list(dir))
        r.stored[name] = ce_read(dir + "\\" + name);
    ce_remove_tree(scratch);
    return r;
}

void check_receive(const receive_result &base, const receive_role &role, int file,
                   const receive_result &r, const std::string &where)
{
    SCOPED_TRACE(where);
    size_t n = client_files.size(), k = file < 0 ? 0 : (size_t)file;
    strings replies;
    std::set<size_t> in_place, told;
    size_t temps = 0;
    for (size_t i = 0; i < n; i++) {
        bool before = i < k;
        switch (role.outcome) {
        case ending::not_served:
            break;
        case ending::all_stored:
        case ending::temp_left:
            replies.push_back("+OK +OK");
            in_place.insert(i);
            break;
        case ending::closed_at_name:
        case ending::closed_at_data:
        case ending::err_then_closed:
        case ending::stored_no_reply:
            if (before) {
                replies.push_back("+OK +OK");
                in_place.insert(i);
            } else if (i == k) {
                replies.push_back(role.outcome == ending::closed_at_name    ? "<closed>"
                                  : role.outcome == ending::err_then_closed ? "+OK -ERR"
                                                                            : "+OK <closed>");
                if (role.outcome == ending::stored_no_reply)
                    in_place.insert(i);
            } else if (i == k + 1 && role.outcome == ending::err_then_closed) {
                replies.push_back("<closed>");
            }
            break;
        case ending::err_goes_on:
        case ending::err_file_kept:
        case ending::err_temp_left:
            replies.push_back(i == k ? "+OK -ERR" : "+OK +OK");
            if (i != k || role.outcome == ending::err_file_kept)
                in_place.insert(i);
            break;
        }
    }
    told = in_place;
    if (role.outcome == ending::err_file_kept)
        told.erase(k);
    if ((role.outcome == ending::temp_left || role.outcome == ending::err_temp_left) && k + 1 == n)
        temps = 1;

    EXPECT_EQ(std::string(role.role) == "server record" || std::string(role.role) == "server thread",
              r.started == (uintptr_t)-1) << "server_start's result";
    EXPECT_EQ(role.outcome != ending::not_served, r.greeted) << "greeting";
    EXPECT_EQ(replies, r.replies) << "replies";

    /* The folder: every file in place whole, no other final name, and only
     * the temporary file that the table leaves. */
    size_t temp_found = 0;
    for (const auto &f : r.stored) {
        const std::string &name = f.first;
        if (name.size() > 4 && name.substr(name.size() - 4) == ".tmp") {
            temp_found++;
            continue;
        }
        size_t i = 0;
        while (i < n && client_files[i].first != name)
            i++;
        ASSERT_LT(i, n) << "unexpected file " << name;
        EXPECT_TRUE(in_place.count(i)) << name << " is in place but should not be";
        EXPECT_EQ(client_files[i].second, f.second) << name << " is not whole";
    }
    for (size_t i : in_place)
        EXPECT_TRUE(r.stored.count(client_files[i].first)) << client_files[i].first << " missing";
    EXPECT_EQ(temps, temp_found) << "temporary files left";
    strings told_names;
    for (size_t i : told)
        told_names.push_back(client_files[i].first);
    EXPECT_EQ(told_names, r.host_received) << "files the host was told of";

    strings errors = error_lines(r.log);
    if (*role.label) {
        ASSERT_EQ(1u, errors.size()) << ::testing::PrintToString(errors);
        EXPECT_EQ(error_line(role.label, code_of(role.call)), errors[0]);
    } else {
        EXPECT_TRUE(errors.empty()) << ::testing::PrintToString(errors);
    }
    EXPECT_EQ(role.server_ends ? strings{role.call} : strings{}, r.host_errors) << "host told";

    /* Every thread reached its end line. */
    int recv_threads = count_of(r.log, "Start Recv Thread");
    bool log_role = std::string(role.role) == "log open" || std::string(role.role) == "log write";
    if (!log_role) {
        EXPECT_EQ(recv_threads, count_of(r.log, "End Recv Thread"));
    }
    if (std::string(role.role) == "greeting") {
        EXPECT_EQ(0, count_of(r.log, "closesocket(Recv)"));
    } else if (!log_role) {
        EXPECT_EQ(recv_threads, count_of(r.log, "closesocket(Recv)"));
    }
    if (role.server_ends) {
        EXPECT_EQ(1, count_of(r.log, "End Server Thread"));
        EXPECT_EQ(std::string(role.call) == "select" ? 1 : 0, count_of(r.log, "closesocket(Server)"));
    } else {
        EXPECT_EQ(0, count_of(r.log, "End Server Thread"));
    }
    if (log_role) {
        EXPECT_TRUE(one_line_less(base.log, r.log)) << "exactly one line lost";
    }
}

class ReceiveSweep : public ::testing::TestWithParam<const char *> {};

TEST_P(ReceiveSweep, EveryFailureEndsAsTheTableSays)
{
    const char *call = GetParam();
    receive_result base = run_receive(nullptr, 0);
    ASSERT_TRUE(base.greeted);
    ASSERT_EQ(strings(client_files.size(), "+OK +OK"), base.replies);
    ASSERT_TRUE(error_lines(base.log).empty()) << ::testing::PrintToString(base.log);
    unsigned count = (unsigned)std::count(base.history.begin(), base.history.end(), call);
    ASSERT_GT(count, 0u) << call << " is not made by a receive conversation";

    unsigned log_seen = 0, log_total = 0;
    for (unsigned nth = 1; nth <= count; nth++) {
        int file;
        if (receive_role_of(base.history, nth_index(base.history, call, nth), &file).compare(0, 4, "log ") == 0)
            log_total++;
    }
    for (unsigned nth = 1; nth <= count; nth++) {
        int file;
        std::string role = receive_role_of(base.history, nth_index(base.history, call, nth), &file);
        const receive_role *entry = receive_lookup(role, call);
        ASSERT_NE(nullptr, entry) << call << " #" << nth << ": no row for \"" << role << "\"";
        if (role.compare(0, 4, "log ") == 0 && ++log_seen > 3 && log_seen != log_total)
            continue;
        std::string where = std::string(call) + " #" + std::to_string(nth) + " (" + role +
                            (file >= 0 ? ", file " + std::to_string(file) : "") + ")";
        check_receive(base, *entry, file, run_receive(call, nth, entry), where);
    }
}

INSTANTIATE_TEST_SUITE_P(FaultSweep, ReceiveSweep, ::testing::ValuesIn(receive_calls), param_name);

TEST(FaultSweep, ReceiveCallsAreAllSwept)
{
    receive_result base = run_receive(nullptr, 0);
    std::set<std::string> made(base.history.begin(), base.history.end());
    std::set<std::string> swept(std::begin(receive_calls), std::end(receive_calls));
    for (const std::string &c : made)
        EXPECT_TRUE(swept.count(c)) << c << " is made by a receive conversation but not swept";
}

} // namespace

#else

#include <gtest/gtest.h>

/* The fault table belongs to the POSIX layer; Windows runs the real calls. */
TEST(FaultSweep, NativeOnly)
{
    GTEST_SKIP() << "fault injection exists only in the POSIX layer";
}

#endif
