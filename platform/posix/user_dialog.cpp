/* Dialogs and controls: the predefined classes "Button", "Edit", "Static" and
 * the dialog class "#32770"; DialogBoxParamA, EndDialog, GetDlgItem,
 * GetDlgCtrlID, SendDlgItemMessageA, SetDlgItemInt, GetDlgItemInt,
 * SetDlgItemTextA, GetDlgItemTextA and MapDialogRect.
 *
 * A dialog is built from the module's resource table (see resource.h), its
 * controls in template order, and runs modally on the calling thread. The
 * controls are headless but answer what code and tests send them as on
 * Windows: WM_SETTEXT/WM_GETTEXT, BM_SETCHECK/BM_GETCHECK, BM_CLICK (a check box
 * toggles, then the dialog gets WM_COMMAND BN_CLICKED), WM_CHAR typing into an
 * edit (ES_NUMBER takes digits only; WM_SETTEXT is never filtered). The modal
 * loop does what the dialog manager does with keys posted to the dialog or a
 * control: Escape clicks IDCANCEL, Return the default button, Tab moves the
 * focus to the next tab stop. The dialog class's default for WM_CLOSE posts
 * WM_COMMAND IDCANCEL, and WM_SYSCOMMAND SC_CLOSE becomes WM_CLOSE.
 *
 * Knowing differences from Windows:
 * - Dialog units map to pixels with fixed base units of 8 x 16 (the metrics of
 *   an 8 x 16 pixel font), whatever font the template names: one horizontal
 *   unit is 2 pixels, one vertical unit 2 pixels. The dialog sits at its
 *   template position; nothing is centred or drawn.
 * - Templates are found by number only (MAKEINTRESOURCEA); DWLP_MSGRESULT is
 *   not kept, so a dialog procedure that handles a message returns 0 to the
 *   sender (WM_INITDIALOG: the procedure's own result).
 * - On WM_QUIT the modal loop ends with 0 and posts WM_QUIT again for the
 *   outer loop. */
#include "user_internal.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#define QV7_ERROR_CONTROL_ID_NOT_FOUND 1421

/* Check boxes and push buttons. */
static LRESULT CALLBACK button_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    user_window *w;
    DWORD style = 0;
    int id = 0, checked = 0;
    HWND parent = NULL;

    pthread_mutex_lock(&user_lock);
    w = user_window_find(window);
    if (w) {
        style = w->style;
        id = w->id;
        parent = w->parent;
        if (message == BM_SETCHECK)
            w->checked = (int)wparam;
        else if (message == BM_CLICK && !(style & WS_DISABLED) &&
                 (style & BS_TYPEMASK) == BS_AUTOCHECKBOX)
            w->checked = w->checked == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
        checked = w->checked;
    }
    pthread_mutex_unlock(&user_lock);
    switch (message) {
    case BM_GETCHECK:
        return checked;
    case BM_SETCHECK:
        return 0;
    case BM_CLICK:
        if (w && !(style & WS_DISABLED))
            SendMessageA(parent, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)window);
        return 0;
    default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
}

/* Appends a typed byte to the edit's text, or takes the last character back
 * for VK_BACK. ES_NUMBER refuses anything but digits. */
static void edit_type(HWND window, unsigned char c)
{
    user_window *w;
    char *text;
    size_t n, cut;

    pthread_mutex_lock(&user_lock);
    w = user_window_find(window);
    if (w && !(w->style & WS_DISABLED)) {
        n = strlen(w->text);
        if (c == VK_BACK) {
            /* the last whole character: the longest prefix shorter than n */
            cut = n ? user_fit_length(w->text, n - 1) : 0;
            w->text[cut] = 0;
        } else if (c >= 0x20 && (!(w->style & ES_NUMBER) || isdigit(c))) {
            text = (char *)realloc(w->text, n + 2);
            if (text) {
                text[n] = (char)c;
                text[n + 1] = 0;
                w->text = text;
            }
        }
    }
    pthread_mutex_unlock(&user_lock);
}

static LRESULT CALLBACK edit_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_CHAR) {
        edit_type(window, (unsigned char)wparam);
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

static LRESULT CALLBACK static_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    return DefWindowProcA(window, message, wparam, lparam);
}

/* With user_lock held: the first enabled child with the given style bit after
 * `after` (null: from the start), wrapping around once; null when none. */
static user_window *dialog_next_with(HWND dialog, HWND after, DWORD bit)
{
    user_window *c, *start = after ? user_window_find(after) : NULL;
    int pass;

    for (pass = 0; pass < 2; pass++) {
        for (c = pass == 0 && start ? start->next : user_window_next(NULL); c;
             c = user_window_next(c)) {
            if (pass == 1 && start && c == start)
                return NULL;
            if (c->parent == dialog && (c->style & WS_CHILD) && (c->style & bit) &&
                !(c->style & WS_DISABLED))
                return c;
        }
    }
    return NULL;
}

/* The id of the default push button (BS_DEFPUSHBUTTON), else IDOK. */
static int dialog_default_id(HWND dialog)
{
    user_window *c;
    int id = IDOK;

    pthread_mutex_lock(&user_lock);
    for (c = user_window_next(NULL); c; c = user_window_next(c))
        if (c->parent == dialog && (c->style & WS_CHILD) && !strcasecmp(c->class_name, "Button") &&
            (c->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
            id = c->id;
            break;
        }
    pthread_mutex_unlock(&user_lock);
    return id;
}

/* Clicks the dialog's button `id` as the dialog manager does for a key or
 * WM_CLOSE: WM_COMMAND BN_CLICKED with the button's handle (null when the
 * dialog has no such control), nothing when that button is disabled. */
static void dialog_click(HWND dialog, int id, int post)
{
    HWND button = NULL;
    user_window *c;
    int disabled = 0;

    pthread_mutex_lock(&user_lock);
    for (c = user_window_next(NULL); c; c = user_window_next(c))
        if (c->parent == dialog && (c->style & WS_CHILD) && c->id == id) {
            button = c->handle;
            disabled = (c->style & WS_DISABLED) != 0;
            break;
        }
    pthread_mutex_unlock(&user_lock);
    if (disabled)
        return;
    if (post)
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)button);
    else
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)button);
}

/* The dialog class: the dialog procedure first; what it leaves (returns FALSE
 * for) gets the default dialog handling. */
static LRESULT CALLBACK dialog_class_proc(HWND window, UINT message, WPARAM wparam,
                                          LPARAM lparam)
{
    user_window *w;
    DLGPROC proc = NULL;
    INT_PTR handled;

    pthread_mutex_lock(&user_lock);
    w = user_window_find(window);
    if (w)
        proc = w->dialog_proc;
    pthread_mutex_unlock(&user_lock);
    if (proc) {
        handled = proc(window, message, wparam, lparam);
        if (handled)
            return message == WM_INITDIALOG ? handled : 0;
    }
    switch (message) {
    case WM_INITDIALOG:
        return 0;
    case WM_CLOSE:
        dialog_click(window, IDCANCEL, 1);
        return 0;
    case DM_GETDEFID:
        return MAKELONG(dialog_default_id(window), DC_HASDEFID);
    default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
}

static pthread_once_t builtin_once = PTHREAD_ONCE_INIT;

static void register_builtin(void)
{
    user_register_class("Button", button_proc);
    user_register_class("Edit", edit_proc);
    user_register_class("Static", static_proc);
    user_register_class("#32770", dialog_class_proc);
}

void user_register_builtin_classes(void) { pthread_once(&builtin_once, register_builtin); }

/* Dialog units to pixels, with base units of 8 x 16: x * 8 / 4, y * 16 / 8. */
BOOL MapDialogRect(HWND dialog, RECT *rect)
{
    if (!rect || !IsWindow(dialog)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    rect->left = rect->left * 8 / 4;
    rect->right = rect->right * 8 / 4;
    rect->top = rect->top * 16 / 8;
    rect->bottom = rect->bottom * 16 / 8;
    return TRUE;
}

static void map_units(RECT *r, int x, int y, int cx, int cy)
{
    r->left = x * 2;
    r->top = y * 2;
    r->right = (x + cx) * 2;
    r->bottom = (y + cy) * 2;
}

/* Creates one control of the template as a child of dialog; 1 or 0. */
static int dialog_add_control(HWND dialog, HINSTANCE instance, const qv7_res_control *c)
{
    RECT r;
    char *text = user_text_to_acp(c->text ? c->text : "");
    HWND control;

    if (!text)
        return 0;
    map_units(&r, c->x, c->y, c->cx, c->cy);
    control = CreateWindowExA(0, c->class_name, text, c->style | WS_CHILD, r.left, r.top,
                              r.right - r.left, r.bottom - r.top, dialog,
                              (HMENU)(intptr_t)c->id, instance, NULL);
    free(text);
    return control != NULL;
}

/* Builds the dialog window and its controls from the template; null with the
 * last error set on failure (nothing is left behind). */
static HWND dialog_create(HINSTANCE instance, const qv7_res_dialog *t, HWND owner,
                          DLGPROC proc, user_dialog_run *run)
{
    RECT r;
    HWND dialog;
    user_window *w;
    char *title = user_text_to_acp(t->title ? t->title : "");
    int i;

    if (!title) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    map_units(&r, t->x, t->y, t->cx, t->cy);
    dialog = CreateWindowExA(0, "#32770", title, t->style & ~(DWORD)WS_CHILD, r.left, r.top,
                             r.right - r.left, r.bottom - r.top, owner, NULL, instance, NULL);
    free(title);
    if (!dialog)
        return NULL;
    for (i = 0; i < t->control_count; i++)
        if (!dialog_add_control(dialog, instance, &t->controls[i])) {
            DestroyWindow(dialog);
            return NULL;
        }
    pthread_mutex_lock(&user_lock);
    w = user_window_find(dialog);
    w->dialog_proc = proc;
    w->run = run;
    pthread_mutex_unlock(&user_lock);
    return dialog;
}

/* Whether window is the dialog or one of its controls. */
static int dialog_owns(HWND dialog, HWND window)
{
    return window == dialog || (window && GetParent(window) == dialog);
}

/* What the dialog manager does with a posted key for the dialog: 1 when the
 * message was used up, 0 when it goes to its window as usual. */
static int dialog_key(HWND dialog, const MSG *m)
{
    user_window *next;
    HWND focus;

    if (m->message != WM_KEYDOWN || !dialog_owns(dialog, m->hwnd))
        return 0;
    switch (m->wParam) {
    case VK_ESCAPE:
        dialog_click(dialog, IDCANCEL, 0);
        return 1;
    case VK_RETURN:
        dialog_click(dialog, (int)LOWORD(SendMessageA(dialog, DM_GETDEFID, 0, 0)), 0);
        return 1;
    case VK_TAB:
        focus = GetFocus();
        pthread_mutex_lock(&user_lock);
        next = dialog_next_with(dialog, dialog_owns(dialog, focus) ? focus : NULL, WS_TABSTOP);
        focus = next ? next->handle : NULL;
        pthread_mutex_unlock(&user_lock);
        if (focus)
            SetFocus(focus);
        return 1;
    default:
        return 0;
    }
}

/* The run's result once it ended, else `otherwise` (read under the lock:
 * EndDialog may come from another thread). */
static INT_PTR dialog_result(user_dialog_run *run, INT_PTR otherwise)
{
    INT_PTR result;

    pthread_mutex_lock(&user_lock);
    result = run->ended ? run->result : otherwise;
    pthread_mutex_unlock(&user_lock);
    return result;
}

/* Runs the dialog's messages on this thread until EndDialog; returns its
 * result (0 on WM_QUIT, which is posted again; -1 if the dialog vanished). */
static INT_PTR dialog_loop(HWND dialog, user_dialog_run *run)
{
    MSG m;
    int got;

    for (;;) {
        if (!IsWindow(dialog))
            return dialog_result(run, -1);
        got = user_get_message(&m, NULL, 0, 0, &run->ended);
        if (got < 0)
            return dialog_result(run, -1);
        if (got == 0) {
            PostQuitMessage((int)m.wParam);
            return 0;
        }
        if (!dialog_key(dialog, &m)) {
            TranslateMessage(&m);
            DispatchMessageA(&m);
        }
    }
}

/* Runs dialog template `name` of the module modally: the owner is disabled
 * meanwhile, WM_INITDIALOG gets `init` (and the focus goes to the first tab
 * stop when it returns TRUE). Returns the EndDialog result; -1 with the last
 * error set when the dialog cannot be made. */
INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR name, HWND owner, DLGPROC proc,
                        LPARAM init)
{
    const qv7_res_dialog *t = IS_INTRESOURCE(name)
                                  ? user_find_dialog(instance, (UINT)(uintptr_t)name)
                                  : NULL;
    user_dialog_run run = {0, 0};
    user_window *first;
    HWND dialog, focus;
    INT_PTR result;
    int owner_enabled = 0;

    if (!t) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return -1;
    }
    if (owner && !IsWindow(owner)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    dialog = dialog_create(instance, t, owner, proc, &run);
    if (!dialog)
        return -1;
    if (owner && IsWindowEnabled(owner)) {
        owner_enabled = 1;
        EnableWindow(owner, FALSE);
    }
    pthread_mutex_lock(&user_lock);
    first = dialog_next_with(dialog, NULL, WS_TABSTOP);
    focus = first ? first->handle : NULL;
    pthread_mutex_unlock(&user_lock);
    if (SendMessageA(dialog, WM_INITDIALOG, (WPARAM)focus, init) && focus)
        SetFocus(focus);
    result = dialog_loop(dialog, &run);
    /* the owner first, so it is usable again when the dialog goes */
    if (owner_enabled)
        EnableWindow(owner, TRUE);
    pthread_mutex_lock(&user_lock);
    first = user_window_find(dialog);
    if (first)
        first->run = NULL;
    pthread_mutex_unlock(&user_lock);
    DestroyWindow(dialog);
    return result;
}

/* Ends a running modal dialog with `result` once its loop regains control;
 * FALSE for a window that is not a running dialog. */
BOOL EndDialog(HWND dialog, INT_PTR result)
{
    user_window *w;
    BOOL ok = FALSE;

    pthread_mutex_lock(&user_lock);
    w = user_window_find(dialog);
    if (w && w->run) {
        w->run->result = result;
        w->run->ended = 1;
        ok = TRUE;
    }
    pthread_mutex_unlock(&user_lock);
    if (!ok)
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    else
        user_wake_owner(dialog);
    return ok;
}

/* The dialog's control `id`; null with ERROR_CONTROL_ID_NOT_FOUND. */
HWND GetDlgItem(HWND dialog, int id)
{
    user_window *c;
    HWND found = NULL;

    pthread_mutex_lock(&user_lock);
    for (c = user_window_next(NULL); c && !found; c = user_window_next(c))
        if (dialog && c->parent == dialog && (c->style & WS_CHILD) && c->id == id)
            found = c->handle;
    pthread_mutex_unlock(&user_lock);
    if (!found)
        SetLastError(IsWindow(dialog) ? QV7_ERROR_CONTROL_ID_NOT_FOUND
                                      : ERROR_INVALID_WINDOW_HANDLE);
    return found;
}

int GetDlgCtrlID(HWND control) { return (int)GetWindowLongA(control, GWL_ID); }

/* SendMessageA to the dialog's control `id`; 0 when there is no such control. */
LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wparam, LPARAM lparam)
{
    HWND control = GetDlgItem(dialog, id);

    return control ? SendMessageA(control, message, wparam, lparam) : 0;
}

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text)
{
    return SendDlgItemMessageA(dialog, id, WM_SETTEXT, 0, (LPARAM)text) != 0;
}

/* The control's text, at most size-1 bytes and a terminator; its length. */
UINT GetDlgItemTextA(HWND dialog, int id, LPSTR buffer, int size)
{
    if (!buffer || size <= 0)
        return 0;
    buffer[0] = 0;
    return (UINT)SendDlgItemMessageA(dialog, id, WM_GETTEXT, (WPARAM)size, (LPARAM)buffer);
}

BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL is_signed)
{
    char number[16];

    wsprintfA(number, is_signed ? "%d" : "%u", value);
    return SetDlgItemTextA(dialog, id, number);
}

/* Reads text as a decimal number: leading and trailing blanks are skipped, a
 * minus sign only when signed, every other byte must be a digit and the value
 * must fit. Returns 1 with *value, or 0. */
static int parse_dlg_int(const char *text, BOOL is_signed, UINT *value)
{
    unsigned long long v = 0, limit = is_signed ? 0x80000000ull : 0xFFFFFFFFull;
    int negative = 0, digits = 0;

    while (*text == ' ')
        text++;
    if (is_signed && *text == '-') {
        negative = 1;
        text++;
    }
    for (; *text >= '0' && *text <= '9'; text++, digits++) {
        v = v * 10 + (unsigned)(*text - '0');
        if (v > limit)
            return 0;
    }
    while (*text == ' ')
        text++;
    if (!digits || *text || (is_signed && !negative && v > 0x7FFFFFFFull))
        return 0;
    *value = negative ? (UINT)(0u - (UINT)v) : (UINT)v;
    return 1;
}

/* The control's text as a number; 0 and *translated FALSE when the text is
 * empty, not a number or out of range. */
UINT GetDlgItemInt(HWND dialog, int id, BOOL *translated, BOOL is_signed)
{
    HWND control = GetDlgItem(dialog, id);
    LRESULT length = control ? SendMessageA(control, WM_GETTEXTLENGTH, 0, 0) : 0;
    char *text = (char *)malloc((size_t)length + 1);
    UINT value = 0;
    int ok = 0;

    if (control && text) {
        text[0] = 0;
        SendMessageA(control, WM_GETTEXT, (WPARAM)length + 1, (LPARAM)text);
        ok = parse_dlg_int(text, is_signed, &value);
    }
    free(text);
    if (translated)
        *translated = ok;
    return ok ? value : 0;
}
