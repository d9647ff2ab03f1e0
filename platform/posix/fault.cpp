/* Fault injection: qv7_fault_set/clear/calls for tests, qv7_fault_hit for the
 * layer. One small table under one mutex; every call name seen gets a counter.
 *
 * On a hit the rule's error becomes the thread's last error (SetLastError);
 * the Winsock file copies it into its own WSA error for socket calls. Nothing
 * here exists on Windows: tests that use it are for the POSIX layer only. */
#include "internal.h"
#include "fault.h"

#include <pthread.h>

#define FAULT_SLOTS 128
#define FAULT_NAME 40

struct fault_slot {
    char name[FAULT_NAME];
    unsigned calls;   /* since the last qv7_fault_clear */
    int armed;
    unsigned base;    /* calls when the rule was set */
    unsigned nth, count;
    DWORD error;
};

static pthread_mutex_t fault_lock = PTHREAD_MUTEX_INITIALIZER;
static struct fault_slot fault_table[FAULT_SLOTS];
static int fault_used;
/* The order of the calls since the last clear, as slot numbers. */
#define FAULT_HISTORY 65536
static unsigned char fault_order[FAULT_HISTORY];
static unsigned fault_order_used;

/* The slot of `call`, created when missing; null when the table is full or
 * the name too long. Called with fault_lock held. */
static struct fault_slot *fault_find(const char *call, int create)
{
    for (int i = 0; i < fault_used; i++)
        if (strcmp(fault_table[i].name, call) == 0)
            return &fault_table[i];
    if (!create || fault_used == FAULT_SLOTS || strlen(call) >= FAULT_NAME)
        return NULL;
    struct fault_slot *s = &fault_table[fault_used++];
    memset(s, 0, sizeof *s);
    strcpy(s->name, call);
    return s;
}

void qv7_fault_set(const char *call, unsigned nth, unsigned count, DWORD error)
{
    pthread_mutex_lock(&fault_lock);
    struct fault_slot *s = fault_find(call, 1);
    if (s) {
        s->armed = 1;
        s->base = s->calls;
        s->nth = nth ? nth : 1;
        s->count = count;
        s->error = error;
    }
    pthread_mutex_unlock(&fault_lock);
}

void qv7_fault_clear(void)
{
    pthread_mutex_lock(&fault_lock);
    fault_used = 0;
    fault_order_used = 0;
    pthread_mutex_unlock(&fault_lock);
}

unsigned qv7_fault_calls(const char *call)
{
    pthread_mutex_lock(&fault_lock);
    struct fault_slot *s = fault_find(call, 0);
    unsigned n = s ? s->calls : 0;
    pthread_mutex_unlock(&fault_lock);
    return n;
}

unsigned qv7_fault_history(const char **calls, unsigned max)
{
    pthread_mutex_lock(&fault_lock);
    unsigned n = fault_order_used < max ? fault_order_used : max;
    for (unsigned i = 0; i < n; i++)
        calls[i] = fault_table[fault_order[i]].name;
    pthread_mutex_unlock(&fault_lock);
    return n;
}

int qv7_fault_hit(const char *call)
{
    int hit = 0;
    DWORD error = 0;
    pthread_mutex_lock(&fault_lock);
    struct fault_slot *s = fault_find(call, 1);
    if (s) {
        s->calls++;
        if (fault_order_used < FAULT_HISTORY)
            fault_order[fault_order_used++] = (unsigned char)(s - fault_table);
        if (s->armed) {
            unsigned k = s->calls - s->base; /* 1 = first call after set */
            if (k >= s->nth && (s->count == 0 || k - s->nth < s->count)) {
                hit = 1;
                error = s->error;
            }
            if (s->count && k - s->nth + 1 >= s->count && k >= s->nth)
                s->armed = 0;
        }
    }
    pthread_mutex_unlock(&fault_lock);
    if (hit)
        SetLastError(error);
    return hit;
}
