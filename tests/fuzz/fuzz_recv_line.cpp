/* Fuzz target: the line reader over bytes split into receives of any size.
 * A packet socket pair hands the reader exactly one chunk per receive, so the
 * fuzzer chooses where the receives split the stream (CR and LF apart, a CR LF
 * at a chunk's end, 4096-byte chunks ...). Oracle: the line is the stream up to
 * its first CR LF, and total counts every chunk up to the one holding the LF. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <vector>

#include "client/protocol.h"
#include "support/filebuf.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    WSADATA wsa;
    return WSAStartup(MAKEWORD(1, 1), &wsa);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* Input: [k][chunk of k+1 bytes, or 4096 when k is 255] ... */
    std::vector<std::vector<uint8_t>> chunks;
    size_t pos = 0;
    while (pos < size) {
        size_t want = data[pos] == 255 ? 4096 : (size_t)data[pos] + 1;
        pos++;
        std::vector<uint8_t> c;
        for (size_t i = 0; i < want; i++)
            c.push_back(pos < size ? data[pos++] : (uint8_t)'\n');
        chunks.push_back(c);
    }
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0)
        return 0;
    int buf = 1 << 22;
    setsockopt((SOCKET)sv[0], SOL_SOCKET, SO_SNDBUF, (const char *)&buf, sizeof buf);
    std::vector<uint8_t> stream;
    for (auto &c : chunks) {
        if (::write(sv[0], c.data(), c.size()) != (ssize_t)c.size())
            abort();
        stream.insert(stream.end(), c.begin(), c.end());
    }
    shutdown((SOCKET)sv[0], SD_SEND);

    DWORD total = 12345;
    char *line = recv_line((SOCKET)sv[1], &total);

    size_t cr = SIZE_MAX;
    for (size_t i = 0; i + 1 < stream.size(); i++)
        if (stream[i] == '\r' && stream[i + 1] == '\n') {
            cr = i;
            break;
        }
    if (cr == SIZE_MAX) {
        if (line)
            abort();
    } else {
        if (!line || memcmp(line, stream.data(), cr) != 0 || line[cr] != 0)
            abort();
        size_t end = 0;
        for (auto &c : chunks) {
            end += c.size();
            if (end > cr + 1)
                break;
        }
        if (total != end)
            abort();
    }
    mem_free(&line);
    ::close(sv[0]);
    ::close(sv[1]);
    return 0;
}
