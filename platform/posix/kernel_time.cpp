/* Time: GetLocalTime, GetSystemTime, GetTickCount, Sleep, GetDateFormatA and
 * GetTimeFormatA.
 *
 * Pictures: date d dd ddd dddd, M MM MMM MMMM, y yy yyyy; time h hh H HH m mm
 * s ss t tt; text in single quotes is copied ('' inside quotes is one quote);
 * every other character is copied. Without a picture the user's default:
 * "h:mm:ss tt" and "M/d/yyyy", or under a Japanese locale (LC_ALL, LC_TIME or
 * LANG starting with "ja") "H:mm:ss" and "yyyy/MM/dd".
 *
 * Knowing differences from Windows: the locale argument and the flags are
 * ignored; day and month names are English; the AM/PM marker is English, or
 * Japanese in the ANSI code page under a Japanese locale; no era ("g"). */
#include "internal.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static void systemtime_of(const struct tm *tm, long nsec, SYSTEMTIME *st)
{
    st->wYear = (WORD)(tm->tm_year + 1900);
    st->wMonth = (WORD)(tm->tm_mon + 1);
    st->wDayOfWeek = (WORD)tm->tm_wday;
    st->wDay = (WORD)tm->tm_mday;
    st->wHour = (WORD)tm->tm_hour;
    st->wMinute = (WORD)tm->tm_min;
    st->wSecond = (WORD)tm->tm_sec;
    st->wMilliseconds = (WORD)(nsec / 1000000);
}

void GetLocalTime(SYSTEMTIME *st)
{
    struct timespec ts;
    struct tm tm;
    clock_gettime(CLOCK_REALTIME, &ts);
    localtime_r(&ts.tv_sec, &tm);
    systemtime_of(&tm, ts.tv_nsec, st);
}

void GetSystemTime(SYSTEMTIME *st)
{
    struct timespec ts;
    struct tm tm;
    clock_gettime(CLOCK_REALTIME, &ts);
    gmtime_r(&ts.tv_sec, &tm);
    systemtime_of(&tm, ts.tv_nsec, st);
}

DWORD GetTickCount(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (DWORD)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}

void Sleep(DWORD ms)
{
    if (ms == INFINITE) {
        for (;;)
            pause();
    }
    struct timespec ts = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

/* ---- formatting ---- */

static const char *const day_names[] = {"Sunday", "Monday", "Tuesday", "Wednesday",
                                        "Thursday", "Friday", "Saturday"};
static const char *const month_names[] = {"January", "February", "March", "April",
                                          "May", "June", "July", "August", "September",
                                          "October", "November", "December"};

/* Whether the user's locale is Japanese (LC_ALL, then LC_TIME, then LANG). */
static int locale_japanese(void)
{
    static const char *vars[] = {"LC_ALL", "LC_TIME", "LANG"};
    for (int i = 0; i < 3; i++) {
        const char *v = getenv(vars[i]);
        if (v && *v)
            return v[0] == 'j' && v[1] == 'a';
    }
    return 0;
}

/* Day of the week (0 = Sunday) of a Gregorian date. */
static int weekday(int y, int m, int d)
{
    static const int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (m < 3)
        y--;
    return (y + y / 4 - y / 100 + y / 400 + t[m - 1] + d) % 7;
}

struct pic_out {
    char *buf;
    int size, n; /* n counts every byte, also those that do not fit */
};

static void put(struct pic_out *o, const char *s, size_t len)
{
    for (size_t i = 0; i < len; i++, o->n++)
        if (o->size > 0 && o->n < o->size)
            o->buf[o->n] = s[i];
}

static void put_num(struct pic_out *o, int v, int pad)
{
    char t[16];
    int n = pad ? snprintf(t, sizeof t, "%0*d", pad, v) : snprintf(t, sizeof t, "%d", v);
    put(o, t, (size_t)n);
}

/* One field of `count` letters `c` of a date (is_date) or time picture. */
static void put_field(struct pic_out *o, char c, int count, const SYSTEMTIME *st, int is_date)
{
    char run[16];
    if (is_date && c == 'd') {
        if (count <= 2)
            put_num(o, st->wDay, count == 2 ? 2 : 0);
        else {
            const char *n = day_names[weekday(st->wYear, st->wMonth, st->wDay)];
            put(o, n, count == 3 ? 3 : strlen(n));
        }
    } else if (is_date && c == 'M') {
        if (count <= 2)
            put_num(o, st->wMonth, count == 2 ? 2 : 0);
        else {
            const char *n = month_names[st->wMonth - 1];
            put(o, n, count == 3 ? 3 : strlen(n));
        }
    } else if (is_date && c == 'y') {
        if (count >= 3)
            put_num(o, st->wYear, 0);
        else
            put_num(o, st->wYear % 100, count == 2 ? 2 : 0);
    } else if (!is_date && (c == 'h' || c == 'H')) {
        int h = st->wHour;
        if (c == 'h')
            h = h % 12 == 0 ? 12 : h % 12;
        put_num(o, h, count >= 2 ? 2 : 0);
    } else if (!is_date && c == 'm') {
        put_num(o, st->wMinute, count >= 2 ? 2 : 0);
    } else if (!is_date && c == 's') {
        put_num(o, st->wSecond, count >= 2 ? 2 : 0);
    } else if (!is_date && c == 't') {
        const char *m;
        if (locale_japanese()) /* 午前 / 午後 */
            m = GetACP() == 932 ? (st->wHour < 12 ? "\x8c\xdf\x91\x4f" : "\x8c\xdf\x8c\xe3")
                                : (st->wHour < 12 ? "\xe5\x8d\x88\xe5\x89\x8d" : "\xe5\x8d\x88\xe5\xbe\x8c");
        else
            m = st->wHour < 12 ? "AM" : "PM";
        put(o, m, count == 1 && !locale_japanese() ? 1 : strlen(m));
    } else {
        memset(run, c, sizeof run);
        while (count > 0) { /* a letter without meaning here is copied */
            int k = count > (int)sizeof run ? (int)sizeof run : count;
            put(o, run, (size_t)k);
            count -= k;
        }
    }
}

/* Formats `st` (or now) by `picture` (or the default) into out/size with the
 * sizes of GetDateFormatA: the count with the terminator, the needed count
 * for size 0, else 0 and ERROR_INSUFFICIENT_BUFFER. */
static int format_picture(const SYSTEMTIME *st, const char *picture, char *out, int size, int is_date)
{
    SYSTEMTIME now;
    if (!st) {
        GetLocalTime(&now);
        st = &now;
    }
    if (size < 0 || (size > 0 && !out) ||
        (is_date ? (st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 || st->wDay > 31)
                 : (st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!picture)
        picture = locale_japanese() ? (is_date ? "yyyy/MM/dd" : "H:mm:ss")
                                    : (is_date ? "M/d/yyyy" : "h:mm:ss tt");
    struct pic_out o = {out, size, 0};
    const char *p = picture;
    while (*p) {
        if (*p == '\'') {
            for (p++; *p; p++) {
                if (*p == '\'' && p[1] == '\'') {
                    put(&o, p, 1);
                    p++;
                } else if (*p == '\'') {
                    p++;
                    break;
                } else {
                    put(&o, p, 1);
                }
            }
            continue;
        }
        int count = 1;
        while (p[count] == *p)
            count++;
        put_field(&o, *p, count, st, is_date);
        p += count;
    }
    put(&o, "", 1);
    if (size == 0)
        return o.n;
    if (o.n > size) {
        if (size > 0)
            out[0] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return o.n;
}

int GetDateFormatA(LCID locale, DWORD flags, const SYSTEMTIME *st, LPCSTR picture,
                   LPSTR out, int size)
{
    return format_picture(st, picture, out, size, 1);
}

int GetTimeFormatA(LCID locale, DWORD flags, const SYSTEMTIME *st, LPCSTR picture,
                   LPSTR out, int size)
{
    return format_picture(st, picture, out, size, 0);
}
