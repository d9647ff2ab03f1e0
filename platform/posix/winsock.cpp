/* Winsock 1.1 over BSD sockets: WSAStartup, WSACleanup, WSAGetLastError,
 * WSASetLastError, socket, bind, listen, accept, connect, send, recv, select,
 * shutdown, closesocket, setsockopt, getsockname, gethostbyname, gethostname,
 * inet_addr.
 *
 * Every failing call leaves a Winsock code (100xx/110xx), mapped from errno, in
 * the thread's Winsock error and in its last error, which share one value on
 * Windows. Each fallible call first asks the fault table whether it must fail.
 *
 * Where it knowingly differs from Windows:
 * - The Winsock error is kept apart from the last error: a later call of the
 *   base services that changes GetLastError leaves WSAGetLastError alone.
 * - SOCKET is the descriptor number; descriptors are opened close-on-exec (a
 *   child process never keeps the plug-in's listening port).
 * - send on a blocking socket loops until every byte is handed over, never
 *   raises SIGPIPE, and reports a failure after a partial send as a failure.
 * - select waits with poll(), so any descriptor number works; nfds is ignored;
 *   a descriptor that is open but no socket is not refused.
 * - An expired SO_RCVTIMEO/SO_SNDTIMEO reports WSAETIMEDOUT; Linux also applies
 *   SO_RCVTIMEO to accept and SO_SNDTIMEO to connect, Windows does not.
 * - Shutdown state (for WSAESHUTDOWN) and "was connected" (WSAENOTCONN versus
 *   WSAECONNRESET after EPIPE) are tracked for descriptors below 65536 only;
 *   above that an EPIPE reports WSAECONNRESET.
 * - bind sets SO_REUSEADDR on TCP sockets, so that a port held only by
 *   connections in TIME_WAIT can be bound again, as on Windows.
 * - listen asks for a queue of at least SOMAXCONN pending connections:
 *   where Windows refuses connections beyond a full queue, Linux would leave
 *   them hanging unaccepted.
 * - inet_addr cannot tell "255.255.255.255" from a failure (both 0xFFFFFFFF),
 *   exactly as on Windows. */
#include "winsock.h"
#include "fault.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#define WSA_EALREADY 10037
#define WSA_EDESTADDRREQ 10039
#define WSA_EPROTOTYPE 10041
#define WSA_ENOPROTOOPT 10042
#define WSA_ESOCKTNOSUPPORT 10044
#define WSA_EOPNOTSUPP 10045
#define WSA_EPFNOSUPPORT 10046
#define WSA_ENETRESET 10052
#define WSA_EISCONN 10056
#define WSA_EHOSTDOWN 10064

/* The layer implements Winsock 1.1; it is also the highest it offers. */
#define QV7_WSA_VERSION MAKEWORD(1, 1)

static thread_local int t_wsa_error;
static int g_startups;

/* Per-descriptor state that BSD sockets do not report back. */
#define SOCK_SHUT_SEND 0x1
#define SOCK_SHUT_RECV 0x2
#define SOCK_CONNECTED 0x4
#define SOCK_TABLE_SIZE 65536
static unsigned char g_sock_flags[SOCK_TABLE_SIZE];

static void sock_flags_reset(int fd, unsigned char value)
{
    if (fd >= 0 && fd < SOCK_TABLE_SIZE)
        __atomic_store_n(&g_sock_flags[fd], value, __ATOMIC_RELAXED);
}

static void sock_flags_add(int fd, unsigned char bits)
{
    if (fd >= 0 && fd < SOCK_TABLE_SIZE)
        __atomic_fetch_or(&g_sock_flags[fd], bits, __ATOMIC_RELAXED);
}

/* The flags of fd; SOCK_CONNECTED alone for descriptors beyond the table. */
static unsigned char sock_flags(int fd)
{
    if (fd >= 0 && fd < SOCK_TABLE_SIZE)
        return __atomic_load_n(&g_sock_flags[fd], __ATOMIC_RELAXED);
    return SOCK_CONNECTED;
}

/* Sets the Winsock error and the last error to code. Returns SOCKET_ERROR so
 * that callers can `return wsa_fail(...)`. */
static int wsa_fail(int code)
{
    t_wsa_error = code;
    SetLastError((DWORD)code);
    return SOCKET_ERROR;
}

/* A fault rule fired: it has set the last error; the Winsock error follows. */
static int fault_fail(void)
{
    return wsa_fail((int)GetLastError());
}

/* The Winsock code for an errno value. */
static int wsa_code_from_errno(int e)
{
    switch (e) {
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES: case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSA_EALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSA_EDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSA_EPROTOTYPE;
    case ENOPROTOOPT: return WSA_ENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSA_ESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSA_EOPNOTSUPP;
    case EPFNOSUPPORT: return WSA_EPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSA_ENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: case EPIPE: return WSAECONNRESET;
    case ENOBUFS: case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSA_EISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTDOWN: return WSA_EHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return WSAEINVAL;
    }
}

/* Fails with the Winsock code of errno e. Returns SOCKET_ERROR. */
static int errno_fail(int e)
{
    return wsa_fail(wsa_code_from_errno(e));
}

/* Fails a transfer call on fd after errno e: EAGAIN on a blocking socket is
 * an expired SO_RCVTIMEO/SO_SNDTIMEO (Windows: WSAETIMEDOUT); EPIPE is a
 * send after our own shutdown, on a never connected socket, or on a broken
 * connection. Returns SOCKET_ERROR. */
static int io_fail(int fd, int e)
{
    if (e == EAGAIN || e == EWOULDBLOCK || e == EINPROGRESS) {
        int fl = fcntl(fd, F_GETFL);
        if (fl >= 0 && !(fl & O_NONBLOCK))
            return wsa_fail(WSAETIMEDOUT);
    }
    if (e == EPIPE) {
        unsigned char f = sock_flags(fd);
        if (f & SOCK_SHUT_SEND)
            return wsa_fail(WSAESHUTDOWN);
        if (!(f & SOCK_CONNECTED))
            return wsa_fail(WSAENOTCONN);
    }
    return errno_fail(e);
}

/* 1 when WSAStartup has been called more often than WSACleanup; else sets
 * WSANOTINITIALISED and returns 0. */
static int wsa_ready(void)
{
    if (__atomic_load_n(&g_startups, __ATOMIC_ACQUIRE) > 0)
        return 1;
    wsa_fail(WSANOTINITIALISED);
    return 0;
}

/* The descriptor of s in *fd: 1, or 0 with WSAENOTSOCK for a value that can be
 * no descriptor (INVALID_SOCKET among them). */
static int sock_fd(SOCKET s, int *fd)
{
    if (s > (SOCKET)INT_MAX) {
        wsa_fail(WSAENOTSOCK);
        return 0;
    }
    *fd = (int)s;
    return 1;
}

/* Common entry of the socket calls: fault rule, start-up, descriptor.
 * Returns 1 with *fd set, or 0 with the Winsock error set. */
static int sock_enter(const char *fault_name, SOCKET s, int *fd)
{
    if (fault_name && qv7_fault_hit(fault_name)) {
        fault_fail();
        return 0;
    }
    return wsa_ready() && sock_fd(s, fd);
}

int qv7_WSAStartup(WORD version, WSADATA *data)
{
    if (qv7_fault_hit("WSAStartup")) {
        fault_fail();
        return t_wsa_error;
    }
    if (!data) {
        wsa_fail(WSAEFAULT);
        return WSAEFAULT;
    }
    BYTE major = (BYTE)(version & 0xFF), minor = (BYTE)(version >> 8);
    memset(data, 0, sizeof *data);
    data->wHighVersion = QV7_WSA_VERSION;
    data->wVersion = QV7_WSA_VERSION;
    snprintf(data->szDescription, sizeof data->szDescription, "qv7 Winsock 1.1 over BSD sockets");
    snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
    data->iMaxSockets = 32767;
    data->iMaxUdpDg = 65467;
    /* Versions 1.0 and 1.1 get what they ask for, later ones 1.1. */
    if (major == 1 && minor == 0)
        data->wVersion = MAKEWORD(1, 0);
    if (major < 1) {
        wsa_fail(WSAVERNOTSUPPORTED);
        return WSAVERNOTSUPPORTED;
    }
    __atomic_fetch_add(&g_startups, 1, __ATOMIC_ACQ_REL);
    return 0;
}

int qv7_WSACleanup(void)
{
    int n = __atomic_load_n(&g_startups, __ATOMIC_ACQUIRE);
    while (n > 0 && !__atomic_compare_exchange_n(&g_startups, &n, n - 1, 0, __ATOMIC_ACQ_REL,
                                                 __ATOMIC_ACQUIRE)) {
    }
    if (n <= 0)
        return wsa_fail(WSANOTINITIALISED);
    return 0;
}

int qv7_WSAGetLastError(void)
{
    return t_wsa_error;
}

void qv7_WSASetLastError(int code)
{
    t_wsa_error = code;
    SetLastError((DWORD)code);
}

SOCKET qv7_socket(int family, int type, int protocol)
{
    if (qv7_fault_hit("socket")) {
        fault_fail();
        return INVALID_SOCKET;
    }
    if (!wsa_ready())
        return INVALID_SOCKET;
    int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        errno_fail(errno);
        return INVALID_SOCKET;
    }
    sock_flags_reset(fd, 0);
    return (SOCKET)fd;
}

int qv7_bind(SOCKET s, const struct sockaddr *addr, int len)
{
    int fd;
    if (!sock_enter("bind", s, &fd))
        return SOCKET_ERROR;
    if (!addr || len < (int)sizeof(struct sockaddr_in))
        return wsa_fail(WSAEFAULT);
    /* Windows binds a TCP port whose earlier connections still linger in
     * TIME_WAIT; Linux refuses that unless SO_REUSEADDR is set, which still
     * refuses a port that another socket listens on. Without it a collector
     * that was killed could not listen again for a minute. */
    int type = 0, on = 1;
    socklen_t type_len = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_len) == 0 && type == SOCK_STREAM)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, addr, (socklen_t)len) != 0)
        return errno_fail(errno);
    return 0;
}

int qv7_listen(SOCKET s, int backlog)
{
    int fd;
    if (!sock_enter("listen", s, &fd))
        return SOCKET_ERROR;
    /* Linux binds an unbound socket to a random port here; Windows refuses. */
    struct sockaddr_in self;
    socklen_t self_len = sizeof self;
    if (::getsockname(fd, (struct sockaddr *)&self, &self_len) == 0 &&
        self.sin_family == AF_INET && self.sin_port == 0)
        return wsa_fail(WSAEINVAL);
    /* Windows refuses a connection that finds the queue full, so the client
     * learns at once; Linux ignores it and leaves the client connected on its
     * side but never accepted, waiting for a greeting that never comes. With
     * the small queues servers ask for, a burst of stations would hang until
     * their time-out; the queue is made as long as the system allows. */
    if (backlog < SOMAXCONN)
        backlog = SOMAXCONN;
    if (::listen(fd, backlog) != 0)
        return errno_fail(errno);
    return 0;
}

SOCKET qv7_accept(SOCKET s, struct sockaddr *addr, int *len)
{
    int fd;
    if (!sock_enter("accept", s, &fd))
        return INVALID_SOCKET;
    if (addr && (!len || *len < (int)sizeof(struct sockaddr_in))) {
        wsa_fail(WSAEFAULT);
        return INVALID_SOCKET;
    }
    socklen_t sl = addr ? (socklen_t)*len : 0;
    int c;
    do
        c = ::accept4(fd, addr, addr ? &sl : NULL, SOCK_CLOEXEC);
    while (c < 0 && errno == EINTR);
    if (c < 0) {
        io_fail(fd, errno);
        return INVALID_SOCKET;
    }
    sock_flags_reset(c, SOCK_CONNECTED);
    if (addr)
        *len = (int)sl;
    return (SOCKET)c;
}

/* After a connect interrupted by a signal the kernel goes on connecting:
 * wait until it is done and fetch its outcome. Returns 0 or SOCKET_ERROR. */
static int connect_finish(int fd)
{
    struct pollfd p = {fd, POLLOUT, 0};
    int rc;
    do
        rc = poll(&p, 1, -1);
    while (rc < 0 && errno == EINTR);
    if (rc < 0)
        return errno_fail(errno);
    int err = 0;
    socklen_t el = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &el) != 0)
        return errno_fail(errno);
    if (err != 0)
        return io_fail(fd, err);
    return 0;
}

int qv7_connect(SOCKET s, const struct sockaddr *addr, int len)
{
    int fd;
    if (!sock_enter("connect", s, &fd))
        return SOCKET_ERROR;
    if (!addr || len < (int)sizeof(struct sockaddr_in))
        return wsa_fail(WSAEFAULT);
    if (::connect(fd, addr, (socklen_t)len) != 0) {
        if (errno != EINTR)
            return io_fail(fd, errno);
        if (connect_finish(fd) != 0)
            return SOCKET_ERROR;
    }
    sock_flags_add(fd, SOCK_CONNECTED);
    return 0;
}

int qv7_send(SOCKET s, const char *buf, int len, int flags)
{
    int fd;
    if (!sock_enter("send", s, &fd))
        return SOCKET_ERROR;
    if (len < 0 || (!buf && len > 0))
        return wsa_fail(WSAEFAULT);
    if (sock_flags(fd) & SOCK_SHUT_SEND)
        return wsa_fail(WSAESHUTDOWN);
    /* A blocking send hands over everything: the kernel may return early
     * after a signal or a send time-out, so go on from where it stopped. */
    size_t done = 0;
    do {
        ssize_t n = ::send(fd, buf + done, (size_t)len - done, flags | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return io_fail(fd, errno);
        }
        done += (size_t)n;
    } while (done < (size_t)len);
    return len;
}

int qv7_recv(SOCKET s, char *buf, int len, int flags)
{
    int fd;
    if (!sock_enter("recv", s, &fd))
        return SOCKET_ERROR;
    if (len < 0 || (!buf && len > 0))
        return wsa_fail(WSAEFAULT);
    if (sock_flags(fd) & SOCK_SHUT_RECV)
        return wsa_fail(WSAESHUTDOWN);
    ssize_t n;
    do
        n = ::recv(fd, buf, (size_t)len, flags);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return io_fail(fd, errno);
    return (int)n;
}

/* Adds the members of set to the poll list with the events wanted, and keeps
 * in where[] the poll entry of each member. Returns 1, or 0 with the Winsock
 * error set for a malformed set. */
static int select_gather(qv7_fd_set *set, short events, struct pollfd *pfd, int *n,
                         int *where)
{
    if (!set)
        return 1;
    if (set->fd_count > FD_SETSIZE) {
        wsa_fail(WSAEINVAL);
        return 0;
    }
    for (u_int i = 0; i < set->fd_count; i++) {
        int fd;
        if (!sock_fd(set->fd_array[i], &fd))
            return 0;
        int k = 0;
        while (k < *n && pfd[k].fd != fd)
            k++;
        if (k == *n) {
            pfd[k].fd = fd;
            pfd[k].events = 0;
            pfd[k].revents = 0;
            (*n)++;
        }
        pfd[k].events |= events;
        where[i] = k;
    }
    return 1;
}

/* Keeps in set only the members whose poll entry shows one of the events in
 * ready. Returns how many stay. */
static int select_keep(qv7_fd_set *set, short ready, const struct pollfd *pfd, const int *where)
{
    if (!set)
        return 0;
    u_int kept = 0;
    for (u_int i = 0; i < set->fd_count; i++)
        if (pfd[where[i]].revents & ready)
            set->fd_array[kept++] = set->fd_array[i];
    set->fd_count = kept;
    return (int)kept;
}

/* The time left until deadline, never negative. */
static struct timespec time_left(const struct timespec *deadline)
{
    struct timespec now, left;
    clock_gettime(CLOCK_MONOTONIC, &now);
    left.tv_sec = deadline->tv_sec - now.tv_sec;
    left.tv_nsec = deadline->tv_nsec - now.tv_nsec;
    if (left.tv_nsec < 0) {
        left.tv_nsec += 1000000000L;
        left.tv_sec--;
    }
    if (left.tv_sec < 0)
        left.tv_sec = left.tv_nsec = 0;
    return left;
}

/* poll() with an absolute deadline (null: none), retried after signals
 * without ever waiting longer than the deadline. Returns poll's result. */
static int poll_until(struct pollfd *pfd, int n, const struct timespec *deadline)
{
    for (;;) {
        struct timespec left;
        if (deadline)
            left = time_left(deadline);
        int rc = ppoll(pfd, (nfds_t)n, deadline ? &left : NULL, NULL);
        if (rc >= 0 || errno != EINTR)
            return rc;
    }
}

int qv7_select(int nfds, qv7_fd_set *readfds, qv7_fd_set *writefds, qv7_fd_set *exceptfds,
               const struct timeval *timeout)
{
    if (qv7_fault_hit("select"))
        return fault_fail();
    if (!wsa_ready())
        return SOCKET_ERROR;
    struct pollfd pfd[3 * FD_SETSIZE];
    int where_r[FD_SETSIZE], where_w[FD_SETSIZE], where_e[FD_SETSIZE];
    int n = 0;
    if (!select_gather(readfds, POLLIN, pfd, &n, where_r) ||
        !select_gather(writefds, POLLOUT, pfd, &n, where_w) ||
        !select_gather(exceptfds, POLLPRI, pfd, &n, where_e))
        return SOCKET_ERROR;
    if (n == 0)
        return wsa_fail(WSAEINVAL);
    struct timespec deadline;
    if (timeout) {
        if (timeout->tv_sec < 0 || timeout->tv_usec < 0)
            return wsa_fail(WSAEINVAL);
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += timeout->tv_sec + timeout->tv_usec / 1000000;
        deadline.tv_nsec += (long)(timeout->tv_usec % 1000000) * 1000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_nsec -= 1000000000L;
            deadline.tv_sec++;
        }
    }
    int rc = poll_until(pfd, n, timeout ? &deadline : NULL);
    if (rc < 0)
        return errno_fail(errno);
    for (int k = 0; k < n; k++)
        if (pfd[k].revents & POLLNVAL)
            return wsa_fail(WSAENOTSOCK);
    /* Errors and hang-ups count as ready: the next recv or send reports them. */
    return select_keep(readfds, POLLIN | POLLERR | POLLHUP | POLLRDHUP, pfd, where_r) +
           select_keep(writefds, POLLOUT | POLLERR | POLLHUP, pfd, where_w) +
           select_keep(exceptfds, POLLPRI, pfd, where_e);
}

int qv7_fd_isset(SOCKET s, qv7_fd_set *set)
{
    if (!set)
        return 0;
    for (u_int i = 0; i < set->fd_count && i < FD_SETSIZE; i++)
        if (set->fd_array[i] == s)
            return 1;
    return 0;
}

int qv7_shutdown(SOCKET s, int how)
{
    int fd;
    if (!sock_enter(NULL, s, &fd))
        return SOCKET_ERROR;
    if (how < SD_RECEIVE || how > SD_BOTH)
        return wsa_fail(WSAEINVAL);
    if (::shutdown(fd, how) != 0)
        return errno_fail(errno);
    sock_flags_add(fd, how == SD_RECEIVE ? SOCK_SHUT_RECV
                       : how == SD_SEND  ? SOCK_SHUT_SEND
                                         : SOCK_SHUT_SEND | SOCK_SHUT_RECV);
    return 0;
}

int qv7_closesocket(SOCKET s)
{
    int fd;
    if (!sock_enter(NULL, s, &fd))
        return SOCKET_ERROR;
    int type;
    socklen_t tl = sizeof type;
    /* Only sockets: a stray closesocket must not close a file of the process. */
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tl) != 0)
        return errno_fail(errno);
    sock_flags_reset(fd, 0);
    /* Linux frees the descriptor even when close reports EINTR: no retry. */
    if (::close(fd) != 0 && errno != EINTR)
        return errno_fail(errno);
    return 0;
}

/* A DWORD of milliseconds as the struct timeval that Linux expects. */
static struct timeval timeval_from_ms(DWORD ms)
{
    struct timeval tv;
    tv.tv_sec = (time_t)(ms / 1000);
    tv.tv_usec = (suseconds_t)((ms % 1000) * 1000);
    return tv;
}

int qv7_setsockopt(SOCKET s, int level, int name, const char *value, int len)
{
    int fd;
    if (!sock_enter("setsockopt", s, &fd))
        return SOCKET_ERROR;
    if (!value || len < 0)
        return wsa_fail(WSAEFAULT);
    int rc;
    if (level == SOL_SOCKET && (name == SO_RCVTIMEO || name == SO_SNDTIMEO)) {
        DWORD ms;
        if (len < (int)sizeof ms)
            return wsa_fail(WSAEFAULT);
        memcpy(&ms, value, sizeof ms);
        struct timeval tv = timeval_from_ms(ms);
        rc = ::setsockopt(fd, level, name, &tv, sizeof tv);
    } else if (level == SOL_SOCKET && name == SO_LINGER && len == 2 * (int)sizeof(u_short)) {
        /* Winsock's linger record: two u_shorts. */
        u_short w[2];
        memcpy(w, value, sizeof w);
        struct linger lg;
        lg.l_onoff = w[0];
        lg.l_linger = w[1];
        rc = ::setsockopt(fd, level, name, &lg, sizeof lg);
    } else {
        rc = ::setsockopt(fd, level, name, value, (socklen_t)len);
    }
    if (rc != 0)
        return errno_fail(errno);
    return 0;
}

int qv7_getsockname(SOCKET s, struct sockaddr *addr, int *len)
{
    int fd;
    if (!sock_enter(NULL, s, &fd))
        return SOCKET_ERROR;
    if (!addr || !len || *len < (int)sizeof(struct sockaddr_in))
        return wsa_fail(WSAEFAULT);
    socklen_t sl = (socklen_t)*len;
    if (::getsockname(fd, addr, &sl) != 0)
        return errno_fail(errno);
    /* Windows refuses to name an unbound socket; Linux gives 0.0.0.0:0. */
    const struct sockaddr_in *in = (const struct sockaddr_in *)addr;
    if (in->sin_family == AF_INET && in->sin_port == 0 && in->sin_addr.s_addr == 0)
        return wsa_fail(WSAEINVAL);
    *len = (int)sl;
    return 0;
}

int qv7_gethostname(char *name, int len)
{
    if (!wsa_ready())
        return SOCKET_ERROR;
    char own[HOST_NAME_MAX + 1];
    if (::gethostname(own, sizeof own) != 0)
        return errno_fail(errno);
    own[sizeof own - 1] = 0;
    size_t need = strlen(own) + 1;
    if (!name || len < 0 || (size_t)len < need)
        return wsa_fail(WSAEFAULT);
    memcpy(name, own, need);
    return 0;
}

/* gethostbyname's answer lives in the calling thread until its next call. */
#define HOST_MAX_ADDRS 35
struct host_slot {
    struct hostent ent;
    char name[256];
    char *aliases[1];
    char *addr_list[HOST_MAX_ADDRS + 1];
    struct in_addr addrs[HOST_MAX_ADDRS];
};
static thread_local struct host_slot t_host;

/* The Winsock code for a getaddrinfo failure. */
static int wsa_code_from_gai(int rc)
{
    switch (rc) {
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_SYSTEM: return wsa_code_from_errno(errno);
    default: return WSANO_RECOVERY;
    }
}

/* Copies the IPv4 answers of list into the thread's slot. Returns the hostent. */
static struct hostent *host_fill(const char *query, const struct addrinfo *list)
{
    struct host_slot *h = &t_host;
    const char *canon = list->ai_canonname ? list->ai_canonname : query;
    snprintf(h->name, sizeof h->name, "%s", canon);
    int n = 0;
    for (const struct addrinfo *a = list; a && n < HOST_MAX_ADDRS; a = a->ai_next) {
        if (a->ai_family != AF_INET || a->ai_addrlen < sizeof(struct sockaddr_in))
            continue;
        struct in_addr ia = ((const struct sockaddr_in *)a->ai_addr)->sin_addr;
        int dup = 0;
        for (int i = 0; i < n; i++)
            dup |= h->addrs[i].s_addr == ia.s_addr;
        if (!dup)
            h->addrs[n++] = ia;
    }
    for (int i = 0; i < n; i++)
        h->addr_list[i] = (char *)&h->addrs[i];
    h->addr_list[n] = NULL;
    h->aliases[0] = NULL;
    h->ent.h_name = h->name;
    h->ent.h_aliases = h->aliases;
    h->ent.h_addrtype = AF_INET;
    h->ent.h_length = 4;
    h->ent.h_addr_list = h->addr_list;
    return n > 0 ? &h->ent : NULL;
}

struct hostent *qv7_gethostbyname(const char *name)
{
    if (qv7_fault_hit("gethostbyname")) {
        fault_fail();
        return NULL;
    }
    if (!wsa_ready())
        return NULL;
    /* No name, or an empty one, asks for this computer, as on Windows. */
    char own[HOST_NAME_MAX + 1];
    if (!name || !*name) {
        if (::gethostname(own, sizeof own) != 0) {
            errno_fail(errno);
            return NULL;
        }
        own[sizeof own - 1] = 0;
        name = own;
    }
    struct addrinfo hints, *list = NULL;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    int rc = getaddrinfo(name, NULL, &hints, &list);
    if (rc != 0) {
        wsa_fail(wsa_code_from_gai(rc));
        return NULL;
    }
    struct hostent *h = host_fill(name, list);
    freeaddrinfo(list);
    if (!h)
        wsa_fail(WSANO_DATA);
    return h;
}

/* One part of a dotted address in C notation (decimal, 0 octal, 0x hex) at
 * *p. Returns 1 and advances *p past it, or 0 when it is no number or
 * exceeds 32 bits. */
static int inet_part(const char **p, unsigned long *value)
{
    const char *s = *p;
    unsigned base = 10;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
    } else if (s[0] == '0') {
        base = 8;
    }
    unsigned long v = 0;
    const char *start = s;
    for (;; s++) {
        unsigned d;
        if (*s >= '0' && *s <= '9')
            d = (unsigned)(*s - '0');
        else if (base == 16 && *s >= 'a' && *s <= 'f')
            d = (unsigned)(*s - 'a' + 10);
        else if (base == 16 && *s >= 'A' && *s <= 'F')
            d = (unsigned)(*s - 'A' + 10);
        else
            break;
        if (d >= base)
            return 0;
        v = v * base + d;
        if (v > 0xFFFFFFFFul)
            return 0;
    }
    if (s == start && base != 8)
        return 0;
    *p = s;
    *value = v;
    return 1;
}

unsigned long qv7_inet_addr(const char *text)
{
    if (!text || !*text)
        return INADDR_NONE;
    /* A lone space converts to 0 on Windows (documented). */
    if (text[0] == ' ' && text[1] == 0)
        return 0;
    unsigned long part[4];
    int n = 0;
    const char *p = text;
    for (;;) {
        if (n == 4 || !inet_part(&p, &part[n]))
            return INADDR_NONE;
        n++;
        if (*p != '.')
            break;
        p++;
    }
    /* The address ends at the end of the text or at white space. */
    if (*p && *p != ' ' && *p != '\t' && *p != '\n' && *p != '\r')
        return INADDR_NONE;
    static const unsigned long last_max[4] = {0xFFFFFFFFul, 0xFFFFFFul, 0xFFFFul, 0xFFul};
    for (int i = 0; i < n - 1; i++)
        if (part[i] > 0xFF)
            return INADDR_NONE;
    if (part[n - 1] > last_max[n - 1])
        return INADDR_NONE;
    unsigned long host = part[n - 1];
    for (int i = 0; i < n - 1; i++)
        host |= part[i] << (24 - 8 * i);
    return (unsigned long)htonl((uint32_t)host);
}
