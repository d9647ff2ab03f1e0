/* The receive thread: the server's half of the line protocol on one accepted
 * connection. Greets, then takes file after file as a name line and a Base64
 * data line, stores each through a temporary file in the folder that the host
 * names for it, tells the host, and answers "+OK" or "-ERR". */
#include "server.h"
#include "../client/protocol.h"
#include "../frame/contract.h"
#include "../support/base64.h"
#include "../support/durable.h"
#include "../support/filebuf.h"
#include "../support/log.h"

/* A name line is kept up to this many characters (lstrcpynA counts the zero). */
#define RECV_NAME_LIMIT 259

/* The working storage of one connection, reused for every file. */
typedef struct recv_paths {
    char recv_name[MAX_PATH];
    char recv_dir[MAX_PATH];
    char recv_temp_path[MAX_PATH];
    char recv_final_path[MAX_PATH];
} recv_paths;

/* Logs and sends one reply. 1 when sent; 0 when the send failed (not logged:
 * some callers ignore the result, the others log it themselves). */
static int recv_answer(SOCKET s, int positive)
{
    if (positive) {
        log_write("S", "+OK", 2);
        return send(s, "+OK\r\n", 5, 0) != SOCKET_ERROR;
    }
    log_write("S", "-ERR", 2);
    return send(s, "-ERR\r\n", 6, 0) != SOCKET_ERROR;
}

/* 1 when the name, with trailing blanks taken off, is one of the devices that
 * Windows opens in place of a file in any folder ("CON", "nul.txt", "COM1.csv"),
 * letter case ignored; the part before the first dot decides. */
static int name_is_device(const char *name)
{
    static const char *const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    char base[8];
    int n = 0;
    while (name[n] != '\0' && name[n] != '.')
        n++;
    while (n > 0 && name[n - 1] == ' ')
        n--;
    if (n < 3 || n > 7)
        return 0;
    memcpy(base, name, n);
    base[n] = '\0';
    for (unsigned i = 0; i < sizeof(devices) / sizeof(devices[0]); i++)
        if (lstrcmpiA(base, devices[i]) == 0)
            return 1;
    /* COM1-COM9 and LPT1-LPT9; Windows also takes the superscript digits 1, 2
     * and 3 of code page 1252 there. */
    BYTE digit = (BYTE)base[3];
    if (n == 4 && ((digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3)) {
        base[3] = '\0';
        if (lstrcmpiA(base, "COM") == 0 || lstrcmpiA(base, "LPT") == 0)
            return 1;
    }
    return 0;
}

/* 1 when the received name may be joined to the receive folder: it names a
 * file in that very folder and nothing else. Refused: the empty name, any path
 * separator or drive/stream colon, control characters, names made only of dots
 * and blanks (".", "..", and what Windows trims to them), and device names.
 *
 * The walk goes by characters of the ANSI code page, not by bytes: in code
 * page 932 the second byte of a double-byte character may be 0x5C, the code of
 * "\", and the system reads it as part of that character, never as a separator
 * (the load step splits the module's path the same way). A byte walk would
 * refuse ordinary Japanese names such as those holding "表" or "ソ". A lead
 * byte with nothing after it is left to the byte checks. */
static int name_is_safe(const char *name)
{
    if (name[0] == '\0')
        return 0;
    int only_dots = 1;
    for (int i = 0; name[i] != '\0'; i++) {
        BYTE c = (BYTE)name[i];
        if (IsDBCSLeadByte(c) && name[i + 1] != '\0') {
            only_dots = 0;
            i++;
            continue;
        }
        if (c < 0x20 || c == 0x7F || c == '\\' || c == '/' || c == ':')
            return 0;
        if (c != '.' && c != ' ')
            only_dots = 0;
    }
    return !only_dots && !name_is_device(name);
}

/* Writes the upper-case hexadecimal digits of v, no leading zeros, into out
 * (at least 17 bytes). The whole address, whatever the pointer width, so that
 * two records alive at once never share a temporary name. */
static void hex_of(uintptr_t v, char *out)
{
    char digits[2 * sizeof(uintptr_t)];
    int n = 0;
    do {
        digits[n++] = "0123456789ABCDEF"[v & 0xF];
        v >>= 4;
    } while (v != 0);
    for (int i = 0; i < n; i++)
        out[i] = digits[n - 1 - i];
    out[n] = '\0';
}

/* Asks the host for this file's folder and builds the temporary and final
 * paths in p. 1 when both fit their 260-byte buffers; 0 after an error line
 * when the host left the folder empty or a path would not fit. */
static int recv_build_paths(HWND window, const conn_param *conn, recv_paths *p)
{
    char id[2 * sizeof(uintptr_t) + 1];
    /* Cleared first: a host that does not answer (its window is gone) leaves
     * the buffer as it was, and a folder of a previous file must not be used. */
    memset(p->recv_dir, 0, sizeof(p->recv_dir));
    SendMessageA(window, WM_HOST_GET_RECV_DIR, 0, (LPARAM)p->recv_dir);
    p->recv_dir[MAX_PATH - 1] = '\0';
    if (p->recv_dir[0] == '\0') {
        log_error("recv_dir", ERROR_PATH_NOT_FOUND);
        return 0;
    }
    hex_of((uintptr_t)conn, id);
    int dir_len = lstrlenA(p->recv_dir);
    if (dir_len + 1 + lstrlenA(id) + 4 >= MAX_PATH ||
        dir_len + 1 + lstrlenA(p->recv_name) >= MAX_PATH) {
        log_error("path", ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    wsprintfA(p->recv_temp_path, "%s\\%s.tmp", p->recv_dir, id);
    wsprintfA(p->recv_final_path, "%s\\%s", p->recv_dir, p->recv_name);
    return 1;
}

/* Stores length bytes of data under the temporary name, copies that onto the
 * final name and makes the final file durable. 1 when the file is in place and
 * on the storage device; 0 after the error line. The temporary file is deleted
 * once a copy was tried; a failed write may leave it behind. */
static int recv_store(const recv_paths *p, const unsigned char *data, DWORD length)
{
    if (!file_write_buf(p->recv_temp_path, data, length)) {
        log_error("file_write_buf", GetLastError());
        return 0;
    }
    log_write("CopyFile", NULL, 2);
    int stored = CopyFileA(p->recv_temp_path, p->recv_final_path, FALSE) ? 1 : 0;
    if (!stored)
        log_error("CopyFile", GetLastError());
    DeleteFileA(p->recv_temp_path);
    /* The sender deletes its copy on "+OK": the file must survive a power cut
     * from then on, so the answer waits for the flush. */
    if (stored && !file_flush_durable(p->recv_final_path)) {
        log_error("file_flush_durable", GetLastError());
        stored = 0;
    }
    return stored;
}

/* One file after its name was answered: decodes the data line (freed here),
 * stores the file, tells the host and answers. 1 to go on with the next name;
 * 0 when the connection must end (no decode buffer, or the reply failed). */
static int recv_file(const conn_param *conn, recv_paths *p, char **line, DWORD total)
{
    SOCKET s = conn->conn_socket;
    unsigned char *data = (unsigned char *)mem_alloc(total);
    if (data == NULL) {
        log_error("mem_alloc", GetLastError());
        mem_free(line);
        recv_answer(s, 0);
        return 0;
    }
    DWORD length = (DWORD)(base64_decode(*line, data) - data);
    mem_free(line);
    int stored = 0;
    if (!name_is_safe(p->recv_name))
        log_error("name", ERROR_INVALID_NAME);
    else if (recv_build_paths(conn->host_window, conn, p))
        stored = recv_store(p, data, length);
    mem_free(&data);
    if (stored)
        SendMessageA(conn->host_window, WM_HOST_FILE_RECEIVED, 0, (LPARAM)p->recv_name);
    if (!recv_answer(s, stored)) {
        log_error("send", WSAGetLastError());
        return 0;
    }
    return 1;
}

/* Thread entry; param is the connection record, owned from here on: the
 * common end closes its socket and releases it. Runs until the client closes,
 * a read or send fails, or no memory can be had for a file's data. */
void recv_thread(void *param)
{
    conn_param *conn = (conn_param *)param;
    SOCKET s = conn->conn_socket;
    recv_paths p;
    char *line = NULL;
    DWORD total = 0;
    log_write("Start Recv Thread", NULL, 1);
    if (!recv_answer(s, 1)) {
        log_error("send", WSAGetLastError());
        goto closed;
    }
    for (;;) {
        line = recv_line(s, &total);
        if (line == NULL)
            break;
        lstrcpynA(p.recv_name, line, RECV_NAME_LIMIT);
        mem_free(&line);
        if (!recv_answer(s, 1)) {
            log_error("send", WSAGetLastError());
            break;
        }
        log_write("Recv File", NULL, 1);
        line = recv_line(s, &total);
        if (line == NULL || !recv_file(conn, &p, &line, total))
            break;
    }
    log_write("closesocket(Recv)", NULL, 2);
closed:
    closesocket(s);
    mem_free(&conn);
    log_write("End Recv Thread", NULL, 1);
    _endthread();
}
