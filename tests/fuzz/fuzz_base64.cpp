/* Fuzz target: the Base64 decoder on any text, and the encoder/decoder round
 * trip on any bytes. The decoder's fast path must give exactly the bytes of the
 * plain character-by-character walk, which this file carries as the oracle. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

#include "support/base64.h"

static int ws(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

static int value_of(unsigned char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return 0; /* foreign characters stand for 0 */
}

/* The decoder as a plain walk: groups of four, whitespace skipped, "=" or the
 * end stops. */
static std::vector<unsigned char> reference_decode(const char *s)
{
    std::vector<unsigned char> out;
    const unsigned char *p = (const unsigned char *)s;
    while (ws(*p)) p++;
    for (;;) {
        int v[4];
        for (int i = 0; i < 4; i++) {
            if (*p == '=' || *p == 0) {
                if (i >= 2) out.push_back((unsigned char)((v[0] << 2) | (v[1] >> 4)));
                if (i >= 3) out.push_back((unsigned char)((v[1] << 4) | (v[2] >> 2)));
                return out;
            }
            v[i] = value_of(*p++);
            while (ws(*p)) p++;
        }
        out.push_back((unsigned char)((v[0] << 2) | (v[1] >> 4)));
        out.push_back((unsigned char)((v[1] << 4) | (v[2] >> 2)));
        out.push_back((unsigned char)((v[2] << 6) | v[3]));
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* Decode the input as text: the output never needs more than the text's
     * length (at least one byte for the terminator). */
    std::vector<char> text(data, data + size);
    text.push_back(0);
    size_t len = strlen(text.data());
    std::vector<unsigned char> out(len > 0 ? len : 1);
    unsigned char *end = base64_decode(text.data(), out.data());
    size_t n = (size_t)(end - out.data());
    if (n + 1 > out.size() || *end != 0)
        abort();
    std::vector<unsigned char> want = reference_decode(text.data());
    if (want.size() != n || (n > 0 && memcmp(want.data(), out.data(), n) != 0))
        abort();

    /* Round trip of the raw bytes. */
    if (size > 0 && size < (1u << 30)) {
        std::vector<char> enc(4 * ((size + 2) / 3) + 1);
        base64_encode(data, enc.data(), (int)size);
        if (strlen(enc.data()) != enc.size() - 1)
            abort();
        std::vector<unsigned char> back(enc.size());
        unsigned char *e = base64_decode(enc.data(), back.data());
        if ((size_t)(e - back.data()) != size || memcmp(back.data(), data, size) != 0)
            abort();
    }
    return 0;
}
