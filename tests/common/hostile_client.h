/* A client of our own for the server tests: plain Winsock calls on loopback,
 * so the same tests run natively and under Wine. It speaks the protocol when
 * asked and breaks it when asked (garbage, lone CR or LF, resets, silence). */
#ifndef QV7_TESTS_HOSTILE_CLIENT_H
#define QV7_TESTS_HOSTILE_CLIENT_H

#include <string>

#include "platform/win32.h"

/* Connects to 127.0.0.1:port, retrying for up to wait_ms while nobody listens
 * yet. Replies are awaited for at most 20 s (a receive time-out), so a test
 * that expects a reply which never comes fails instead of hanging. Returns
 * INVALID_SOCKET on failure. */
SOCKET hc_connect(int port, int wait_ms = 5000);
/* Sends all bytes; 1 or 0. */
int hc_send(SOCKET s, const std::string &bytes);
/* Reads up to and including the next CR LF. Returns the line without CR LF;
 * *ok = 0 when the peer closed, failed or timed out before a full line. */
std::string hc_line(SOCKET s, int *ok = nullptr);
/* 1 when the peer closes the connection (reads end) within the time-out
 * without sending any byte. */
int hc_closed(SOCKET s);
/* Closes with an immediate reset (linger 0) instead of an orderly close. */
void hc_reset(SOCKET s);
void hc_close(SOCKET s);

/* Base64 of bytes, standard alphabet with padding, no line breaks. */
std::string hc_base64(const std::string &bytes);
/* One file the polite way: name line, reply, data line, reply. Returns the
 * two replies joined by a blank ("+OK +OK", "+OK -ERR"), or what was read
 * before the conversation broke off, with "<closed>" in place of a missing
 * reply. */
std::string hc_file(SOCKET s, const std::string &name, const std::string &content);

/* A free TCP port on loopback (bound and released again). */
int hc_free_port(void);

#endif
