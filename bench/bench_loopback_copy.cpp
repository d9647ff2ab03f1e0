// The reference rate for delivering one large file: a plain loopback copy.
// One thread sends a buffer (256 MiB by default) over TCP on 127.0.0.1 with
// blocking sends; another receives it 64 KiB at a time, writes each piece to a
// file, and flushes the file and its folder entry to disk (fsync) at the end.
// The time runs from the connect to the end of the flush; the buffer is
// filled before. What the plug-in's delivery of the same bytes reaches is
// judged against this figure, measured in the same run on the same disk.
//
// Usage: bench_loopback_copy [MiB] [folder]
//   MiB     size of the buffer, default 256
//   folder  where the file is written (and removed afterwards), default
//           $TMPDIR or /tmp; give the folder the compared benchmark writes to
// Prints one line: "loopback-copy: N MB/s" (MB = 10^6 bytes).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void die(const char *what)
{
    std::fprintf(stderr, "bench_loopback_copy: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

// Receives until the peer closes, writing every piece to fd. Returns the
// number of bytes received and written.
size_t receive_to_file(int sock, int fd)
{
    std::vector<char> piece(64 * 1024);
    size_t total = 0;
    for (;;) {
        ssize_t n = recv(sock, piece.data(), piece.size(), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            die("recv");
        if (n == 0)
            return total;
        for (ssize_t off = 0; off < n;) {
            ssize_t w = write(fd, piece.data() + off, (size_t)(n - off));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                die("write");
            off += w;
        }
        total += (size_t)n;
    }
}

void send_all(int sock, const char *data, size_t size)
{
    for (size_t done = 0; done < size;) {
        ssize_t n = send(sock, data + done, size - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            die("send");
        done += (size_t)n;
    }
}

}  // namespace

int main(int argc, char **argv)
{
    size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const char *tmp = std::getenv("TMPDIR");
    std::string folder = argc > 2 ? argv[2] : (tmp && *tmp ? tmp : "/tmp");
    if (mib == 0) {
        std::fprintf(stderr, "usage: bench_loopback_copy [MiB] [folder]\n");
        return 2;
    }
    size_t size = mib << 20;
    std::vector<char> data(size);
    for (size_t i = 0; i < size; i++)
        data[i] = (char)((i * 2654435761u) >> 13);
    std::string path = folder + "/bench_loopback_copy." + std::to_string(getpid()) + ".bin";

    int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (ls < 0)
        die("socket");
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(ls, (sockaddr *)&addr, sizeof addr) != 0 || listen(ls, 1) != 0 ||
        getsockname(ls, (sockaddr *)&addr, &len) != 0)
        die("listen");
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        die(path.c_str());
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        die(folder.c_str());

    std::atomic<size_t> received{0};
    auto start = std::chrono::steady_clock::now();
    std::thread receiver([&] {
        int s = accept(ls, nullptr, nullptr);
        if (s < 0)
            die("accept");
        received = receive_to_file(s, fd);
        if (fsync(fd) != 0 || fsync(dir) != 0)
            die("fsync");
        close(s);
    });
    int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (c < 0 || connect(c, (sockaddr *)&addr, sizeof addr) != 0)
        die("connect");
    send_all(c, data.data(), size);
    close(c);
    receiver.join();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    close(fd);
    close(dir);
    close(ls);
    unlink(path.c_str());
    if (received != size) {
        std::fprintf(stderr, "bench_loopback_copy: %zu of %zu bytes arrived\n",
                     received.load(), size);
        return 1;
    }
    std::printf("loopback-copy: %.0f MB/s\n", (double)size / 1e6 / seconds);
    return 0;
}
