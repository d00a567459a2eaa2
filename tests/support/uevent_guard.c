/* Keeps a harness alive when a client goes away while it sends a uevent.
 *
 * umockdev's uevent sender lists the clients' event sockets, then connects
 * and sends to each in turn. A socket it finds stale (ECONNREFUSED) it
 * unlinks and skips; but a client that closes its socket between the list
 * and the connect gives ENOENT, and one that closes it between the connect
 * and the send gives ECONNREFUSED from sendmsg, and the sender aborts on
 * both. With the harness gone every client gets a reset ioctl socket and
 * aborts too. That happens when a device is plugged or unplugged just as
 * a client ends (libusb closes its event socket with its last context), so
 * both cases are taken here for what they are: a client that left. A
 * client too busy to read its socket (a loaded machine) makes the send fail
 * with EAGAIN, on which the sender aborts as well: the send is tried again
 * for a while, and then the event is given up for that client alone, as a
 * kernel drops a uevent nobody reads. The harness's own definitions come
 * before the preload library's, which still does the work. */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>

/* How long a full client socket is waited on, in pauses of 2 ms. */
#define FULL_SOCKET_TRIES 250

int connect(int fd, const struct sockaddr* addr, socklen_t length)
{
    static int (*next)(int, const struct sockaddr*, socklen_t);
    if (!next)
        next = (int (*)(int, const struct sockaddr*, socklen_t))dlsym(RTLD_NEXT, "connect");
    int rc = next(fd, addr, length);
    if (rc < 0 && errno == ENOENT && addr && addr->sa_family == AF_UNIX)
        errno = ECONNREFUSED;
    return rc;
}

ssize_t sendmsg(int fd, const struct msghdr* message, int flags)
{
    static ssize_t (*next)(int, const struct msghdr*, int);
    if (!next)
        next = (ssize_t(*)(int, const struct msghdr*, int))dlsym(RTLD_NEXT, "sendmsg");
    ssize_t rc = next(fd, message, flags);
    const struct sockaddr* to = message ? (const struct sockaddr*)message->msg_name : NULL;
    int type = 0;
    socklen_t size = sizeof(type);
    if (rc >= 0 || !to || to->sa_family != AF_UNIX ||
        getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_DGRAM)
        return rc;
    for (int tries = 0; rc < 0 && (errno == EAGAIN || errno == EWOULDBLOCK); tries++) {
        if (tries == FULL_SOCKET_TRIES) {
            errno = ECONNREFUSED;
            break;
        }
        struct timespec pause = {0, 2000000};
        nanosleep(&pause, NULL);
        rc = next(fd, message, flags);
    }
    if (rc < 0 && (errno == ECONNREFUSED || errno == ENOENT)) {
        ssize_t total = 0;
        for (size_t i = 0; i < message->msg_iovlen; i++)
            total += (ssize_t)message->msg_iov[i].iov_len;
        return total;
    }
    return rc;
}
