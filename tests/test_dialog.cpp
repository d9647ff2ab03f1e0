// The settings dialog, driven from a second thread as a person or an
// accessibility tool would: find it by its title, read what WM_INITDIALOG put
// in the fields, change them (WM_SETTEXT, typing, BM_CLICK on the check box),
// then press OK or Cancel, hit Escape or the close button. What the dialog did
// is judged from outside: the INI file, the values the next opening shows,
// and where the next delivery run connects.
//
// Each case loads a copy of the real module (QV7_BUILD_DIR/qv7_sock.qv7) from
// a scratch folder, so the INI file is the case's own. Runs natively (headless
// dialog) and under Wine in Xvfb (the real dialog); a second CTest entry runs it
// under a Japanese locale. Under Wine the first case also leaves a screenshot,
// QV7_BUILD_DIR/dialog-en.png or dialog-ja.png.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <iconv.h>
#endif

#include "common/client_env.h"
#include "frame/contract.h"
#include "frame/resource.h"

namespace {

bool japanese_locale()
{
    const char *names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (const char *n : names) {
        const char *v = getenv(n);
        if (v && *v)
            return strncmp(v, "ja", 2) == 0;
    }
    return false;
}

// A UTF-8 text in the ANSI code page, as the dialog's ANSI messages give it.
std::string to_acp(const char *utf8)
{
#ifdef _WIN32
    wchar_t wide[512];
    char out[1024];
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, 512);
    WideCharToMultiByte(CP_ACP, 0, wide, n, out, sizeof out, NULL, NULL);
    return out;
#else
    if (GetACP() != 932)
        return utf8;
    char out[1024];
    char *in = const_cast<char *>(utf8), *at = out;
    size_t in_left = strlen(utf8), out_left = sizeof out - 1;
    iconv_t cd = iconv_open("CP932", "UTF-8");
    iconv(cd, &in, &in_left, &at, &out_left);
    iconv_close(cd);
    *at = 0;
    return out;
#endif
}

// What a language version of dialog 101 must show, in template order.
struct expected_control {
    int id;
    DWORD style_bits; // the control's own style bits plus WS_TABSTOP / WS_GROUP
    int x, y, cx, cy;
    const char *en, *ja; // null for the edits, which hold the settings by now
};

const expected_control controls[] = {
    {IDC_ENABLE, 0x3 | WS_TABSTOP, 5, 5, 135, 10, "&Enable Send CSV", "CSV送信を有効にする(&E)"},
    {-1, WS_GROUP, 5, 20, 65, 0, "Borad &Name:", "この端末の名前(&N):"},
    {IDC_NAME, 0x80 | WS_TABSTOP, 5, 30, 155, 12, nullptr, nullptr},
    {-1, WS_GROUP, 5, 45, 65, 0, "&Server:", "接続先(&S):"},
    {IDC_SERVER, 0x80 | WS_TABSTOP, 5, 55, 155, 12, nullptr, nullptr},
    {-1, WS_GROUP, 5, 70, 65, 0, "&Port:", "ポート番号(&P):"},
    {IDC_PORT, 0x2080 | WS_TABSTOP, 5, 80, 55, 12, nullptr, nullptr},
    {IDOK, 0x1 | WS_TABSTOP, 55, 100, 50, 14, "OK", "OK"},
    {IDCANCEL, 0x0 | WS_TABSTOP, 110, 100, 50, 14, "Cancel", "キャンセル"},
};

std::string dialog_title()
{
    return to_acp(japanese_locale() ? "接続先設定" : "Connection Setting");
}

enum finish_by { BY_OK, BY_CANCEL, BY_ESCAPE, BY_CLOSE_BUTTON };

// What the driver does to the open dialog, and what it saw there.
struct dialog_script {
    bool click_enable = false;
    const char *name = nullptr;   // WM_SETTEXT when set
    const char *server = nullptr;
    const char *port = nullptr;
    const char *typed_port = nullptr; // cleared, then typed with WM_CHAR
    finish_by finish = BY_OK;
    bool check_layout = false;
    const char *screenshot = nullptr; // file name under QV7_BUILD_DIR (Wine only)
};

struct dialog_seen {
    bool found = false;
    bool owner_disabled = false;
    LRESULT check = -1;
    std::string name, server, port;
    std::vector<std::string> layout_faults;
};

std::string item_text(HWND dialog, int id)
{
    char text[1024] = "";
    SendDlgItemMessageA(dialog, id, WM_GETTEXT, sizeof text, (LPARAM)text);
    return text;
}

// Polls for the dialog by title (10 s); once found, a WM_NULL round trip
// makes sure WM_INITDIALOG has run. Null when it never appeared.
HWND wait_for_dialog(const std::string &title)
{
    for (int i = 0; i < 200; i++) {
        HWND d = FindWindowA(NULL, title.c_str());
        if (d) {
            SendMessageA(d, WM_NULL, 0, 0);
            return d;
        }
        Sleep(50);
    }
    return NULL;
}

// Saves the dialog's part of the X screen (Wine runs /usr/bin/import, a
// Unix program, directly). Nothing natively: that dialog is never drawn.
void take_screenshot(HWND dialog, const char *file)
{
#ifdef _WIN32
    const char *build = getenv("QV7_BUILD_DIR");
    if (!build || !getenv("DISPLAY"))
        return;
    Sleep(1500); // let Wine paint the dialog
    RECT r;
    GetWindowRect(dialog, &r);
    char crop[64];
    snprintf(crop, sizeof crop, "%ldx%ld+%ld+%ld", (long)(r.right - r.left + 8),
             (long)(r.bottom - r.top + 8), (long)(r.left > 4 ? r.left - 4 : 0),
             (long)(r.top > 4 ? r.top - 4 : 0));
    std::string cmd = std::string("/usr/bin/import -window root -crop ") + crop + " " + build +
                      "/" + file;
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back(0);
    if (CreateProcessA(NULL, line.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, 20000);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
#else
    (void)dialog;
    (void)file;
#endif
}

// Checks order, ids, styles, texts and positions of the controls against the
// template; each fault becomes a line of seen->layout_faults.
void check_layout(HWND dialog, dialog_seen *seen)
{
    bool ja = japanese_locale();
    HWND c = GetWindow(dialog, GW_CHILD);
    RECT first_screen = {0, 0, 0, 0}, first_mapped = {0, 0, 0, 0};
    for (size_t i = 0; i < sizeof controls / sizeof controls[0]; i++, c = GetWindow(c, GW_HWNDNEXT)) {
        const expected_control &e = controls[i];
        std::string where = "control " + std::to_string(i) + ": ";
        if (!c) {
            seen->layout_faults.push_back(where + "missing");
            return;
        }
        DWORD style = (DWORD)GetWindowLongA(c, GWL_STYLE);
        if (GetDlgCtrlID(c) != (e.id == -1 ? 0xFFFF : e.id) && GetDlgCtrlID(c) != e.id)
            seen->layout_faults.push_back(where + "id " + std::to_string(GetDlgCtrlID(c)));
        if ((style & (0xFFFF | WS_TABSTOP | WS_GROUP)) != e.style_bits)
            seen->layout_faults.push_back(where + "style " + std::to_string(style));
        char text[256] = "";
        SendMessageA(c, WM_GETTEXT, sizeof text, (LPARAM)text);
        if (e.en && text != to_acp(ja ? e.ja : e.en))
            seen->layout_faults.push_back(where + "text " + text);
        // Positions: each control's pixels must be its template rectangle as
        // MapDialogRect gives it, shifted by the same client origin.
        int cy = e.cy ? e.cy : (ja ? 10 : 9);
        RECT mapped = {e.x, e.y, e.x + e.cx, e.y + cy}, screen;
        MapDialogRect(dialog, &mapped);
        GetWindowRect(c, &screen);
        if (i == 0) {
            first_screen = screen;
            first_mapped = mapped;
        }
        long dx = (screen.left - mapped.left) - (first_screen.left - first_mapped.left);
        long dy = (screen.top - mapped.top) - (first_screen.top - first_mapped.top);
        long dw = (screen.right - screen.left) - (mapped.right - mapped.left);
        long dh = (screen.bottom - screen.top) - (mapped.bottom - mapped.top);
        if (labs(dx) > 1 || labs(dy) > 1 || labs(dw) > 1 || labs(dh) > 1)
            seen->layout_faults.push_back(where + "rectangle off by " + std::to_string(dx) + "," +
                                          std::to_string(dy) + "," + std::to_string(dw) + "," +
                                          std::to_string(dh));
    }
    if (c)
        seen->layout_faults.push_back("more controls than the template has");
}

void drive(const dialog_script &s, HWND owner, dialog_seen *seen)
{
    HWND d = wait_for_dialog(dialog_title());
    if (!d) {
        // Never leave the test hanging in the modal loop: close whatever
        // dialog is there.
        HWND any = FindWindowA("#32770", NULL);
        if (any)
            PostMessageA(any, WM_CLOSE, 0, 0);
        return;
    }
    seen->found = true;
    seen->owner_disabled = owner && !IsWindowEnabled(owner);
    seen->check = SendDlgItemMessageA(d, IDC_ENABLE, BM_GETCHECK, 0, 0);
    seen->name = item_text(d, IDC_NAME);
    seen->server = item_text(d, IDC_SERVER);
    seen->port = item_text(d, IDC_PORT);
    if (s.check_layout)
        check_layout(d, seen);
    if (s.screenshot)
        take_screenshot(d, s.screenshot);
    if (s.click_enable)
        SendMessageA(GetDlgItem(d, IDC_ENABLE), BM_CLICK, 0, 0);
    if (s.name)
        SendDlgItemMessageA(d, IDC_NAME, WM_SETTEXT, 0, (LPARAM)s.name);
    if (s.server)
        SendDlgItemMessageA(d, IDC_SERVER, WM_SETTEXT, 0, (LPARAM)s.server);
    if (s.port)
        SendDlgItemMessageA(d, IDC_PORT, WM_SETTEXT, 0, (LPARAM)s.port);
    if (s.typed_port) {
        SendDlgItemMessageA(d, IDC_PORT, WM_SETTEXT, 0, (LPARAM) "");
        for (const char *p = s.typed_port; *p; p++)
            SendDlgItemMessageA(d, IDC_PORT, WM_CHAR, (WPARAM)(unsigned char)*p, 1);
    }
    switch (s.finish) {
    case BY_OK:
        SendMessageA(GetDlgItem(d, IDOK), BM_CLICK, 0, 0);
        break;
    case BY_CANCEL:
        SendMessageA(GetDlgItem(d, IDCANCEL), BM_CLICK, 0, 0);
        break;
    case BY_ESCAPE:
        PostMessageA(d, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        break;
    case BY_CLOSE_BUTTON:
        SendMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0);
        break;
    }
}

LRESULT CALLBACK owner_proc(HWND w, UINT m, WPARAM wp, LPARAM lp)
{
    return DefWindowProcA(w, m, wp, lp);
}

// A copy of the module in a scratch folder of its own, loaded, with a hidden
// top-level window of the test's thread as the dialog's owner.
struct dialog_env {
    std::string dir, ini;
    HMODULE module = NULL;
    qv7_sock_property_fn property = nullptr;
    qv7_sock_fn event = nullptr;
    HWND owner = NULL;
    std::string failure; // the step of open() that failed, with its error

    bool fail(const char *step)
    {
        failure = std::string(step) + " failed: " + std::to_string(GetLastError());
        return false;
    }

    // ini_text: the INI file's content before the load (null: no file).
    bool open(const char *ini_text)
    {
        static bool registered = false;
        if (!registered) {
            WNDCLASSA wc;
            memset(&wc, 0, sizeof wc);
            wc.lpfnWndProc = owner_proc;
            wc.lpszClassName = "qv7_test_owner";
            RegisterClassA(&wc);
            registered = true;
        }
        dir = ce_make_scratch();
        ini = dir + "\\qv7_sock.ini";
        const char *build = getenv("QV7_BUILD_DIR");
        if (dir.empty() || !build)
            return fail("scratch folder / QV7_BUILD_DIR");
        std::string copy = dir + "\\qv7_sock.qv7";
        if (!CopyFileA((std::string(build) + "/qv7_sock.qv7").c_str(), copy.c_str(), FALSE))
            return fail("CopyFileA");
        if (ini_text && !ce_write(ini, ini_text))
            return fail("writing the INI file");
        module = LoadLibraryA(copy.c_str());
        if (!module)
            return fail("LoadLibraryA");
        property = (qv7_sock_property_fn)(void *)GetProcAddress(module, "qv7_sock_property");
        event = (qv7_sock_fn)(void *)GetProcAddress(module, "qv7_sock");
        owner = CreateWindowExA(0, "qv7_test_owner", "qv7 test owner", WS_OVERLAPPED, 0, 0, 100,
                                100, NULL, NULL, NULL, NULL);
        return property && event && owner ? true : fail("GetProcAddress / CreateWindowExA");
    }

    // Opens the dialog on this thread while a second thread runs script.
    int run(const dialog_script &s, dialog_seen *seen)
    {
        std::thread driver(drive, std::cref(s), owner, seen);
        int result = property(owner, 0);
        driver.join();
        return result;
    }

    std::string key(const char *section, const char *name)
    {
        char value[1024];
        GetPrivateProfileStringA(section, name, "<missing>", value, sizeof value, ini.c_str());
        return value;
    }

    ~dialog_env()
    {
        if (owner)
            DestroyWindow(owner);
        if (module)
            FreeLibrary(module);
        if (!dir.empty())
            ce_remove_tree(dir);
    }
};

std::string host_name()
{
    WSADATA data;
    char name[256] = "";
    WSAStartup(MAKEWORD(1, 1), &data);
    gethostname(name, sizeof name - 1);
    return name;
}

// Opens the dialog only to read what it shows, and cancels.
dialog_seen reopen(dialog_env &env)
{
    dialog_script look;
    look.finish = BY_CANCEL;
    dialog_seen seen;
    EXPECT_EQ(1, env.run(look, &seen));
    EXPECT_TRUE(seen.found);
    return seen;
}

} // namespace

// Without an INI file the dialog shows the defaults; Cancel leaves the folder
// without one. The window matches the template, and its owner is disabled
// while it runs and enabled again afterwards.
TEST(settings_dialog, shows_defaults_in_template_layout_and_cancel_creates_nothing)
{
    dialog_env env;
    ASSERT_TRUE(env.open(nullptr)) << env.failure;
    dialog_script s;
    s.check_layout = true;
    s.finish = BY_CANCEL;
    s.screenshot = japanese_locale() ? "dialog-ja.png" : "dialog-en.png";
    dialog_seen seen;
    EXPECT_EQ(1, env.run(s, &seen));
    ASSERT_TRUE(seen.found) << "no window titled " << dialog_title();
    EXPECT_TRUE(seen.owner_disabled);
    EXPECT_TRUE(IsWindowEnabled(env.owner));
    EXPECT_FALSE(IsWindow(FindWindowA(NULL, dialog_title().c_str())));
    EXPECT_EQ(BST_CHECKED, seen.check);
    EXPECT_EQ(host_name(), seen.name);
    EXPECT_EQ("", seen.server);
    EXPECT_EQ("1501", seen.port);
    for (const std::string &f : seen.layout_faults)
        ADD_FAILURE() << f;
    EXPECT_FALSE(ce_exists(env.ini));
}

// OK without a change creates the missing INI file with all five keys (the
// log level as read at load) and never [server] port.
TEST(settings_dialog, ok_on_missing_file_writes_all_five_keys)
{
    dialog_env env;
    ASSERT_TRUE(env.open(nullptr)) << env.failure;
    dialog_script s;
    dialog_seen seen;
    EXPECT_EQ(1, env.run(s, &seen));
    ASSERT_TRUE(seen.found);
    EXPECT_EQ("1", env.key("option", "log"));
    EXPECT_EQ("1", env.key("client", "enable"));
    EXPECT_EQ(host_name(), env.key("client", "name"));
    EXPECT_EQ("", env.key("client", "server"));
    EXPECT_EQ("1501", env.key("client", "port"));
    EXPECT_EQ("<missing>", env.key("server", "port"));
}

// OK takes every field at once; the next opening shows the new values. The
// port edit accepts typed digits only.
TEST(settings_dialog, ok_applies_changed_fields_at_once)
{
    dialog_env env;
    ASSERT_TRUE(env.open("[client]\r\nname=PC1\r\nserver=old.example\r\nport=1501\r\n")) << env.failure;
    dialog_script s;
    s.click_enable = true;
    s.name = "STATION-7";
    s.server = "collector.example";
    s.typed_port = "1x2-3";
    dialog_seen seen;
    EXPECT_EQ(1, env.run(s, &seen));
    ASSERT_TRUE(seen.found);
    EXPECT_EQ(BST_CHECKED, seen.check);
    EXPECT_EQ("PC1", seen.name);
    EXPECT_EQ("old.example", seen.server);
    EXPECT_EQ("0", env.key("client", "enable"));
    EXPECT_EQ("STATION-7", env.key("client", "name"));
    EXPECT_EQ("collector.example", env.key("client", "server"));
    EXPECT_EQ("123", env.key("client", "port"));

    dialog_seen again = reopen(env);
    EXPECT_EQ(BST_UNCHECKED, again.check);
    EXPECT_EQ("STATION-7", again.name);
    EXPECT_EQ("collector.example", again.server);
    EXPECT_EQ("123", again.port);
}

// Hand changes made while the module stays loaded: OK overwrites [option] and
// [client] with the values in force, a hand-set [server] port survives.
TEST(settings_dialog, ok_overwrites_hand_changes_but_keeps_server_port)
{
    dialog_env env;
    ASSERT_TRUE(env.open("[option]\r\nlog=2\r\n[server]\r\nport=2222\r\n[client]\r\nname=Before\r\n")) << env.failure;
    WritePrivateProfileStringA("option", "log", "7", env.ini.c_str());
    WritePrivateProfileStringA("server", "port", "3333", env.ini.c_str());
    WritePrivateProfileStringA("client", "name", "HandMade", env.ini.c_str());
    dialog_script s;
    dialog_seen seen;
    EXPECT_EQ(1, env.run(s, &seen));
    ASSERT_TRUE(seen.found);
    EXPECT_EQ("Before", seen.name);
    EXPECT_EQ("2", env.key("option", "log"));
    EXPECT_EQ("Before", env.key("client", "name"));
    EXPECT_EQ("3333", env.key("server", "port"));
}

// The port field read as an unsigned number without asking whether it was
// one: empty and non-numeric give 0, a value above 65535 is kept as entered.
TEST(settings_dialog, port_field_is_read_without_validation)
{
    struct {
        const char *field, *stored;
    } cases[] = {{"", "0"}, {"abc", "0"}, {"70000", "70000"}, {"08080", "8080"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.field);
        dialog_env env;
        ASSERT_TRUE(env.open(nullptr)) << env.failure;
        dialog_script s;
        s.port = c.field;
        dialog_seen seen;
        EXPECT_EQ(1, env.run(s, &seen));
        ASSERT_TRUE(seen.found);
        EXPECT_EQ(c.stored, env.key("client", "port"));
        EXPECT_EQ(c.stored, reopen(env).port);
    }
}

// Name and server longer than 254 characters are cut to 254, in the file and
// in the settings in force.
TEST(settings_dialog, long_texts_are_cut_to_254_characters)
{
    dialog_env env;
    ASSERT_TRUE(env.open(nullptr)) << env.failure;
    std::string name(300, 'n'), server(255, 's');
    dialog_script s;
    s.name = name.c_str();
    s.server = server.c_str();
    dialog_seen seen;
    EXPECT_EQ(1, env.run(s, &seen));
    ASSERT_TRUE(seen.found);
    EXPECT_EQ(name.substr(0, 254), env.key("client", "name"));
    EXPECT_EQ(server.substr(0, 254), env.key("client", "server"));
    dialog_seen again = reopen(env);
    EXPECT_EQ(name.substr(0, 254), again.name);
    EXPECT_EQ(server.substr(0, 254), again.server);
}

// Cancel, Escape and the close button all end the dialog without touching the
// file or the settings in force, and the export still returns 1.
TEST(settings_dialog, cancel_escape_and_close_change_nothing)
{
    const char *ini_text = "[option]\r\nlog=1\r\n[client]\r\nenable=1\r\nname=KEEP\r\n"
                           "server=keep.example\r\nport=4444\r\n";
    struct {
        finish_by how;
        const char *label;
    } cases[] = {{BY_CANCEL, "Cancel"}, {BY_ESCAPE, "Escape"}, {BY_CLOSE_BUTTON, "close button"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        dialog_env env;
        ASSERT_TRUE(env.open(ini_text)) << env.failure;
        dialog_script s;
        s.click_enable = true;
        s.name = "CHANGED";
        s.server = "changed.example";
        s.port = "1";
        s.finish = c.how;
        dialog_seen seen;
        EXPECT_EQ(1, env.run(s, &seen));
        ASSERT_TRUE(seen.found);
        EXPECT_EQ(ini_text, ce_read(env.ini));
        dialog_seen again = reopen(env);
        EXPECT_EQ(BST_CHECKED, again.check);
        EXPECT_EQ("KEEP", again.name);
        EXPECT_EQ("keep.example", again.server);
        EXPECT_EQ("4444", again.port);
    }
}

namespace {

// A listening socket on addr (dotted IPv4), any free port.
SOCKET listen_on(const char *addr, int *port)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = inet_addr(addr);
    int len = sizeof sa;
    if (s == INVALID_SOCKET || bind(s, (struct sockaddr *)&sa, sizeof sa) != 0 ||
        listen(s, 5) != 0 || getsockname(s, (struct sockaddr *)&sa, &len) != 0) {
        if (s != INVALID_SOCKET)
            closesocket(s);
        return INVALID_SOCKET;
    }
    *port = ntohs(sa.sin_port);
    return s;
}

// Raises the send event every 200 ms until listener accepts a connection
// (closed at once) or wait_ms pass. True when one came.
bool send_reaches(dialog_env &env, SOCKET listener, int wait_ms)
{
    for (int waited = 0; waited < wait_ms; waited += 200) {
        env.event(env.owner, PLUGIN_EVENT_SEND, NULL, 0);
        fd_set set;
        FD_ZERO(&set);
        FD_SET(listener, &set);
        struct timeval tv = {0, 200000};
        if (select((int)listener + 1, &set, NULL, NULL, &tv) == 1) {
            SOCKET c = accept(listener, NULL, NULL);
            if (c != INVALID_SOCKET)
                closesocket(c);
            return true;
        }
    }
    return false;
}

} // namespace

// OK forgets the resolved server address: after a run to the first server,
// changing the server in the dialog sends the next run to the new one.
TEST(settings_dialog, ok_makes_the_next_run_resolve_the_new_server)
{
    host_name(); // starts Winsock in the test
    int port1 = 0, port2 = 0;
    SOCKET first = listen_on("127.0.0.1", &port1);
    SOCKET second = listen_on("127.0.0.2", &port2);
    ASSERT_NE(INVALID_SOCKET, first);
    ASSERT_NE(INVALID_SOCKET, second);
    std::string ini = "[option]\r\nlog=0\r\n[client]\r\nenable=1\r\nname=PC1\r\nserver=127.0.0.1\r\n"
                      "port=" + std::to_string(port1) + "\r\n";
    dialog_env env;
    ASSERT_TRUE(env.open(ini.c_str())) << env.failure;
    std::string resent = env.dir + "\\resent";
    ASSERT_TRUE(CreateDirectoryA(resent.c_str(), NULL));
    ASSERT_TRUE(ce_write(resent + "\\1_20240105_140309_PC1.csv", "a,b\r\n"));
    ASSERT_TRUE(send_reaches(env, first, 10000)) << "first run never reached 127.0.0.1";

    dialog_script s;
    s.server = "127.0.0.2";
    std::string p2 = std::to_string(port2);
    s.port = p2.c_str();
    dialog_seen seen;
    EXPECT_EQ(1, env.run(s, &seen));
    ASSERT_TRUE(seen.found);
    EXPECT_TRUE(send_reaches(env, second, 10000)) << "the run after OK kept the old address";
    closesocket(first);
    closesocket(second);
}
