/* The diagnostic log "qv7_sock.log" beside the module: one line per call,
 * "time: text[: detail]\r\n", written when log_level >= level. */
#ifndef QV7_SUPPORT_LOG_H
#define QV7_SUPPORT_LOG_H

#include "../platform/win32.h"

/* Writes one line. 1 when written or suppressed by the level; 0 when the log
 * file could not be opened (the line is lost). detail may be null. */
int log_write(const char *text, const char *detail, int level);
/* Writes "Error(label): <first line of the system text for code>" at level 1. */
void log_error(const char *label, DWORD code);

#endif
