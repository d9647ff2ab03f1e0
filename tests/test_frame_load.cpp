// The load step and the registration exports: the module's folder, the INI
// keys, the fresh log, and what get_plugin_info and qv7_sock_initialize give.
// Most cases load a copy of the real module (QV7_BUILD_DIR/qv7_sock.qv7) from
// a folder of their own and observe it from outside, as a host would.
// Runs natively and under Wine; a second CTest run uses a Japanese locale.
#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "frame/contract.h"
#include "frame/settings.h"
#include "common/client_env.h"
#include "support/filebuf.h"

namespace {

/* Scratch folders and file checks shared by the test programs. */
std::string make_temp_dir(const char *tag) { return ce_make_scratch(); }
void remove_tree(const std::string &dir) { ce_remove_tree(dir); }
bool exists(const std::string &path) { return ce_exists(path); }

bool write_all(const std::string &path, const std::string &bytes)
{
    return ce_write(path, bytes);
}

bool read_all(const std::string &path, std::string *out)
{
    int ok = 0;
    *out = ce_read(path, &ok);
    return ok != 0;
}

// The module that the build made, as a path this program can open.
std::string built_module()
{
    const char *dir = getenv("QV7_BUILD_DIR");
    std::string d = dir ? dir : ".";
#ifdef _WIN32
    if (!d.empty() && d[0] == '/')
        d = "Z:" + d; // a Linux path seen from Wine
#endif
    return d + "\\qv7_sock.qv7";
}

// Copies the module into folder under name and loads it; null when the copy or
// the load fails (then *error holds GetLastError of the load).
HMODULE load_copy(const std::string &folder, const char *name, DWORD *error)
{
    std::string target = folder + "\\" + name;
    *error = 0;
    if (!CopyFileA(built_module().c_str(), target.c_str(), FALSE)) {
        *error = GetLastError();
        ADD_FAILURE() << "cannot copy " << built_module() << " to " << target << ": " << *error;
        return NULL;
    }
    SetLastError(0);
    HMODULE m = LoadLibraryA(target.c_str());
    if (m == NULL)
        *error = GetLastError();
    return m;
}

// A folder under base whose full path is exactly length characters long.
bool make_folder_of_length(const std::string &base, size_t length, std::string *folder)
{
    std::string path = base;
    if (path.size() + 2 > length)
        return false;
    while (path.size() < length) {
        size_t room = length - path.size() - 1;
        size_t part = room > 100 ? 100 : room;
        if (room - part == 1)
            part--; // leave room for one more separator and name
        path += "\\" + std::string(part, 'd');
        if (!CreateDirectoryA(path.c_str(), NULL))
            return false;
    }
    *folder = path;
    return path.size() == length;
}

// ======================================================== path_folder

// Which texts the test program expects from the ANSI code page and the locale.
bool dbcs_932() { return GetACP() == 932; }

bool japanese_locale()
{
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char *v = getenv(name);
        if (v != NULL && *v != 0)
            return strncmp(v, "ja", 2) == 0;
    }
    return false;
}

TEST(ModuleFolder, Cases)
{
    struct {
        const char *path;
        const char *folder_932;  // when the ANSI code page is 932
        const char *folder_other; // any single-byte or UTF-8 code page
    } cases[] = {
        {"C:\\plugins\\qv7\\qv7_sock.qv7", "C:\\plugins\\qv7", "C:\\plugins\\qv7"},
        {"/opt/host/plugins/qv7_sock.qv7", "/opt/host/plugins", "/opt/host/plugins"},
        {"C:/plugins\\mixed/qv7_sock.qv7", "C:/plugins\\mixed", "C:/plugins\\mixed"},
        {"C:\\plugins\\", "C:\\plugins", "C:\\plugins"},
        {"qv7_sock.qv7", "", ""},
        {"\\qv7_sock.qv7", "", ""},
        {"", "", ""},
        // 0x95 0x5C is one double-byte character in code page 932 (a kanji),
        // whose second byte is not a separator there.
        {"C:\\\x95\x5c\\qv7_sock.qv7", "C:\\\x95\x5c", "C:\\\x95\x5c"},
        {"C:\\" "dir\\\x95\x5c" "qv7_sock.qv7", "C:\\" "dir", "C:\\" "dir\\\x95"},
        {"\x95\x5c" "qv7_sock.qv7", "", "\x95"},
        {"C:\\" "dir\\\x95", "C:\\" "dir", "C:\\" "dir"}, // a lead byte with nothing after it
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.path);
        char folder[MAX_PATH];
        memset(folder, 'x', sizeof folder);
        const char *expected = dbcs_932() ? c.folder_932 : c.folder_other;
        EXPECT_EQ((int)strlen(expected), path_folder(c.path, folder));
        EXPECT_STREQ(expected, folder);
    }
}

// ===================================================== the six INI keys

class ReadIni : public ::testing::Test {
protected:
    std::string dir;
    plugin_settings_t saved;
    int serial = 0;
    void SetUp() override
    {
        saved = plugin_settings;
        dir = make_temp_dir("ini");
    }
    void TearDown() override
    {
        plugin_settings = saved;
        remove_tree(dir);
    }
    // A fresh file name per read, so no cached copy of an older file is seen.
    void read(const char *content)
    {
        std::string ini = dir + "\\qv7_sock_" + std::to_string(serial++) + ".ini";
        if (content != NULL) {
            ASSERT_TRUE(write_all(ini, content));
        }
        memset(&plugin_settings.client_name, 'x', sizeof plugin_settings.client_name);
        memset(&plugin_settings.client_server, 'x', sizeof plugin_settings.client_server);
        plugin_settings.log_level = plugin_settings.server_port = 99999;
        plugin_settings.client_enable = plugin_settings.client_port = 99999;
        settings_read_ini(ini.c_str(), "station-default");
    }
};

TEST_F(ReadIni, MissingFileGivesDefaults)
{
    read(NULL);
    EXPECT_EQ(1, plugin_settings.log_level);
    EXPECT_EQ(1501, plugin_settings.server_port);
    EXPECT_EQ(1, plugin_settings.client_enable);
    EXPECT_STREQ("station-default", plugin_settings.client_name);
    EXPECT_STREQ("", plugin_settings.client_server);
    EXPECT_EQ(1501, plugin_settings.client_port);
    EXPECT_FALSE(exists(dir + "\\qv7_sock_0.ini")) << "reading created the file";
}

TEST_F(ReadIni, EveryKey)
{
    read("[option]\r\nlog=2\r\n[server]\r\nport=2001\r\n"
         "[client]\r\nenable=0\r\nname=PC1\r\nserver=collector.example\r\nport=1601\r\n");
    EXPECT_EQ(2, plugin_settings.log_level);
    EXPECT_EQ(2001, plugin_settings.server_port);
    EXPECT_EQ(0, plugin_settings.client_enable);
    EXPECT_STREQ("PC1", plugin_settings.client_name);
    EXPECT_STREQ("collector.example", plugin_settings.client_server);
    EXPECT_EQ(1601, plugin_settings.client_port);

    // Keys in the wrong section are not these keys.
    read("[client]\r\nlog=2\r\n[option]\r\nport=7\r\nname=wrong\r\n");
    EXPECT_EQ(1, plugin_settings.log_level);
    EXPECT_EQ(1501, plugin_settings.client_port);
    EXPECT_STREQ("station-default", plugin_settings.client_name);
}

// A present empty text is empty, not the default; a long one is cut to 254.
TEST_F(ReadIni, Texts)
{
    read("[client]\r\nname=\r\nserver=\r\n");
    EXPECT_STREQ("", plugin_settings.client_name);
    EXPECT_STREQ("", plugin_settings.client_server);

    std::string long_name(300, 'n'), long_server(400, 's');
    read(("[client]\r\nname=" + long_name + "\r\nserver=" + long_server + "\r\n").c_str());
    EXPECT_EQ(std::string(254, 'n'), plugin_settings.client_name);
    EXPECT_EQ(std::string(254, 's'), plugin_settings.client_server);
}

// Integer keys read as the platform's profile functions read them; the same on
// both systems.
TEST_F(ReadIni, Integers)
{
    struct {
        const char *value;
        int32_t expected; // for [option] log, default 1
    } cases[] = {
        {"0", 0}, {"-1", -1}, {"5", 5}, {"abc", 0}, {"12abc", 12}, {"", 1},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.value);
        read((std::string("[option]\r\nlog=") + c.value + "\r\n").c_str());
        EXPECT_EQ(c.expected, plugin_settings.log_level);
    }
}

// ================================================ loading a copy of the module

class Load : public ::testing::Test {
protected:
    std::string dir;
    HMODULE module = NULL;
    void SetUp() override { dir = make_temp_dir("load"); }
    void TearDown() override
    {
#ifndef _WIN32
        qv7_fault_clear();
#endif
        if (module != NULL)
            FreeLibrary(module);
        remove_tree(dir);
    }
};

// Registration: string resource 1 as the title, the event entry's name, an
// empty argument, bytes 0-3 untouched; other indexes leave the record alone;
// the event mask is send + record.
TEST_F(Load, Registration)
{
    DWORD error;
    module = load_copy(dir, "qv7_sock.qv7", &error);
    ASSERT_NE(nullptr, module) << "load failed: " << error;
    // Through void *: the exports' real types are not FARPROC's.
    auto info = (get_plugin_info_fn)(void *)GetProcAddress(module, "get_plugin_info");
    auto init = (qv7_sock_initialize_fn)(void *)GetProcAddress(module, "qv7_sock_initialize");
    ASSERT_NE(nullptr, info);
    ASSERT_NE(nullptr, init);
    EXPECT_EQ(0x41, init(NULL, 0));

    std::vector<unsigned char> record(1024, 0xCC), untouched(1024, 0xCC);
    EXPECT_EQ(0, info(NULL, 1, record.data()));
    EXPECT_EQ(0, info(NULL, -1, record.data()));
    EXPECT_TRUE(record == untouched) << "another index changed the record";

    ASSERT_EQ(1, info(NULL, 0, record.data()));
    EXPECT_EQ(0, memcmp(record.data(), untouched.data(), 4)) << "bytes 0-3 were touched";
    std::string expected = "Send &CSV";
    if (japanese_locale())
        expected = dbcs_932() ? "&CSV\x91\x97\x90\x4d" /* CP932 */
                              : "&CSV\xe9\x80\x81\xe4\xbf\xa1" /* UTF-8 */;
    EXPECT_EQ(expected, std::string((const char *)record.data() + PLUGIN_INFO_TITLE));
    EXPECT_STREQ("qv7_sock", (const char *)record.data() + PLUGIN_INFO_FUNCTION_NAME);
    EXPECT_EQ(0, record[PLUGIN_INFO_ARGUMENT]);
    EXPECT_EQ(0xCC, record[PLUGIN_INFO_ARGUMENT + 1]) << "more than the argument's zero byte";
}

// The fresh log: the previous log file goes at load unless the level is 0; a
// log that cannot be deleted does not stop the load; the load creates neither
// the INI file, nor the resend folder, nor a log.
TEST_F(Load, FreshLog)
{
    struct {
        const char *ini; // null: no INI file
        bool log_is_folder;
        bool log_kept;
    } cases[] = {
        {NULL, false, false},
        {"[option]\r\nlog=0\r\n", false, true},
        {"[option]\r\nlog=-1\r\n", false, false},
        {"[option]\r\nlog=2\r\n", false, false},
        {NULL, true, true},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(std::string(c.ini ? c.ini : "no INI") + (c.log_is_folder ? ", log is a folder" : ""));
        std::string folder = make_temp_dir("fresh");
        std::string log = folder + "\\qv7_sock.log", ini = folder + "\\qv7_sock.ini";
        if (c.ini != NULL) {
            ASSERT_TRUE(write_all(ini, c.ini));
        }
        if (c.log_is_folder) {
            ASSERT_TRUE(CreateDirectoryA(log.c_str(), NULL));
        } else {
            ASSERT_TRUE(write_all(log, "previous run\r\n"));
        }
        DWORD error;
        HMODULE m = load_copy(folder, "qv7_sock.qv7", &error);
        EXPECT_NE(nullptr, m) << "load failed: " << error;
        EXPECT_EQ(c.log_kept, exists(log));
        if (c.log_kept && !c.log_is_folder) {
            std::string s;
            EXPECT_TRUE(read_all(log, &s));
            EXPECT_EQ("previous run\r\n", s);
        }
        EXPECT_EQ(c.ini != NULL, exists(ini));
        EXPECT_FALSE(exists(folder + "\\resent"));
        if (m != NULL)
            FreeLibrary(m);
        remove_tree(folder);
    }
}

// A folder so long that "\qv7_sock.ini" would pass 259 characters makes the
// load fail cleanly; one character less loads and works in that folder. The
// module is renamed short so that its own path still fits.
TEST_F(Load, FolderLengthLimit)
{
    for (size_t length : {246u, 247u}) {
        SCOPED_TRACE(length);
        std::string base = make_temp_dir("long"), folder;
        ASSERT_TRUE(make_folder_of_length(base, length, &folder));
        std::string log = folder + "\\qv7_sock.log";
        ASSERT_TRUE(write_all(log, "previous run\r\n"));
        DWORD error;
        HMODULE m = load_copy(folder, "q.qv7", &error);
        if (length == 246) {
            EXPECT_NE(nullptr, m) << "load failed: " << error;
            EXPECT_FALSE(exists(log)) << "the paths do not lead into the module's folder";
        } else {
            EXPECT_EQ(nullptr, m);
            EXPECT_EQ((DWORD)ERROR_DLL_INIT_FAILED, error);
            EXPECT_TRUE(exists(log));
        }
        if (m != NULL)
            FreeLibrary(m);
        remove_tree(base);
    }
}

#ifndef _WIN32
// Natively, deeper still: a module path that no longer fits the 259 bytes it is
// fetched into is cut, and the load fails instead of guessing a folder.
TEST_F(Load, ModulePathTooLongNative)
{
    std::string base = make_temp_dir("deep"), folder;
    ASSERT_TRUE(make_folder_of_length(base, 300, &folder));
    DWORD error;
    HMODULE m = load_copy(folder, "qv7_sock.qv7", &error);
    EXPECT_EQ(nullptr, m);
    EXPECT_EQ((DWORD)ERROR_DLL_INIT_FAILED, error);
    if (m != NULL)
        FreeLibrary(m);
    remove_tree(base);
}

// Natively: when Windows Sockets cannot start, the module does not load, and
// the step stops there: the INI file is not read and the old log stays.
TEST_F(Load, SocketStartFailureNative)
{
    std::string log = dir + "\\qv7_sock.log";
    ASSERT_TRUE(write_all(log, "previous run\r\n"));
    qv7_fault_set("WSAStartup", 1, 1, 10091 /* WSASYSNOTREADY */);
    DWORD error;
    module = load_copy(dir, "qv7_sock.qv7", &error);
    EXPECT_EQ(nullptr, module);
    EXPECT_EQ((DWORD)ERROR_DLL_INIT_FAILED, error);
    EXPECT_GE(qv7_fault_calls("WSAStartup"), 1u);
    EXPECT_TRUE(exists(log));
    qv7_fault_clear();

    module = load_copy(dir, "qv7_sock.qv7", &error);
    EXPECT_NE(nullptr, module) << "load failed: " << error;
    EXPECT_FALSE(exists(log));
}
#endif

} // namespace
