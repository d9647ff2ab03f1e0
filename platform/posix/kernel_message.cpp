/* FormatMessageA with FORMAT_MESSAGE_FROM_SYSTEM: an English text, ending in
 * CR LF, for every Win32 code the layer produces and every Winsock code of
 * winsock.h.
 *
 * Knowing differences from Windows: the texts are our own wording; only the
 * system table exists (no message source, no inserts, no allocation flag);
 * the language argument is ignored. */
#include "internal.h"
#include "winsock.h"

struct message_text {
    DWORD code;
    const char *text;
};

static const struct message_text messages[] = {
    {ERROR_SUCCESS, "The operation succeeded."},
    {ERROR_INVALID_FUNCTION, "The function is not valid here."},
    {ERROR_FILE_NOT_FOUND, "The file could not be found."},
    {ERROR_PATH_NOT_FOUND, "The path could not be found."},
    {ERROR_TOO_MANY_OPEN_FILES, "The file could not be opened: too many files are open."},
    {ERROR_ACCESS_DENIED, "Access was denied."},
    {ERROR_INVALID_HANDLE, "The handle is not valid."},
    {ERROR_NOT_ENOUGH_MEMORY, "There is not enough memory to carry out this command."},
    {ERROR_OUTOFMEMORY, "There is not enough memory to finish this operation."},
    {ERROR_NO_MORE_FILES, "No more files are left."},
    {ERROR_WRITE_PROTECT, "The medium is write-protected."},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_WRITE_FAULT, "The device cannot be written to."},
    {ERROR_READ_FAULT, "The device cannot be read from."},
    {QV7_ERROR_GEN_FAILURE, "A device of the system is not working."},
    {ERROR_SHARING_VIOLATION, "The file is in use by another process and cannot be accessed."},
    {ERROR_LOCK_VIOLATION, "Part of the file is locked by another process and cannot be accessed."},
    {ERROR_HANDLE_EOF, "The end of the file was reached."},
    {ERROR_HANDLE_DISK_FULL, "The disk is full."},
    {ERROR_NOT_SUPPORTED, "This request is not supported."},
    {ERROR_FILE_EXISTS, "The file already exists."},
    {ERROR_INVALID_PARAMETER, "A parameter is not correct."},
    {ERROR_BROKEN_PIPE, "The pipe was closed."},
    {ERROR_DISK_FULL, "The disk has not enough free space."},
    {ERROR_INSUFFICIENT_BUFFER, "The buffer given to a system call is too small."},
    {ERROR_INVALID_NAME, "The file name, folder name or volume label is not valid."},
    {ERROR_MOD_NOT_FOUND, "The module could not be found."},
    {ERROR_PROC_NOT_FOUND, "The procedure could not be found."},
    {131, "The file pointer cannot be moved before the start of the file."},
    {ERROR_DIR_NOT_EMPTY, "The folder is not empty."},
    {ERROR_BAD_PATHNAME, "The path is not valid."},
    {ERROR_ALREADY_EXISTS, "The file cannot be created because it already exists."},
    {203, "The environment variable could not be found."},
    {ERROR_FILENAME_EXCED_RANGE, "The file name or extension is too long."},
    {ERROR_DIRECTORY, "The folder name is not valid."},
    {QV7_ERROR_MR_MID_NOT_FOUND, "No message text exists for this message number."},
    {ERROR_NO_UNICODE_TRANSLATION, "A character has no mapping in the target code page."},
    {ERROR_DLL_INIT_FAILED, "The initialization routine of a module (DLL) failed."},
    {ERROR_INVALID_WINDOW_HANDLE, "The window handle is not valid."},
    {1407, "The window class could not be found."},
    {1410, "The window class already exists."},
    {1413, "The index is not valid."},
    {1421, "No control with this ID exists in the dialog."},
    {1444, "The thread ID is not valid."},
    {ERROR_TIMEOUT, "The operation ended because its time-out expired."},
    {ERROR_RESOURCE_TYPE_NOT_FOUND, "The resource type could not be found in the module."},
    {ERROR_RESOURCE_NAME_NOT_FOUND, "The resource name could not be found in the module."},
    {WSAEINTR, "A blocking call was interrupted."},
    {WSAEBADF, "The file handle given is not valid."},
    {WSAEACCES, "Access to the socket was refused by its permissions."},
    {WSAEFAULT, "A pointer argument of the call is not a valid address."},
    {WSAEINVAL, "An argument of the call is not valid."},
    {WSAEMFILE, "Too many sockets are open."},
    {WSAEWOULDBLOCK, "The non-blocking socket operation cannot be finished at once."},
    {WSAEINPROGRESS, "A blocking operation is already in progress."},
    {WSAENOTSOCK, "The operation was tried on something that is not a socket."},
    {WSAEMSGSIZE, "The message was larger than the buffer that receives it, or than the protocol allows."},
    {WSAEPROTONOSUPPORT, "The protocol is not supported or not configured."},
    {WSAEAFNOSUPPORT, "The address family is not supported by the protocol."},
    {WSAEADDRINUSE, "The socket address (protocol, address and port) is already in use."},
    {WSAEADDRNOTAVAIL, "The requested address is not valid in this context."},
    {WSAENETDOWN, "The network is down."},
    {WSAENETUNREACH, "The network cannot be reached."},
    {WSAECONNABORTED, "The connection was aborted by software on this host."},
    {WSAECONNRESET, "The connection was reset by the remote host."},
    {WSAENOBUFS, "No buffer space is left for the socket operation."},
    {WSAENOTCONN, "The socket is not connected."},
    {WSAESHUTDOWN, "The socket was already shut down in that direction."},
    {WSAETIMEDOUT, "The connection attempt timed out: the remote host did not answer in time."},
    {WSAECONNREFUSED, "The connection was refused by the remote host."},
    {WSAEHOSTUNREACH, "No route to the remote host exists."},
    {WSASYSNOTREADY, "The network subsystem is not ready."},
    {WSAVERNOTSUPPORTED, "The requested version of Windows Sockets is not supported."},
    {WSANOTINITIALISED, "Windows Sockets has not been started (WSAStartup)."},
    {WSAHOST_NOT_FOUND, "The host is not known."},
    {WSATRY_AGAIN, "The host name could not be resolved for now; try again later."},
    {WSANO_RECOVERY, "A name server failure that cannot be recovered occurred."},
    {WSANO_DATA, "The name is valid but has no data record of the requested type."},
};

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPSTR buffer,
                     DWORD size, va_list *args)
{
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    for (size_t i = 0; i < sizeof messages / sizeof messages[0]; i++) {
        if (messages[i].code != id)
            continue;
        size_t n = strlen(messages[i].text);
        if (n + 3 > size) { /* text, CR LF and the terminator must fit */
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        memcpy(buffer, messages[i].text, n);
        memcpy(buffer + n, "\r\n", 3);
        return (DWORD)(n + 2);
    }
    SetLastError(QV7_ERROR_MR_MID_NOT_FOUND);
    return 0;
}
