#include "durable.h"

/* Opens path for writing only to flush it; others may keep reading and writing. */
static int flush_handle_of(const char *path, DWORD access, DWORD flags)
{
    HANDLE h = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, flags, NULL);
    if (h == NULL || h == INVALID_HANDLE_VALUE)
        return 0;
    BOOL ok = FlushFileBuffers(h);
    DWORD code = GetLastError();
    CloseHandle(h);
    SetLastError(code);
    return ok ? 1 : 0;
}

/* The folder is the path up to its last separator; a name without one lives in
 * the current folder, whose entry the system flushes as ".". Folder flushing is
 * best effort: Windows journals names itself and refuses the call, which is fine. */
int file_flush_durable(const char *path)
{
    if (!flush_handle_of(path, GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL))
        return 0;
    char folder[MAX_PATH];
    int cut = -1;
    int n = lstrlenA(path);
    if (n >= MAX_PATH)
        return 1;
    for (int i = 0; i < n; i++) {
        if (IsDBCSLeadByte((BYTE)path[i]) && path[i + 1]) {
            i++;
            continue;
        }
        if (path[i] == '\\' || path[i] == '/')
            cut = i;
    }
    if (cut < 0)
        lstrcpyA(folder, ".");
    else if (cut == 0)
        lstrcpynA(folder, path, 2);
    else
        lstrcpynA(folder, path, cut + 1);
    flush_handle_of(folder, GENERIC_READ, FILE_FLAG_BACKUP_SEMANTICS);
    SetLastError(0);
    return 1;
}
