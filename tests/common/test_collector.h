/* A test collector: the server's half of the line protocol on a loopback
 * socket, run by threads of the test program with plain Winsock calls, so the
 * same client tests run natively and under Wine. A script decides, per
 * connection and per line, how it answers (positive, negative, garbage, an
 * orderly close, a reset, silence, a slow answer) and where it breaks a line
 * off; it records what arrived: every line, and the name and decoded bytes of
 * every file it acknowledged.
 *
 * Also here: a test peer, one accepted connection whose far end a function of
 * the test drives (chosen chunks with pauses), for the line reader's table. */
#ifndef QV7_TESTS_TEST_COLLECTOR_H
#define QV7_TESTS_TEST_COLLECTOR_H

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"

enum class tc_act {
    ok,       /* "+OK\r\n" */
    ok_odd,   /* "+oK, fine\r\n": positive in the protocol's loose sense */
    err,      /* "-ERR\r\n" */
    garbage,  /* the script's garbage line (default "GARBAGE\r\n") */
    close,    /* no answer: orderly close of the connection */
    reset,    /* no answer: the connection is reset (RST) */
    silent,   /* no answer, the connection stays open until the peer closes it */
    slow_ok,  /* "+OK\r\n" after the script's slow_ms */
};

struct tc_script {
    /* How the connection (0 = the first accepted) is greeted; default ok. */
    std::function<tc_act(int conn)> greeting;
    /* The answer to line number `line` of connection `conn` (0 = the first
     * name line, 1 its data line, 2 the next name line ...); default ok. For a
     * data line answered positively the file counts as stored. */
    std::function<tc_act(int conn, int line, const std::string &text)> reply;
    /* Bytes of line `line` after which the collector closes the connection
     * without waiting for the rest (-1: never); default never. */
    std::function<long(int conn, int line)> cut;
    /* Called for each data line about to be answered positively; returning
     * false answers "-ERR" instead (a store that failed). */
    std::function<bool(const std::string &name, const std::string &bytes)> store;
    std::string garbage = "GARBAGE\r\n";
    int slow_ms = 200;
    int greeting_delay_ms = 0; /* pause after accepting, before the greeting */
};

struct tc_file {
    int conn;
    std::string name;
    std::string bytes; /* decoded */
};

struct test_collector;

/* Listens on 127.0.0.1 (a free port) and serves every connection on its own
 * thread by the script. Null when it cannot listen. */
test_collector *tc_start(const tc_script &script = tc_script());
/* Stops listening, breaks every open connection and joins the threads. */
void tc_stop(test_collector *c);
int tc_port(test_collector *c);

/* What the collector saw so far (copies, safe while it runs). */
int tc_connections(test_collector *c);
/* The most connections that were in conversation at once, sampled when each
 * greeting and each line is handled. A connection stops counting when its
 * peer's close is seen or the collector ends it. */
int tc_max_concurrent(test_collector *c);
std::vector<tc_file> tc_files(test_collector *c);
/* Every complete line received on connection conn, without CR LF. */
std::vector<std::string> tc_lines(test_collector *c, int conn);
/* 1 once every connection accepted so far has ended (peer closed, or ended by
 * the collector); waits up to wait_ms for that. */
int tc_wait_idle(test_collector *c, int wait_ms);

/* Base64 decoding of the standard alphabet with padding; *ok = 0 on any
 * character outside it. */
std::string tc_base64_decode(const std::string &text, int *ok);

/* A test peer: one loopback connection. The function runs on a thread of its
 * own with the far end: it sends and pauses as it likes and must close the far
 * end before it returns (tp_close or tp_reset); near_end is the end under test. */
struct test_peer {
    SOCKET near_end = INVALID_SOCKET;
    std::thread thread;
};
/* 1 when connected and the function started; near_end is then open. */
int tp_start(test_peer *p, std::function<void(SOCKET far_end)> run);
/* Joins the thread and closes near_end. */
void tp_finish(test_peer *p);
/* Sends all bytes of text (one send call unless it is large). 1 or 0. */
int tp_send(SOCKET s, const std::string &text);
/* Closes the socket in order (shut down both ways), or with a reset (RST). */
void tp_close(SOCKET s);
void tp_reset(SOCKET s);

#endif
