/* Private to the user*.cpp files of the layer: the window registry, the
 * per-thread message queues and the resource lookup they share. */
#ifndef QV7_POSIX_USER_INTERNAL_H
#define QV7_POSIX_USER_INTERNAL_H

#include "user.h"
#include "resource.h"

#include <pthread.h>

/* A modal dialog's run: lives on the stack of DialogBoxParamA; EndDialog
 * finds it through the dialog's window record. */
typedef struct user_dialog_run {
    int ended;
    INT_PTR result;
} user_dialog_run;

struct user_queue;

/* One window. HWND values are numbers handed out once and never reused, so a
 * stale handle finds nothing instead of freed memory. Every field is guarded
 * by user_lock. */
typedef struct user_window {
    HWND handle;
    struct user_queue *owner_queue;
    DWORD thread_id;
    WNDPROC proc;
    char class_name[64];
    char *text;           /* never null */
    DWORD style;
    DWORD ex_style;
    int id;
    RECT rect;            /* screen pixels */
    HWND parent;          /* parent of a child, owner of a top-level window */
    int checked;          /* buttons */
    int message_only;
    int destroying;
    DLGPROC dialog_proc;  /* dialogs: set after creation */
    user_dialog_run *run; /* dialogs: the modal loop running it */
    struct user_window *next; /* registry, in creation order */
} user_window;

extern pthread_mutex_t user_lock;

/* With user_lock held: the live window for a handle, or null. */
user_window *user_window_find(HWND window);
/* With user_lock held: the next live window after w (null: the first). */
user_window *user_window_next(user_window *w);

/* Registers the predefined classes once; the dialog file provides them. */
void user_register_builtin_classes(void);
ATOM user_register_class(const char *name, WNDPROC proc);

/* Waits for the next posted message of the calling thread matching the
 * filter, running sent messages meanwhile. Returns 1 with a message, 0 for
 * WM_QUIT (msg filled), -1 once *stop is non-zero (stop may be null). */
int user_get_message(MSG *msg, HWND window, UINT first, UINT last, const int *stop);
/* Wakes the thread that owns window (after changing what it waits for). */
void user_wake_owner(HWND window);

/* Resources: the template of dialog id and the text of string id in the
 * language the locale picks (else another language that has it); null when
 * the module has no such resource. */
const qv7_res_dialog *user_find_dialog(HINSTANCE instance, UINT id);
const char *user_find_string(HINSTANCE instance, UINT id);
/* A UTF-8 resource text in the ANSI code page; malloc'd, the caller frees it;
 * null when out of memory or not convertible. */
char *user_text_to_acp(const char *utf8);
/* The longest prefix of text, at most max bytes, that does not split a
 * character of the ANSI code page. */
size_t user_fit_length(const char *text, size_t max);

#endif
