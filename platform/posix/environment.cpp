/* GetEnvironmentVariableA over the process environment (operations and test
 * knobs such as QV7_SOCK_RECV_TIMEOUT_MS are read through it). */
#include "internal.h"

#include <stdlib.h>
#include <string.h>

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size)
{
    const char *value = name ? getenv(name) : NULL;
    if (!value) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    size_t len = strlen(value);
    if (!buffer || len + 1 > size)
        return (DWORD)(len + 1);
    memcpy(buffer, value, len + 1);
    return (DWORD)len;
}
