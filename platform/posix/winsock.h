/* Winsock 1.1 of our Win32 subset over BSD sockets.
 *
 * The address types (sockaddr_in, in_addr, hostent) and byte-order helpers are
 * the system's own: their layout is Winsock's. The calls whose behaviour differs
 * (socket handles, error codes, fd_set, SIGPIPE) are the layer's, reached under
 * their Winsock names through the macros at the end of this file.
 *
 * Knowing differences from Windows: SOCKET is the descriptor number; an fd_set
 * holds up to FD_SETSIZE sockets of any number (Winsock's layout, not the POSIX
 * bitmap); SO_RCVTIMEO and SO_SNDTIMEO take a DWORD of milliseconds, as on
 * Windows; send never raises SIGPIPE; EINTR is retried inside the layer. */
#ifndef QV7_POSIX_WINSOCK_H
#define QV7_POSIX_WINSOCK_H

#include "kernel.h"
#include <sys/types.h>
#include <sys/socket.h>
#include <sys/select.h>
#include <sys/time.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <arpa/inet.h>
#include <netdb.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uintptr_t SOCKET;
typedef unsigned int u_int;
typedef unsigned short u_short;
typedef unsigned long u_long;

#define INVALID_SOCKET ((SOCKET)(~(SOCKET)0))
#define SOCKET_ERROR (-1)
#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2
#ifndef MAKEWORD
#define MAKEWORD(a, b) ((WORD)(((BYTE)(a)) | ((WORD)((BYTE)(b))) << 8))
#endif

#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAENOTSOCK 10038
#define WSAEMSGSIZE 10040
#define WSAEPROTONOSUPPORT 10043
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAEHOSTUNREACH 10065
#define WSASYSNOTREADY 10091
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093
#define WSAHOST_NOT_FOUND 11001
#define WSATRY_AGAIN 11002
#define WSANO_RECOVERY 11003
#define WSANO_DATA 11004

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128
typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char *lpVendorInfo;
} WSADATA;

/* Winsock's fd_set: a count and an array of sockets. */
#undef FD_SETSIZE
#undef FD_ZERO
#undef FD_SET
#undef FD_CLR
#undef FD_ISSET
#define FD_SETSIZE 64
typedef struct qv7_fd_set {
    u_int fd_count;
    SOCKET fd_array[FD_SETSIZE];
} qv7_fd_set;
int qv7_fd_isset(SOCKET s, qv7_fd_set *set);
#define FD_ZERO(set) (((qv7_fd_set *)(set))->fd_count = 0)
#define FD_SET(s, set)                                                              \
    do {                                                                            \
        qv7_fd_set *qv7_set_ = (qv7_fd_set *)(set);                                 \
        if (!qv7_fd_isset((s), qv7_set_) && qv7_set_->fd_count < FD_SETSIZE)        \
            qv7_set_->fd_array[qv7_set_->fd_count++] = (s);                         \
    } while (0)
#define FD_ISSET(s, set) qv7_fd_isset((s), (qv7_fd_set *)(set))

int qv7_WSAStartup(WORD version, WSADATA *data);
int qv7_WSACleanup(void);
int qv7_WSAGetLastError(void);
void qv7_WSASetLastError(int code);
SOCKET qv7_socket(int family, int type, int protocol);
int qv7_bind(SOCKET s, const struct sockaddr *addr, int len);
int qv7_listen(SOCKET s, int backlog);
SOCKET qv7_accept(SOCKET s, struct sockaddr *addr, int *len);
int qv7_connect(SOCKET s, const struct sockaddr *addr, int len);
int qv7_send(SOCKET s, const char *buf, int len, int flags);
int qv7_recv(SOCKET s, char *buf, int len, int flags);
int qv7_select(int nfds, qv7_fd_set *readfds, qv7_fd_set *writefds, qv7_fd_set *exceptfds,
               const struct timeval *timeout);
int qv7_shutdown(SOCKET s, int how);
int qv7_closesocket(SOCKET s);
int qv7_setsockopt(SOCKET s, int level, int name, const char *value, int len);
int qv7_getsockname(SOCKET s, struct sockaddr *addr, int *len);
struct hostent *qv7_gethostbyname(const char *name);
int qv7_gethostname(char *name, int len);
unsigned long qv7_inet_addr(const char *text);

#ifdef __cplusplus
}
#endif

/* The Winsock names, as the code spells them. The layer's own sources define
 * QV7_LAYER_IMPL so that they still reach the BSD calls. */
#ifndef QV7_LAYER_IMPL
#define fd_set qv7_fd_set
#define WSAStartup qv7_WSAStartup
#define WSACleanup qv7_WSACleanup
#define WSAGetLastError qv7_WSAGetLastError
#define WSASetLastError qv7_WSASetLastError
#define socket(f, t, p) qv7_socket(f, t, p)
#define bind(s, a, l) qv7_bind(s, a, l)
#define listen qv7_listen
#define accept qv7_accept
#define connect qv7_connect
#define send qv7_send
#define recv qv7_recv
#define select qv7_select
#define shutdown qv7_shutdown
#define closesocket qv7_closesocket
#define setsockopt qv7_setsockopt
#define getsockname qv7_getsockname
#define gethostbyname qv7_gethostbyname
#define gethostname qv7_gethostname
#define inet_addr qv7_inet_addr
#endif

#endif
