// Cost of the layer's file calls next to the plain system calls in the same
// run: CopyFileA on a large file (the server copies every received file, the
// event entry every record) against a read/write loop with a 1 MiB buffer, and
// the open/close pair with share-mode locks that every log line pays against
// a bare open/close.
//   bench_platform_files [MiB=256] [folder=/tmp]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "platform/win32.h"

static double now_s()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Plain copy loop: the baseline a careful program writes without the layer.
static bool plain_copy(const char *from, const char *to)
{
    int in = open(from, O_RDONLY), out = open(to, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> buf(1 << 20);
    ssize_t n;
    bool ok = in >= 0 && out >= 0;
    while (ok && (n = read(in, buf.data(), buf.size())) > 0)
        ok = write(out, buf.data(), (size_t)n) == n;
    close(in);
    close(out);
    return ok;
}

int main(int argc, char **argv)
{
    size_t mib = argc > 1 ? (size_t)atol(argv[1]) : 256;
    std::string dir = argc > 2 ? argv[2] : "/tmp";
    std::string a = dir + "/qv7_bench_a.bin", b = dir + "/qv7_bench_b.bin", c = dir + "/qv7_bench_c.bin";
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); i++)
        block[i] = (char)(i * 2654435761u >> 13);
    HANDLE h = CreateFileA(a.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    for (size_t i = 0; i < mib; i++) {
        DWORD w;
        WriteFile(h, block.data(), (DWORD)block.size(), &w, NULL);
    }
    FlushFileBuffers(h);
    CloseHandle(h);

    for (int round = 0; round < 3; round++) {
        double t0 = now_s();
        if (!CopyFileA(a.c_str(), b.c_str(), FALSE))
            return fprintf(stderr, "CopyFileA failed: %lu\n", (unsigned long)GetLastError()), 1;
        double t1 = now_s();
        if (!plain_copy(a.c_str(), c.c_str()))
            return fprintf(stderr, "plain copy failed\n"), 1;
        double t2 = now_s();
        printf("copy %zu MiB: CopyFileA %.0f MiB/s, read/write loop %.0f MiB/s\n", mib,
               mib / (t1 - t0), mib / (t2 - t1));
    }

    const int opens = 20000;
    double t0 = now_s();
    for (int i = 0; i < opens; i++) {
        HANDLE l = CreateFileA(c.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0, NULL);
        CloseHandle(l);
    }
    double t1 = now_s();
    for (int i = 0; i < opens; i++)
        close(open(c.c_str(), O_WRONLY | O_CREAT, 0644));
    double t2 = now_s();
    printf("open+close: CreateFileA/CloseHandle %.1f us, open/close %.1f us\n",
           (t1 - t0) / opens * 1e6, (t2 - t1) / opens * 1e6);
    DeleteFileA(a.c_str());
    DeleteFileA(b.c_str());
    DeleteFileA(c.c_str());
    return 0;
}
