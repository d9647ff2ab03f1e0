/* qv7host serve --dir DIR: a collector. Starts the module's server with the
 * host window, names DIR for every received file, prints each stored file's
 * name on a line of its own, and ends on a server error (status 1) or when
 * interrupted (status 0). */
#include <stdio.h>
#include <string.h>

#include "host/host.h"

static char g_recv_dir[MAX_PATH];
static const char *g_server_error; /* the failed call, set on the window's thread */

/* Runs on the main thread while a receive or server thread waits in
 * SendMessageA; the buffers are the sender's and valid only during the call. */
static LRESULT serve_message(UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_HOST_GET_RECV_DIR:
        lstrcpynA((char *)lparam, g_recv_dir, MAX_PATH);
        return 1;
    case WM_HOST_FILE_RECEIVED:
        printf("%s\n", (const char *)lparam);
        fflush(stdout);
        return 1;
    case WM_HOST_SERVER_ERROR:
        if (g_server_error == NULL)
            g_server_error = (const char *)lparam;
        return 1;
    }
    return 0;
}

static int serve_failed(void *unused)
{
    return g_server_error != NULL;
}

int cmd_serve(host_module *m, int argc, char **argv)
{
    const char *dir = NULL;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--dir") == 0 && i + 1 < argc)
            dir = argv[++i];
        else {
            fprintf(stderr, "serve: unexpected argument %s\n", argv[i]);
            return 2;
        }
    }
    if (dir == NULL) {
        fprintf(stderr, "usage: qv7host serve --dir DIR\n");
        return 2;
    }
    if (lstrlenA(dir) >= MAX_PATH) {
        fprintf(stderr, "serve: the folder name is longer than %d characters\n", MAX_PATH - 1);
        return 2;
    }
    lstrcpynA(g_recv_dir, dir, MAX_PATH);
    HWND window = host_create_window(serve_message);
    if (window == NULL)
        return 1;
    if (m->server_start(window) == (uintptr_t)-1) {
        fprintf(stderr, "server error: server_start\n");
        return 1;
    }
    /* Runs until the server reports its end or the user interrupts. */
    host_pump(serve_failed, NULL, INFINITE);
    if (g_server_error != NULL) {
        fprintf(stderr, "server error: %s\n", g_server_error);
        return 1;
    }
    return 0;
}
