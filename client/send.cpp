/* The send trigger and the send thread: one delivery run offers every CSV file
 * waiting in the resend folder over one connection, and deletes each file that
 * the server acknowledged while its size stayed what was sent. */
#include "protocol.h"
#include "../frame/settings.h"
#include "../support/log.h"
#include "../support/filebuf.h"
#include "../support/base64.h"

/* The run marker's value from the moment a trigger claims the run until the
 * thread gives it back; the thread's handle is of no use to anyone. */
#define SEND_THREAD_RUNNING ((uintptr_t)1)

/* How long a read on the server's connection may wait before the run gives up.
 * Without a limit a collector that lost power mid-run (a half-open connection)
 * would hold the run, and every later trigger, until the host restarts. Five
 * minutes outlasts the reply to the largest file a station produces.
 * Operations and tests may shorten it with the environment variable
 * QV7_SOCK_RECV_TIMEOUT_MS (milliseconds, read at the start of every run). */
#define SEND_RECV_TIMEOUT_MS 300000u

#define NAME_LINE_SIZE 256

/* Resolves client_server into server_addr unless an address is cached. The
 * "gethostbyname" line is written for a dotted address too. 1 when an address
 * is cached afterwards; 0 when the lookup failed (logged, the cache stays 0). */
static int resolve_server(void)
{
    if (SHARED_LOAD(plugin_settings.server_addr) != 0)
        return 1;
    log_write("gethostbyname", plugin_settings.client_server, 1);
    uint32_t addr = (uint32_t)inet_addr(plugin_settings.client_server);
    if (addr == (uint32_t)INADDR_NONE) {
        struct hostent *host = gethostbyname(plugin_settings.client_server);
        if (!host || !host->h_addr_list || !host->h_addr_list[0]) {
            log_error("gethostbyname", (DWORD)WSAGetLastError());
            return 0;
        }
        memcpy(&addr, host->h_addr_list[0], 4);
    }
    SHARED_STORE(plugin_settings.server_addr, addr);
    return 1;
}

/* The send trigger. 1 when a delivery run is under way (one was running, or one
 * has just been started); 0 when no server is set, the lookup failed or the
 * thread could not start. The marker is claimed with one atomic exchange, so
 * triggers on several threads at once never start two runs; it is claimed
 * before the thread starts because the thread may end before _beginthread
 * returns. */
int send_start(void)
{
    if (plugin_settings.client_server[0] == 0)
        return 0;
    if (SHARED_LOAD(plugin_settings.send_thread_handle) != SEND_THREAD_NONE)
        return 1;
    if (!resolve_server())
        return 0;
    uintptr_t expected = SEND_THREAD_NONE;
    if (!__atomic_compare_exchange_n(&plugin_settings.send_thread_handle, &expected,
                                     SEND_THREAD_RUNNING, 0, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE))
        return 1;
    if (_beginthread(send_thread, 0, NULL) == (uintptr_t)-1) {
        DWORD code = GetLastError();
        __atomic_store_n(&plugin_settings.send_thread_handle, SEND_THREAD_NONE,
                         __ATOMIC_RELEASE);
        log_error("_beginthread", code);
        return 0;
    }
    return 1;
}

/* The read time-out of this run in milliseconds: the environment's
 * QV7_SOCK_RECV_TIMEOUT_MS when it holds a positive number, else the default. */
static DWORD recv_timeout_ms(void)
{
    char text[32];
    DWORD n = GetEnvironmentVariableA("QV7_SOCK_RECV_TIMEOUT_MS", text, sizeof text);
    if (n == 0 || n >= sizeof text)
        return SEND_RECV_TIMEOUT_MS;
    DWORD ms = 0;
    for (DWORD i = 0; i < n; i++) {
        if (text[i] < '0' || text[i] > '9' || ms > 429496729u)
            return SEND_RECV_TIMEOUT_MS;
        ms = ms * 10 + (DWORD)(text[i] - '0');
    }
    return ms ? ms : SEND_RECV_TIMEOUT_MS;
}

/* Sends all len bytes (a blocking send hands them over whole; the loop only
 * guards a short count). 1 on success; 0 on SOCKET_ERROR, its code left for
 * WSAGetLastError. */
static int send_all(SOCKET s, const char *bytes, DWORD len)
{
    while (len > 0) {
        int chunk = len > 0x40000000u ? 0x40000000 : (int)len;
        int sent = send(s, bytes, chunk, 0);
        if (sent == SOCKET_ERROR)
            return 0;
        if (sent <= 0) {
            WSASetLastError(WSAECONNABORTED);
            return 0;
        }
        bytes += sent;
        len -= (DWORD)sent;
    }
    return 1;
}

/* Creates the connection to the cached server on the low 16 bits of
 * client_port, with the run's read time-out. Returns the connected socket, or
 * INVALID_SOCKET after logging the failure (a socket that could not connect is
 * closed here). */
static SOCKET connect_server(void)
{
    log_write("socket", NULL, 2);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        log_error("socket", (DWORD)WSAGetLastError());
        return INVALID_SOCKET;
    }
    DWORD timeout = recv_timeout_ms();
    if (setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char *)&timeout, sizeof timeout) ==
        SOCKET_ERROR)
        log_error("setsockopt", (DWORD)WSAGetLastError());
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons((u_short)(SHARED_LOAD(plugin_settings.client_port) & 0xFFFF));
    to.sin_addr.s_addr = SHARED_LOAD(plugin_settings.server_addr);
    log_write("connect", NULL, 2);
    if (connect(s, (struct sockaddr *)&to, sizeof to) == SOCKET_ERROR) {
        log_error("connect", (DWORD)WSAGetLastError());
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

/* Reads the reply to a data line: 1 positive, 0 any other line. When no line
 * could be read (the read timed out or failed, or memory ran out) the reply
 * may still come, and would then be read as the answer to the next name line,
 * and the name's "+OK" as the next file's acknowledgement, deleting a file
 * that the server may refuse. So the connection is shut down: the run goes on
 * to the next file, whose name line then fails as on a dead connection. */
static int data_reply(SOCKET s)
{
    DWORD total = 0;
    char *line = recv_line(s, &total);
    if (!line) {
        shutdown(s, SD_BOTH);
        return 0;
    }
    int positive = total >= 3 && line[0] == '+' && (line[1] == 'O' || line[1] == 'o') &&
                   (line[2] == 'K' || line[2] == 'k');
    mem_free(&line);
    return positive;
}

/* Reads the file at path, sends it as one Base64 data line (text and CR LF in
 * one send, so the peer's delayed acknowledgement never stalls the line) and
 * reads the reply. *size gets the size read. Returns 1 for a positive reply, 0
 * for any other reply (the run goes on), -1 when the run must end (logged). */
static int send_data_line(SOCKET s, const char *path, DWORD *size)
{
    char *content = file_read_buf(path, size);
    if (!content) {
        log_error("file_read_buf", GetLastError());
        return -1;
    }
    char *text = NULL;
    if (*size <= 0x7FFFFFF0u / 2)
        text = (char *)mem_alloc(2 * *size + 4 + 2);
    else
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    if (!text) {
        log_error("mem_alloc", GetLastError());
        mem_free(&content);
        return -1;
    }
    base64_encode((const unsigned char *)content, text, (int)*size);
    mem_free(&content);
    log_write("S", text, 2);
    DWORD len = (DWORD)lstrlenA(text);
    text[len] = '\r';
    text[len + 1] = '\n';
    int sent = send_all(s, text, len + 2);
    if (!sent)
        log_error("send", (DWORD)WSAGetLastError());
    mem_free(&text);
    if (!sent)
        return -1;
    return data_reply(s);
}

/* Offers one entry of the listing: name line, its reply, data line, its reply,
 * and the delete of an acknowledged file whose size is unchanged. An entry whose
 * path or name line would not fit its buffer is skipped with an error line.
 * 1 when the run goes on with the next entry; 0 when it must end. */
static int offer_file(SOCKET s, const char *name)
{
    int name_len = lstrlenA(name);
    if (name_len > NAME_LINE_SIZE - 3 ||
        lstrlenA(plugin_settings.resent_dir) + 1 + name_len > MAX_PATH - 1) {
        log_error("wsprintf", ERROR_FILENAME_EXCED_RANGE);
        return 1;
    }
    char line[NAME_LINE_SIZE];
    char path[MAX_PATH];
    log_write("Send File", NULL, 1);
    wsprintfA(line, "%s\r\n", name);
    log_write("S", name, 2);
    if (!send_all(s, line, (DWORD)lstrlenA(line))) {
        log_error("send", (DWORD)WSAGetLastError());
        return 0;
    }
    if (!recv_reply(s))
        return 0;
    wsprintfA(path, "%s\\%s", plugin_settings.resent_dir, name);
    DWORD size = 0;
    int reply = send_data_line(s, path, &size);
    if (reply < 0)
        return 0;
    if (reply == 1) {
        int32_t now = file_size_of(path);
        if (now != -1 && (DWORD)now == size) {
            log_write("Delete", path, 2);
            if (!DeleteFileA(path))
                log_error("DeleteFile", GetLastError());
        }
    }
    return 1;
}

/* Lists the resend folder and offers each file that is not a folder, in the
 * listing's order, until the listing ends or a step fails. Then closes the
 * connection (shut down both ways, closed) on every path. */
static void offer_folder(SOCKET s)
{
    char pattern[MAX_PATH];
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAA entry;
    if (lstrlenA(plugin_settings.resent_dir) + 6 > MAX_PATH - 1) {
        log_error("FindFirstFile", ERROR_FILENAME_EXCED_RANGE);
        goto close;
    }
    wsprintfA(pattern, "%s\\*.csv", plugin_settings.resent_dir);
    log_write("Find File", pattern, 2);
    find = FindFirstFileA(pattern, &entry);
    if (find == INVALID_HANDLE_VALUE) {
        log_error("FindFirstFile", GetLastError());
        goto close;
    }
    do {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        if (!offer_file(s, entry.cFileName))
            break;
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    log_write("closesocket", NULL, 2);
close:
    shutdown(s, SD_BOTH);
    closesocket(s);
}

/* One delivery run (the thread's entry; the argument is unused). Every path
 * ends at the common end, which gives the run marker back just before the last
 * line, so a trigger after that line always finds the run over. */
void send_thread(void *unused)
{
    log_write("Start Send Thread", NULL, 1);
    SOCKET s = connect_server();
    if (s == INVALID_SOCKET)
        goto end;
    if (!recv_reply(s)) {
        shutdown(s, SD_BOTH);
        closesocket(s);
        goto end;
    }
    offer_folder(s);
end:
    __atomic_store_n(&plugin_settings.send_thread_handle, SEND_THREAD_NONE, __ATOMIC_RELEASE);
    log_write("End Send Thread", NULL, 1);
    _endthread();
}
