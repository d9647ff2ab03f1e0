/* Resources and text: LoadStringA, the resource lookup behind DialogBoxParamA,
 * and wsprintfA / wvsprintfA.
 *
 * A module's resources are the table it exports as QV7_RESOURCE_TABLE_NAME
 * (resource.h), found with qv7_module_symbol (null instance or the program's
 * own handle: the program). The language follows the locale as a Windows
 * user's UI language would: LC_ALL, else LC_MESSAGES, else LANG beginning with
 * "ja" picks Japanese (1041), anything else English (1033); a resource missing
 * in that language comes from the first language that has it. Texts are stored
 * as UTF-8 and handed out in the ANSI code page (GetACP: 932 through iconv to
 * CP932, 65001 as they are).
 *
 * Knowing differences from Windows:
 * - LoadStringA with a size of 0 returns 0 (no read-only pointer is handed out).
 * - wsprintfA knows %c %d %i %u %x %X %s and %% with the flags "-", "0", "#",
 *   a width, a precision (for %s the most characters taken), and the size
 *   prefixes "h" and "l"; "l" takes a long, which is 64 bits on Linux. No
 *   floating point, no "*", no wide strings (%S, %ls print nothing). As on
 *   Windows, the output stops at 1023 bytes plus the terminator: callers must
 *   not count on more. */
#include "user_internal.h"
#include "internal.h"

#include <iconv.h>
#include <stdlib.h>
#include <string.h>

#define QV7_WSPRINTF_MAX 1024

/* The UI language from the locale variables, as Windows would pick it. */
static WORD ui_language(void)
{
    static const char *const names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    const char *value;
    size_t i;

    for (i = 0; i < sizeof names / sizeof names[0]; i++) {
        value = getenv(names[i]);
        if (value && *value)
            return strncmp(value, "ja", 2) == 0 ? 1041 : 1033;
    }
    return 1033;
}

static const qv7_resource_table_t *module_table(HINSTANCE instance)
{
    return (const qv7_resource_table_t *)qv7_module_symbol(instance, QV7_RESOURCE_TABLE_NAME);
}

/* The languages of the table in the order to search: the locale's first,
 * then the others in table order. Returns how many went into order[]. */
static int language_order(const qv7_resource_table_t *t, const qv7_res_language **order,
                          int max)
{
    WORD wanted = ui_language();
    int i, n = 0;

    for (i = 0; i < t->language_count && n < max; i++)
        if (t->languages[i].language == wanted)
            order[n++] = &t->languages[i];
    for (i = 0; i < t->language_count && n < max; i++)
        if (t->languages[i].language != wanted)
            order[n++] = &t->languages[i];
    return n;
}

const qv7_res_dialog *user_find_dialog(HINSTANCE instance, UINT id)
{
    const qv7_resource_table_t *t = module_table(instance);
    const qv7_res_language *order[16];
    int n, i, j;

    if (!t)
        return NULL;
    n = language_order(t, order, 16);
    for (i = 0; i < n; i++)
        for (j = 0; j < order[i]->dialog_count; j++)
            if (order[i]->dialogs[j].id == id)
                return &order[i]->dialogs[j];
    return NULL;
}

const char *user_find_string(HINSTANCE instance, UINT id)
{
    const qv7_resource_table_t *t = module_table(instance);
    const qv7_res_language *order[16];
    int n, i, j;

    if (!t)
        return NULL;
    n = language_order(t, order, 16);
    for (i = 0; i < n; i++)
        for (j = 0; j < order[i]->string_count; j++)
            if (order[i]->strings[j].id == id)
                return order[i]->strings[j].text;
    return NULL;
}

char *user_text_to_acp(const char *utf8)
{
    size_t in_left = strlen(utf8), out_size = in_left * 2 + 1, out_left = out_size - 1;
    char *out, *in = (char *)utf8, *at;
    iconv_t cd;

    if (GetACP() != 932)
        return strdup(utf8);
    cd = iconv_open("CP932", "UTF-8");
    if (cd == (iconv_t)-1)
        return NULL;
    out = (char *)malloc(out_size);
    at = out;
    if (out && iconv(cd, &in, &in_left, &at, &out_left) == (size_t)-1) {
        free(out);
        out = NULL;
    }
    if (out)
        *at = 0;
    iconv_close(cd);
    return out;
}

/* Bytes of the character that starts at p in the ANSI code page (1 or 2 in
 * 932, 1 to 4 in UTF-8); never past the terminator. */
static size_t char_length(const unsigned char *p, UINT acp)
{
    size_t n = 1;

    if (acp == 932)
        return IsDBCSLeadByte(*p) && p[1] ? 2 : 1;
    if (*p >= 0xC0)
        while (n < 4 && (p[n] & 0xC0) == 0x80)
            n++;
    return n;
}

size_t user_fit_length(const char *text, size_t max)
{
    const unsigned char *p = (const unsigned char *)text;
    size_t n = 0, step;
    UINT acp = GetACP();

    while (p[n]) {
        step = char_length(p + n, acp);
        if (n + step > max)
            break;
        n += step;
    }
    return n;
}

/* String resource id of the module in the ANSI code page, cut to size-1 bytes
 * without splitting a character, plus a terminator. Returns its length; 0
 * (and an empty buffer) when the module has no such string. */
int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int size)
{
    const char *text;
    char *converted;
    size_t n;

    if (!buffer || size <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    buffer[0] = 0;
    text = user_find_string(instance, id);
    if (!text) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    converted = user_text_to_acp(text);
    if (!converted) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    n = user_fit_length(converted, (size_t)size - 1);
    memcpy(buffer, converted, n);
    buffer[n] = 0;
    free(converted);
    return (int)n;
}

/* The output of wvsprintfA: a buffer that keeps at most QV7_WSPRINTF_MAX-1
 * bytes. */
typedef struct fmt_out {
    char *at;
    size_t used;
} fmt_out;

static void out_byte(fmt_out *o, char c)
{
    if (o->used < QV7_WSPRINTF_MAX - 1)
        o->at[o->used++] = c;
}

/* Writes body (len bytes) with sign/prefix, padded to width. */
static void out_field(fmt_out *o, const char *prefix, const char *body, size_t len,
                      size_t width, int left, int zero)
{
    size_t plen = strlen(prefix), pad = width > plen + len ? width - plen - len : 0, i;

    if (!left && !zero)
        for (i = 0; i < pad; i++)
            out_byte(o, ' ');
    for (i = 0; i < plen; i++)
        out_byte(o, prefix[i]);
    if (!left && zero)
        for (i = 0; i < pad; i++)
            out_byte(o, '0');
    for (i = 0; i < len; i++)
        out_byte(o, body[i]);
    if (left)
        for (i = 0; i < pad; i++)
            out_byte(o, ' ');
}

/* Digits of v in base 10 or 16 into the end of buf (size 32); returns the
 * first digit. At least `precision` digits (precision < 0: at least one). */
static char *format_digits(unsigned long long v, int base, int upper, int precision,
                           char *buf)
{
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char *p = buf + 31;
    int n = 0;

    *p = 0;
    while (v || n < (precision < 0 ? 1 : precision)) {
        if (p == buf)
            break;
        *--p = digits[v % (unsigned)base];
        v /= (unsigned)base;
        n++;
    }
    return p;
}

/* Formats one conversion at *f (just past the "%"); advances *f. */
static void format_one(fmt_out *o, const char **f, va_list *args)
{
    const char *p = *f, *s;
    char buf[32], *digits, prefix[4] = "";
    int left = 0, zero = 0, alt = 0, precision = -1, size = 0, negative;
    size_t width = 0, len;
    unsigned long long v;
    long long sv;

    for (;; p++) {
        if (*p == '-')
            left = 1;
        else if (*p == '0')
            zero = 1;
        else if (*p == '#')
            alt = 1;
        else
            break;
    }
    for (; *p >= '0' && *p <= '9'; p++)
        width = width * 10 + (size_t)(*p - '0');
    if (*p == '.')
        for (precision = 0, p++; *p >= '0' && *p <= '9'; p++)
            precision = precision * 10 + (*p - '0');
    if (*p == 'l' || *p == 'h')
        size = *p++;
    switch (*p) {
    case 'c':
        buf[0] = (char)va_arg(*args, int);
        out_field(o, "", buf, 1, width, left, 0);
        break;
    case 's':
        if (size == 'l') { /* wide strings are not supported */
            (void)va_arg(*args, const void *);
            break;
        }
        s = va_arg(*args, const char *);
        if (!s)
            s = "(null)";
        len = strlen(s);
        if (precision >= 0 && (size_t)precision < len)
            len = (size_t)precision;
        out_field(o, "", s, len, width, left, zero);
        break;
    case 'S':
        (void)va_arg(*args, const void *);
        break;
    case 'd':
    case 'i':
        sv = size == 'l' ? va_arg(*args, long) : va_arg(*args, int);
        if (size == 'h')
            sv = (short)sv;
        negative = sv < 0;
        v = negative ? 0ull - (unsigned long long)sv : (unsigned long long)sv;
        digits = format_digits(v, 10, 0, precision, buf);
        out_field(o, negative ? "-" : "", digits, strlen(digits), width, left, zero);
        break;
    case 'u':
    case 'x':
    case 'X':
        v = size == 'l' ? va_arg(*args, unsigned long) : va_arg(*args, unsigned int);
        if (size == 'h')
            v = (unsigned short)v;
        digits = format_digits(v, *p == 'u' ? 10 : 16, *p == 'X', precision, buf);
        if (alt && *p != 'u' && v) {
            prefix[0] = '0';
            prefix[1] = *p;
        }
        out_field(o, prefix, digits, strlen(digits), width, left, zero);
        break;
    case 0:
        *f = p;
        return;
    default: /* "%%" and anything unknown: the character itself */
        out_byte(o, *p);
        break;
    }
    *f = p + 1;
}

/* Formats into out (at most 1023 bytes plus a terminator); returns the bytes
 * written, the terminator not counted. */
int wvsprintfA(LPSTR out, LPCSTR format, va_list args)
{
    fmt_out o = {out, 0};
    va_list copy;

    if (!out || !format)
        return -1;
    va_copy(copy, args);
    while (*format) {
        if (*format != '%') {
            out_byte(&o, *format++);
            continue;
        }
        format++;
        format_one(&o, &format, &copy);
    }
    va_end(copy);
    out[o.used] = 0;
    return (int)o.used;
}

int wsprintfA(LPSTR out, LPCSTR format, ...)
{
    va_list args;
    int n;

    va_start(args, format);
    n = wvsprintfA(out, format, args);
    va_end(args);
    return n;
}
