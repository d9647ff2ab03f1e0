/* The two readers of the line protocol, shared by the sender and the receive
 * threads: recv_line returns one CR LF-terminated line, recv_reply tells a
 * positive reply ("+OK", any letter case of O and K) from everything else. */
#include "protocol.h"
#include "../support/log.h"
#include "../support/filebuf.h"

#define RECV_CHUNK 4096

/* Makes room for need bytes in the accumulated block *acc of *cap bytes, of
 * which the first used are kept. The block grows at least twofold, so a line of
 * n bytes costs O(n) copying however many receives it takes. 1 on success; 0
 * when no larger block can be had (the old block is left to the caller, the
 * allocation's code is the last error). */
static int grow_line_buffer(char **acc, DWORD *cap, DWORD used, DWORD need)
{
    if (need <= *cap)
        return 1;
    DWORD size = *cap > 0x7FFFFFFFu ? 0xFFFFFFFFu : *cap * 2;
    if (size < need)
        size = need;
    char *bigger = (char *)mem_alloc(size);
    if (!bigger)
        return 0;
    if (used)
        memcpy(bigger, *acc, used);
    mem_free(acc);
    *acc = bigger;
    *cap = size;
    return 1;
}

/* Index of the first CR LF pair that ends within the bytes from `from` to
 * `used`, looking one byte back so a pair split across two receives counts;
 * -1 when there is none. Earlier bytes were searched by the previous call. */
static long find_line_end(const char *acc, DWORD from, DWORD used)
{
    DWORD i = from > 0 ? from - 1 : 0;
    while (i + 1 < used) {
        const char *cr = (const char *)memchr(acc + i, '\r', used - 1 - i);
        if (!cr)
            return -1;
        i = (DWORD)(cr - acc);
        if (acc[i + 1] == '\n')
            return (long)i;
        i++;
    }
    return -1;
}

/* Reads one line: receives up to 4096 bytes at a time until the bytes received
 * hold a CR LF. Returns the line with a zero byte in place of its CR, in a
 * block the caller frees with mem_free (bytes that came after the CR LF follow
 * it and are never used). Null when the peer closed first (nothing logged), or
 * on a receive or allocation failure (an error line). *total counts every byte
 * received during the call, also on failure. */
char *recv_line(SOCKET s, DWORD *total)
{
    char chunk[RECV_CHUNK];
    char *acc = NULL;
    DWORD cap = 0;
    *total = 0;
    for (;;) {
        int n = recv(s, chunk, RECV_CHUNK, 0);
        if (n == SOCKET_ERROR) {
            log_error("recv", (DWORD)WSAGetLastError());
            break;
        }
        if (n <= 0)
            break;
        DWORD used = *total;
        if (used > 0xFFFFFFFFu - (DWORD)n - 1) {
            /* a line of 4 GiB is beyond any block this count can describe */
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            log_error("mem_alloc", GetLastError());
            break;
        }
        if (!grow_line_buffer(&acc, &cap, used, used + (DWORD)n + 1)) {
            log_error("mem_alloc", GetLastError());
            break;
        }
        memcpy(acc + used, chunk, (size_t)n);
        *total = used + (DWORD)n;
        acc[*total] = 0;
        long end = find_line_end(acc, used, *total);
        if (end >= 0) {
            acc[end] = 0;
            log_write("R", acc, 2);
            return acc;
        }
    }
    mem_free(&acc);
    return NULL;
}

/* 1 when the next line is a positive reply: "+", then "O" or "o", then "K" or
 * "k", whatever follows. 0 for any other line and when no line came. */
int recv_reply(SOCKET s)
{
    DWORD total = 0;
    char *line = recv_line(s, &total);
    if (!line)
        return 0;
    int positive = total >= 3 && line[0] == '+' && (line[1] == 'O' || line[1] == 'o') &&
                   (line[2] == 'K' || line[2] == 'k');
    mem_free(&line);
    return positive;
}
