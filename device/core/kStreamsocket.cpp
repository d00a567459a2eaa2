// TCP client streams to Ethernet modules. The socket is non-blocking and
// repairs a lost connection in place by connecting to the same address and
// port again. The link engine reads from one thread and writes from
// another, and either may reconnect: the descriptor and the connected flag
// are only used under the record's lock, so neither side ever uses a
// descriptor that the other is replacing. Every call made under the lock
// is non-blocking; a connection is awaited for at most
// kSOCKET_CONNECT_LIMIT_MS, so an address that never answers holds the
// lock, and the link's two threads, no longer than that.

#include "device/core/internal/kDescriptor.h"
#include "device/core/internal/kMutex.h"
#include "device/core/kStream.h"
#include "device/core/kTime.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#define kSOCKET_CHECK 0xDEAD
#define kSOCKET_CONNECTED 0x1
// After a failed reconnection, gets and writes try again this much later.
#define kSOCKET_RECONNECT_PAUSE_MS 1000
#define kSOCKET_CLOSE_PAUSE_MS 10
#define kSOCKET_CONNECT_LIMIT_MS 3000
// What one receive may take; the link's reader asks byte by byte.
#define kSOCKET_RECEIVE_SIZE 512

typedef struct {
    uint16_t port;
    struct sockaddr_in address;
    kMutex* lock;
    int32_t fd K_GUARDED_BY(lock); ///< -1 when closed
    int32_t flags K_GUARDED_BY(lock);
    uint64_t retryAfter K_GUARDED_BY(lock); ///< tick before which no reconnection is tried
    /// Bytes received and not yet handed out: the reading side's alone.
    uint8_t received[kSOCKET_RECEIVE_SIZE];
    uint32_t receivedAt;
    uint32_t receivedCount;
    uint16_t check;
} kSocketStream;

static kSocketStream* sSocket(void* reference)
{
    kSocketStream* s = (kSocketStream*)reference;
    return s && s->check == kSOCKET_CHECK ? s : nullptr;
}

static bool sConnectionLost(int error)
{
    return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT || error == EPIPE;
}

static void sClose(kSocketStream* s) K_REQUIRES(s->lock)
{
    s->flags &= ~kSOCKET_CONNECTED;
    if (s->fd >= 0)
        close(s->fd);
    s->fd = -1;
    kTime_MSSleep(kSOCKET_CLOSE_PAUSE_MS);
}

static kErr sSetOptions(int fd)
{
    int on = 1;
    struct timeval noTimeout = {0, 0};
    struct linger resetOnClose = {1, 0};
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof(noTimeout)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof(resetOnClose)) != 0 ||
        ioctl(fd, FIONBIO, &on) != 0)
        return kErrIO;
    return kErrNone;
}

static kErr sTranslateConnectError(int error)
{
    switch (error) {
    case EAGAIN:
    case ECONNRESET:
    case ETIMEDOUT:
    case ECONNREFUSED:
        return kErrConnection;
    default:
        return kErrIO;
    }
}

// Waits for a connection begun without blocking to be made or refused,
// at most the connect limit; its error number, ETIMEDOUT when time ran out.
static int sAwaitConnection(int fd)
{
    uint64_t deadline = kTime_GetMSTicks() + kSOCKET_CONNECT_LIMIT_MS;
    for (;;) {
        uint64_t now = kTime_GetMSTicks();
        if (now >= deadline)
            return ETIMEDOUT;
        struct pollfd p = {fd, POLLOUT, 0};
        int rc = poll(&p, 1, (int)(deadline - now));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0)
            return errno;
        if (rc == 0)
            return ETIMEDOUT;
        int error = 0;
        socklen_t length = sizeof(error);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            return errno;
        return error;
    }
}

static int sConnect(int fd, const struct sockaddr_in* address)
{
    if (connect(fd, (const struct sockaddr*)address, sizeof(*address)) == 0)
        return 0;
    return errno == EINPROGRESS ? sAwaitConnection(fd) : errno;
}

// Connects anew. A socket that fails any step is closed again, so a failed
// attempt leaves no descriptor behind.
static kErr sReset(kSocketStream* s) K_REQUIRES(s->lock)
{
    if (s->check != kSOCKET_CHECK)
        return kErrInitialization;
    if (s->fd >= 0)
        sClose(s);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return kErrIO;
    kErr err = kErrNone;
    int error = sConnect(fd, &s->address);
    if (error != 0) {
        err = sTranslateConnectError(error);
        goto out;
    }
    err = sSetOptions(fd);
out:
    if (err) {
        close(fd);
        return err;
    }
    s->fd = fd;
    s->flags |= kSOCKET_CONNECTED;
    return kErrNone;
}

static kErr sReconnect(kSocketStream* s) K_REQUIRES(s->lock)
{
    s->flags &= ~kSOCKET_CONNECTED;
    kErr err = sReset(s);
    s->retryAfter = err ? kTime_GetMSTicks() + kSOCKET_RECONNECT_PAUSE_MS : 0;
    return err;
}

// A stream left disconnected by a failed reconnection tries again, at most
// once per pause; in between it reports kErrConnection.
static kErr sEnsureConnected(kSocketStream* s) K_REQUIRES(s->lock)
{
    if (s->flags & kSOCKET_CONNECTED)
        return kErrNone;
    if (kTime_GetMSTicks() < s->retryAfter)
        return kErrConnection;
    return sReconnect(s);
}

// One receive takes whatever has come, up to the buffer's size, so a frame
// costs one call rather than two a byte.
static kErr sGetLocked(kSocketStream* s, uint8_t* byte) K_REQUIRES(s->lock)
{
    kErr err = sEnsureConnected(s);
    if (err)
        return err;
    ssize_t n = recv(s->fd, s->received, sizeof(s->received), 0);
    if (n < 0 && sConnectionLost(errno)) {
        err = sReconnect(s);
        if (err)
            return err;
        n = recv(s->fd, s->received, sizeof(s->received), 0);
    }
    if (n == 0) {
        // The peer has closed: nothing to read now, but the next bytes can
        // only come over a new connection.
        err = sReconnect(s);
        return err ? err : kErrNotReady;
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return kErrNotReady;
        if (sConnectionLost(errno))
            sClose(s);
        return kErrConnection;
    }
    s->receivedCount = (uint32_t)n;
    s->receivedAt = 1;
    *byte = s->received[0];
    return kErrNone;
}

static kErr sSocketGet(uint8_t* byte, void* reference)
{
    kSocketStream* s = sSocket(reference);
    if (!s)
        return kErrParam;
    if (s->receivedAt < s->receivedCount) {
        *byte = s->received[s->receivedAt++];
        return kErrNone;
    }
    kMutex_Enter(s->lock);
    kErr err = sGetLocked(s, byte);
    kMutex_Leave(s->lock);
    return err;
}

// One send of what is left; `*retries` counts as the write's budget says.
static kErr sSendOnce(kSocketStream* s, const uint8_t* bytes, size_t length, size_t* sent,
                      int* retries) K_REQUIRES(s->lock)
{
    kErr err = sEnsureConnected(s);
    if (err)
        return err;
    ssize_t n = send(s->fd, bytes + *sent, length - *sent, MSG_NOSIGNAL);
    if (n >= 0) {
        *sent += (size_t)n;
        if (*sent < length)
            *retries = 1;
        return kErrNone;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        (*retries)++;
        return kErrNone;
    }
    if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) {
        err = sReconnect(s);
        if (!err)
            (*retries)++;
        return err;
    }
    return kErrIO;
}

static kErr sSocketWrite(const uint8_t* bytes, size_t length, void* reference)
{
    kSocketStream* s = sSocket(reference);
    if (!s)
        return kErrParam;
    size_t sent = 0;
    int retries = 0;
    for (;;) {
        kMutex_Enter(s->lock);
        kErr err = sSendOnce(s, bytes, length, &sent, &retries);
        kMutex_Leave(s->lock);
        if (err)
            return err;
        if (sent == length)
            return kErrNone;
        if (retries >= kSOCKET_MAX_SEND_RETRY)
            return kErrTimeout;
        kTime_MSSleep(kSOCKET_RETRY_DELAY_MS);
    }
}

static kErr sSocketPut(uint8_t byte, void* reference)
{
    return sSocketWrite(&byte, 1, reference);
}

// The poll runs without the lock, which the writer needs meanwhile. Should
// the other side replace the descriptor, the wait ends by its time-out and
// the get looks again. Without a connection the get reconnects, or says why
// it cannot, at once.
static kErr sSocketWait(uint32_t timeoutMS, void* reference)
{
    kSocketStream* s = sSocket(reference);
    if (!s)
        return kErrParam;
    if (s->receivedAt < s->receivedCount)
        return kErrNone;
    kMutex_Enter(s->lock);
    int fd = (s->flags & kSOCKET_CONNECTED) ? s->fd : -1;
    kMutex_Leave(s->lock);
    return fd < 0 ? kErrNone : kDescriptor_AwaitReadable(fd, timeoutMS);
}

static kErr sSocketDelete(void* reference)
{
    kSocketStream* s = sSocket(reference);
    if (!s)
        return kErrParam;
    kMutex_Enter(s->lock);
    if (s->fd >= 0)
        close(s->fd);
    s->fd = -1;
    s->flags = 0;
    kMutex_Leave(s->lock);
    (void)kMutex_Destroy(&s->lock);
    s->check = 0;
    free(s);
    return kErrNone;
}

kErr kStream_CreateSocket(uint32_t ipAddress, uint16_t port, kStream** stream)
{
    if (!stream)
        return kErrResource;
    kSocketStream* s = (kSocketStream*)calloc(1, sizeof(*s));
    if (!s)
        return kErrResource;
    s->lock = kMutex_Create("socket stream");
    if (!s->lock) {
        free(s);
        return kErrResource;
    }
    s->port = port;
    s->address.sin_family = AF_INET;
    s->address.sin_port = htons(port);
    s->address.sin_addr.s_addr = ipAddress;
    s->check = kSOCKET_CHECK;
    kMutex_Enter(s->lock);
    s->fd = -1;
    kErr err = sReset(s);
    kMutex_Leave(s->lock);
    kStream* created =
        err ? nullptr : kStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, s);
    if (!created) {
        (void)sSocketDelete(s);
        return kErrResource;
    }
    (void)kStream_SetWait(created, sSocketWait);
    *stream = created;
    return kErrNone;
}
