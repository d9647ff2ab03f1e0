// Base64 throughput on 64 MiB of random bytes: our codec next to OpenSSL's
// EVP_EncodeBlock / EVP_DecodeBlock and memcpy over the same buffers, in the
// same run, best of 5 runs each (taking turns). Figures are MB/s of input (10^6 bytes/s):
// the raw bytes when encoding, the Base64 text when decoding.
//
// Usage: bench_base64 [MiB] (default 64)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include <openssl/evp.h>

#include "support/base64.h"

namespace {

double seconds_of(const std::function<void()> &run)
{
    auto t0 = std::chrono::steady_clock::now();
    run();
    auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(t1 - t0).count();
}

// Best of 5 for each contender, the contenders taking turns within every round
// so that a busy moment of the machine does not fall on one of them only.
std::vector<double> best_of_5(const std::vector<std::function<void()>> &runs)
{
    std::vector<double> best(runs.size(), 1e30);
    for (int round = 0; round < 5; round++)
        for (size_t i = 0; i < runs.size(); i++)
            best[i] = std::min(best[i], seconds_of(runs[i]));
    return best;
}

volatile unsigned char sink;

} // namespace

int main(int argc, char **argv)
{
    size_t mib = argc > 1 ? (size_t)atoi(argv[1]) : 64;
    size_t n = mib * 1024 * 1024;
    if (n == 0 || n > 1024u * 1024 * 1024) {
        fprintf(stderr, "usage: bench_base64 [MiB, 1..1024]\n");
        return 2;
    }
    size_t text_len = 4 * ((n + 2) / 3);
    std::vector<unsigned char> raw(n), out(text_len + 16), back(text_len + 16);
    std::vector<char> text(text_len + 16);
    std::mt19937_64 rng(1);
    for (size_t i = 0; i < n; i += 8) {
        uint64_t x = rng();
        memcpy(&raw[i], &x, std::min<size_t>(8, n - i));
    }

    // Check first that all agree, so the figures compare like with like.
    base64_encode(raw.data(), text.data(), (int)n);
    int ssl_len = EVP_EncodeBlock(out.data(), raw.data(), (int)n);
    if ((size_t)ssl_len != text_len || memcmp(out.data(), text.data(), text_len) != 0) {
        fprintf(stderr, "encoders disagree\n");
        return 1;
    }
    unsigned char *end = base64_decode(text.data(), back.data());
    if ((size_t)(end - back.data()) != n || memcmp(back.data(), raw.data(), n) != 0) {
        fprintf(stderr, "our decoder does not give the bytes back\n");
        return 1;
    }
    // EVP_DecodeBlock keeps the padding's zero bytes in its count.
    if (EVP_DecodeBlock(back.data(), (const unsigned char *)text.data(), (int)text_len) < (int)n ||
        memcmp(back.data(), raw.data(), n) != 0) {
        fprintf(stderr, "OpenSSL's decoder does not give the bytes back\n");
        return 1;
    }

    std::vector<double> t = best_of_5({
        [&] { base64_encode(raw.data(), text.data(), (int)n); sink = text[7]; },
        [&] { EVP_EncodeBlock(out.data(), raw.data(), (int)n); sink = out[7]; },
        [&] { memcpy(out.data(), raw.data(), n); sink = out[7]; },
        [&] { base64_decode(text.data(), back.data()); sink = back[7]; },
        [&] { EVP_DecodeBlock(back.data(), (const unsigned char *)text.data(), (int)text_len); sink = back[7]; },
        [&] { memcpy(out.data(), text.data(), text_len); sink = out[7]; },
    });
    double enc_ours = t[0], enc_ssl = t[1], enc_copy = t[2];
    double dec_ours = t[3], dec_ssl = t[4], dec_copy = t[5];

    auto mbs = [](size_t bytes, double s) { return bytes / s / 1e6; };
    printf("Base64 on %zu MiB of random bytes (%zu bytes of text), best of 5, MB/s of input\n",
           mib, text_len);
    printf("%-8s %12s %12s %12s %10s\n", "", "qv7_sock", "OpenSSL", "memcpy", "ours/SSL");
    printf("%-8s %12.0f %12.0f %12.0f %9.2fx\n", "encode", mbs(n, enc_ours), mbs(n, enc_ssl),
           mbs(n, enc_copy), enc_ssl / enc_ours);
    printf("%-8s %12.0f %12.0f %12.0f %9.2fx\n", "decode", mbs(text_len, dec_ours),
           mbs(text_len, dec_ssl), mbs(text_len, dec_copy), dec_ssl / dec_ours);
    return 0;
}
