// The link engine against the simulated module (tools/vantor-sim) over its
// real transports: TCP on 127.0.0.1 and a pseudo-terminal serial port.
// What the module saw is read back from the simulator's frame log and
// state; the host side is the engine itself.

#include "device/core/kDirectory.h"
#include "device/core/kLink.h"
#include "device/core/kTime.h"
#include "tests/device/core/test_packets.h"
#include "tests/support/VantorSim.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <string>

namespace
{

const uint32_t HUB_SERIAL = 0x1A2B3C4D;
const uint8_t HUB = 6;
const uint8_t TWIN = 8;

std::string Config(int heartbeatInterval = 0)
{
    char hub[512];
    snprintf(hub, sizeof(hub),
             R"({"name": "hub", "serial": "1A2B3C4D", "address": %d,
                 "heartbeat": {"interval": %d, "unit_ms": 50, "answer_timeout_ms": 40},
                 "transports": {"tcp": {"bind": "127.0.0.1", "port": 0}, "serial": {}, "node": {}}})",
             HUB, heartbeatInterval);
    char twin[256];
    snprintf(twin, sizeof(twin),
             R"({"name": "twin", "serial": "0000BEEF", "address": %d,
                 "transports": {"tcp": {"bind": "127.0.0.1", "port": 0}}})",
             TWIN);
    return std::string(R"({"frame_timeout_ms": 100, "modules": [)") + hub + ", " + twin + "]}";
}

uint32_t Loopback()
{
    return htonl(INADDR_LOOPBACK);
}

class LinkWithSimulator : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(sim.Start(Config(heartbeat))); }

    void TearDown() override
    {
        for (uint32_t& id : links)
            if (id)
                (void)kLink_Destroy(&id);
        sim.Stop();
    }

    uint32_t Keep(uint32_t id)
    {
        links.push_back(id);
        return id;
    }

    static bool Running(uint32_t id)
    {
        return VantorSim::WaitFor([&] { return kLink_GetStatus(id) == kLinkStatusRunning; });
    }

public:
    /// Sends the debug echo (command 23) and awaits the module's reply.
    static PacketPtr Echo(uint32_t id, uint8_t address, uint8_t tag)
    {
        const uint8_t data[] = {23, tag, 0x5A};
        PacketPtr request(kPacket_CreateWithData(address, 3, data));
        EXPECT_EQ(kLink_PutPacket(id, request.get()), kErrNone);
        return PacketPtr(kLink_AwaitFirst(id, IsEcho, &tag, 2000));
    }

    static bool IsEcho(const kPacket* packet, void* reference)
    {
        return packet->length == 3 && packet->data[0] == 23 &&
               packet->data[1] == *(uint8_t*)reference;
    }

protected:
    long long Heartbeats(const char* what) { return VantorSim::Number(sim.State("hub"), what); }

    int heartbeat = 0;
    VantorSim sim;
    std::vector<uint32_t> links;
};

TEST_F(LinkWithSimulator, ASerialLinkIsSharedBySerialNumberUntilItsLastUse)
{
    std::string port = sim.SerialPath("hub");
    ASSERT_FALSE(port.empty());
    uint32_t first = Keep(kLink_CreateSerial(HUB_SERIAL, port.c_str(), 115200));
    ASSERT_NE(first, 0u);
    uint32_t second = Keep(kLink_CreateSerial(HUB_SERIAL, port.c_str(), 115200));
    EXPECT_EQ(second, first) << "one link per module";
    ASSERT_TRUE(Running(first));
    EXPECT_TRUE(VantorSim::WaitFor([&] { return sim.CountFrames("rx", "af0101") == 1; }))
        << "one start notice";

    ASSERT_EQ(kLink_Destroy(&links[0]), kErrNone);
    EXPECT_EQ(kLink_GetStatus(second), (uint32_t)kLinkStatusRunning) << "one use is left";
    PacketPtr reply = Echo(second, HUB, 1);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->address, HUB);
    EXPECT_EQ(sim.CountFrames("rx", "af0100"), 0);

    ASSERT_EQ(kLink_Destroy(&links[1]), kErrNone);
    EXPECT_EQ(kLink_GetStatus(second), (uint32_t)kLinkStatusNoStream) << "torn down";
    EXPECT_TRUE(VantorSim::WaitFor([&] { return sim.CountFrames("rx", "af0100") == 1; }))
        << "the stop notice";
}

TEST_F(LinkWithSimulator, TwoModulesAtOneAddressOnDifferentPortsGetTwoLinks)
{
    uint32_t hub = Keep(kLink_CreateTCPIP(Loopback(), sim.TcpPort("hub")));
    uint32_t twin = Keep(kLink_CreateTCPIP(Loopback(), sim.TcpPort("twin")));
    ASSERT_NE(hub, 0u);
    ASSERT_NE(twin, 0u);
    EXPECT_NE(hub, twin);
    EXPECT_EQ(Keep(kLink_CreateTCPIP(Loopback(), sim.TcpPort("twin"))), twin);
    ASSERT_TRUE(Running(hub));
    ASSERT_TRUE(Running(twin));
    PacketPtr fromHub = Echo(hub, HUB, 2);
    PacketPtr fromTwin = Echo(twin, TWIN, 3);
    ASSERT_NE(fromHub, nullptr);
    ASSERT_NE(fromTwin, nullptr);
    EXPECT_EQ(fromHub->address, HUB);
    EXPECT_EQ(fromTwin->address, TWIN);
}

class LinkWithHeartbeats : public LinkWithSimulator
{
protected:
    void SetUp() override
    {
        heartbeat = 1; // every 50 ms
        LinkWithSimulator::SetUp();
    }
};

bool TakeEverything(const kPacket*, void*)
{
    return true;
}

TEST_F(LinkWithHeartbeats, HeartbeatsAreAnsweredUnlessAFilterTakesThem)
{
    uint32_t id = Keep(kLink_CreateTCPIP(Loopback(), sim.TcpPort("hub")));
    ASSERT_TRUE(Running(id));
    ASSERT_TRUE(VantorSim::WaitFor([&] { return Heartbeats("answered") >= 5; }));
    EXPECT_EQ(Heartbeats("wrong"), 0);
    EXPECT_EQ(kLink_GetPacket(id), nullptr) << "the heartbeats stayed out of the queue";

    ASSERT_EQ(kLink_InstallUserPacketFilter(id, TakeEverything, nullptr), kErrNone);
    long long answered = Heartbeats("answered");
    long long missing = Heartbeats("missing");
    ASSERT_TRUE(VantorSim::WaitFor([&] { return Heartbeats("missing") >= missing + 3; }));
    EXPECT_LE(Heartbeats("answered"), answered + 1) << "at most one answer was on its way";
    EXPECT_EQ(kLink_GetPacket(id), nullptr);
}

bool IsAddressAnswer(const kPacket* packet, void*)
{
    return packet->length == 0;
}

TEST_F(LinkWithSimulator, ACorruptedByteResynchronisesTheLink)
{
    uint32_t id = Keep(kLink_CreateTCPIP(Loopback(), sim.TcpPort("hub")));
    ASSERT_TRUE(Running(id));
    sim.Fault("hub", "corrupt_byte", "true");
    PacketPtr lost = Echo(id, HUB, 4);
    EXPECT_EQ(lost, nullptr) << "the corrupted reply is lost";
    EXPECT_GE(sim.CountFrames("rx", "ad00"), 6) << "the synchronisation request";
    ASSERT_TRUE(Running(id)) << sim.CountFrames("rx", "ad00") << " requests, status "
                             << kLink_GetStatus(id);
    PacketPtr reply = Echo(id, HUB, 5);
    ASSERT_NE(reply, nullptr) << "framing works again";
    EXPECT_GT(kLink_DrainPackets(id, IsAddressAnswer, nullptr), 0)
        << "the answers after the first four bytes are queued as empty packets";
    kTime_MSSleep(100);
    int requests = sim.CountFrames("rx", "ad00");
    kTime_MSSleep(200);
    EXPECT_EQ(sim.CountFrames("rx", "ad00"), requests) << "no more requests once synchronised";
}

TEST_F(LinkWithSimulator, ADroppedConnectionIsRepairedByTheSocketStream)
{
    uint32_t id = Keep(kLink_CreateTCPIP(Loopback(), sim.TcpPort("hub")));
    ASSERT_TRUE(Running(id));
    ASSERT_NE(Echo(id, HUB, 6), nullptr);
    sim.Fault("hub", "drop_after_frames", "1");
    Echo(id, HUB, 7); // the frame after which the module drops the link
    PacketPtr reply;
    for (uint8_t tag = 8; tag < 20 && !reply; tag++)
        reply = Echo(id, HUB, tag);
    ASSERT_NE(reply, nullptr) << "answered over a new connection";
    EXPECT_EQ(kLink_GetStatus(id), (uint32_t)kLinkStatusRunning);
    int opened = 0;
    for (const std::string& line : sim.FrameLog())
        opened += line.find("\"session open\"") != std::string::npos &&
                  line.find("\"tcp\"") != std::string::npos;
    EXPECT_EQ(opened, 2);
}

TEST_F(LinkWithSimulator, AResetReconnectsAndOneThatCannotLeavesTheLinkStopped)
{
    uint32_t id = Keep(kLink_CreateTCPIP(Loopback(), sim.TcpPort("hub")));
    ASSERT_TRUE(Running(id));
    ASSERT_EQ(kLink_Reset(id), kErrNone);
    ASSERT_TRUE(Running(id));
    EXPECT_TRUE(VantorSim::WaitFor([&] { return sim.CountFrames("rx", "af0101") == 2; }))
        << "stopped and started again";
    EXPECT_EQ(sim.CountFrames("rx", "af0100"), 1);
    ASSERT_NE(Echo(id, HUB, 9), nullptr);

    sim.Stop();
    std::future<kErr> reset = std::async(std::launch::async, [id] { return kLink_Reset(id); });
    kTime_MSSleep(300);
    EXPECT_EQ(kLink_Reset(id), kErrBusy) << "the table is held by the first reset";
    EXPECT_EQ(reset.get(), kErrResource) << "no connection in 20 attempts";
    EXPECT_EQ(kLink_GetStatus(id), (uint32_t)kLinkStatusStopped);
    EXPECT_EQ(kLink_AwaitFirst(id, drainAll, nullptr, 1000), nullptr);
}

// Makes the pseudo-terminal `node` visible as the module's kernel device
// node in a private mount namespace of this (child) process: /dev is
// overlaid with an upper layer in the scratch directory `w` holding the
// symlink, and /dev/pts is carried over, so the real /dev is never touched.
// The node reads like the driver's, returning at once when no byte is there.
bool ShowKernelNode(const std::string& w, const std::string& node, uint32_t serial)
{
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    std::string upper = w + "/upper", work = w + "/work", pts = w + "/pts";
    std::string options = "lowerdir=/dev,upperdir=" + upper + ",workdir=" + work;
    if (mkdir(upper.c_str(), 0755) != 0 || mkdir(work.c_str(), 0755) != 0 ||
        mkdir(pts.c_str(), 0755) != 0 ||
        mount("/dev/pts", pts.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount("overlay", "/dev", "overlay", 0, options.c_str()) != 0 ||
        mount(pts.c_str(), "/dev/pts", nullptr, MS_MOVE, nullptr) != 0)
        return false;
    char name[64];
    snprintf(name, sizeof(name), "/dev/vantor.%08X", serial);
    if (symlink(node.c_str(), name) != 0)
        return false;
    int fd = open(node.c_str(), O_RDWR | O_NOCTTY);
    struct termios t;
    bool ok = fd >= 0 && tcgetattr(fd, &t) == 0;
    if (ok) {
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        ok = tcsetattr(fd, TCSANOW, &t) == 0;
    }
    if (fd >= 0)
        close(fd);
    return ok;
}

// The child's part: 0 when every step held, else the number of the step
// that failed; 77 when the namespace could not be made.
int UsbLinkSteps(const std::string& scratch, const std::string& node)
{
    if (!ShowKernelNode(scratch, node, HUB_SERIAL))
        return 77;
    uint32_t first = kLink_CreateUSB(HUB_SERIAL);
    uint32_t second = kLink_CreateUSB(HUB_SERIAL);
    auto running = [](uint32_t id) {
        return VantorSim::WaitFor([&] { return kLink_GetStatus(id) == kLinkStatusRunning; });
    };
    if (first == 0 || second != first || !running(first))
        return 1;
    if (kLink_Destroy(&first) != kErrNone || kLink_GetStatus(second) != kLinkStatusRunning)
        return 2;
    if (kLink_Reset(second) != kErrNone || !running(second))
        return 3;
    const uint8_t data[] = {23, 0x77, 0x5A};
    uint8_t tag = 0x77;
    kPacket* request = kPacket_CreateWithData(HUB, 3, data);
    (void)kLink_PutPacket(second, request);
    (void)kPacket_Destroy(&request);
    kPacket* reply = kLink_AwaitFirst(second, LinkWithSimulator::IsEcho, &tag, 2000);
    bool answered = reply != nullptr;
    (void)kPacket_Destroy(&reply);
    if (!answered)
        return 4;
    uint32_t copy = second;
    if (kLink_Destroy(&second) != kErrNone || kLink_GetStatus(copy) != kLinkStatusNoStream)
        return 5;
    return 0;
}

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define UNDER_TSAN 1
#endif
#endif

TEST_F(LinkWithSimulator, AUSBLinkIsSharedBySerialNumberAndResetOnANewStream)
{
#ifdef UNDER_TSAN
    GTEST_SKIP() << "the link runs in a forked child, which the sanitizer does not support";
#endif
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private mount namespace";
    std::string node = sim.NodePath("hub");
    ASSERT_FALSE(node.empty());
    char scratch[] = "/tmp/link-node-test-XXXXXX";
    ASSERT_NE(mkdtemp(scratch), nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(UsbLinkSteps(scratch, node));
    int status = -1;
    pid_t ended = waitpid(pid, &status, 0);
    (void)kDirectory_DeleteTree(scratch);
    ASSERT_EQ(ended, pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "cannot overlay /dev in a private mount namespace";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the step that failed";
    // The last stop notice may still be on its way to the module when the
    // child has ended.
    VantorSim::WaitFor([&] { return sim.CountFrames("rx", "af0100", "node") >= 2; });
    EXPECT_EQ(sim.CountFrames("rx", "af0101", "node"), 2) << "started, then started again";
    EXPECT_EQ(sim.CountFrames("rx", "af0100", "node"), 2) << "stopped by the reset and the end";
}

// The child's part: in a network namespace of its own, 192.0.2.1 is routed
// to a neighbour that never answers, so a connection to it hangs. Its link
// must be made (without a stream) within the connect limit, and a serial
// link to the simulator must be made and answer meanwhile. 77: no namespace.
int UnreachablePeerSteps(const std::string& port)
{
    if (unshare(CLONE_NEWNET) != 0 ||
        system("ip link set lo up && ip link add va type veth peer name vb && "
               "ip link set va up && ip link set vb up && "
               "ip route add 192.0.2.0/24 dev va && "
               "ip neigh replace 192.0.2.1 lladdr 02:00:00:00:00:01 dev va nud permanent") != 0)
        return 77;
    std::atomic<bool> connecting(true);
    uint64_t start = kTime_GetMSTicks();
    std::future<uint32_t> far = std::async(std::launch::async, [&] {
        uint32_t id = kLink_CreateTCPIP(inet_addr("192.0.2.1"), 9);
        connecting = false;
        return id;
    });
    kTime_MSSleep(200);
    uint32_t near = kLink_CreateSerial(HUB_SERIAL, port.c_str(), 115200);
    bool answered =
        near && VantorSim::WaitFor([&] { return kLink_GetStatus(near) == kLinkStatusRunning; }) &&
        LinkWithSimulator::Echo(near, HUB, 9) != nullptr;
    bool meanwhile = connecting;
    uint32_t farLink = far.get();
    uint64_t took = kTime_GetMSTicks() - start;
    (void)kLink_Destroy(&near);
    (void)kLink_Destroy(&farLink);
    if (!answered || !meanwhile)
        return 1;
    return took < 6000 ? 0 : 2;
}

TEST_F(LinkWithSimulator, AnUnreachablePeerNeitherStallsItsCreatorNorAnotherCaller)
{
#ifdef UNDER_TSAN
    GTEST_SKIP() << "the links run in a forked child, which the sanitizer does not support";
#endif
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private network namespace";
    std::string port = sim.SerialPath("hub");
    pid_t pid = fork();
    if (pid == 0)
        _exit(UnreachablePeerSteps(port));
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "cannot route 192.0.2.1 in a private network namespace";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the other link waited, 2: the connect did";
}

} // namespace
