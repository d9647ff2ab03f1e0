#include "durable.h"
#include "filebuf.h"

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
 * the current folder ("."), one right after a leading separator in the root.
 * Folder flushing is best effort: Windows journals names itself and refuses
 * the call, which is fine. */
int file_flush_durable(const char *path)
{
    if (!flush_handle_of(path, GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL))
        return 0;
    char folder[MAX_PATH];
    if (lstrlenA(path) >= MAX_PATH)
        return 1;
    if (path_folder(path, folder) == 0)
        lstrcpyA(folder, path[0] == '\\' || path[0] == '/' ? "\\" : ".");
    flush_handle_of(folder, GENERIC_READ, FILE_FLAG_BACKUP_SEMANTICS);
    SetLastError(0);
    return 1;
}
