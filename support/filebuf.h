/* Heap blocks and whole-file reads and writes. None of these log; callers log
 * a failure with the label of the operation and GetLastError. */
#ifndef QV7_SUPPORT_FILEBUF_H
#define QV7_SUPPORT_FILEBUF_H

#include "../platform/win32.h"

/* An uninitialised block of size bytes from the local heap, or null. */
void *mem_alloc(DWORD size);
/* A block of size zero bytes, or null. */
void *mem_alloc_zero(DWORD size);
/* Releases the block that *block_ref points to, if any, and nulls the variable.
 * Takes the address of any pointer variable. */
void mem_free_ref(void **block_ref);
#define mem_free(ref) mem_free_ref((void **)(ref))

/* The file's bytes followed by one zero byte, in a block the caller frees with
 * mem_free; the size through size_out (may be null). Null on failure, with
 * size_out untouched and the failed step's code as the last error. */
char *file_read_buf(const char *path, DWORD *size_out);
/* Creates or empties path, writes length bytes and flushes. 1 or 0. */
int file_write_buf(const char *path, const void *data, DWORD length);
/* -1 when nothing is found, 0 for a folder, else the size (low 32 bits). */
int32_t file_size_of(const char *path);

/* Cuts a path to its folder in folder (MAX_PATH bytes): up to the last "\" or
 * "/" that is not the second byte of a double-byte character, never ending in a
 * separator; "" when there is none. Returns the folder's length. */
int path_folder(const char *path, char *folder);

#endif
