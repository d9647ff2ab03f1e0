/* The server role: one server thread per server_start, one receive thread per
 * accepted connection. */
#ifndef QV7_SERVER_SERVER_H
#define QV7_SERVER_SERVER_H

#include "../platform/win32.h"

/* Parameter record of the server side's threads, zero-filled; owned by the
 * thread it is handed to, which releases it (and closes conn_socket). */
typedef struct conn_param {
    HWND host_window;
    SOCKET conn_socket;
} conn_param;

void server_thread(void *param);
void recv_thread(void *param);

#endif
