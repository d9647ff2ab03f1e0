/* The collecting server: server_start, called by the host with a window of its
 * own, and the server thread, which listens on every local IPv4 address and
 * hands each accepted connection to a receive thread of its own. Failures that
 * end the server go to the host window as WM_HOST_SERVER_ERROR; failures of a
 * single connection are only logged and the server waits again. */
#include "server.h"
#include "../frame/contract.h"
#include "../frame/settings.h"
#include "../support/filebuf.h"
#include "../support/log.h"

/* Every wait for a connection lasts at most this long; a quiet server simply
 * waits again, so the figure only bounds how long select sleeps. */
#define SERVER_WAIT_SECONDS 60

/* Connections the system may complete before the server thread accepts them.
 * Stations that connect at the same moment must wait in this queue, not be
 * turned away: with a queue of one, Windows refuses them (their records wait
 * for the next trigger), and Linux, also under Wine, completes some with SYN
 * cookies and then drops them unseen, so that a station waits for a greeting
 * that never comes until its receive time-out ends the run. */
#define SERVER_BACKLOG 128

/* Tells the host which call ended the server. The text is a constant, so it
 * outlives the synchronous call. */
static void server_report(HWND window, const char *call)
{
    SendMessageA(window, WM_HOST_SERVER_ERROR, 0, (LPARAM)call);
}

/* A TCP socket bound to INADDR_ANY on the low 16 bits of server_port and
 * listening with a queue of SERVER_BACKLOG. No socket option is set, address
 * reuse included: a port in use makes bind fail, which is how a second server
 * on the same port finds out. Returns the socket, or INVALID_SOCKET after logging the
 * failure and telling the host; a created socket is closed on failure. */
static SOCKET server_listen(HWND window)
{
    log_write("socket", NULL, 2);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        log_error("socket", WSAGetLastError());
        server_report(window, "socket");
        return INVALID_SOCKET;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons((u_short)(plugin_settings.server_port & 0xFFFF));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    log_write("bind", NULL, 2);
    if (bind(s, (const struct sockaddr *)&addr, 16) == SOCKET_ERROR) {
        log_error("bind", WSAGetLastError());
        server_report(window, "bind");
        closesocket(s);
        return INVALID_SOCKET;
    }
    log_write("listen", NULL, 2);
    if (listen(s, SERVER_BACKLOG) == SOCKET_ERROR) {
        log_error("listen", WSAGetLastError());
        server_report(window, "listen");
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

/* Accepts the pending connection and starts its receive thread, which then
 * owns the connection record and the socket. Every failure is logged and
 * undone here (socket closed, record released); the server goes on waiting. */
static void server_take(SOCKET listener, HWND window)
{
    log_write("accept", NULL, 2);
    SOCKET s = accept(listener, NULL, NULL);
    if (s == INVALID_SOCKET) {
        log_error("accept", WSAGetLastError());
        return;
    }
    conn_param *conn = (conn_param *)mem_alloc_zero(sizeof(conn_param));
    if (conn == NULL) {
        log_error("mem_alloc", GetLastError());
        closesocket(s);
        return;
    }
    conn->host_window = window;
    conn->conn_socket = s;
    if (_beginthread(recv_thread, 0, conn) == (uintptr_t)-1) {
        log_error("_beginthread", GetLastError());
        closesocket(s);
        mem_free(&conn);
    }
}

/* Thread entry; param is the server record, owned and released here. Runs
 * until socket, bind, listen or select fails, each reported to the host. */
void server_thread(void *param)
{
    conn_param *server = (conn_param *)param;
    HWND window = server->host_window;
    log_write("Start Server Thread", NULL, 1);
    SOCKET listener = server_listen(window);
    if (listener != INVALID_SOCKET) {
        struct timeval timeout;
        timeout.tv_sec = SERVER_WAIT_SECONDS;
        timeout.tv_usec = 0;
        for (;;) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(listener, &readable);
            int ready = select(64, &readable, NULL, NULL, &timeout);
            if (ready == SOCKET_ERROR)
                break;
            if (ready > 0)
                server_take(listener, window);
        }
        log_error("select", WSAGetLastError());
        server_report(window, "select");
        log_write("closesocket(Server)", NULL, 2);
        closesocket(listener);
    }
    mem_free(&server);
    log_write("End Server Thread", NULL, 1);
    _endthread();
}

/* Export: starts one more server thread for the host window. Returns the
 * thread's handle, or -1 when the record cannot be allocated (logged) or the
 * thread cannot be started (record released, nothing logged). Whether the
 * server listens is told later, and only on failure, by WM_HOST_SERVER_ERROR. */
QV7_EXPORT uintptr_t WINAPI server_start(HWND host_window)
{
    log_write("Start Server", NULL, 1);
    conn_param *server = (conn_param *)mem_alloc_zero(sizeof(conn_param));
    if (server == NULL) {
        log_error("mem_alloc", GetLastError());
        return (uintptr_t)-1;
    }
    server->host_window = host_window;
    uintptr_t thread = _beginthread(server_thread, 0, server);
    if (thread == (uintptr_t)-1)
        mem_free(&server);
    return thread;
}
