/* Heap blocks from the local heap and whole-file reads and writes.
 *
 * Nothing here logs: a caller that sees a failure logs it with its own label
 * and GetLastError. So every failure path keeps the code of the step that
 * failed as the thread's last error, even though it still has to close the
 * file or release the block, which may set codes of their own. */
#include "filebuf.h"

/* An uninitialised fixed block of size bytes, or null (last error set). */
void *mem_alloc(DWORD size)
{
    return (void *)LocalAlloc(LMEM_FIXED, size);
}

/* A fixed block of size zero bytes, or null (last error set). */
void *mem_alloc_zero(DWORD size)
{
    return (void *)LocalAlloc(LMEM_ZEROINIT, size);
}

/* Releases the block *block_ref points to, if any, and nulls the variable, so
 * every exit path may call it. */
void mem_free_ref(void **block_ref)
{
    if (*block_ref != NULL) {
        LocalFree((HLOCAL)*block_ref);
        *block_ref = NULL;
    }
}

/* Closes file and gives back the error that made us give up on it. */
static void close_keeping_error(HANDLE file, DWORD error)
{
    CloseHandle(file);
    SetLastError(error);
}

/* The whole file in a new block, followed by one zero byte; the caller frees
 * it with mem_free. *size_out (if size_out is not null) receives the number of
 * bytes read: the size taken before the read, or less when the file shrank in
 * between, so the block never holds bytes that are not the file's. Null on
 * failure, with *size_out untouched and the failed step's code as last error. */
char *file_read_buf(const char *path, DWORD *size_out)
{
    HANDLE file;
    DWORD size, got = 0, error;
    char *block;

    file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == NULL || file == INVALID_HANDLE_VALUE)
        return NULL;
    size = GetFileSize(file, NULL);
    if (size == INVALID_FILE_SIZE) {
        close_keeping_error(file, GetLastError());
        return NULL;
    }
    block = (char *)mem_alloc(size + 1);
    if (block == NULL) {
        close_keeping_error(file, GetLastError());
        return NULL;
    }
    if (!ReadFile(file, block, size, &got, NULL)) {
        error = GetLastError();
        mem_free(&block);
        close_keeping_error(file, error);
        return NULL;
    }
    CloseHandle(file);
    if (got > size)
        got = size;
    block[got] = 0;
    if (size_out != NULL)
        *size_out = got;
    return block;
}

/* Creates path (or empties it), writes the length bytes of data with one write
 * and flushes. Nobody else can open the file meanwhile. 1 on success; 0 on
 * failure with the failed step's code as last error (a short write counts as
 * a full disk); a file created before the write failed stays as it is. */
int file_write_buf(const char *path, const void *data, DWORD length)
{
    HANDLE file;
    DWORD written = 0;

    file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == NULL || file == INVALID_HANDLE_VALUE)
        return 0;
    if (!WriteFile(file, data, length, &written, NULL)) {
        close_keeping_error(file, GetLastError());
        return 0;
    }
    if (written != length) {
        close_keeping_error(file, ERROR_DISK_FULL);
        return 0;
    }
    FlushFileBuffers(file);
    CloseHandle(file);
    return 1;
}

/* Looks path up without opening it: -1 when nothing is found, 0 for a folder,
 * else the low 32 bits of the file's size. */
int32_t file_size_of(const char *path)
{
    WIN32_FIND_DATAA entry;
    HANDLE find;

    find = FindFirstFileA(path, &entry);
    if (find == INVALID_HANDLE_VALUE)
        return -1;
    FindClose(find);
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return 0;
    return (int32_t)entry.nFileSizeLow;
}

/* Cuts a path to its folder in folder (MAX_PATH bytes). A lead byte of a
 * double-byte character takes the byte after it along untested, so a second
 * byte 0x5C is never mistaken for "\". Returns the folder's length; "" (0)
 * when the path has no separator. */
int path_folder(const char *module_path, char *folder)
{
    const unsigned char *p = (const unsigned char *)module_path;
    int i = 0, last = -1;

    while (p[i] != 0 && i < MAX_PATH - 1) {
        if (IsDBCSLeadByte(p[i])) {
            if (p[i + 1] == 0)
                break; /* a lead byte at the end is no character */
            i += 2;
            continue;
        }
        if (p[i] == '\\' || p[i] == '/')
            last = i;
        i++;
    }
    if (last < 0)
        last = 0;
    memcpy(folder, module_path, (size_t)last);
    folder[last] = 0;
    return last;
}
