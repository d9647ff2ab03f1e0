/* Windows and dialogs of our Win32 subset over POSIX: windows owned by the thread
 * that created them, a message queue per thread, synchronous cross-thread
 * SendMessageA (the sender waits while the owner runs the window procedure),
 * message loops, modal dialogs built from a module's resource table with
 * headless controls, string resources, and wsprintfA.
 *
 * Knowing differences from Windows: nothing is drawn; controls keep their text,
 * check state, style and position and answer the same messages as on Windows.
 * A thread waiting in SendMessageA handles messages sent to its own windows, as
 * Windows does, so two threads sending to each other cannot deadlock. */
#ifndef QV7_POSIX_USER_H
#define QV7_POSIX_USER_H

#include "kernel.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qv7_window *HWND;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef WORD ATOM;
typedef void *HMENU;
typedef void *HICON;
typedef void *HCURSOR;
typedef void *HBRUSH;

typedef LRESULT (CALLBACK *WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef INT_PTR (CALLBACK *DLGPROC)(HWND, UINT, WPARAM, LPARAM);

typedef struct tagWNDCLASSA {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
} WNDCLASSA;

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT;

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT;

typedef struct tagCREATESTRUCTA {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCSTR lpszName;
    LPCSTR lpszClass;
    DWORD dwExStyle;
} CREATESTRUCTA;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG;

#define HWND_MESSAGE ((HWND)(LONG_PTR)-3)
#define CW_USEDEFAULT ((int)0x80000000)

#define MAKEINTRESOURCEA(i) ((LPSTR)(ULONG_PTR)(WORD)(i))
#define IS_INTRESOURCE(p) (((ULONG_PTR)(p) >> 16) == 0)
#define LOWORD(l) ((WORD)((DWORD_PTR)(l) & 0xffff))
#define HIWORD(l) ((WORD)(((DWORD_PTR)(l) >> 16) & 0xffff))
#define MAKELONG(a, b) ((LONG)(((WORD)(a)) | ((DWORD)((WORD)(b))) << 16))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)MAKELONG(l, h))
#define MAKELPARAM(l, h) ((LPARAM)(DWORD)MAKELONG(l, h))

#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_SETFOCUS 0x0007
#define WM_KILLFOCUS 0x0008
#define WM_ENABLE 0x000A
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_KEYDOWN 0x0100
#define WM_CHAR 0x0102
#define VK_BACK 0x08
#define VK_SPACE 0x20
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_SYSCOMMAND 0x0112
#define WM_USER 0x0400
#define WM_APP 0x8000

#define SC_CLOSE 0xF060

#define BM_GETCHECK 0x00F0
#define BM_SETCHECK 0x00F1
#define BM_CLICK 0x00F5
#define BST_UNCHECKED 0
#define BST_CHECKED 1
#define BN_CLICKED 0
#define BS_CHECKBOX 0x2L
#define BS_TYPEMASK 0xFL
#define DM_GETDEFID (WM_USER + 0)
#define DC_HASDEFID 0x534B

#define IDOK 1
#define IDCANCEL 2

#define VK_RETURN 0x0D
#define VK_ESCAPE 0x1B
#define VK_TAB 0x09

#define PM_NOREMOVE 0x0
#define PM_REMOVE 0x1
#define QS_ALLINPUT 0x04FF

#define GWL_STYLE (-16)
#define GWL_EXSTYLE (-20)
#define GWL_ID (-12)

#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_SYSMENU 0x00080000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L
#define DS_SETFONT 0x40L
#define DS_MODALFRAME 0x80L
#define BS_PUSHBUTTON 0x0L
#define BS_DEFPUSHBUTTON 0x1L
#define BS_AUTOCHECKBOX 0x3L
#define ES_LEFT 0x0L
#define ES_AUTOHSCROLL 0x80L
#define ES_NUMBER 0x2000L
#define SS_LEFT 0x0L

ATOM RegisterClassA(const WNDCLASSA *wc);
HWND CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR title, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu,
                     HINSTANCE instance, LPVOID param);
BOOL DestroyWindow(HWND window);
BOOL IsWindow(HWND window);
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
BOOL PostThreadMessageA(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam);
void PostQuitMessage(int exit_code);
BOOL GetMessageA(MSG *msg, HWND window, UINT first, UINT last);
BOOL PeekMessageA(MSG *msg, HWND window, UINT first, UINT last, UINT remove);
BOOL TranslateMessage(const MSG *msg);
LRESULT DispatchMessageA(const MSG *msg);
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL wait_all,
                                DWORD ms, DWORD wake_mask);
DWORD GetWindowThreadProcessId(HWND window, DWORD *process_id);

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR template_name, HWND owner,
                        DLGPROC proc, LPARAM init);
BOOL EndDialog(HWND dialog, INT_PTR result);
HWND GetDlgItem(HWND dialog, int id);
int GetDlgCtrlID(HWND control);
LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wparam, LPARAM lparam);
BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL is_signed);
UINT GetDlgItemInt(HWND dialog, int id, BOOL *translated, BOOL is_signed);
BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text);
UINT GetDlgItemTextA(HWND dialog, int id, LPSTR buffer, int size);
int GetWindowTextA(HWND window, LPSTR buffer, int size);
BOOL SetWindowTextA(HWND window, LPCSTR text);
LONG GetWindowLongA(HWND window, int index);
HWND GetParent(HWND window);
HWND GetWindow(HWND window, UINT relation);
#define GW_HWNDNEXT 2
#define GW_CHILD 5
BOOL GetWindowRect(HWND window, RECT *rect);
BOOL MapDialogRect(HWND dialog, RECT *rect);
HWND FindWindowA(LPCSTR class_name, LPCSTR title);
HWND GetFocus(void);
HWND SetFocus(HWND window);
BOOL EnableWindow(HWND window, BOOL enable);
BOOL IsWindowEnabled(HWND window);

int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int size);

int wsprintfA(LPSTR out, LPCSTR format, ...);
int wvsprintfA(LPSTR out, LPCSTR format, va_list args);

#ifdef __cplusplus
}
#endif

#endif
