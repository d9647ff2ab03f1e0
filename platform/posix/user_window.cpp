/* Windows and messages: RegisterClassA, CreateWindowExA, DestroyWindow,
 * IsWindow, DefWindowProcA, SendMessageA, PostMessageA, PostThreadMessageA,
 * PostQuitMessage, GetMessageA, PeekMessageA, TranslateMessage,
 * DispatchMessageA, MsgWaitForMultipleObjects, GetWindowThreadProcessId and
 * the window accessors (text, styles, parent, children, rectangle, FindWindowA,
 * focus, enabling).
 *
 * A window belongs to the thread that created it; each thread that makes a
 * window or sends a message gets a queue. SendMessageA to another thread's
 * window queues a sent message to that thread and waits for its reply; a thread
 * runs the sent messages for its own windows whenever it is in GetMessageA,
 * PeekMessageA, MsgWaitForMultipleObjects, a modal loop, or is itself waiting
 * in SendMessageA, as on Windows, so two threads sending to each other do not
 * deadlock. One mutex (user_lock) guards every window and queue; window
 * procedures always run without it.
 *
 * Knowing differences from Windows:
 * - Nothing is drawn and there are no input devices; WM_NCCREATE, WM_NCDESTROY,
 *   paint, size and activation messages are never sent.
 * - When a thread ends, its windows vanish without WM_DESTROY, and messages
 *   sent to them fail with ERROR_INVALID_WINDOW_HANDLE.
 * - MsgWaitForMultipleObjects accepts no handles (count must be 0); it returns
 *   WAIT_OBJECT_0 when a posted message waits or a sent message was handled.
 * - FindWindowA searches top-level windows (not children, not message-only
 *   windows) of this process only; the class name ignores letter case, the
 *   title must match exactly.
 * - GetWindowRect: a dialog's client area starts at its own top-left corner
 *   (no frame or caption is added). */
#include "user_internal.h"
#include "internal.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#define QV7_ERROR_INVALID_THREAD_ID 1444
#define QV7_ERROR_CANNOT_FIND_WND_CLASS 1407
#define QV7_ERROR_INVALID_INDEX 1413
#define QV7_ERROR_CLASS_ALREADY_EXISTS 1410

pthread_mutex_t user_lock = PTHREAD_MUTEX_INITIALIZER;

typedef struct user_posted {
    MSG msg;
    struct user_posted *next;
} user_posted;

/* A message sent across threads; lives on the sender's stack until done. */
typedef struct user_sent {
    HWND window;
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
    LRESULT result;
    int done;
    int failed;
    struct user_queue *sender;
    struct user_sent *next;
} user_sent;

typedef struct user_queue {
    DWORD thread_id;
    pthread_cond_t wake;
    user_posted *posted_head, *posted_tail;
    user_sent *sent_head, *sent_tail;
    int quit;
    int quit_code;
    HWND focus;
    struct user_queue *next;
} user_queue;

typedef struct user_class {
    char name[64];
    WNDPROC proc;
    ATOM atom;
    struct user_class *next;
} user_class;

static user_window *windows_head, *windows_tail;
static user_queue *queues;
static user_class *classes;
static uintptr_t next_handle = 0x10000;
static ATOM next_atom = 0xC000;
static pthread_key_t queue_key;
static pthread_once_t queue_key_once = PTHREAD_ONCE_INIT;
static __thread user_queue *this_queue;

static void queue_end(void *q);

static void queue_key_init(void) { pthread_key_create(&queue_key, queue_end); }

/* With user_lock held: the calling thread's queue, made on first use; null
 * only when out of memory. Released when the thread ends. */
static user_queue *queue_self(void)
{
    pthread_condattr_t attr;
    user_queue *q = this_queue;

    if (q)
        return q;
    q = (user_queue *)calloc(1, sizeof *q);
    if (!q)
        return NULL;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&q->wake, &attr);
    pthread_condattr_destroy(&attr);
    q->thread_id = GetCurrentThreadId();
    q->next = queues;
    queues = q;
    this_queue = q;
    pthread_once(&queue_key_once, queue_key_init);
    pthread_setspecific(queue_key, q);
    return q;
}

static void window_unlink_free(user_window *w);

/* Thread end: its windows vanish, messages sent to it fail, the queue goes. */
static void queue_end(void *arg)
{
    user_queue *q = (user_queue *)arg, **link;
    user_window *w, *next;

    pthread_mutex_lock(&user_lock);
    for (w = windows_head; w; w = next) {
        next = w->next;
        if (w->owner_queue == q)
            window_unlink_free(w);
    }
    while (q->sent_head) {
        user_sent *s = q->sent_head;
        q->sent_head = s->next;
        s->failed = 1;
        s->done = 1;
        pthread_cond_broadcast(&s->sender->wake);
    }
    while (q->posted_head) {
        user_posted *p = q->posted_head;
        q->posted_head = p->next;
        free(p);
    }
    for (link = &queues; *link; link = &(*link)->next)
        if (*link == q) {
            *link = q->next;
            break;
        }
    this_queue = NULL;
    pthread_mutex_unlock(&user_lock);
    pthread_cond_destroy(&q->wake);
    free(q);
}

user_window *user_window_find(HWND window)
{
    user_window *w;

    if (!window)
        return NULL;
    for (w = windows_head; w; w = w->next)
        if (w->handle == window)
            return w;
    return NULL;
}

user_window *user_window_next(user_window *w) { return w ? w->next : windows_head; }

/* With user_lock held: takes w out of the registry and frees it. */
static void window_unlink_free(user_window *w)
{
    user_window **link, *prev = NULL;
    user_queue *q;

    for (link = &windows_head; *link; prev = *link, link = &(*link)->next)
        if (*link == w) {
            *link = w->next;
            if (windows_tail == w)
                windows_tail = prev;
            break;
        }
    for (q = queues; q; q = q->next)
        if (q->focus == w->handle)
            q->focus = NULL;
    free(w->text);
    free(w);
}

static user_class *class_find(const char *name)
{
    user_class *c;

    for (c = classes; c; c = c->next) {
        if (IS_INTRESOURCE(name) ? c->atom == (ATOM)(uintptr_t)name
                                 : strcasecmp(c->name, name) == 0)
            return c;
    }
    return NULL;
}

ATOM user_register_class(const char *name, WNDPROC proc)
{
    user_class *c;
    ATOM atom = 0;

    pthread_mutex_lock(&user_lock);
    if (class_find(name)) {
        SetLastError(QV7_ERROR_CLASS_ALREADY_EXISTS);
    } else if (strlen(name) >= sizeof c->name || !(c = (user_class *)calloc(1, sizeof *c))) {
        SetLastError(strlen(name) >= sizeof c->name ? ERROR_INVALID_PARAMETER
                                                    : ERROR_NOT_ENOUGH_MEMORY);
    } else {
        strcpy(c->name, name);
        c->proc = proc;
        c->atom = atom = next_atom++;
        c->next = classes;
        classes = c;
    }
    pthread_mutex_unlock(&user_lock);
    return atom;
}

/* Returns the class atom, 0 on failure (an existing name, a bad record). */
ATOM RegisterClassA(const WNDCLASSA *wc)
{
    if (!wc || !wc->lpfnWndProc || !wc->lpszClassName || IS_INTRESOURCE(wc->lpszClassName)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    user_register_builtin_classes();
    return user_register_class(wc->lpszClassName, wc->lpfnWndProc);
}

/* With user_lock held: a new window record for the calling thread, appended
 * to the registry; null with the last error set on failure. */
static user_window *window_new(const char *class_name, const char *title, DWORD style,
                               DWORD ex_style, RECT rect, HWND parent, int id)
{
    user_class *c = class_find(class_name);
    user_queue *q = queue_self();
    user_window *w;

    if (!c) {
        SetLastError(QV7_ERROR_CANNOT_FIND_WND_CLASS);
        return NULL;
    }
    w = q ? (user_window *)calloc(1, sizeof *w) : NULL;
    if (w)
        w->text = strdup(title ? title : "");
    if (!w || !w->text) {
        free(w);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    w->handle = (HWND)next_handle;
    next_handle += 4;
    w->owner_queue = q;
    w->thread_id = q->thread_id;
    w->proc = c->proc;
    strcpy(w->class_name, c->name);
    w->style = style;
    w->ex_style = ex_style;
    w->rect = rect;
    w->parent = parent;
    w->id = id;
    if (windows_tail)
        windows_tail->next = w;
    else
        windows_head = w;
    windows_tail = w;
    return w;
}

/* Creates a window owned by the calling thread and sends it WM_CREATE (a
 * result of -1 destroys it again). A child's position is relative to its
 * parent; HWND_MESSAGE makes a message-only window. Null on failure. */
HWND CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR title, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu,
                     HINSTANCE instance, LPVOID param)
{
    CREATESTRUCTA cs;
    user_window *w, *p = NULL;
    RECT rect;
    HWND handle;
    int message_only = parent == HWND_MESSAGE;

    user_register_builtin_classes();
    if (!class_name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    if (message_only)
        parent = NULL;
    if (x == (int)CW_USEDEFAULT)
        x = y = 0;
    if (width == (int)CW_USEDEFAULT)
        width = height = 0;
    pthread_mutex_lock(&user_lock);
    if (parent && !(p = user_window_find(parent))) {
        pthread_mutex_unlock(&user_lock);
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return NULL;
    }
    if (p && (style & WS_CHILD)) {
        x += p->rect.left;
        y += p->rect.top;
    }
    rect.left = x;
    rect.top = y;
    rect.right = x + width;
    rect.bottom = y + height;
    w = window_new(class_name, title, style, ex_style, rect, parent,
                   (style & WS_CHILD) ? (int)(intptr_t)menu : 0);
    if (w)
        w->message_only = message_only;
    handle = w ? w->handle : NULL;
    pthread_mutex_unlock(&user_lock);
    if (!handle)
        return NULL;
    memset(&cs, 0, sizeof cs);
    cs.lpCreateParams = param;
    cs.hInstance = instance;
    cs.hMenu = menu;
    cs.hwndParent = parent;
    cs.cy = height;
    cs.cx = width;
    cs.y = y;
    cs.x = x;
    cs.style = (LONG)style;
    cs.lpszName = title;
    cs.lpszClass = class_name;
    cs.dwExStyle = ex_style;
    if (SendMessageA(handle, WM_CREATE, 0, (LPARAM)&cs) == -1) {
        DestroyWindow(handle);
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    return handle;
}

/* Sends WM_DESTROY, destroys the children (in creation order) and frees the
 * window. Only the owning thread may destroy a window. TRUE on success. */
BOOL DestroyWindow(HWND window)
{
    user_window *w, *c;
    HWND child;

    pthread_mutex_lock(&user_lock);
    w = user_window_find(window);
    if (!w || w->destroying || w->owner_queue != this_queue) {
        pthread_mutex_unlock(&user_lock);
        SetLastError(w && !w->destroying ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    w->destroying = 1;
    pthread_mutex_unlock(&user_lock);
    SendMessageA(window, WM_DESTROY, 0, 0);
    for (;;) {
        child = NULL;
        pthread_mutex_lock(&user_lock);
        for (c = windows_head; c; c = c->next)
            if (c->parent == window && !c->destroying) {
                child = c->handle;
                break;
            }
        pthread_mutex_unlock(&user_lock);
        if (!child || !DestroyWindow(child))
            break;
    }
    pthread_mutex_lock(&user_lock);
    w = user_window_find(window);
    if (w)
        window_unlink_free(w);
    pthread_mutex_unlock(&user_lock);
    return TRUE;
}

BOOL IsWindow(HWND window)
{
    BOOL live;

    pthread_mutex_lock(&user_lock);
    live = user_window_find(window) != NULL;
    pthread_mutex_unlock(&user_lock);
    return live;
}

/* Copies the window's text into buffer (at most size-1 bytes, never half a
 * double-byte character, and a terminator); returns the bytes copied. */
static int window_copy_text(HWND window, char *buffer, size_t size)
{
    user_window *w;
    size_t n = 0;

    if (!buffer || size == 0)
        return 0;
    pthread_mutex_lock(&user_lock);
    w = user_window_find(window);
    if (w) {
        n = user_fit_length(w->text, size - 1);
        memcpy(buffer, w->text, n);
    }
    buffer[n] = 0;
    pthread_mutex_unlock(&user_lock);
    return (int)n;
}

/* Replaces the window's text; TRUE on success. */
static BOOL window_set_text(HWND window, const char *text)
{
    user_window *w;
    char *copy = strdup(text ? text : "");
    BOOL ok = FALSE;

    if (!copy) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    pthread_mutex_lock(&user_lock);
    w = user_window_find(window);
    if (w) {
        free(w->text);
        w->text = copy;
        copy = NULL;
        ok = TRUE;
    }
    pthread_mutex_unlock(&user_lock);
    free(copy);
    return ok;
}

/* The default handling: WM_CLOSE destroys the window, SC_CLOSE becomes
 * WM_CLOSE, the text messages keep the window's text; everything else 0. */
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    user_window *w;
    LRESULT length = 0;

    switch (message) {
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_SYSCOMMAND:
        if ((wparam & 0xFFF0) == SC_CLOSE)
            SendMessageA(window, WM_CLOSE, 0, 0);
        return 0;
    case WM_SETTEXT:
        return window_set_text(window, (const char *)lparam);
    case WM_GETTEXT:
        return window_copy_text(window, (char *)lparam, (size_t)wparam);
    case WM_GETTEXTLENGTH:
        pthread_mutex_lock(&user_lock);
        w = user_window_find(window);
        if (w)
            length = (LRESULT)strlen(w->text);
        pthread_mutex_unlock(&user_lock);
        return length;
    default:
        return 0;
    }
}

/* With user_lock held: runs every message sent to q's thread, dropping the
 * lock around each window procedure. Returns how many ran. */
static int queue_run_sent(user_queue *q)
{
    int ran = 0;

    while (q->sent_head) {
        user_sent *s = q->sent_head;
        user_window *w;
        WNDPROC proc;
        LRESULT result = 0;

        q->sent_head = s->next;
        if (!q->sent_head)
            q->sent_tail = NULL;
        w = user_window_find(s->window);
        proc = w ? w->proc : NULL;
        pthread_mutex_unlock(&user_lock);
        if (proc)
            result = proc(s->window, s->message, s->wparam, s->lparam);
        pthread_mutex_lock(&user_lock);
        s->result = result;
        s->failed = proc == NULL;
        s->done = 1;
        pthread_cond_broadcast(&s->sender->wake);
        ran++;
    }
    return ran;
}

/* Same thread: calls the window procedure. Another thread: queues the message
 * to the owner and waits for its reply, running messages sent to this thread
 * meanwhile. 0 with ERROR_INVALID_WINDOW_HANDLE when the window is gone or its
 * thread ended before answering. */
LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    user_sent s;
    user_window *w;
    user_queue *self, *owner;
    WNDPROC proc;

    pthread_mutex_lock(&user_lock);
    w = user_window_find(window);
    self = queue_self();
    if (!w || !self) {
        pthread_mutex_unlock(&user_lock);
        SetLastError(w ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (w->owner_queue == self) {
        proc = w->proc;
        pthread_mutex_unlock(&user_lock);
        return proc(window, message, wparam, lparam);
    }
    memset(&s, 0, sizeof s);
    s.window = window;
    s.message = message;
    s.wparam = wparam;
    s.lparam = lparam;
    s.sender = self;
    owner = w->owner_queue;
    if (owner->sent_tail)
        owner->sent_tail->next = &s;
    else
        owner->sent_head = &s;
    owner->sent_tail = &s;
    pthread_cond_broadcast(&owner->wake);
    while (!s.done) {
        if (!queue_run_sent(self))
            pthread_cond_wait(&self->wake, &user_lock);
    }
    pthread_mutex_unlock(&user_lock);
    if (s.failed) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return s.result;
}

/* With user_lock held: appends a posted message to q; FALSE when out of memory. */
static BOOL queue_post(user_queue *q, HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    user_posted *p = (user_posted *)calloc(1, sizeof *p);

    if (!p) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    p->msg.hwnd = window;
    p->msg.message = message;
    p->msg.wParam = wparam;
    p->msg.lParam = lparam;
    p->msg.time = GetTickCount();
    if (q->posted_tail)
        q->posted_tail->next = p;
    else
        q->posted_head = p;
    q->posted_tail = p;
    pthread_cond_broadcast(&q->wake);
    return TRUE;
}

/* Posts to the window's thread (null window: to the calling thread) and
 * returns at once. FALSE with ERROR_INVALID_WINDOW_HANDLE for a dead window. */
BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    user_window *w = NULL;
    user_queue *q;
    BOOL ok = FALSE;

    pthread_mutex_lock(&user_lock);
    q = window ? ((w = user_window_find(window)) ? w->owner_queue : NULL) : queue_self();
    if (q)
        ok = queue_post(q, window, message, wparam, lparam);
    else
        SetLastError(window ? ERROR_INVALID_WINDOW_HANDLE : ERROR_NOT_ENOUGH_MEMORY);
    pthread_mutex_unlock(&user_lock);
    return ok;
}

/* Posts a thread message (no window); FALSE with ERROR_INVALID_THREAD_ID when
 * that thread has no queue. */
BOOL PostThreadMessageA(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam)
{
    user_queue *q;
    BOOL ok = FALSE;

    pthread_mutex_lock(&user_lock);
    if (thread_id == GetCurrentThreadId())
        queue_self();
    for (q = queues; q; q = q->next)
        if (q->thread_id == thread_id)
            break;
    if (q)
        ok = queue_post(q, NULL, message, wparam, lparam);
    else
        SetLastError(QV7_ERROR_INVALID_THREAD_ID);
    pthread_mutex_unlock(&user_lock);
    return ok;
}

/* Asks the calling thread's loop to end: GetMessageA returns 0 with WM_QUIT
 * once no other posted message is waiting. */
void PostQuitMessage(int exit_code)
{
    user_queue *q;

    pthread_mutex_lock(&user_lock);
    q = queue_self();
    if (q) {
        q->quit = 1;
        q->quit_code = exit_code;
        pthread_cond_broadcast(&q->wake);
    }
    pthread_mutex_unlock(&user_lock);
}

/* With user_lock held: whether m passes the window and range filter. A window
 * filter takes that window and its children; (HWND)-1 thread messages only. */
static int message_matches(const MSG *m, HWND window, UINT first, UINT last)
{
    if (window == (HWND)(intptr_t)-1) {
        if (m->hwnd)
            return 0;
    } else if (window && m->hwnd != window) {
        user_window *w = user_window_find(m->hwnd);
        if (!w || w->parent != window || !(w->style & WS_CHILD))
            return 0;
    }
    if (first == 0 && last == 0)
        return 1;
    return m->message >= first && m->message <= last;
}

/* With user_lock held: takes (or only copies) the first matching posted
 * message, or WM_QUIT when nothing else waits. 1 found, 0 nothing. */
static int queue_take(user_queue *q, MSG *msg, HWND window, UINT first, UINT last, int remove)
{
    user_posted **link, *prev = NULL;

    for (link = &q->posted_head; *link; prev = *link, link = &(*link)->next) {
        user_posted *p = *link;
        if (!message_matches(&p->msg, window, first, last))
            continue;
        *msg = p->msg;
        if (remove) {
            *link = p->next;
            if (q->posted_tail == p)
                q->posted_tail = prev;
            free(p);
        }
        return 1;
    }
    if (!q->quit)
        return 0;
    memset(msg, 0, sizeof *msg);
    msg->message = WM_QUIT;
    msg->wParam = (WPARAM)q->quit_code;
    msg->time = GetTickCount();
    if (remove)
        q->quit = 0;
    return 1;
}

int user_get_message(MSG *msg, HWND window, UINT first, UINT last, const int *stop)
{
    user_queue *q;
    int found = 0;

    pthread_mutex_lock(&user_lock);
    q = queue_self();
    while (q) {
        queue_run_sent(q);
        if (stop && *stop)
            break;
        found = queue_take(q, msg, window, first, last, 1);
        if (found)
            break;
        pthread_cond_wait(&q->wake, &user_lock);
    }
    pthread_mutex_unlock(&user_lock);
    if (!q) {
        memset(msg, 0, sizeof *msg);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    if (!found)
        return -1;
    return msg->message == WM_QUIT ? 0 : 1;
}

void user_wake_owner(HWND window)
{
    user_window *w;

    pthread_mutex_lock(&user_lock);
    w = user_window_find(window);
    if (w)
        pthread_cond_broadcast(&w->owner_queue->wake);
    pthread_mutex_unlock(&user_lock);
}

/* Waits for a posted message; FALSE (0) for WM_QUIT, -1 on failure. */
BOOL GetMessageA(MSG *msg, HWND window, UINT first, UINT last)
{
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    return user_get_message(msg, window, first, last, NULL);
}

/* Runs the pending sent messages, then looks for a posted message without
 * waiting. TRUE when one was found (removed with PM_REMOVE). */
BOOL PeekMessageA(MSG *msg, HWND window, UINT first, UINT last, UINT remove)
{
    user_queue *q;
    int found = 0;

    pthread_mutex_lock(&user_lock);
    q = queue_self();
    if (q && msg) {
        queue_run_sent(q);
        found = queue_take(q, msg, window, first, last, (remove & PM_REMOVE) != 0);
    }
    pthread_mutex_unlock(&user_lock);
    return found;
}

/* Keystrokes are not turned into WM_CHAR here: tests post WM_CHAR themselves. */
BOOL TranslateMessage(const MSG *msg) { return FALSE; }

/* Calls the window procedure of the message's window, which must belong to
 * the calling thread. Returns its result; 0 for thread messages. */
LRESULT DispatchMessageA(const MSG *msg)
{
    user_window *w;
    WNDPROC proc = NULL;

    if (!msg || !msg->hwnd)
        return 0;
    pthread_mutex_lock(&user_lock);
    w = user_window_find(msg->hwnd);
    if (w && w->owner_queue == this_queue)
        proc = w->proc;
    pthread_mutex_unlock(&user_lock);
    if (!proc) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

/* Waits up to ms for input of the calling thread, running sent messages.
 * WAIT_OBJECT_0 (+ count, always 0) when a posted message waits or a sent
 * one ran, WAIT_TIMEOUT otherwise; handles are not supported. */
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL wait_all, DWORD ms,
                                DWORD wake_mask)
{
    struct timespec deadline;
    user_queue *q;
    DWORD result = WAIT_TIMEOUT;

    if (count != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return WAIT_FAILED;
    }
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&user_lock);
    q = queue_self();
    if (!q) {
        pthread_mutex_unlock(&user_lock);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return WAIT_FAILED;
    }
    for (;;) {
        if (queue_run_sent(q) || q->posted_head || q->quit) {
            result = WAIT_OBJECT_0 + count;
            break;
        }
        if (ms == INFINITE)
            pthread_cond_wait(&q->wake, &user_lock);
        else if (pthread_cond_timedwait(&q->wake, &user_lock, &deadline) == ETIMEDOUT) {
            result = (queue_run_sent(q) || q->posted_head || q->quit) ? WAIT_OBJECT_0 + count
                                                                     : WAIT_TIMEOUT;
            break;
        }
    }
    pthread_mutex_unlock(&user_lock);
    return result;
}

/* The thread that owns the window (0 and ERROR_INVALID_WINDOW_HANDLE when it
 * is gone); the process id goes to *process_id. */
DWORD GetWindowThreadProcessId(HWND window, DWORD *process_id)
{
    user_window *w;
    DWORD thread_id = 0;

    pthread_mutex_lock(&user_lock);
    w = user_window_find(window);
    if (w)
        thread_id = w->thread_id;
    pthread_mutex_unlock(&user_lock);
    if (!thread_id) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (process_id)
        *process_id = GetCurrentProcessId();
    return thread_id;
}

/* The window's text through WM_GETTEXT (so another thread's window answers on
 * its own thread); returns the length copied. */
int GetWindowTextA(HWND window, LPSTR buffer, int size)
{
    if (!buffer || size <= 0)
        return 0;
    buffer[0] = 0;
    return (int)SendMessageA(window, WM_GETTEXT, (WPARAM)size, (LPARAM)buffer);
}

BOOL SetWindowTextA(HWND window, LPCSTR text)
{
    return SendMessageA(window, WM_SETTEXT, 0, (LPARAM)text) != 0;
}

/* GWL_STYLE, GWL_EXSTYLE and GWL_ID; 0 with an error otherwise. */
LONG GetWindowLongA(HWND window, int index)
{
    user_window *w;
    LONG value = 0;
    DWORD error = 0;

    pthread_mutex_lock(&user_lock);
    w = user_window_find(window);
    if (!w)
        error = ERROR_INVALID_WINDOW_HANDLE;
    else if (index == GWL_STYLE)
        value = (LONG)w->style;
    else if (index == GWL_EXSTYLE)
        value = (LONG)w->ex_style;
    else if (index == GWL_ID)
        value = w->id;
    else
        error = QV7_ERROR_INVALID_INDEX;
    pthread_mutex_unlock(&user_lock);
    if (error)
        SetLastError(error);
    return value;
}

/* A child's parent, or a popup's owner; null for other windows. */
HWND GetParent(HWND window)
{
    user_window *w;
    HWND parent = NULL;

    pthread_mutex_lock(&user_lock);
    w = user_window_find(window);
    if (w && (w->style & (WS_CHILD | WS_POPUP)))
        parent = w->parent;
    pthread_mutex_unlock(&user_lock);
    if (!w)
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return parent;
}

/* GW_CHILD: the first child in creation (template) order; GW_HWNDNEXT: the
 * next window of the same parent. Null when there is none. */
HWND GetWindow(HWND window, UINT relation)
{
    user_window *w, *c;
    HWND found = NULL;

    pthread_mutex_lock(&user_lock);
    w = user_window_find(window);
    if (w && relation == GW_CHILD) {
        for (c = windows_head; c && !found; c = c->next)
            if ((c->style & WS_CHILD) && c->parent == window)
                found = c->handle;
    } else if (w && relation == GW_HWNDNEXT) {
        for (c = w->next; c && !found; c = c->next)
            if ((c->style & WS_CHILD) == (w->style & WS_CHILD) &&
                (!(w->style & WS_CHILD) || c->parent == w->parent))
                found = c->handle;
    }
    pthread_mutex_unlock(&user_lock);
    if (!w)
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return found;
}

BOOL GetWindowRect(HWND window, RECT *rect)
{
    user_window *w;

    pthread_mutex_lock(&user_lock);
    w = user_window_find(window);
    if (w && rect)
        *rect = w->rect;
    pthread_mutex_unlock(&user_lock);
    if (!w)
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return w && rect;
}

/* The first top-level window (in creation order) whose class (ignoring case,
 * null: any) and title (exact, null: any) match. */
HWND FindWindowA(LPCSTR class_name, LPCSTR title)
{
    user_window *w;
    user_class *c = NULL;
    HWND found = NULL;

    user_register_builtin_classes();
    pthread_mutex_lock(&user_lock);
    if (class_name && !(c = class_find(class_name))) {
        pthread_mutex_unlock(&user_lock);
        return NULL;
    }
    for (w = windows_head; w && !found; w = w->next) {
        if ((w->style & WS_CHILD) || w->message_only || w->destroying)
            continue;
        if (c && strcasecmp(w->class_name, c->name) != 0)
            continue;
        if (title && strcmp(w->text, title) != 0)
            continue;
        found = w->handle;
    }
    pthread_mutex_unlock(&user_lock);
    return found;
}

/* The calling thread's focus window. */
HWND GetFocus(void)
{
    HWND focus;

    pthread_mutex_lock(&user_lock);
    focus = this_queue ? this_queue->focus : NULL;
    pthread_mutex_unlock(&user_lock);
    return focus;
}

/* Moves the calling thread's focus to one of its own windows (null: none),
 * sending WM_KILLFOCUS and WM_SETFOCUS; returns the previous focus. */
HWND SetFocus(HWND window)
{
    user_window *w = NULL;
    user_queue *q;
    HWND previous = NULL;
    int ok;

    pthread_mutex_lock(&user_lock);
    q = queue_self();
    ok = q && (!window || ((w = user_window_find(window)) && w->owner_queue == q));
    if (ok) {
        previous = q->focus;
        q->focus = window;
    }
    pthread_mutex_unlock(&user_lock);
    if (!ok) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return NULL;
    }
    if (previous && previous != window)
        SendMessageA(previous, WM_KILLFOCUS, (WPARAM)window, 0);
    if (window && previous != window)
        SendMessageA(window, WM_SETFOCUS, (WPARAM)previous, 0);
    return previous;
}

/* Enables or disables input to the window (WM_ENABLE when it changes);
 * returns non-zero when the window was disabled before. */
BOOL EnableWindow(HWND window, BOOL enable)
{
    user_window *w;
    int was_disabled = 0, changed = 0;

    pthread_mutex_lock(&user_lock);
    w = user_window_find(window);
    if (w) {
        was_disabled = (w->style & WS_DISABLED) != 0;
        changed = was_disabled == (enable != 0);
        if (enable)
            w->style &= ~(DWORD)WS_DISABLED;
        else
            w->style |= WS_DISABLED;
    }
    pthread_mutex_unlock(&user_lock);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (changed)
        SendMessageA(window, WM_ENABLE, (WPARAM)(enable != 0), 0);
    return was_disabled;
}

BOOL IsWindowEnabled(HWND window)
{
    user_window *w;
    BOOL enabled;

    pthread_mutex_lock(&user_lock);
    w = user_window_find(window);
    enabled = w && !(w->style & WS_DISABLED);
    pthread_mutex_unlock(&user_lock);
    return enabled;
}
