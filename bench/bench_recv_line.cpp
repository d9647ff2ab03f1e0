/* How the line reader scales with the length of a line: one line of N MiB of
 * Base64 text and its CR LF, sent over loopback by a second thread, read
 * whole with recv_line. A reader whose cost grows with the square of the line
 * shows it at once in the ratio of the two times (4 for linear growth, 16 for
 * quadratic).
 *
 *   bench_recv_line [SMALL_MiB] [LARGE_MiB]     (defaults: 64 256)
 *
 * Prints one line per size ("recv_line N MiB: S s, R MB/s") and then
 * "recv_line scaling: T(large)/T(small) = X" (best of 3 runs each). */
#include <chrono>
#include <string>
#include <thread>

#include <stdio.h>
#include <stdlib.h>

#include "client/protocol.h"
#include "support/filebuf.h"

namespace {

/* A connected pair on loopback: *a is the accepted end, *b the connecting one. */
bool loopback_pair(SOCKET *a, SOCKET *b)
{
    SOCKET l = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    if (l == INVALID_SOCKET || bind(l, (struct sockaddr *)&addr, sizeof addr) != 0 ||
        getsockname(l, (struct sockaddr *)&addr, &len) != 0 || listen(l, 1) != 0)
        return false;
    *b = socket(AF_INET, SOCK_STREAM, 0);
    if (*b == INVALID_SOCKET || connect(*b, (struct sockaddr *)&addr, sizeof addr) != 0)
        return false;
    *a = accept(l, NULL, NULL);
    closesocket(l);
    return *a != INVALID_SOCKET;
}

/* Seconds that recv_line takes for one line of `bytes` characters. */
double time_line(const std::string &line)
{
    SOCKET r, w;
    if (!loopback_pair(&r, &w)) {
        fprintf(stderr, "bench_recv_line: no loopback connection\n");
        exit(1);
    }
    std::thread sender([&] {
        size_t done = 0;
        while (done < line.size()) {
            size_t chunk = line.size() - done < (1u << 20) ? line.size() - done : (1u << 20);
            int n = send(w, line.data() + done, (int)chunk, 0);
            if (n <= 0)
                break;
            done += (size_t)n;
        }
    });
    auto t0 = std::chrono::steady_clock::now();
    DWORD total = 0;
    char *got = recv_line(r, &total);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    sender.join();
    if (got == NULL || total != line.size()) {
        fprintf(stderr, "bench_recv_line: the line did not arrive whole\n");
        exit(1);
    }
    mem_free(&got);
    closesocket(r);
    closesocket(w);
    return s;
}

double best_of_3(size_t mib)
{
    std::string line(mib << 20, 'Q');
    for (size_t i = 0; i < line.size(); i += 77)
        line[i] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[i % 64];
    line += "\r\n";
    double best = 1e9;
    for (int i = 0; i < 3; i++) {
        double s = time_line(line);
        best = s < best ? s : best;
    }
    printf("recv_line %zu MiB: %.3f s, %.0f MB/s\n", mib, best, (double)line.size() / 1e6 / best);
    fflush(stdout);
    return best;
}

} // namespace

int main(int argc, char **argv)
{
    size_t small = argc > 1 ? strtoul(argv[1], NULL, 10) : 64;
    size_t large = argc > 2 ? strtoul(argv[2], NULL, 10) : 256;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(1, 1), &wsa) != 0)
        return 1;
    double ts = best_of_3(small);
    double tl = best_of_3(large);
    printf("recv_line scaling: T(%zu MiB)/T(%zu MiB) = %.2f\n", large, small, tl / ts);
    return 0;
}
