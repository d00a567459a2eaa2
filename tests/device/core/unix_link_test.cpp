// The link engine over a caller's stream: the test plays the module on the
// far end of a socket pair, byte by byte, so the exact wire exchanges
// (notices, heartbeat answers, the synchronisation state table) and the
// engine's lifecycle can be checked. The simulated module over real
// transports is in unix_link_sim_test.cpp.

#include "device/core/kLink.h"
#include "device/core/kTime.h"
#include "tests/device/core/test_packets.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{

// What the test shares with the stream it hands to the link (which owns and
// frees the stream record).
struct PairControl {
    std::atomic<bool> holdDelete{false};
    std::atomic<bool> deleting{false};
    std::promise<void> release;
    std::atomic<int> gets{0};
    std::atomic<int> waits{0};
    /// When each write began and ended, in microseconds.
    std::mutex writesLock;
    std::vector<std::pair<uint64_t, uint64_t>> writes;
};

uint64_t MicroTicks()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000000u + (uint64_t)now.tv_nsec / 1000u;
}

struct PairStream {
    int fd;
    std::shared_ptr<PairControl> control;
};

kErr PairGet(uint8_t* byte, void* reference)
{
    ((PairStream*)reference)->control->gets++;
    ssize_t n = recv(((PairStream*)reference)->fd, byte, 1, MSG_DONTWAIT);
    if (n == 1)
        return kErrNone;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return kErrNotReady;
    return kErrIO;
}

kErr PairWrite(const uint8_t* bytes, size_t length, void* reference)
{
    PairStream* s = (PairStream*)reference;
    uint64_t began = MicroTicks();
    ssize_t n = send(s->fd, bytes, length, MSG_NOSIGNAL);
    std::lock_guard<std::mutex> guard(s->control->writesLock);
    s->control->writes.push_back({began, MicroTicks()});
    return n == (ssize_t)length ? kErrNone : kErrIO;
}

kErr PairWait(uint32_t timeoutMS, void* reference)
{
    PairStream* s = (PairStream*)reference;
    s->control->waits++;
    struct pollfd p = {s->fd, POLLIN, 0};
    return poll(&p, 1, (int)timeoutMS) > 0 ? kErrNone : kErrTimeout;
}

kErr PairPut(uint8_t byte, void* reference)
{
    return PairWrite(&byte, 1, reference);
}

kErr PairDelete(void* reference)
{
    PairStream* s = (PairStream*)reference;
    s->control->deleting = true;
    if (s->control->holdDelete)
        s->control->release.get_future().wait();
    close(s->fd);
    delete s;
    return kErrNone;
}

template <typename Predicate>
bool Eventually(Predicate predicate)
{
    for (int i = 0; i < 500 && !predicate(); i++)
        kTime_MSSleep(10);
    return predicate();
}

std::string Bytes(std::initializer_list<uint8_t> bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

std::string SyncRequest()
{
    std::string request;
    for (int i = 0; i < 6; i++)
        request += Bytes({0xAD, 0x00});
    return request;
}

class LinkOverPair : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(Open()); }

    void TearDown() override
    {
        if (link) {
            EXPECT_EQ(kLink_Destroy(&link), kErrNone);
        }
        if (module >= 0)
            close(module);
    }

    void Open()
    {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        module = fds[0];
        kStream* stream = kStream_Create(PairGet, PairPut, PairWrite, PairDelete,
                                         new PairStream{fds[1], control});
        ASSERT_NE(stream, nullptr);
        if (waiting) {
            ASSERT_EQ(kStream_SetWait(stream, PairWait), kErrNone);
        }
        link = kLink_Create(stream);
        ASSERT_NE(link, 0u);
        ASSERT_EQ(Receive(3), Bytes({0xAF, 0x01, 0x01})) << "the start notice";
        ASSERT_TRUE(StatusBecomes(kLinkStatusRunning)) << "once the reader runs";
    }

    void Send(const std::string& bytes)
    {
        ASSERT_EQ(send(module, bytes.data(), bytes.size(), MSG_NOSIGNAL), (ssize_t)bytes.size());
    }

    /// Up to `n` bytes the link sent within `ms`.
    std::string Receive(size_t n, int ms = 2000)
    {
        std::string out;
        uint64_t end = kTime_GetMSTicks() + (uint64_t)ms;
        while (out.size() < n && kTime_GetMSTicks() < end) {
            struct pollfd p = {module, POLLIN, 0};
            if (poll(&p, 1, 10) != 1)
                continue;
            char buf[512];
            ssize_t got = recv(module, buf, std::min(sizeof(buf), n - out.size()), 0);
            if (got <= 0)
                break;
            out.append(buf, (size_t)got);
        }
        return out;
    }

    bool StatusBecomes(uint32_t status)
    {
        for (int i = 0; i < 200 && kLink_GetStatus(link) != status; i++)
            kTime_MSSleep(10);
        return kLink_GetStatus(link) == status;
    }

    std::shared_ptr<PairControl> control = std::make_shared<PairControl>();
    bool waiting = false;
    int module = -1;
    uint32_t link = 0;
};

bool TakeAll(const kPacket*, void* reference)
{
    ((std::atomic<int>*)reference)->fetch_add(1);
    return true;
}

TEST_F(LinkOverPair, SendsTheStopNoticeWhenTheLastUseIsGivenBack)
{
    uint32_t copy = link;
    EXPECT_EQ(kLink_Destroy(&link), kErrNone);
    EXPECT_EQ(link, 0u);
    EXPECT_EQ(Receive(3), Bytes({0xAF, 0x01, 0x00}));
    EXPECT_EQ(kLink_GetStatus(copy), (uint32_t)kLinkStatusNoStream) << "the id is gone";
    EXPECT_EQ(kLink_Destroy(&copy), kErrParam);
}

class LinkOverWaitingPair : public LinkOverPair
{
protected:
    void SetUp() override
    {
        waiting = true;
        LinkOverPair::SetUp();
    }
};

// A stream that can tell when a byte comes is waited on, not polled, and
// the byte is still taken at once.
TEST_F(LinkOverWaitingPair, TheReaderWaitsForTheStreamAndStillAnswersAtOnce)
{
    int before = control->gets;
    kTime_MSSleep(200);
    EXPECT_LT(control->gets - before, 100) << "a poll every 5 us would be thousands";
    EXPECT_GT(control->waits.load(), 0);
    Send(Bytes({0x04, 0x02, 0x00, 0x01}));
    EXPECT_EQ(Receive(4), Bytes({0x04, 0x02, 0x00, 0x03})) << "the heartbeat is answered";
}

// The module takes a frame only a millisecond after the end of the last one,
// however many are queued.
TEST_F(LinkOverPair, EachFrameWaitsAMillisecondAfterTheEndOfTheOneBefore)
{
    for (uint8_t i = 0; i < 20; i++)
        ASSERT_EQ(kLink_PutPacket(link, makePacket({0x17, i}).get()), kErrNone);
    ASSERT_EQ(Receive(20 * 4).size(), 80u);
    // The last write is noted just after its bytes went.
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> guard(control->writesLock);
        return control->writes.size() == 21;
    })) << "the start notice and the 20";
    std::lock_guard<std::mutex> guard(control->writesLock);
    for (size_t i = 1; i < control->writes.size(); i++)
        EXPECT_GE(control->writes[i].first - control->writes[i - 1].second, 1000u) << i;
}

TEST_F(LinkOverPair, AnswersHeartbeatsWithVPlusTwoAndQueuesOtherPackets)
{
    Send(Bytes({0x04, 0x02, 0x00, 0x01}));
    EXPECT_EQ(Receive(4), Bytes({0x04, 0x02, 0x00, 0x03}));
    Send(Bytes({0x04, 0x02, 0x00, 0x00}));
    EXPECT_EQ(Receive(4), Bytes({0x04, 0x02, 0x00, 0x02}));
    Send(Bytes({0x04, 0x02, 0x00, 0xFF}));
    EXPECT_EQ(Receive(4), Bytes({0x04, 0x02, 0x00, 0x01})) << "v + 2 in 8 bits";
    EXPECT_EQ(kLink_GetPacket(link), nullptr) << "heartbeats are not queued";

    Send(Bytes({0x04, 0x02, 0x17, 0x05}));
    PacketPtr packet(kLink_AwaitPacket(link, 2000));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->address, 0x04);
    EXPECT_EQ(packet->data[0], 0x17);
    EXPECT_EQ(Receive(1, 100), "") << "no answer to an ordinary packet";
}

TEST_F(LinkOverPair, AFilterThatTakesEveryPacketStopsHeartbeatAnswersAndQueueing)
{
    std::atomic<int> seen{0};
    ASSERT_EQ(kLink_InstallUserPacketFilter(link, TakeAll, &seen), kErrNone);
    Send(Bytes({0x04, 0x02, 0x00, 0x01}));
    Send(Bytes({0x04, 0x01, 0x17}));
    ASSERT_TRUE(Eventually([&] { return seen == 2; }));
    EXPECT_EQ(Receive(1, 100), "");
    EXPECT_EQ(kLink_GetPacket(link), nullptr);

    ASSERT_EQ(kLink_InstallUserPacketFilter(link, nullptr, nullptr), kErrNone);
    Send(Bytes({0x04, 0x02, 0x00, 0x01}));
    EXPECT_EQ(Receive(4), Bytes({0x04, 0x02, 0x00, 0x03}));
    EXPECT_EQ(seen, 2);
}

TEST_F(LinkOverPair, AGoodSynchronisationAnswerReturnsTheLinkToRunning)
{
    Send(Bytes({0x03}));
    EXPECT_EQ(Receive(12), SyncRequest()) << "an odd address byte resynchronises";
    EXPECT_EQ(kLink_GetStatus(link), (uint32_t)kLinkStatusSyncing);

    uint64_t before = kTime_GetMSTicks();
    EXPECT_EQ(kLink_AwaitFirst(link, drainAll, nullptr, 5000), nullptr);
    EXPECT_LT(kTime_GetMSTicks() - before, 1000u) << "none at once while syncing";

    Send(Bytes({0x06, 0x00, 0x06, 0x00}));
    ASSERT_TRUE(StatusBecomes(kLinkStatusRunning));
    Send(Bytes({0x06, 0x01, 0x17}));
    PacketPtr packet(kLink_AwaitFirst(link, drainAll, nullptr, 2000));
    ASSERT_NE(packet, nullptr) << "framing starts afresh";
    EXPECT_EQ(packet->length, 1);
}

TEST_F(LinkOverPair, ABadSynchronisationAnswerMakesTheNextByteSendANewRequest)
{
    Send(Bytes({0x02, 0x1D})); // a length above 28
    EXPECT_EQ(Receive(12), SyncRequest());
    Send(Bytes({0x06, 0x00, 0x08}));
    EXPECT_EQ(Receive(1, 200), "") << "the mismatch alone sends nothing";
    EXPECT_EQ(kLink_GetStatus(link), (uint32_t)kLinkStatusSyncing);
    Send(Bytes({0x55}));
    EXPECT_EQ(Receive(12), SyncRequest()) << "the next byte does";
    Send(Bytes({0x06, 0x00, 0x06, 0x00}));
    EXPECT_TRUE(StatusBecomes(kLinkStatusRunning));
}

TEST_F(LinkOverPair, AnAnswerMetOutOfStepStillSynchronises)
{
    // The reader mismatches on the zero of a pair: a module that answers
    // every request with address pairs must still get the link back, and
    // not be sent a request for every pair that follows.
    Send(Bytes({0x01}));
    ASSERT_EQ(Receive(12), SyncRequest());
    Send(Bytes({0x06, 0x01}));
    Send(Bytes({0x00}));
    ASSERT_EQ(Receive(12), SyncRequest());
    Send(Bytes({0x00, 0x06, 0x00, 0x06, 0x00}));
    EXPECT_TRUE(StatusBecomes(kLinkStatusRunning));
    EXPECT_EQ(Receive(1, 100), "") << "no further request";
}

TEST_F(LinkOverPair, EachMismatchInTheAnswerStartsOver)
{
    const std::vector<std::string> wrong = {
        Bytes({0x07}),       // odd address
        Bytes({0x06, 0x01}), // no zero after the address
        Bytes({0x06, 0x00, 0x06, 0x09}),
    };
    for (const std::string& answer : wrong) {
        SCOPED_TRACE(answer.size());
        Send(Bytes({0x01}));
        ASSERT_EQ(Receive(12), SyncRequest());
        Send(answer);
        Send(Bytes({0x00}));
        ASSERT_EQ(Receive(12), SyncRequest());
        Send(Bytes({0x06, 0x00, 0x06, 0x00}));
        ASSERT_TRUE(StatusBecomes(kLinkStatusRunning));
    }
}

TEST_F(LinkOverPair, TheOutboundQueueIsNeverDrained)
{
    const int count = 60;
    for (int i = 0; i < count; i++)
        ASSERT_EQ(kLink_PutPacket(link, makePacket({0x17, (uint8_t)i}).get()), kErrNone);
    std::string sent = Receive(4 * count, 5000);
    ASSERT_EQ(sent.size(), 4u * count);
    for (int i = 0; i < count; i++)
        EXPECT_EQ(sent.substr(4 * i, 4), Bytes({0x02, 0x02, 0x17, (uint8_t)i}));
}

TEST_F(LinkOverPair, ThePacketLogRecordsSentAndReceivedFrames)
{
    EXPECT_EQ(kLink_PacketDebug_Disable(link), kErrNotReady);
    EXPECT_EQ(kLink_PacketDebug_Await(link, 10), kErrNotReady) << "no log to wait for";
    uint32_t kind = 0, length = 0;
    EXPECT_EQ(kLink_PacketDebug_Read(link, &kind, &length, nullptr), kErrNotReady);
    EXPECT_EQ(kLink_PacketDebug_SetLogSize(link, 0x4000001), kErrParam);
    EXPECT_EQ(kLink_PacketDebug_SetLogSize(link, 0x4000000), kErrNone);
    EXPECT_EQ(kLink_PacketDebug_SetLogSize(link, 1024), kErrNone);
    // The writer records a frame after its pause: let the start notice's
    // turn pass before the log exists.
    kTime_MSSleep(20);
    ASSERT_EQ(kLink_PacketDebug_Enable(link), kErrNone);
    EXPECT_EQ(kLink_PacketDebug_SetLogSize(link, 2048), kErrBusy);

    Send(Bytes({0x04, 0x01, 0x17}));
    PacketPtr in(kLink_AwaitPacket(link, 2000));
    ASSERT_NE(in, nullptr);
    ASSERT_EQ(kLink_PutPacket(link, makePacket({0x18, 0x01}).get()), kErrNone);
    ASSERT_EQ(Receive(4), Bytes({0x02, 0x02, 0x18, 0x01}));

    std::vector<std::pair<uint32_t, std::string>> entries;
    for (int i = 0; i < 100 && entries.size() < 2; i++) {
        uint8_t buffer[64];
        length = sizeof(buffer);
        kErr err = kLink_PacketDebug_Read(link, &kind, &length, buffer);
        if (err == kErrNotFound)
            (void)kLink_PacketDebug_Await(link, 100);
        else if (err == kErrNone)
            entries.push_back({kind, std::string((char*)buffer, length)});
    }
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(kLink_PacketDebug_Await(link, 10), kErrTimeout) << "nothing more";
    ASSERT_EQ(kLink_PacketDebug_Write(link, 3, 1, (const uint8_t*)"x"), kErrNone);
    EXPECT_EQ(kLink_PacketDebug_Await(link, 2000), kErrNone);
    EXPECT_EQ(entries[0], std::make_pair(2u, Bytes({0x04, 0x01, 0x17})));
    EXPECT_EQ(entries[1], std::make_pair(1u, Bytes({0x02, 0x02, 0x18, 0x01})));
    EXPECT_EQ(kLink_PacketDebug_Disable(link), kErrNone);
}

TEST_F(LinkOverPair, ALogEnabledWithoutASizeHoldsSixtyFourKiB)
{
    kTime_MSSleep(20); // past the writer's record of the start notice
    ASSERT_EQ(kLink_PacketDebug_Enable(link), kErrNone);
    // Entries of 253 bytes take 255 in the ring, of which one byte always
    // stays free: 257 of them fit into 65536 bytes, the 258th pushes out
    // the first.
    std::vector<uint8_t> bytes(253);
    for (int i = 0; i < 258; i++) {
        bytes[0] = (uint8_t)i;
        ASSERT_EQ(kLink_PacketDebug_Write(link, 3, (uint32_t)bytes.size(), bytes.data()), kErrNone);
    }
    uint32_t kind = 0, length = 255;
    uint8_t out[255];
    ASSERT_EQ(kLink_PacketDebug_Read(link, &kind, &length, out), kErrNone);
    EXPECT_EQ(kind, 3u);
    EXPECT_EQ(out[0], 1) << "only the oldest entry gave way";
}

TEST(Link, UnknownIdsAreRefused)
{
    uint32_t never = 0x7FFFFFF0;
    EXPECT_EQ(kLink_GetStatus(never), (uint32_t)kLinkStatusNoStream);
    EXPECT_EQ(kLink_GetStatus(0), (uint32_t)kLinkStatusNoStream);
    EXPECT_EQ(kLink_PutPacket(never, makePacket({1}).get()), kErrParam);
    EXPECT_EQ(kLink_InstallUserPacketFilter(never, drainAll, nullptr), kErrParam);
    EXPECT_EQ(kLink_PacketDebug_Enable(never), kErrParam);
    EXPECT_EQ(kLink_PacketDebug_SetLogSize(never, 10), kErrParam);
    EXPECT_EQ(kLink_Reset(never), kErrParam);
    EXPECT_EQ(kLink_GetPacket(never), nullptr);
    EXPECT_EQ(kLink_DrainPackets(never, drainAll, nullptr), 0);
    EXPECT_EQ(kLink_Destroy(&never), kErrParam);
    EXPECT_EQ(never, 0u);
    EXPECT_EQ(kLink_Create(nullptr), 0u);
}

TEST(Link, ASerialLinkAtAnUnsupportedRateIsRefusedWithoutAnEntry)
{
    EXPECT_EQ(kLink_CreateSerial(0x1234, "/dev/null", 1234), 0u);
    EXPECT_EQ(kLink_CreateSerial(0x1234, "/dev/null", 0), 0u);
    EXPECT_EQ(kLink_CreateSerial(0x1234, "/nonexistent/port", 115200), 0u)
        << "a port that cannot be opened";
}

TEST_F(LinkOverPair, AResetHoldingTheTableMakesAnotherResetBusyAndLeavesTheLinkStopped)
{
    control->holdDelete = true;
    std::future<kErr> first = std::async(std::launch::async, [this] { return kLink_Reset(link); });
    ASSERT_TRUE(Eventually([&] { return control->deleting.load(); }))
        << "the first reset is destroying the stream";
    uint64_t before = kTime_GetMSTicks();
    EXPECT_EQ(kLink_Reset(link), kErrBusy);
    EXPECT_LT(kTime_GetMSTicks() - before, 1000u) << "never waits for the table";
    control->release.set_value();
    EXPECT_EQ(first.get(), kErrParam) << "a caller's stream cannot be remade";
    EXPECT_EQ(Receive(3), Bytes({0xAF, 0x01, 0x00})) << "the reset stopped the link";

    EXPECT_EQ(kLink_GetStatus(link), (uint32_t)kLinkStatusStopped);
    EXPECT_EQ(kLink_AwaitFirst(link, drainAll, nullptr, 5000), nullptr);
    EXPECT_EQ(kLink_PutPacket(link, makePacket({1}).get()), kErrParam) << "no queue to put into";
    EXPECT_EQ(kLink_Reset(link), kErrParam) << "and a second reset changes nothing";
    EXPECT_EQ(kLink_GetStatus(link), (uint32_t)kLinkStatusStopped);
}

TEST_F(LinkOverPair, AStreamReadErrorPersistsAsTheLinkStatus)
{
    close(module);
    module = -1;
    EXPECT_TRUE(StatusBecomes(kLinkStatusIOError));
    kTime_MSSleep(250);
    EXPECT_EQ(kLink_GetStatus(link), (uint32_t)kLinkStatusIOError);
}

// Runs on the reader thread: a filter may use its own link's status and
// queues, but cannot tear the link down, reset it or install a filter.
struct FromFilter {
    uint32_t link;
    std::promise<std::vector<kErr>> results;
    std::atomic<bool> done{false};
};

bool CallBackIntoTheLink(const kPacket*, void* reference)
{
    FromFilter* f = (FromFilter*)reference;
    if (f->done.exchange(true))
        return true;
    uint32_t copy = f->link;
    kPacket* reply = kPacket_CreateWithData(0x04, 1, (const uint8_t*)"\x42");
    std::vector<kErr> results = {kLink_Destroy(&copy), kLink_Reset(f->link),
                                 kLink_InstallUserPacketFilter(f->link, nullptr, nullptr),
                                 (kErr)kLink_GetStatus(f->link), kLink_PutPacket(f->link, reply)};
    (void)kPacket_Destroy(&reply);
    f->results.set_value(results);
    return true;
}

TEST_F(LinkOverPair, ItsOwnReaderThreadCannotDestroyOrResetTheLink)
{
    FromFilter from;
    from.link = link;
    ASSERT_EQ(kLink_InstallUserPacketFilter(link, CallBackIntoTheLink, &from), kErrNone);
    Send(Bytes({0x04, 0x01, 0x17}));
    std::future<std::vector<kErr>> results = from.results.get_future();
    ASSERT_EQ(results.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(results.get(), (std::vector<kErr>{kErrBusy, kErrBusy, kErrDuplicate,
                                                (kErr)kLinkStatusRunning, kErrNone}));
    EXPECT_EQ(Receive(3), Bytes({0x04, 0x01, 0x42})) << "the filter's own reply went out";
    EXPECT_EQ(kLink_GetStatus(link), (uint32_t)kLinkStatusRunning);
    ASSERT_EQ(kLink_InstallUserPacketFilter(link, nullptr, nullptr), kErrNone);
}

// A filter reference that is freed as soon as its filter has been removed:
// a call after the removal would touch freed memory (ASan) or race with the
// free (TSan), and is counted.
struct Counted {
    std::atomic<bool> retired{false};
    std::atomic<int> calls{0};
};
std::atomic<int> lateCalls{0};

bool CountAndTake(const kPacket*, void* reference)
{
    Counted* c = (Counted*)reference;
    if (c->retired)
        lateCalls++;
    c->calls++;
    return true;
}

TEST_F(LinkOverPair, ARemovedFilterIsNeverCalledAgainWhilePacketsFlow)
{
    std::atomic<bool> flowing{true};
    std::thread peer([&] {
        const std::string packet = Bytes({0x04, 0x01, 0x17});
        while (flowing) {
            send(module, packet.data(), packet.size(), MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    int called = 0;
    for (int round = 0; round < 200; round++) {
        Counted* c = new Counted;
        ASSERT_EQ(kLink_InstallUserPacketFilter(link, CountAndTake, c), kErrNone);
        std::this_thread::sleep_for(std::chrono::microseconds(200 + round % 7 * 100));
        ASSERT_EQ(kLink_InstallUserPacketFilter(link, nullptr, nullptr), kErrNone);
        c->retired = true;
        called += c->calls;
        delete c;
    }
    flowing = false;
    peer.join();
    EXPECT_EQ(lateCalls, 0);
    EXPECT_GT(called, 0) << "the filters did see the flow";
}

// The threads of this process, from /proc.
int Threads()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0)
            return (int)strtol(line.c_str() + 8, nullptr, 10);
    return -1;
}

// In a child running as an otherwise unused user, whose threads are capped
// at `threads` (the child itself included): 0 when the create failed, left
// no thread behind and sent no start notice.
int CreateWithThreadLimit(rlim_t threads)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        const uid_t unused = 54321;
        struct rlimit limit = {threads, threads};
        if (setgid(unused) != 0 || setuid(unused) != 0 || setrlimit(RLIMIT_NPROC, &limit) != 0)
            _exit(3);
        kStream* stream = kStream_Create(PairGet, PairPut, PairWrite, PairDelete,
                                         new PairStream{fds[1], std::make_shared<PairControl>()});
        uint32_t link = kLink_Create(stream);
        kTime_MSSleep(50);
        char byte;
        bool noticed = recv(fds[0], &byte, 1, MSG_DONTWAIT) == 1;
        _exit(link != 0 ? 1 : Threads() != 1 ? 2 : noticed ? 4 : 0);
    }
    close(fds[0]);
    close(fds[1]);
    int status = -1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define UNDER_TSAN 1
#endif
#endif

TEST(Link, ALinkThatGetsOnlyOneOfItsThreadsEndsItAndFails)
{
#ifdef UNDER_TSAN
    GTEST_SKIP() << "the sanitizer's own threads do not survive the fork";
#endif
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run as another user";
    EXPECT_EQ(CreateWithThreadLimit(2), 0) << "the reader ran, the writer could not";
    EXPECT_EQ(CreateWithThreadLimit(1), 0) << "no thread at all";
}

} // namespace
