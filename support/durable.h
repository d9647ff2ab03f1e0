/* Making a stored file survive a power cut before anyone is told it is there:
 * the file's bytes and, on systems that need it, the folder entry that names it. */
#ifndef QV7_SUPPORT_DURABLE_H
#define QV7_SUPPORT_DURABLE_H

#include "../platform/win32.h"

/* Flushes the file at path and the folder that holds it to the storage device.
 * 1 when the file could be flushed; 0 with the system's code as last error. */
int file_flush_durable(const char *path);

#endif
