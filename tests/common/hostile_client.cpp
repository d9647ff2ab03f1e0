#include "hostile_client.h"

#include <string>

#include "platform/win32.h"

static const DWORD reply_timeout_ms = 20000;

SOCKET hc_connect(int port, int wait_ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        if (s == INVALID_SOCKET)
            return INVALID_SOCKET;
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_port = htons((u_short)port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(s, (struct sockaddr *)&addr, sizeof addr) == 0) {
            DWORD ms = reply_timeout_ms;
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char *)&ms, sizeof ms);
            return s;
        }
        closesocket(s);
        if ((int)(GetTickCount() - start) >= wait_ms)
            return INVALID_SOCKET;
        Sleep(20);
    }
}

int hc_send(SOCKET s, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        size_t chunk = bytes.size() - done;
        if (chunk > (1u << 20))
            chunk = 1u << 20;
        int n = send(s, bytes.data() + done, (int)chunk, 0);
        if (n == SOCKET_ERROR || n <= 0)
            return 0;
        done += (size_t)n;
    }
    return 1;
}

/* Byte by byte: the server sends only short replies, and reading no further
 * than the line keeps what follows for the next call. */
std::string hc_line(SOCKET s, int *ok)
{
    std::string line;
    for (;;) {
        char c;
        int n = recv(s, &c, 1, 0);
        if (n != 1) {
            if (ok)
                *ok = 0;
            return line;
        }
        line += c;
        if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) {
            line.resize(line.size() - 2);
            if (ok)
                *ok = 1;
            return line;
        }
    }
}

int hc_closed(SOCKET s)
{
    char c;
    return recv(s, &c, 1, 0) == 0;
}

void hc_reset(SOCKET s)
{
    struct linger l;
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(s, SOL_SOCKET, SO_LINGER, (const char *)&l, sizeof l);
    closesocket(s);
}

void hc_close(SOCKET s)
{
    shutdown(s, SD_BOTH);
    closesocket(s);
}

std::string hc_base64(const std::string &bytes)
{
    static const char abc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 |
                     (unsigned char)bytes[i + 2];
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += abc[(v >> 6) & 63];
        out += abc[v & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest) {
        unsigned v = (unsigned char)bytes[i] << 16;
        if (rest == 2)
            v |= (unsigned char)bytes[i + 1] << 8;
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += rest == 2 ? abc[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string hc_file(SOCKET s, const std::string &name, const std::string &content)
{
    int ok = 0;
    if (!hc_send(s, name + "\r\n"))
        return "<closed>";
    std::string first = hc_line(s, &ok);
    if (!ok)
        return "<closed>";
    if (!hc_send(s, hc_base64(content) + "\r\n"))
        return first + " <closed>";
    std::string second = hc_line(s, &ok);
    return first + " " + (ok ? second : std::string("<closed>"));
}

int hc_free_port(void)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        return 0;
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int port = 0;
    int len = sizeof addr;
    if (bind(s, (struct sockaddr *)&addr, sizeof addr) == 0 &&
        getsockname(s, (struct sockaddr *)&addr, &len) == 0)
        port = ntohs(addr.sin_port);
    closesocket(s);
    return port;
}
