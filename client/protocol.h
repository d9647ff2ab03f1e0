/* The line protocol shared by both roles, the client's send trigger and thread. */
#ifndef QV7_CLIENT_PROTOCOL_H
#define QV7_CLIENT_PROTOCOL_H

#include "../platform/win32.h"

/* Reads one CR LF-terminated line. Returns it zero-terminated (the CR replaced
 * by the zero byte) in a block the caller frees with mem_free, or null when no
 * complete line came. *total: every byte received during the call. */
char *recv_line(SOCKET s, DWORD *total);
/* 1 when the next line is a positive reply ("+OK", letter case of O and K free). */
int recv_reply(SOCKET s);

/* The send trigger: 1 when a delivery run is under way, 0 when none started. */
int send_start(void);
/* One delivery run over one connection (thread entry, argument unused). */
void send_thread(void *unused);

#endif
