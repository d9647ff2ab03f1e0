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

static constexpr char base64_alphabet[65] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

/* Two characters for every 12-bit value as one 16-bit unit, the first
 * character in the low byte (the order in memory on a little-endian host). */
struct base64_pair_table {
    uint16_t pair[4096];
    constexpr base64_pair_table() : pair()
    {
        for (int i = 0; i < 4096; i++)
            pair[i] = (uint16_t)((unsigned char)base64_alphabet[i >> 6] |
                                 (unsigned char)base64_alphabet[i & 63] << 8);
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

/* Eight characters for the six bytes in the high 48 bits of x. */
static void put_eight(char *dst, uint64_t x)
{
    uint64_t chars = (uint64_t)base64_pairs.pair[(x >> 52) & 0xFFF] |
                     (uint64_t)base64_pairs.pair[(x >> 40) & 0xFFF] << 16 |
                     (uint64_t)base64_pairs.pair[(x >> 28) & 0xFFF] << 32 |
                     (uint64_t)base64_pairs.pair[(x >> 16) & 0xFFF] << 48;
    memcpy(dst, &chars, 8);
}

static uint64_t load_big_endian(const unsigned char *src)
{
    uint64_t x;
    memcpy(&x, src, 8);
    return __builtin_bswap64(x); /* little-endian hosts only, see above */
}

/* Encodes len bytes of src (len > 0), or the bytes before src's first zero byte
 * (len == 0), into dst followed by a zero byte. dst needs 4*ceil(n/3)+1 bytes.
 * Reads no byte past the input's end (in terminator mode: past its zero). */
void base64_encode(const unsigned char *src, char *dst, int len)
{
    size_t n = len > 0 ? (size_t)len : strlen((const char *)src);
    size_t k = 0;

    /* Six input bytes make eight characters; each 8-byte load stays inside
     * the input as long as eight bytes remain from where it starts. */
    while (n - k >= 14) {
        put_eight(dst, load_big_endian(src + k));
        put_eight(dst + 8, load_big_endian(src + k + 6));
        k += 12;
        dst += 16;
    }
    while (n - k >= 8) {
        put_eight(dst, load_big_endian(src + k));
        k += 6;
        dst += 8;
    }
    while (n - k >= 3) {
        uint32_t x = (uint32_t)src[k] << 16 | (uint32_t)src[k + 1] << 8 | src[k + 2];
        uint16_t a = base64_pairs.pair[x >> 12], b = base64_pairs.pair[x & 0xFFF];
        memcpy(dst, &a, 2);
        memcpy(dst + 2, &b, 2);
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

/* The 24 bits of one group's values, or base64_special in bit 31. */
static uint32_t group_bits(const unsigned char *s)
{
    return base64_values.slot[0][s[0]] | base64_values.slot[1][s[1]] |
           base64_values.slot[2][s[2]] | base64_values.slot[3][s[3]];
}

/* Stores the three bytes of each of two groups (6 bytes) with one 8-byte
 * store; the two bytes after them are scratch that later output overwrites. */
static void put_six(unsigned char *out, uint32_t a, uint32_t b)
{
    uint64_t x = __builtin_bswap64(((uint64_t)a << 24 | b) << 16);
    memcpy(out, &x, 8);
}

/* Decodes zero-terminated text into dst: whitespace anywhere is skipped, the
 * first "=" or the end stops, a short last group yields what it holds. Writes
 * a zero byte after the output and returns its address. The output with its
 * zero byte never takes more bytes than src has characters (1 when empty);
 * the bytes of that area after the zero byte may have been used as scratch. */
unsigned char *base64_decode(const char *src, unsigned char *dst)
{
    const unsigned char *s = (const unsigned char *)src;
    const unsigned char *end = s + strlen(src);
    unsigned char *out = dst;

    /* The fast path works on whole groups without whitespace, "=" or the end.
     * Its wide stores stay inside the area: before a step that reads 16 more
     * characters, at most 3/4 of those read so far became output, so the
     * output plus 16 never passes the text's length. */
    for (;;) {
        while (end - s >= 16) {
            uint32_t a = group_bits(s), b = group_bits(s + 4);
            uint32_t c = group_bits(s + 8), d = group_bits(s + 12);
            if ((a | b | c | d) & base64_special)
                break;
            put_six(out, a, b);
            put_six(out + 6, c, d);
            s += 16;
            out += 12;
        }
        while (end - s >= 8) {
            uint32_t a = group_bits(s), b = group_bits(s + 4);
            if ((a | b) & base64_special)
                break;
            put_six(out, a, b);
            s += 8;
            out += 6;
        }
        if (!base64_slow_group(&s, &out))
            break;
    }
    *out = 0;
    return out;
}
