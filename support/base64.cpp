/* Base64 (RFC 4648 alphabet, "=" padding) on caller-supplied areas.
 *
 * Both directions carry whole files on one protocol line, so they are built
 * for speed: the encoder turns 12 input bits into two output characters with
 * one table look-up; the decoder checks a whole group of four characters at
 * once and only falls back to the character-by-character walk for whitespace,
 * "=" and the end of the text. Both produce exactly the bytes of the plain
 * walk for every input.
 *
 * A character outside the alphabet, the whitespace, "=" and the terminator
 * counts as one character of its group and stands for the value 0. */
#include "base64.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the encoder's 8-byte load assumes little-endian");

static const char base64_alphabet[65] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

/* Two characters for every 12-bit value, first character in the high 6 bits. */
struct base64_pair_table {
    char pair[4096][2];
    constexpr base64_pair_table() : pair()
    {
        for (int i = 0; i < 4096; i++) {
            pair[i][0] = base64_alphabet[i >> 6];
            pair[i][1] = base64_alphabet[i & 63];
        }
    }
};
static constexpr base64_pair_table base64_pairs;

/* Decoder tables: the 6-bit value of each byte already shifted to its place in
 * a group's 24 bits (slot 0 highest). The blank, tab, CR, LF, "=" and the zero
 * byte carry base64_special instead, which the fast path tests for a whole
 * group at once. */
#define base64_special 0x80000000u
struct base64_value_table {
    uint32_t slot[4][256];
    constexpr base64_value_table() : slot()
    {
        for (int c = 0; c < 256; c++) {
            uint32_t v = 0;
            if (c >= 'A' && c <= 'Z') v = (uint32_t)(c - 'A');
            else if (c >= 'a' && c <= 'z') v = (uint32_t)(c - 'a' + 26);
            else if (c >= '0' && c <= '9') v = (uint32_t)(c - '0' + 52);
            else if (c == '+') v = 62;
            else if (c == '/') v = 63;
            bool special = c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '=' || c == 0;
            for (int k = 0; k < 4; k++)
                slot[k][c] = special ? base64_special : v << (18 - 6 * k);
        }
    }
};
static constexpr base64_value_table base64_values;

static void put_pair(char *dst, uint32_t bits12)
{
    dst[0] = base64_pairs.pair[bits12][0];
    dst[1] = base64_pairs.pair[bits12][1];
}

/* Encodes len bytes of src (len > 0), or the bytes before src's first zero byte
 * (len == 0), into dst followed by a zero byte. dst needs 4*ceil(n/3)+1 bytes.
 * Reads no byte past the input's end (in terminator mode: past its zero). */
void base64_encode(const unsigned char *src, char *dst, int len)
{
    size_t n = len > 0 ? (size_t)len : strlen((const char *)src);
    size_t k = 0;

    /* Six input bytes make eight characters; the 8-byte load stays inside the
     * input as long as eight bytes remain. */
    while (n - k >= 8) {
        uint64_t x;
        memcpy(&x, src + k, 8);
        x = __builtin_bswap64(x); /* little-endian hosts only, see below */
        put_pair(dst, (uint32_t)(x >> 52) & 0xFFF);
        put_pair(dst + 2, (uint32_t)(x >> 40) & 0xFFF);
        put_pair(dst + 4, (uint32_t)(x >> 28) & 0xFFF);
        put_pair(dst + 6, (uint32_t)(x >> 16) & 0xFFF);
        k += 6;
        dst += 8;
    }
    while (n - k >= 3) {
        uint32_t x = (uint32_t)src[k] << 16 | (uint32_t)src[k + 1] << 8 | src[k + 2];
        put_pair(dst, x >> 12);
        put_pair(dst + 2, x & 0xFFF);
        k += 3;
        dst += 4;
    }
    if (n - k == 1) {
        dst[0] = base64_alphabet[src[k] >> 2];
        dst[1] = base64_alphabet[(src[k] & 3) << 4];
        dst[2] = '=';
        dst[3] = '=';
        dst += 4;
    } else if (n - k == 2) {
        dst[0] = base64_alphabet[src[k] >> 2];
        dst[1] = base64_alphabet[(src[k] & 3) << 4 | src[k + 1] >> 4];
        dst[2] = base64_alphabet[(src[k + 1] & 0x0F) << 2];
        dst[3] = '=';
        dst += 4;
    }
    *dst = 0;
}

static int base64_is_space(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

/* Reads one group from *s the slow way: whitespace skipped before every
 * character, "=" or the end stops. Writes the bytes the group yields at *out
 * and advances both. Returns 1 when the group was whole, 0 when decoding stops. */
static int base64_slow_group(const unsigned char **s, unsigned char **out)
{
    const unsigned char *p = *s;
    uint32_t v[4];

    for (int i = 0; i < 4; i++) {
        while (base64_is_space(*p))
            p++;
        if (*p == '=' || *p == 0) {
            if (i >= 2)
                *(*out)++ = (unsigned char)(v[0] << 2 | v[1] >> 4);
            if (i >= 3)
                *(*out)++ = (unsigned char)(v[1] << 4 | v[2] >> 2);
            *s = p;
            return 0;
        }
        v[i] = base64_values.slot[3][*p++];
    }
    (*out)[0] = (unsigned char)(v[0] << 2 | v[1] >> 4);
    (*out)[1] = (unsigned char)(v[1] << 4 | v[2] >> 2);
    (*out)[2] = (unsigned char)(v[2] << 6 | v[3]);
    *out += 3;
    *s = p;
    return 1;
}

/* Decodes zero-terminated text into dst: whitespace anywhere is skipped, the
 * first "=" or the end stops, a short last group yields what it holds. Writes
 * a zero byte after the output and returns its address. The output with its
 * zero byte never takes more bytes than src has characters (1 when empty). */
unsigned char *base64_decode(const char *src, unsigned char *dst)
{
    const unsigned char *s = (const unsigned char *)src;
    const unsigned char *end = s + strlen(src);
    unsigned char *out = dst;

    for (;;) {
        /* Whole groups of four non-special characters, two at a time. */
        while (end - s >= 8) {
            uint32_t a = base64_values.slot[0][s[0]] | base64_values.slot[1][s[1]] |
                         base64_values.slot[2][s[2]] | base64_values.slot[3][s[3]];
            uint32_t b = base64_values.slot[0][s[4]] | base64_values.slot[1][s[5]] |
                         base64_values.slot[2][s[6]] | base64_values.slot[3][s[7]];
            if ((a | b) & base64_special)
                break;
            out[0] = (unsigned char)(a >> 16);
            out[1] = (unsigned char)(a >> 8);
            out[2] = (unsigned char)a;
            out[3] = (unsigned char)(b >> 16);
            out[4] = (unsigned char)(b >> 8);
            out[5] = (unsigned char)b;
            s += 8;
            out += 6;
        }
        if (!base64_slow_group(&s, &out))
            break;
    }
    *out = 0;
    return out;
}
