#include "device/core/kStream.h"
#include "device/core/kTime.h"
#include "tests/device/core/descriptor_zero.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace
{

// The module's end: a real TCP listener on 127.0.0.1.
class Peer
{
public:
    explicit Peer(uint16_t port = 0) { Listen(port); }
    ~Peer()
    {
        CloseConnection();
        CloseListener();
    }

    void Listen(uint16_t wanted)
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        int small = 4096;
        setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(wanted);
        EXPECT_EQ(bind(listener, (struct sockaddr*)&a, sizeof(a)), 0) << strerror(errno);
        EXPECT_EQ(listen(listener, 8), 0);
        socklen_t len = sizeof(a);
        getsockname(listener, (struct sockaddr*)&a, &len);
        port = ntohs(a.sin_port);
    }

    /// Takes the next connection within `ms`; false if none came.
    bool Accept(int ms = 2000)
    {
        struct pollfd p = {listener, POLLIN, 0};
        if (poll(&p, 1, ms) != 1)
            return false;
        CloseConnection();
        connection = accept(listener, nullptr, nullptr);
        return connection >= 0;
    }

    void CloseConnection()
    {
        if (connection >= 0)
            close(connection);
        connection = -1;
    }

    void CloseListener()
    {
        if (listener >= 0)
            close(listener);
        listener = -1;
    }

    void Send(const std::string& bytes)
    {
        ASSERT_EQ(send(connection, bytes.data(), bytes.size(), 0), (ssize_t)bytes.size());
    }

    std::string Receive(size_t n, int ms = 2000)
    {
        std::string out;
        uint64_t end = kTime_GetMSTicks() + (uint64_t)ms;
        while (out.size() < n && kTime_GetMSTicks() < end) {
            struct pollfd p = {connection, POLLIN, 0};
            if (poll(&p, 1, 50) != 1)
                continue;
            char buf[256];
            ssize_t got = recv(connection, buf, sizeof(buf), 0);
            if (got <= 0)
                break;
            out.append(buf, (size_t)got);
        }
        return out;
    }

    int listener = -1;
    int connection = -1;
    uint16_t port = 0;
};

uint32_t Loopback()
{
    return htonl(INADDR_LOOPBACK);
}

int OpenDescriptors()
{
    int count = 0;
    DIR* d = opendir("/proc/self/fd");
    while (d && readdir(d))
        count++;
    if (d)
        closedir(d);
    return count;
}

// Reads `n` bytes, retrying while the stream is not ready, for up to 2 s.
kErr ReadWithin(kStream* stream, char* out, size_t n)
{
    uint64_t end = kTime_GetMSTicks() + 2000;
    kErr err;
    while ((err = kStream_Read(stream, out, n)) == kErrNotReady && kTime_GetMSTicks() < end)
        kTime_MSSleep(1);
    return err;
}

TEST(SocketStream, CarriesBytesAndResetsTheConnectionWhenDestroyed)
{
    Peer peer;
    kStream* stream = nullptr;
    ASSERT_EQ(kStream_CreateSocket(Loopback(), peer.port, &stream), kErrNone);
    ASSERT_TRUE(peer.Accept());
    char byte;
    EXPECT_EQ(kStream_Read(stream, &byte, 1), kErrNotReady) << "non-blocking";
    EXPECT_EQ(kStream_Wait(stream, 20), kErrTimeout) << "a wait polls the socket";
    peer.Send("hello");
    ASSERT_EQ(kStream_Wait(stream, 2000), kErrNone);
    char in[5];
    ASSERT_EQ(ReadWithin(stream, in, 5), kErrNone);
    EXPECT_EQ(std::string(in, 5), "hello");
    EXPECT_EQ(kStream_Write(stream, "frame", 5), kErrNone);
    EXPECT_EQ(kStream_Write(stream, "!", 1), kErrNone);
    EXPECT_EQ(peer.Receive(6), "frame!");

    ASSERT_EQ(kStream_Destroy(&stream), kErrNone);
    char buf[4];
    errno = 0;
    EXPECT_EQ(recv(peer.connection, buf, sizeof(buf), 0), -1) << "closing resets, not a FIN";
    EXPECT_EQ(errno, ECONNRESET);
}

TEST(SocketStream, APeerThatClosedGivesNotReadyAndAReconnection)
{
    Peer peer;
    kStream* stream = nullptr;
    ASSERT_EQ(kStream_CreateSocket(Loopback(), peer.port, &stream), kErrNone);
    ASSERT_TRUE(peer.Accept());
    peer.CloseConnection();
    char byte;
    kErr err;
    uint64_t end = kTime_GetMSTicks() + 2000;
    while ((err = kStream_Read(stream, &byte, 1)) == kErrNotReady && kTime_GetMSTicks() < end &&
           !peer.Accept(0))
        kTime_MSSleep(1);
    EXPECT_EQ(err, kErrNotReady) << "a closed peer is not an error";
    ASSERT_GE(peer.connection, 0) << "the stream connected again";
    peer.Send("x");
    ASSERT_EQ(ReadWithin(stream, &byte, 1), kErrNone);
    EXPECT_EQ(byte, 'x');
    (void)kStream_Destroy(&stream);
}

TEST(SocketStream, AFailedReconnectionIsRetriedAtMostOncePerSecond)
{
    Peer peer;
    uint16_t port = peer.port;
    kStream* stream = nullptr;
    ASSERT_EQ(kStream_CreateSocket(Loopback(), port, &stream), kErrNone);
    ASSERT_TRUE(peer.Accept());
    peer.CloseListener();
    peer.CloseConnection();

    char byte;
    kErr err;
    uint64_t end = kTime_GetMSTicks() + 2000;
    while ((err = kStream_Read(stream, &byte, 1)) == kErrNotReady && kTime_GetMSTicks() < end)
        kTime_MSSleep(1);
    uint64_t failedAt = kTime_GetMSTicks();
    EXPECT_EQ(err, kErrConnection) << "the reconnection's error";

    peer.Listen(port);
    EXPECT_EQ(kStream_Read(stream, &byte, 1), kErrConnection);
    EXPECT_EQ(kStream_Write(stream, "ab", 2), kErrConnection);
    if (kTime_GetMSTicks() - failedAt < 900) {
        EXPECT_FALSE(peer.Accept(0)) << "no new attempt within the second";
    }
    kTime_MSSleep(1000 - std::min<uint64_t>(1000, kTime_GetMSTicks() - failedAt) + 20);
    EXPECT_EQ(kStream_Read(stream, &byte, 1), kErrNotReady) << "connected again";
    ASSERT_TRUE(peer.Accept());
    EXPECT_EQ(kStream_Write(stream, "ab", 2), kErrNone);
    EXPECT_EQ(peer.Receive(2), "ab");
    (void)kStream_Destroy(&stream);
}

TEST(SocketStream, AWriteThatCannotGoOnEndsWithATimeout)
{
    Peer peer;
    kStream* stream = nullptr;
    ASSERT_EQ(kStream_CreateSocket(Loopback(), peer.port, &stream), kErrNone);
    ASSERT_TRUE(peer.Accept());
    std::vector<uint8_t> big(32u << 20, 0x55); // more than both socket buffers hold
    uint64_t start = kTime_GetMSTicks();
    EXPECT_EQ(kStream_Write(stream, big.data(), big.size()), kErrTimeout);
    EXPECT_GE(kTime_GetMSTicks() - start, 9u * kSOCKET_RETRY_DELAY_MS) << "the retries are paced";
    EXPECT_FALSE(peer.Receive(1, 200).empty()) << "what fitted was sent";
    (void)kStream_Destroy(&stream);
}

TEST(SocketStream, AWriteWhoseReconnectionFailsEndsWithItsError)
{
    Peer peer;
    kStream* stream = nullptr;
    ASSERT_EQ(kStream_CreateSocket(Loopback(), peer.port, &stream), kErrNone);
    ASSERT_TRUE(peer.Accept());
    peer.CloseListener();
    peer.CloseConnection();
    kErr err = kErrNone;
    for (int i = 0; i < 20 && err == kErrNone; i++) {
        err = kStream_Write(stream, "data", 4);
        kTime_MSSleep(10);
    }
    EXPECT_EQ(err, kErrConnection);
    (void)kStream_Destroy(&stream);
}

TEST(SocketStream, AFailedConnectKeepsNoDescriptor)
{
    int port;
    {
        Peer gone;
        port = gone.port;
    }
    int before = OpenDescriptors();
    kStream* stream = (kStream*)0x1;
    EXPECT_EQ(kStream_CreateSocket(Loopback(), (uint16_t)port, &stream), kErrResource);
    EXPECT_EQ(stream, (kStream*)0x1);
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(kStream_CreateSocket(Loopback(), (uint16_t)port, nullptr), kErrResource);
}

// With no standard input (as in CI) the socket may get descriptor 0.
TEST(SocketStream, ADescriptorOfZeroIsAConnection)
{
    Peer peer;
    int saved = FreeDescriptorZero();
    kStream* stream = nullptr;
    kErr err = kStream_CreateSocket(Loopback(), peer.port, &stream);
    bool gotZero = fcntl(0, F_GETFD) != -1;
    EXPECT_EQ(err, kErrNone);
    EXPECT_TRUE(gotZero);
    ASSERT_TRUE(peer.Accept());
    peer.CloseConnection();
    char byte;
    uint64_t end = kTime_GetMSTicks() + 2000;
    while (kStream_Read(stream, &byte, 1) == kErrNotReady && !peer.Accept(0) &&
           kTime_GetMSTicks() < end)
        kTime_MSSleep(1);
    ASSERT_GE(peer.connection, 0) << "descriptor 0 was closed and replaced";
    peer.Send("z");
    ASSERT_EQ(ReadWithin(stream, &byte, 1), kErrNone);
    EXPECT_EQ(byte, 'z');
    EXPECT_EQ(kStream_Destroy(&stream), kErrNone);
    EXPECT_EQ(fcntl(0, F_GETFD), -1) << "closed with the stream";
    RestoreDescriptorZero(saved);
}

// The link engine reads on one thread and writes on another while the
// connection comes and goes; each side reconnects under the stream's lock.
TEST(SocketStream, ReaderAndWriterSurviveReconnectionsTogether)
{
    Peer peer;
    kStream* stream = nullptr;
    ASSERT_EQ(kStream_CreateSocket(Loopback(), peer.port, &stream), kErrNone);
    std::atomic<bool> stop(false);
    std::atomic<int> bytesRead(0);
    std::thread reader([&] {
        while (!stop) {
            char byte;
            if (kStream_Read(stream, &byte, 1) == kErrNone)
                bytesRead++;
            else
                kTime_MSSleep(1);
        }
    });
    std::thread writer([&] {
        while (!stop) {
            (void)kStream_Write(stream, "0123456789", 10);
            kTime_MSSleep(2);
        }
    });
    for (int round = 0; round < 5; round++) {
        ASSERT_TRUE(peer.Accept());
        peer.Send("abc");
        EXPECT_FALSE(peer.Receive(10).empty());
        peer.CloseConnection();
    }
    ASSERT_TRUE(peer.Accept());
    stop = true;
    reader.join();
    writer.join();
    EXPECT_GT(bytesRead.load(), 0);
    EXPECT_EQ(kStream_Destroy(&stream), kErrNone);
}

} // namespace
