// Windows, messages and text of the platform: what the plug-in and the host
// rely on. Runs natively against our layer and under Wine against the real
// user32, so every expectation here is Windows' own behaviour.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/client_env.h"
#include "frame/resource.h"
#include "platform/win32.h"

namespace {

const UINT WM_TEST_WHO = WM_APP + 1;   // returns the handling thread's id
const UINT WM_TEST_ECHO = WM_APP + 2;  // returns wParam * 2
const UINT WM_TEST_RELAY = WM_APP + 3; // sends WM_TEST_ECHO to window lParam

LRESULT CALLBACK test_proc(HWND w, UINT m, WPARAM wp, LPARAM lp)
{
    switch (m) {
    case WM_TEST_WHO:
        return (LRESULT)GetCurrentThreadId();
    case WM_TEST_ECHO:
        return (LRESULT)(wp * 2);
    case WM_TEST_RELAY:
        return SendMessageA((HWND)lp, WM_TEST_ECHO, wp, 0) + 1;
    default:
        return DefWindowProcA(w, m, wp, lp);
    }
}

HWND make_window()
{
    static bool registered = false;
    if (!registered) {
        WNDCLASSA wc;
        memset(&wc, 0, sizeof wc);
        wc.lpfnWndProc = test_proc;
        wc.lpszClassName = "qv7_test_user";
        RegisterClassA(&wc);
        registered = true;
    }
    return CreateWindowExA(0, "qv7_test_user", "user test", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                           NULL, NULL);
}

// Pumps the calling thread's messages until *stop is set.
void pump_until(const std::atomic<bool> &stop)
{
    MSG m;
    while (!stop) {
        if (MsgWaitForMultipleObjects(0, NULL, FALSE, 20, QS_ALLINPUT) == WAIT_OBJECT_0)
            while (PeekMessageA(&m, NULL, 0, 0, PM_REMOVE))
                DispatchMessageA(&m);
    }
}

} // namespace

// A message sent from other threads runs on the window's own thread, and each
// of many concurrent senders gets its own reply.
TEST(user_messages, cross_thread_send_runs_on_owner_and_answers_each_sender)
{
    HWND w = make_window();
    ASSERT_TRUE(w);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    DWORD me = GetCurrentThreadId();
    std::vector<std::thread> senders;
    for (int i = 0; i < 150; i++)
        senders.emplace_back([&, i] {
            if ((DWORD)SendMessageA(w, WM_TEST_WHO, 0, 0) != me)
                wrong++;
            if (SendMessageA(w, WM_TEST_ECHO, (WPARAM)i, 0) != 2 * i)
                wrong++;
        });
    std::thread joiner([&] {
        for (auto &t : senders)
            t.join();
        stop = true;
    });
    pump_until(stop);
    joiner.join();
    EXPECT_EQ(0, wrong.load());
    DWORD pid = 0;
    EXPECT_EQ(me, GetWindowThreadProcessId(w, &pid));
    EXPECT_EQ(GetCurrentProcessId(), pid);
    DestroyWindow(w);
}

// Two threads sending to each other's windows: the one waiting in SendMessageA
// handles what is sent to it meanwhile, so neither blocks for good.
TEST(user_messages, threads_sending_to_each_other_do_not_deadlock)
{
    HWND mine = make_window();
    std::atomic<HWND> theirs{NULL};
    std::atomic<bool> stop{false};
    LRESULT result = 0;
    std::thread other([&] {
        HWND w = make_window();
        theirs = w;
        // mine's thread relays back to w while this thread waits here
        result = SendMessageA(mine, WM_TEST_RELAY, 21, (LPARAM)w);
        stop = true;
        DestroyWindow(w);
    });
    pump_until(stop);
    other.join();
    EXPECT_EQ(43, result);
    DestroyWindow(mine);
}

// A destroyed window, or one whose thread has ended, answers 0 with
// ERROR_INVALID_WINDOW_HANDLE; posting to it fails the same way.
TEST(user_messages, gone_windows_fail_with_invalid_window_handle)
{
    HWND w = make_window();
    ASSERT_TRUE(DestroyWindow(w));
    EXPECT_FALSE(IsWindow(w));
    SetLastError(0);
    EXPECT_EQ(0, SendMessageA(w, WM_TEST_ECHO, 5, 0));
    EXPECT_EQ((DWORD)ERROR_INVALID_WINDOW_HANDLE, GetLastError());
    EXPECT_FALSE(PostMessageA(w, WM_TEST_ECHO, 5, 0));
    EXPECT_EQ((DWORD)ERROR_INVALID_WINDOW_HANDLE, GetLastError());

    HWND orphan = NULL;
    std::thread t([&] { orphan = make_window(); });
    t.join();
    SetLastError(0);
    EXPECT_EQ(0, SendMessageA(orphan, WM_TEST_ECHO, 5, 0));
    EXPECT_EQ((DWORD)ERROR_INVALID_WINDOW_HANDLE, GetLastError());
}

// Posted and thread messages keep their order; PM_NOREMOVE leaves a message
// in place; WM_QUIT ends GetMessageA once the others are taken; an empty
// queue makes MsgWaitForMultipleObjects time out.
TEST(user_messages, posted_messages_quit_and_waiting)
{
    HWND w = make_window();
    MSG m;
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, MsgWaitForMultipleObjects(0, NULL, FALSE, 50, QS_ALLINPUT));
    ASSERT_TRUE(PostMessageA(w, WM_TEST_ECHO, 1, 0));
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_TEST_ECHO, 2, 0));
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, MsgWaitForMultipleObjects(0, NULL, FALSE, 1000, QS_ALLINPUT));
    ASSERT_TRUE(PeekMessageA(&m, NULL, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(1u, m.wParam);
    PostQuitMessage(7);
    ASSERT_EQ(TRUE, GetMessageA(&m, NULL, 0, 0));
    EXPECT_EQ(w, m.hwnd);
    EXPECT_EQ(2, DispatchMessageA(&m));
    ASSERT_EQ(TRUE, GetMessageA(&m, NULL, 0, 0));
    EXPECT_TRUE(m.hwnd == NULL);
    EXPECT_EQ(2u, m.wParam);
    EXPECT_EQ(FALSE, GetMessageA(&m, NULL, 0, 0));
    EXPECT_EQ((UINT)WM_QUIT, m.message);
    EXPECT_EQ(7u, m.wParam);
    EXPECT_FALSE(PeekMessageA(&m, NULL, 0, 0, PM_REMOVE));
    DestroyWindow(w);
}

// The default window procedure keeps the text; WM_GETTEXT copies at most
// wParam-1 bytes and a terminator and returns the count; WM_CLOSE destroys.
TEST(user_messages, default_text_handling_and_close)
{
    HWND w = make_window();
    char buf[8];
    ASSERT_TRUE(SetWindowTextA(w, "abcdefghij"));
    EXPECT_EQ(10, SendMessageA(w, WM_GETTEXTLENGTH, 0, 0));
    EXPECT_EQ(4, SendMessageA(w, WM_GETTEXT, 5, (LPARAM)buf));
    EXPECT_STREQ("abcd", buf);
    EXPECT_EQ(7, GetWindowTextA(w, buf, sizeof buf));
    EXPECT_STREQ("abcdefg", buf);
    SendMessageA(w, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(w));
}

// wsprintfA's conversions as Windows gives them.
TEST(user_text, wsprintf_conversions)
{
    struct {
        const char *expected;
        std::string got;
    } cases[] = {
        {"42 -7 4294967289", ""}, {"ff FF 0000ABCD", ""}, {"[abc  ][  abc][ab]", ""},
        {"x(null)y", ""},         {"%c=Z 100%", ""},      {"-0042|  -42", ""},
    };
    char out[1100];
    wsprintfA(out, "%d %i %u", 42, -7, (unsigned)-7);
    cases[0].got = out;
    wsprintfA(out, "%x %X %08lX", 255u, 255u, (unsigned long)0xABCD);
    cases[1].got = out;
    wsprintfA(out, "[%-5s][%5s][%.2s]", "abc", "abc", "abc");
    cases[2].got = out;
    wsprintfA(out, "x%sy", (const char *)NULL);
    cases[3].got = out;
    wsprintfA(out, "%%c=%c 100%%", 'Z');
    cases[4].got = out;
    wsprintfA(out, "%05d|%5d", -42, -42);
    cases[5].got = out;
    for (const auto &c : cases)
        EXPECT_EQ(c.expected, c.got);

    // The output stops within 1024 bytes: nothing beyond them is written.
    std::string big(2000, 'q');
    memset(out, 'Z', sizeof out);
    int n = wsprintfA(out, "%s", big.c_str());
    EXPECT_GE(n, 1023);
    EXPECT_LE(n, 1024);
    for (size_t i = 1024; i < sizeof out; i++)
        ASSERT_EQ('Z', out[i]) << "byte " << i;
#ifndef _WIN32
    EXPECT_EQ(1023, n); // our layer keeps room for the terminator
    EXPECT_EQ(1023u, strlen(out));
#endif
}

// String 1 from the module's resources in the locale's language, cut to the
// buffer without splitting a character; a missing string gives 0.
TEST(user_text, load_string_from_module)
{
    std::string dir = ce_make_scratch();
    std::string copy = dir + "\\qv7_sock.qv7";
    ASSERT_TRUE(CopyFileA((std::string(getenv("QV7_BUILD_DIR")) + "/qv7_sock.qv7").c_str(),
                          copy.c_str(), FALSE));
    HMODULE m = LoadLibraryA(copy.c_str());
    ASSERT_TRUE(m);
    const char *lang = getenv("LC_ALL");
    if (!lang || !*lang)
        lang = getenv("LANG");
    bool ja = lang && strncmp(lang, "ja", 2) == 0;
    char buf[64];
    if (!ja) {
        EXPECT_EQ(9, LoadStringA(m, IDS_MENU_TITLE, buf, sizeof buf));
        EXPECT_STREQ("Send &CSV", buf);
        EXPECT_EQ(4, LoadStringA(m, IDS_MENU_TITLE, buf, 5));
        EXPECT_STREQ("Send", buf);
    } else if (GetACP() == 932) {
        EXPECT_EQ(8, LoadStringA(m, IDS_MENU_TITLE, buf, sizeof buf));
        EXPECT_STREQ("&CSV\x91\x97\x90\x4d", buf);
#ifndef _WIN32
        // five bytes of room: the double-byte character would not fit whole
        EXPECT_EQ(4, LoadStringA(m, IDS_MENU_TITLE, buf, 6));
        EXPECT_STREQ("&CSV", buf);
#endif
    }
    EXPECT_EQ(0, LoadStringA(m, 999, buf, sizeof buf));
    FreeLibrary(m);
    ce_remove_tree(dir);
}
