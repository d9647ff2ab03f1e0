/* The line reader and the reply test against a real peer on loopback that
 * sends chosen chunks with pauses between them, so the reader sees them as
 * separate receives. */
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/client_env.h"
#include "common/test_collector.h"
#include "client/protocol.h"
#include "frame/settings.h"
#include "support/filebuf.h"

namespace {

enum class tail { close, reset, hold_then_close };

struct peer_plan {
    std::vector<std::string> chunks;
    tail end = tail::close;
};

/* Runs the plan on a peer: each chunk in its own send, a pause after each. */
void run_plan(SOCKET far_end, peer_plan plan)
{
    for (const std::string &c : plan.chunks) {
        tp_send(far_end, c);
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    if (plan.end == tail::hold_then_close)
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
    if (plan.end == tail::reset)
        tp_reset(far_end);
    else
        tp_close(far_end);
}

class Protocol : public ::testing::Test {
protected:
    std::string scratch;
    void SetUp() override
    {
        scratch = ce_make_scratch();
        ASSERT_FALSE(scratch.empty());
        ce_settings(scratch, 1);
    }
    void TearDown() override { ce_remove_tree(scratch); }

    /* Reads one line from a peer that follows plan. */
    char *read_line(const peer_plan &plan, DWORD *total)
    {
        test_peer p;
        EXPECT_TRUE(tp_start(&p, [plan](SOCKET s) { run_plan(s, plan); }));
        char *line = recv_line(p.near_end, total);
        tp_finish(&p);
        return line;
    }
};

struct line_case {
    const char *what;
    std::vector<std::string> chunks;
    tail end;
    bool has_line;
    std::string line;
    DWORD total;
};

TEST_F(Protocol, RecvLineTable)
{
    std::string full4096 = std::string(4094, 'x') + "\r\n";
    std::string cr_at_4096 = std::string(4095, 'y') + "\r\n"; /* CR is byte 4096 */
    std::string big(300000, 'B');
    std::vector<std::string> many;
    for (int i = 0; i < 6; i++)
        many.push_back(std::string(1000 + i, (char)('a' + i)));
    many.push_back("\r\n");
    std::string many_line;
    for (int i = 0; i < 6; i++)
        many_line += many[(size_t)i];
    DWORD many_total = (DWORD)many_line.size() + 2;

    const line_case cases[] = {
        {"one receive", {"abc\r\n"}, tail::close, true, "abc", 5},
        {"CR | LF across receives", {"abc\r", "\n"}, tail::close, true, "abc", 5},
        {"CR alone in the middle", {"a\rb", "\r\n"}, tail::close, true, "a\rb", 5},
        {"LF then CR do not end", {"a\n\rb\r\n"}, tail::close, true, "a\n\rb", 6},
        {"lone LF, then close", {"ab\n"}, tail::close, false, "", 3},
        {"lone CR, then close", {"ab\r"}, tail::close, false, "", 3},
        {"CR LF alone", {"\r\n"}, tail::close, true, "", 2},
        {"two lines in one receive", {"one\r\ntwo\r\n"}, tail::close, true, "one", 10},
        {"bytes after the line counted", {"abc\r\nxyz"}, tail::hold_then_close, true, "abc", 8},
        {"line in many receives", many, tail::close, true, many_line, many_total},
        {"4096 bytes ending in CR LF: no further receive", {full4096}, tail::close, true,
         std::string(4094, 'x'), 4096},
        {"CR at byte 4096, LF in the next receive", {cr_at_4096}, tail::close, true,
         std::string(4095, 'y'), 4097},
        {"a long line", {big + "\r\n"}, tail::close, true, big, (DWORD)big.size() + 2},
        {"peer closes at once", {}, tail::close, false, "", 0},
        {"peer closes mid-line", {"half a li"}, tail::close, false, "", 9},
    };
    for (const line_case &c : cases) {
        SCOPED_TRACE(c.what);
        DWORD total = 12345;
        char *line = read_line(peer_plan{c.chunks, c.end}, &total);
        EXPECT_EQ(c.total, total);
        if (!c.has_line) {
            EXPECT_EQ(nullptr, line);
            continue;
        }
        ASSERT_NE(nullptr, line);
        EXPECT_EQ(c.line, std::string(line, c.line.size()));
        EXPECT_EQ(0, line[c.line.size()]);
        mem_free(&line);
        EXPECT_EQ(nullptr, line);
    }
    /* A peer that only closes is no error: nothing but "R" traces. */
    EXPECT_EQ(0, ce_log_count("Error(", true));
}

TEST_F(Protocol, RecvLineTraceAndErrors)
{
    DWORD total = 0;
    char *line = read_line(peer_plan{{"+OK with words\r\n"}, tail::close}, &total);
    ASSERT_NE(nullptr, line);
    mem_free(&line);
    EXPECT_EQ(1, ce_log_count("R: +OK with words"));

    /* level 1: no trace */
    plugin_settings.log_level = 1;
    line = read_line(peer_plan{{"quiet\r\n"}, tail::close}, &total);
    ASSERT_NE(nullptr, line);
    mem_free(&line);
    EXPECT_EQ(0, ce_log_count("R: quiet"));

    /* a reset is a receive failure: an error line with the label "recv" */
    line = read_line(peer_plan{{"partial"}, tail::reset}, &total);
    EXPECT_EQ(nullptr, line);
    EXPECT_EQ(1, ce_log_count("Error(recv): ", true));
}

#ifndef _WIN32
TEST_F(Protocol, RecvLineFailuresThroughTheLayer)
{
    DWORD total = 0;
    /* the block for the second receive cannot be had */
    qv7_fault_set("LocalAlloc", 2, 1, ERROR_NOT_ENOUGH_MEMORY);
    std::string first(5000, 'q');
    char *line = read_line(peer_plan{{first, "rest\r\n"}, tail::close}, &total);
    qv7_fault_clear();
    EXPECT_EQ(nullptr, line);
    EXPECT_EQ(1, ce_log_count("Error(mem_alloc): ", true));

    qv7_fault_set("recv", 1, 1, WSAECONNRESET);
    line = read_line(peer_plan{{"never read\r\n"}, tail::close}, &total);
    qv7_fault_clear();
    EXPECT_EQ(nullptr, line);
    EXPECT_EQ(0u, total);
    EXPECT_EQ(1, ce_log_count("Error(recv): ", true));
}
#endif

struct reply_case {
    std::vector<std::string> chunks;
    int positive;
};

TEST_F(Protocol, RecvReplyTable)
{
    const reply_case cases[] = {
        {{"+OK\r\n"}, 1},
        {{"+ok\r\n"}, 1},
        {{"+oK\r\n"}, 1},
        {{"+Ok and more\r\n"}, 1},
        {{"+O", "K\r\n"}, 1},
        {{"-ERR\r\n"}, 0},
        {{" +OK\r\n"}, 0},
        {{"OK\r\n"}, 0},
        {{"+O\r\n"}, 0},
        {{"+\r\n"}, 0},
        {{"+OX\r\n"}, 0},
        {{"\r\n"}, 0},
        {{"+OK"}, 0},       /* closed before the CR LF */
        {{}, 0},            /* closed at once */
        {{"+OK\n"}, 0},     /* LF alone never ends the line */
    };
    for (const reply_case &c : cases) {
        std::string shown;
        for (const std::string &s : c.chunks)
            shown += s + "|";
        SCOPED_TRACE(shown);
        test_peer p;
        ASSERT_TRUE(tp_start(&p, [c](SOCKET s) { run_plan(s, peer_plan{c.chunks, tail::close}); }));
        EXPECT_EQ(c.positive, recv_reply(p.near_end));
        tp_finish(&p);
    }
    EXPECT_EQ(0, ce_log_count("Error(", true));
}

} // namespace
