/* qv7host: the reference host program. It loads a module, owns a message window
 * on its main thread and keeps handling messages while the module's threads
 * send to it. Each command lives in a file of its own. */
#ifndef QV7_HOST_HOST_H
#define QV7_HOST_HOST_H

#include "frame/contract.h"

typedef struct host_module {
    HMODULE module;
    char path[MAX_PATH];
    get_plugin_info_fn get_plugin_info;
    qv7_sock_initialize_fn initialize;
    qv7_sock_fn event;
    qv7_sock_property_fn property;
    server_start_fn server_start;
} host_module;

/* Loads the module at path (null: qv7_sock.qv7 beside this program) and finds
 * its five exports. Prints what went wrong and returns 0 on failure. */
int host_load_module(const char *path, host_module *m);

/* What a command does with the module's messages to the host window; the
 * result is returned to the sender. */
typedef LRESULT (*host_message_handler)(UINT message, WPARAM wparam, LPARAM lparam);

/* Creates the host's message window on the calling thread. */
HWND host_create_window(host_message_handler handler);

/* Handles messages until done(ctx) returns non-zero (checked at least every
 * 50 ms), timeout_ms passes (INFINITE: no limit), or the user interrupts
 * (Ctrl+C, SIGTERM). Returns 1 when done, 0 on timeout or interruption. */
int host_pump(int (*done)(void *ctx), void *ctx, DWORD timeout_ms);
/* 1 once Ctrl+C / SIGTERM / a close request has arrived. */
int host_interrupted(void);

/* The folder of path (up to its last "\" or "/", double-byte characters taken
 * whole) into out, MAX_PATH bytes; "" when the path has no separator. */
void host_folder_of(const char *path, char *out);

/* Counts the "*.csv" files (not folders) waiting in the module's resend folder. */
int host_queued_files(const host_module *m);

/* Commands: each returns the process exit status. argv holds the command's own
 * arguments (after the command name and the global options). */
int cmd_info(host_module *m, int argc, char **argv);
int cmd_record(host_module *m, int argc, char **argv);
int cmd_send(host_module *m, int argc, char **argv);
int cmd_serve(host_module *m, int argc, char **argv);
int cmd_settings(host_module *m, int argc, char **argv);

#endif
