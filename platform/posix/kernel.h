/* Base services of our Win32 subset over POSIX: types, last-error, files with
 * share modes, find, copy/delete/create-directory, local heap, INI profile
 * functions, time and date formatting, message texts, modules, strings and the
 * ANSI code page.
 *
 * Knowing differences from Windows:
 * - The ANSI code page is 932 when the locale's codeset is Shift_JIS/CP932 or
 *   QV7_ACP=932 is set, else 65001 (UTF-8). Only these two exist.
 * - Paths accept "\" and "/" alike; a leading drive "X:" is dropped ("Z:" is the
 *   whole Linux tree, as under Wine). Names compare case-sensitively, except
 *   FindFirstFileA's pattern match, which ignores letter case as Windows does.
 * - Share modes are enforced between every opener that goes through this layer,
 *   in this process and across processes (a lock file protocol, see kernel.cpp).
 * - FILE_ATTRIBUTE_READONLY is kept by the layer itself (tests run as root). */
#ifndef QV7_POSIX_KERNEL_H
#define QV7_POSIX_KERNEL_H

#include <stdint.h>
#include <stddef.h>
#include <string.h>
#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int INT;
typedef char CHAR;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef DWORD *LPDWORD;
typedef void *HANDLE;
typedef HANDLE HLOCAL;
typedef struct qv7_module *HMODULE;
typedef HMODULE HINSTANCE;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t UINT_PTR;
typedef uintptr_t DWORD_PTR;
typedef intptr_t INT_PTR;
typedef size_t SIZE_T;
typedef DWORD LCID;
typedef intptr_t (*FARPROC)(void);

#define WINAPI
#define WINAPIV
#define CALLBACK
#define APIENTRY
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define MAX_PATH 260

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1
#define FILE_SHARE_WRITE 0x2
#define FILE_SHARE_DELETE 0x4
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x1
#define FILE_ATTRIBUTE_HIDDEN 0x2
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_ARCHIVE 0x20
#define FILE_ATTRIBUTE_NORMAL 0x80
/* Opens a folder (GENERIC_READ, OPEN_EXISTING) for FlushFileBuffers, which then
 * makes the folder's entries durable (fsync of the folder). */
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2

#define ERROR_SUCCESS 0
#define NO_ERROR 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_OUTOFMEMORY 14
#define ERROR_NO_MORE_FILES 18
#define ERROR_WRITE_PROTECT 19
#define ERROR_NOT_READY 21
#define ERROR_WRITE_FAULT 29
#define ERROR_READ_FAULT 30
#define ERROR_GEN_FAILURE 31
#define ERROR_SHARING_VIOLATION 32
#define ERROR_LOCK_VIOLATION 33
#define ERROR_HANDLE_EOF 38
#define ERROR_HANDLE_DISK_FULL 39
#define ERROR_NOT_SUPPORTED 50
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_BROKEN_PIPE 109
#define ERROR_DISK_FULL 112
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_INVALID_NAME 123
#define ERROR_MOD_NOT_FOUND 126
#define ERROR_PROC_NOT_FOUND 127
#define ERROR_DIR_NOT_EMPTY 145
#define ERROR_BAD_PATHNAME 161
#define ERROR_ALREADY_EXISTS 183
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_DIRECTORY 267
#define ERROR_NO_UNICODE_TRANSLATION 1113
#define ERROR_DLL_INIT_FAILED 1114
#define ERROR_INVALID_WINDOW_HANDLE 1400
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813
#define ERROR_TIMEOUT 1460
#define ERROR_ENVVAR_NOT_FOUND 203

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x1000

#define LMEM_FIXED 0x0
#define LMEM_ZEROINIT 0x40
#define LPTR 0x40

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define LOCALE_USER_DEFAULT 0x400
#define LOCALE_SYSTEM_DEFAULT 0x800

#define CTRL_C_EVENT 0
#define CTRL_BREAK_EVENT 1
#define CTRL_CLOSE_EVENT 2

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0
#define WAIT_TIMEOUT 258
#define WAIT_FAILED 0xFFFFFFFFu

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;

typedef struct _WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED OVERLAPPED; /* never used: always pass null */

typedef BOOL (WINAPI *PHANDLER_ROUTINE)(DWORD ctrl_type);

/* last error (thread-local) */
DWORD GetLastError(void);
void SetLastError(DWORD code);

/* files */
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, SECURITY_ATTRIBUTES *sa,
                   DWORD disposition, DWORD flags, HANDLE template_file);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read, OVERLAPPED *ov);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written, OVERLAPPED *ov);
BOOL FlushFileBuffers(HANDLE file);
BOOL CloseHandle(HANDLE object);
DWORD GetFileSize(HANDLE file, LPDWORD high);
DWORD SetFilePointer(HANDLE file, LONG distance, LONG *distance_high, DWORD method);
BOOL DeleteFileA(LPCSTR path);
BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL fail_if_exists);
BOOL MoveFileA(LPCSTR from, LPCSTR to);
BOOL CreateDirectoryA(LPCSTR path, SECURITY_ATTRIBUTES *sa);
BOOL RemoveDirectoryA(LPCSTR path);
DWORD GetFileAttributesA(LPCSTR path);
BOOL SetFileAttributesA(LPCSTR path, DWORD attributes);
HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA *entry);
BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA *entry);
BOOL FindClose(HANDLE find);
DWORD GetTempPathA(DWORD size, LPSTR buffer);

/* local heap */
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL block);

/* INI profile functions */
UINT GetPrivateProfileIntA(LPCSTR section, LPCSTR key, INT def, LPCSTR file);
DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR def, LPSTR out,
                               DWORD size, LPCSTR file);
BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR file);

/* time */
void GetLocalTime(SYSTEMTIME *st);
void GetSystemTime(SYSTEMTIME *st);
DWORD GetTickCount(void);
void Sleep(DWORD ms);
int GetDateFormatA(LCID locale, DWORD flags, const SYSTEMTIME *st, LPCSTR picture,
                   LPSTR out, int size);
int GetTimeFormatA(LCID locale, DWORD flags, const SYSTEMTIME *st, LPCSTR picture,
                   LPSTR out, int size);

/* message texts */
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPSTR buffer,
                     DWORD size, va_list *args);

/* modules: LoadLibraryA runs the module's exported DllMain(process attach) and
 * fails with ERROR_DLL_INIT_FAILED when it returns false. */
HMODULE LoadLibraryA(LPCSTR path);
BOOL FreeLibrary(HMODULE module);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
HMODULE GetModuleHandleA(LPCSTR name);
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);

/* processes and threads */
DWORD GetCurrentThreadId(void);
DWORD GetCurrentProcessId(void);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
/* The variable's value into buffer; its length, or the size needed (with the
 * terminator) when buffer is too small, or 0 (ERROR_ENVVAR_NOT_FOUND). */
DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);

/* strings and code page */
int lstrlenA(LPCSTR s);
LPSTR lstrcpyA(LPSTR to, LPCSTR from);
LPSTR lstrcpynA(LPSTR to, LPCSTR from, int max);
LPSTR lstrcatA(LPSTR to, LPCSTR from);
int lstrcmpA(LPCSTR a, LPCSTR b);
int lstrcmpiA(LPCSTR a, LPCSTR b);
UINT GetACP(void);
BOOL IsDBCSLeadByte(BYTE c);

#ifdef __cplusplus
}
#endif

#endif
