#include "test_collector.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"

namespace {

struct tc_conn {
    SOCKET s = INVALID_SOCKET;
    bool active = true; /* in conversation: not yet closed by either side */
    std::vector<std::string> lines;
    std::thread thread;
};

void sleep_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

/* 1 when the socket has something to read (data or the peer's close) now. */
int readable_now(SOCKET s)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    struct timeval zero = {0, 0};
    return select(0, &set, NULL, NULL, &zero) > 0;
}

} // namespace

struct test_collector {
    tc_script script;
    SOCKET listener = INVALID_SOCKET;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::thread acceptor;
    std::mutex mu;
    std::vector<std::unique_ptr<tc_conn>> conns;
    int max_active = 0;
    std::vector<tc_file> files;
};

/* Counts the connections in conversation, this one included. Another
 * connection whose socket is readable right now is not counted: its peer's
 * close may already be there, unread by its thread. */
static void sample_concurrency(test_collector *c, int self)
{
    std::lock_guard<std::mutex> lock(c->mu);
    int n = 0;
    for (size_t i = 0; i < c->conns.size(); i++) {
        tc_conn *k = c->conns[i].get();
        if (!k->active)
            continue;
        if ((int)i != self && readable_now(k->s))
            continue;
        n++;
    }
    if (n > c->max_active)
        c->max_active = n;
}

/* Ends the connection from the collector's side. */
static void end_conn(test_collector *c, tc_conn *k, bool reset)
{
    std::lock_guard<std::mutex> lock(c->mu);
    if (k->s == INVALID_SOCKET)
        return;
    if (reset) {
        struct linger l;
        l.l_onoff = 1;
        l.l_linger = 0;
        setsockopt(k->s, SOL_SOCKET, SO_LINGER, (const char *)&l, sizeof l);
    }
    closesocket(k->s);
    k->s = INVALID_SOCKET;
    k->active = false;
}

/* Carries out an answer. Returns false when the connection has been ended. */
static bool answer(test_collector *c, tc_conn *k, tc_act act)
{
    switch (act) {
    case tc_act::ok:
        return tp_send(k->s, "+OK\r\n") != 0;
    case tc_act::ok_odd:
        return tp_send(k->s, "+oK, fine\r\n") != 0;
    case tc_act::err:
        return tp_send(k->s, "-ERR\r\n") != 0;
    case tc_act::garbage:
        return tp_send(k->s, c->script.garbage) != 0;
    case tc_act::slow_ok:
        sleep_ms(c->script.slow_ms);
        return tp_send(k->s, "+OK\r\n") != 0;
    case tc_act::silent:
        return true;
    case tc_act::close:
    case tc_act::reset:
        end_conn(c, k, act == tc_act::reset);
        return false;
    }
    return true;
}

static bool positive(tc_act act)
{
    return act == tc_act::ok || act == tc_act::ok_odd || act == tc_act::slow_ok;
}

/* Handles one complete line: records it, decides the answer, records a stored
 * file. Returns false when the connection has been ended. */
static bool handle_line(test_collector *c, tc_conn *k, int conn, int line_no,
                        const std::string &line, std::string *name)
{
    {
        std::lock_guard<std::mutex> lock(c->mu);
        k->lines.push_back(line);
    }
    sample_concurrency(c, conn);
    tc_act act = c->script.reply ? c->script.reply(conn, line_no, line) : tc_act::ok;
    if (line_no % 2 == 0) {
        *name = line;
    } else if (positive(act)) {
        int ok = 1;
        std::string bytes = tc_base64_decode(line, &ok);
        if (!ok || (c->script.store && !c->script.store(*name, bytes)))
            act = tc_act::err;
        else {
            std::lock_guard<std::mutex> lock(c->mu);
            c->files.push_back(tc_file{conn, *name, bytes});
        }
    }
    return answer(c, k, act);
}

/* One connection: greeting, then lines until the peer closes or the script
 * ends it. */
static void serve(test_collector *c, tc_conn *k, int conn)
{
    if (c->script.greeting_delay_ms)
        sleep_ms(c->script.greeting_delay_ms);
    tc_act greet = c->script.greeting ? c->script.greeting(conn) : tc_act::ok;
    if (!answer(c, k, greet)) {
        end_conn(c, k, false);
        return;
    }
    sample_concurrency(c, conn);
    std::string pending, name;
    size_t scanned = 0;
    int line_no = 0;
    static const int chunk = 65536;
    std::unique_ptr<char[]> buf(new char[chunk]);
    for (;;) {
        int n = recv(k->s, buf.get(), chunk, 0);
        if (n <= 0)
            break;
        pending.append(buf.get(), (size_t)n);
        for (;;) {
            size_t at = pending.find("\r\n", scanned ? scanned - 1 : 0);
            size_t have = at == std::string::npos ? pending.size() : at + 2;
            long cut = c->script.cut ? c->script.cut(conn, line_no) : -1;
            if (cut >= 0 && (long)have >= cut) {
                end_conn(c, k, false);
                return;
            }
            if (at == std::string::npos)
                break;
            std::string line = pending.substr(0, at);
            pending.erase(0, at + 2);
            scanned = 0;
            if (!handle_line(c, k, conn, line_no++, line, &name)) {
                end_conn(c, k, false);
                return;
            }
        }
        scanned = pending.size();
    }
    end_conn(c, k, false);
}

static void accept_loop(test_collector *c)
{
    while (!c->stopping.load()) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(c->listener, &set);
        struct timeval wait = {0, 50000};
        if (select(0, &set, NULL, NULL, &wait) <= 0)
            continue;
        SOCKET s = accept(c->listener, NULL, NULL);
        if (s == INVALID_SOCKET)
            continue;
        std::lock_guard<std::mutex> lock(c->mu);
        c->conns.emplace_back(new tc_conn);
        tc_conn *k = c->conns.back().get();
        k->s = s;
        int conn = (int)c->conns.size() - 1;
        k->thread = std::thread(serve, c, k, conn);
    }
}

test_collector *tc_start(const tc_script &script)
{
    test_collector *c = new test_collector;
    c->script = script;
    c->listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    if (c->listener == INVALID_SOCKET || bind(c->listener, (struct sockaddr *)&addr, sizeof addr) ||
        listen(c->listener, 64) || getsockname(c->listener, (struct sockaddr *)&addr, &len)) {
        if (c->listener != INVALID_SOCKET)
            closesocket(c->listener);
        delete c;
        return nullptr;
    }
    c->port = ntohs(addr.sin_port);
    c->acceptor = std::thread(accept_loop, c);
    return c;
}

void tc_stop(test_collector *c)
{
    if (!c)
        return;
    c->stopping = true;
    c->acceptor.join();
    closesocket(c->listener);
    {
        std::lock_guard<std::mutex> lock(c->mu);
        for (auto &k : c->conns)
            if (k->s != INVALID_SOCKET)
                shutdown(k->s, SD_BOTH); /* wakes a thread blocked in recv */
    }
    for (auto &k : c->conns)
        k->thread.join();
    delete c;
}

int tc_port(test_collector *c) { return c->port; }

int tc_connections(test_collector *c)
{
    std::lock_guard<std::mutex> lock(c->mu);
    return (int)c->conns.size();
}

int tc_max_concurrent(test_collector *c)
{
    std::lock_guard<std::mutex> lock(c->mu);
    return c->max_active;
}

std::vector<tc_file> tc_files(test_collector *c)
{
    std::lock_guard<std::mutex> lock(c->mu);
    return c->files;
}

std::vector<std::string> tc_lines(test_collector *c, int conn)
{
    std::lock_guard<std::mutex> lock(c->mu);
    if (conn < 0 || conn >= (int)c->conns.size())
        return {};
    return c->conns[conn]->lines;
}

int tc_wait_idle(test_collector *c, int wait_ms)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(c->mu);
            bool idle = true;
            for (auto &k : c->conns)
                idle = idle && !k->active;
            if (idle)
                return 1;
        }
        if (std::chrono::steady_clock::now() >= until)
            return 0;
        sleep_ms(10);
    }
}

std::string tc_base64_decode(const std::string &text, int *ok)
{
    std::string out;
    unsigned acc = 0;
    int bits = 0;
    size_t i = 0;
    *ok = text.size() % 4 == 0;
    for (; i < text.size() && text[i] != '='; i++) {
        char ch = text[i];
        int v = ch >= 'A' && ch <= 'Z'   ? ch - 'A'
                : ch >= 'a' && ch <= 'z' ? ch - 'a' + 26
                : ch >= '0' && ch <= '9' ? ch - '0' + 52
                : ch == '+'              ? 62
                : ch == '/'              ? 63
                                         : -1;
        if (v < 0) {
            *ok = 0;
            return out;
        }
        acc = acc << 6 | (unsigned)v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += (char)((acc >> bits) & 0xFF);
        }
    }
    for (; i < text.size(); i++)
        if (text[i] != '=')
            *ok = 0;
    return out;
}

int tp_start(test_peer *p, std::function<void(SOCKET far_end)> run)
{
    SOCKET l = socket(AF_INET, SOCK_STREAM, 0);
    if (l == INVALID_SOCKET)
        return 0;
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    SOCKET near_end = INVALID_SOCKET, far_end = INVALID_SOCKET;
    if (bind(l, (struct sockaddr *)&addr, sizeof addr) == 0 && listen(l, 1) == 0 &&
        getsockname(l, (struct sockaddr *)&addr, &len) == 0) {
        near_end = socket(AF_INET, SOCK_STREAM, 0);
        if (near_end != INVALID_SOCKET &&
            connect(near_end, (struct sockaddr *)&addr, sizeof addr) == 0)
            far_end = accept(l, NULL, NULL);
    }
    closesocket(l);
    if (far_end == INVALID_SOCKET) {
        if (near_end != INVALID_SOCKET)
            closesocket(near_end);
        return 0;
    }
    p->near_end = near_end;
    p->thread = std::thread(run, far_end);
    return 1;
}

void tp_finish(test_peer *p)
{
    if (p->thread.joinable())
        p->thread.join();
    if (p->near_end != INVALID_SOCKET)
        closesocket(p->near_end);
    p->near_end = INVALID_SOCKET;
}

int tp_send(SOCKET s, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        size_t chunk = text.size() - done;
        if (chunk > (1u << 24))
            chunk = 1u << 24;
        int n = send(s, text.data() + done, (int)chunk, 0);
        if (n == SOCKET_ERROR || n <= 0)
            return 0;
        done += (size_t)n;
    }
    return 1;
}

void tp_close(SOCKET s)
{
    shutdown(s, SD_BOTH);
    closesocket(s);
}

void tp_reset(SOCKET s)
{
    struct linger l;
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(s, SOL_SOCKET, SO_LINGER, (const char *)&l, sizeof l);
    closesocket(s);
}
