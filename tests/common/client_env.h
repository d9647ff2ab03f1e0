/* What the client tests share: a scratch folder per test, the plug-in's
 * settings pointed into it, the log read back as lines, files written and read
 * through the platform (so paths look the same on both systems), a host
 * window on the test's thread, and waiting for a delivery run to end. */
#ifndef QV7_TESTS_CLIENT_ENV_H
#define QV7_TESTS_CLIENT_ENV_H

#include <string>
#include <vector>

#include "platform/win32.h"

/* A new empty folder under the system's temporary folder; "" on failure. */
std::string ce_make_scratch(void);
/* Removes the folder and everything in it. */
void ce_remove_tree(const std::string &dir);

/* Points plugin_settings at scratch: log "<scratch>\qv7_sock.log" at level 2
 * (any old log removed), resend folder "<scratch>\resent" (created when
 * make_resent), client role on, name "PC1", server "127.0.0.1" on port, no
 * cached address, no run. Starts Winsock once. */
void ce_settings(const std::string &scratch, int port, bool make_resent = true);

/* The log's lines without their time stamp ("text" or "text: detail"). */
std::vector<std::string> ce_log(void);
/* How many log lines equal line, or begin with prefix when prefix is set. */
int ce_log_count(const std::string &line, bool prefix = false);

/* Whole-file write and read through the platform; read gives "" and *ok = 0
 * when the file cannot be read. */
bool ce_write(const std::string &path, const std::string &bytes);
std::string ce_read(const std::string &path, int *ok = nullptr);
bool ce_exists(const std::string &path);
/* The names in dir that match pattern (e.g. "*.csv"), folders excluded, sorted. */
std::vector<std::string> ce_list(const std::string &dir, const std::string &pattern = "*");

/* Waits until no delivery run is under way and its last line ("End Send
 * Thread") is in the log, as many as started. false after wait_ms. */
bool ce_wait_run_end(int wait_ms = 30000);
/* Calls send_start and waits for the run it started (or found) to end. */
int ce_run(int wait_ms = 30000);

/* A host window on the calling thread: answers WM_HOST_GET_CSV with `text`
 * (null: answers 0) and counts both messages. */
struct ce_host {
    HWND window = NULL;
    const char *text = nullptr;
    int get_calls = 0;
    int free_calls = 0;
    LPARAM last_record = 0;
    LPARAM last_freed = 0;
};
/* Creates the window for host (one at a time per thread). */
bool ce_host_open(ce_host *host);
void ce_host_close(ce_host *host);
/* Raises PLUGIN_EVENT_RECORD through the entry with a record of number and
 * time, built as the host lays them out. Returns the entry's result. */
int ce_raise_record(ce_host *host, int32_t number, const SYSTEMTIME &when);

#endif
