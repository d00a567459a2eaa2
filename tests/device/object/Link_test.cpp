// The link object against the simulated module over loopback TCP and a
// pseudo-terminal: what goes on the wire is read back from the module's
// frame log, and odd replies are made by having the module send raw frames.

#include "device/object/Link.h"

#include "device/core/kDirectory.h"
#include "device/core/kLink.h"
#include "device/core/kTime.h"
#include "tests/device/object/object_sim.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace Kelvane::Vantor;
using namespace objtest;

namespace
{

const uint8_t HUB = 6;

class LinkObject : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(sim.Start(HubConfig(address, extra))); }

    /// A link connected to the hub over TCP.
    std::unique_ptr<Link> Connected()
    {
        std::unique_ptr<Link> link(new Link(TcpSpec(sim.TcpPort("hub")), "hub link"));
        EXPECT_EQ(link->connect(), kErrNone);
        return link;
    }

    static uei Record(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier,
                      ueiType type = UEI_TYPE_NONE, uint32_t value = 0)
    {
        uei u = {};
        u.module = module;
        u.command = command;
        u.option = option;
        u.specifier = specifier;
        u.type = type;
        u.value.intVal = value;
        if (type == UEI_TYPE_BYTE)
            u.value.byteVal = (uint8_t)value;
        if (type == UEI_TYPE_SHORT)
            u.value.shortVal = (uint16_t)value;
        return u;
    }

    int address = HUB;
    std::string extra;
    VantorSim sim;
};

TEST_F(LinkObject, ConnectsByItsSpecifierWhichStaysWhileConnected)
{
    std::string longName(2000, 'n');
    Link link(longName.c_str());
    EXPECT_EQ(strlen(link.getName()), 1024u) << "the name copy is cut";
    linkSpec spec;
    EXPECT_EQ(link.getLinkSpecifier(&spec), kErrNotFound);
    EXPECT_EQ(link.connect(), kErrConfiguration);
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(link.getStatus(), 8u) << "no engine link";

    linkSpec hub = TcpSpec(sim.TcpPort("hub"));
    ASSERT_EQ(link.setLinkSpecifier(hub), kErrNone);
    ASSERT_EQ(link.connect(), kErrNone);
    EXPECT_TRUE(link.isConnected());
    EXPECT_EQ(link.getStatus(), (uint32_t)kLinkStatusRunning);
    EXPECT_EQ(link.connect(), kErrNone) << "an existing link is only checked";

    linkSpec other = TcpSpec(1);
    EXPECT_EQ(link.setLinkSpecifier(other), kErrBusy);
    ASSERT_EQ(link.getLinkSpecifier(&spec), kErrNone);
    EXPECT_EQ(spec.tcpip.ipPort, hub.tcpip.ipPort) << "the old specifier stays";

    EXPECT_EQ(link.disconnect(), kErrNone);
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(link.getStatus(), 8u);
    EXPECT_EQ(link.disconnect(), kErrNone);
    EXPECT_EQ(link.setLinkSpecifier(other), kErrNone);
    EXPECT_TRUE(VantorSim::WaitFor([&] { return sim.CountFrames("rx", "af0100") == 1; }))
        << "the engine link was given back";
}

TEST_F(LinkObject, AttachesAnEngineLinkOfTheCallersAndGivesItBack)
{
    const linkSpec hub = TcpSpec(sim.TcpPort("hub"));
    uint32_t id = kLink_CreateTCPIP(hub.tcpip.ipAddress, (uint16_t)hub.tcpip.ipPort);
    ASSERT_NE(id, 0u);
    Link link("attached");
    ASSERT_EQ(link.attachEngineLink(id), kErrNone);
    EXPECT_TRUE(link.isConnected());
    EXPECT_EQ(link.attachEngineLink(id), kErrBusy);
    EXPECT_EQ(link.disconnect(), kErrNone);
    EXPECT_EQ(kLink_GetStatus(id), (uint32_t)kLinkStatusNoStream) << "its one use given back";
}

TEST_F(LinkObject, AModuleThatCannotBeReachedIsNoConnection)
{
    sim.Stop();
    Link link(TcpSpec(sim.TcpPort("hub")), "gone");
    EXPECT_EQ(link.connect(), kErrConnection);
    EXPECT_FALSE(link.isConnected());
}

TEST_F(LinkObject, ConnectGivesUpOnALinkStuckSyncing)
{
    std::unique_ptr<Link> link = Connected();
    sim.Fault("hub", "ignore_addresses", "[173]");
    SendFrame(sim, "03"); // an odd address byte breaks the framing
    ASSERT_TRUE(
        VantorSim::WaitFor([&] { return link->getStatus() == (uint32_t)kLinkStatusSyncing; }));
    EXPECT_FALSE(link->isConnected());
    uint64_t start = kTime_GetMSTicks();
    EXPECT_EQ(link->connect(), kErrConnection);
    EXPECT_GE(kTime_GetMSTicks() - start, 1900u) << "200 polls of 10 ms";
}

TEST_F(LinkObject, SendUEIPacksEachValueTypeMostSignificantByteFirst)
{
    std::unique_ptr<Link> link = Connected();
    ASSERT_EQ(link->sendUEI(Record(HUB, 3, 0x48, 0x20)), kErrNone);
    ASSERT_EQ(link->sendUEI(Record(HUB, 3, 0x88, 0x20, UEI_TYPE_BYTE, 0x2A)), kErrNone);
    ASSERT_EQ(link->sendUEI(Record(HUB, 3, 0x8F, 0x21, UEI_TYPE_SHORT, 0x1234)), kErrNone);
    ASSERT_EQ(link->sendUEI(Record(HUB, 3, 0xA2, 0x20, UEI_TYPE_INT, 0x01020304)), kErrNone);
    ASSERT_EQ(link->sendUEI(Record(HUB, 3, 0x67, 0x20), 2), kErrNone);
    ASSERT_EQ(link->sendUEI(Record(HUB, 3, 0xA7, 0x20, UEI_TYPE_BYTE, 0x2A), 1), kErrNone);
    ASSERT_EQ(link->sendUEI(Record(HUB, 3, 0xA7, 0x20, UEI_TYPE_SHORT, 0xBEEF), 1), kErrNone);
    ASSERT_EQ(link->sendUEI(Record(HUB, 3, 0xA7, 0x20, UEI_TYPE_INT, 0x0A0B0C0D), 3), kErrNone);
    std::vector<std::string> expected = {
        Frame(HUB, {3, 0x48, 0x20}),
        Frame(HUB, {3, 0x88, 0x20, 0x2A}),
        Frame(HUB, {3, 0x8F, 0x21, 0x12, 0x34}),
        Frame(HUB, {3, 0xA2, 0x20, 1, 2, 3, 4}),
        Frame(HUB, {3, 0x67, 0x20, 2}),
        Frame(HUB, {3, 0xA7, 0x20, 1, 0x2A}),
        Frame(HUB, {3, 0xA7, 0x20, 1, 0xBE, 0xEF}),
        Frame(HUB, {3, 0xA7, 0x20, 3, 0x0A, 0x0B, 0x0C, 0x0D}),
    };
    EXPECT_EQ(AwaitRequests(sim, expected.size()), expected);

    EXPECT_EQ(link->sendUEI(Record(3, 3, 0x48, 0x20)), kErrPacket);
    EXPECT_EQ(link->sendUEI(Record(0, 3, 0x48, 0x20)), kErrPacket);
    EXPECT_EQ(link->sendUEI(Record(3, 3, 0x48, 0x20), 1), kErrPacket);
    EXPECT_EQ(link->sendUEI(Record(HUB, 3, 0x48, 0x20, (ueiType)3)), kErrParam);
    EXPECT_EQ(link->sendUEI(Record(HUB, 3, 0xA0, 0x20, UEI_TYPE_BYTES), 1), kErrParam)
        << "a bytes value has no subindex form";
    kTime_MSSleep(50);
    EXPECT_EQ(Requests(sim).size(), expected.size()) << "nothing more was queued";

    (void)link->disconnect();
    EXPECT_EQ(link->sendUEI(Record(HUB, 3, 0x48, 0x20)), kErrConnection);
}

TEST_F(LinkObject, BytesValuesGoAsChunksOf24WithSequenceBytes)
{
    std::unique_ptr<Link> link = Connected();
    uint8_t name[3073];
    for (size_t i = 0; i < sizeof(name); i++)
        name[i] = (uint8_t)('a' + i % 26);
    uei u = Record(HUB, 3, 0xA0, 0x20, UEI_TYPE_BYTES);
    u.value.bytes = name;
    u.bytesLength = 50;
    ASSERT_EQ(link->sendUEI(u), kErrNone);
    std::vector<std::string> frames = AwaitRequests(sim, 3);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], "061c03a020" + Hex(name, 24) + "80");
    EXPECT_EQ(frames[1], "061c03a020" + Hex(name + 24, 24) + "81");
    EXPECT_EQ(frames[2], "060603a020" + Hex(name + 48, 2) + "02");
    EXPECT_TRUE(VantorSim::WaitFor([&] {
        return VantorSim::Text(sim.State("hub"), "device_name") == Hex(name, 50);
    })) << "the module put the value together";

    u.bytesLength = 0;
    u.value.bytes = nullptr;
    ASSERT_EQ(link->sendUEI(u), kErrNone);
    EXPECT_EQ(AwaitRequests(sim, 4).back(), Frame(HUB, {3, 0xA0, 0x20, 0}));

    u.value.bytes = name;
    u.bytesLength = 3073;
    EXPECT_EQ(link->sendUEI(u), kErrParam);
    u.bytesLength = 3072;
    ASSERT_EQ(link->sendUEI(u), kErrNone);
    frames = AwaitRequests(sim, 4 + 128);
    ASSERT_EQ(frames.size(), 4u + 128u) << "the refused value queued nothing";
    EXPECT_EQ(frames[4 + 127], "061c03a020" + Hex(name + 3048, 24) + "7f");
    EXPECT_TRUE(VantorSim::WaitFor(
        [&] { return VantorSim::Text(sim.State("hub"), "device_name") == Hex(name, 3072); }));
}

TEST_F(LinkObject, ReceiveUEIFillsTheRecordByTheReplyLength)
{
    std::unique_ptr<Link> link = Connected();
    auto receive = [&](const std::string& frame, uei* u) {
        SendFrame(sim, frame);
        return link->receiveUEI(HUB, 3, 9, 0, u);
    };
    uei u = Record(HUB, 3, 9, 0, UEI_TYPE_INT, 0x55);
    ASSERT_EQ(receive(Frame(HUB, {3, 9, 0}), &u), kErrNone);
    EXPECT_EQ(u.type, UEI_TYPE_NONE);
    ASSERT_EQ(receive(Frame(HUB, {3, 9, 0, 0xAB}), &u), kErrNone);
    EXPECT_EQ((int)u.type, (int)UEI_TYPE_BYTE);
    EXPECT_EQ(u.value.byteVal, 0xAB);
    ASSERT_EQ(receive(Frame(HUB, {3, 9, 0, 0x12, 0x34}), &u), kErrNone);
    EXPECT_EQ((int)u.type, (int)UEI_TYPE_SHORT);
    EXPECT_EQ(u.value.shortVal, 0x1234);
    ASSERT_EQ(receive(Frame(HUB, {3, 9, 0x20, 1, 2, 3, 4}), &u), kErrNone)
        << "flag bits of the index byte are passed over";
    EXPECT_EQ((int)u.type, (int)UEI_TYPE_INT);
    EXPECT_EQ(u.value.intVal, 0x01020304u);
    ASSERT_EQ(receive(Frame(HUB, {3, 9, 0, 9, 9, 9}), &u), kErrNone) << "length 6 is taken";
    EXPECT_EQ((int)u.type, (int)UEI_TYPE_INT) << "and leaves the type as it was";
    EXPECT_EQ(u.value.intVal, 0x01020304u);

    ASSERT_EQ(receive(Frame(HUB, {3, 9, 0xA0, 0x12}), &u), kErrNone);
    EXPECT_EQ(u.specifier, 0xA0) << "the error bit is left for the caller";
    EXPECT_EQ(u.value.byteVal, 0x12);

    uei other = Record(HUB, 3, 9, 0);
    SendFrame(sim, Frame(8, {3, 9, 0, 1}));
    SendFrame(sim, Frame(HUB, {3, 8, 0, 1}));
    SendFrame(sim, Frame(HUB, {3, 9, 1, 1}));
    EXPECT_EQ(link->receiveUEI(HUB, 3, 9, 0, &other), kErrTimeout)
        << "another address, option or index";
    EXPECT_EQ(link->receiveUEI(3, 3, 9, 0, &other), kErrPacket);

    SendFrame(sim, Frame(HUB, {3, 9, 0, 1}));
    SendFrame(sim, Frame(HUB, {3, 9, 0, 2}));
    SendFrame(sim, Frame(HUB, {3, 7, 0, 3}));
    kTime_MSSleep(200);
    EXPECT_EQ(link->dropMatchingUEIPackets(HUB, 3, 9, 0), kErrNone);
    EXPECT_EQ(link->receiveUEI(HUB, 3, 9, 0, &other), kErrTimeout) << "both were dropped";
    other.option = 7;
    EXPECT_EQ(link->receiveUEI(HUB, 3, 7, 0, &other), kErrNone) << "another option stays";
    EXPECT_EQ(other.value.byteVal, 3);
}

TEST_F(LinkObject, HeldRepliesOutlastTheReceiveQueuesBound)
{
    std::unique_ptr<Link> link = Connected();
    uei u = Record(HUB, 3, 32, 0);
    EXPECT_EQ(Link("idle").holdReplies(u), kErrConfiguration);
    ASSERT_EQ(link->holdReplies(u), kErrNone);
    EXPECT_EQ(link->holdReplies(Record(HUB, 3, 9, 0)), kErrBusy) << "one hold at a time";
    std::string burst;
    for (uint8_t i = 0; i < 30; i++)
        burst += Frame(HUB, {3, 32, 0, i});
    burst += Frame(HUB, {3, 9, 0, 0x77});
    SendFrame(sim, burst);
    for (uint8_t i = 0; i < 30; i++) {
        ASSERT_EQ(link->receiveUEI(HUB, 3, 32, 0, &u), kErrNone) << (int)i;
        EXPECT_EQ(u.value.byteVal, i);
    }
    uei other = Record(HUB, 3, 9, 0);
    ASSERT_EQ(link->receiveUEI(HUB, 3, 9, 0, &other), kErrNone) << "others stay in the queue";
    EXPECT_EQ(other.value.byteVal, 0x77);

    SendFrame(sim, Frame(HUB, {3, 32, 0, 0xEE}));
    kTime_MSSleep(100);
    link->releaseReplies();
    EXPECT_EQ(link->receiveUEI(HUB, 3, 32, 0, &u), kErrTimeout) << "dropped with the hold";
    SendFrame(sim, Frame(HUB, {3, 32, 0, 0xEF}));
    ASSERT_EQ(link->receiveUEI(HUB, 3, 32, 0, &u), kErrNone) << "from the receive queue again";
    EXPECT_EQ(u.value.byteVal, 0xEF);
}

TEST_F(LinkObject, PlainPacketsMatchOnTheirLeadingBytesFromTheModuleAsked)
{
    std::unique_ptr<Link> link = Connected();
    uint8_t bytes[28];
    for (int i = 0; i < 28; i++)
        bytes[i] = (uint8_t)(i + 1);
    EXPECT_EQ(link->sendPacket(HUB, 23, 28, bytes), kErrParam);
    EXPECT_EQ(link->sendPacket(7, 23, 2, bytes), kErrPacket);
    ASSERT_EQ(link->sendPacket(HUB, 23, 27, bytes), kErrNone);
    std::vector<std::string> frames = AwaitRequests(sim, 1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], "061c17" + Hex(bytes, 27)) << "a 28-byte packet";
    uint8_t match[1] = {23};
    uint8_t length = 1;
    uint8_t data[28];
    ASSERT_EQ(link->receivePacket(HUB, match, &length, data), kErrNone);
    EXPECT_EQ(length, 28) << "the echo";
    EXPECT_EQ(Hex(data, length), "17" + Hex(bytes, 27));

    SendFrame(sim, Frame(8, {0x17, 0xAA, 0xBB}));
    SendFrame(sim, Frame(HUB, {0x49, 4, 3, 1}));
    match[0] = 0x17;
    length = 0;
    ASSERT_EQ(link->receivePacket(HUB, nullptr, &length, data), kErrNone);
    EXPECT_EQ(Hex(data, length), "49040301") << "a count of 0 takes any packet of the module";
    length = 1;
    EXPECT_EQ(link->receivePacket(HUB, match, &length, data), kErrTimeout) << "not address 8's";
    ASSERT_EQ(link->receivePacket(8, match, &length, data), kErrNone);
    EXPECT_EQ(length, 3) << "from address 8 when it is asked, with its full length";
    EXPECT_EQ(Hex(data, 3), "17aabb");
    EXPECT_EQ(link->receivePacket(5, match, &length, data), kErrPacket);
}

TEST_F(LinkObject, PacketsNobodyAskedForNeverPushOutAnAwaitedReply)
{
    std::unique_ptr<Link> link = Connected();
    const uint8_t echo[2] = {0xEC, 0x01};
    ASSERT_EQ(link->sendPacket(HUB, 23, sizeof(echo), echo), kErrNone);
    ASSERT_EQ(AwaitRequests(sim, 1).size(), 1u);
    std::string burst;
    for (uint8_t i = 0; i < 30; i++)
        burst += Frame(HUB, {0x7E, i});
    SendFrame(sim, burst);
    kTime_MSSleep(100);
    const uint8_t match[1] = {23};
    uint8_t length = 1;
    uint8_t data[28];
    ASSERT_EQ(link->receivePacket(HUB, match, &length, data), kErrNone);
    EXPECT_EQ(Hex(data, length), "17ec01") << "the echo outlasts 30 packets of another command";
}

TEST_F(LinkObject, TheModuleTellsItsAddressUnlessItIgnoresTheQuery)
{
    std::unique_ptr<Link> link = Connected();
    uint8_t address = 99;
    ASSERT_EQ(link->getModuleAddress(&address), kErrNone);
    EXPECT_EQ(address, HUB);
    sim.Fault("hub", "ignore_addresses", "[173]");
    EXPECT_EQ(link->getModuleAddress(&address), kErrNotReady);
    EXPECT_EQ(address, 0);
    (void)link->disconnect();
    EXPECT_EQ(link->getModuleAddress(&address), kErrNotReady);
}

TEST_F(LinkObject, WorksOverASerialLink)
{
    Link link(SerialSpec(sim.SerialPath("hub")), "serial");
    ASSERT_EQ(link.connect(), kErrNone);
    ASSERT_EQ(link.sendUEI(Record(HUB, 3, 0x49, 0x20)), kErrNone);
    uei u = Record(HUB, 3, 9, 0);
    ASSERT_EQ(link.receiveUEI(HUB, 3, 9, 0, &u), kErrNone);
    EXPECT_EQ(u.value.intVal, HUB_SERIAL);
    uint8_t name[30];
    for (size_t i = 0; i < sizeof(name); i++)
        name[i] = (uint8_t)(0xF0 - i);
    uei bytes = Record(HUB, 3, 0xA0, 0x20, UEI_TYPE_BYTES);
    bytes.value.bytes = name;
    bytes.bytesLength = sizeof(name);
    ASSERT_EQ(link.sendUEI(bytes), kErrNone);
    EXPECT_TRUE(VantorSim::WaitFor([&] {
        return VantorSim::Text(sim.State("hub"), "device_name") == Hex(name, sizeof(name));
    }));
    EXPECT_EQ(sim.CountFrames("rx", Frame(HUB, {3, 0x49, 0x20}), "serial"), 1);
}

class PacketLog : public LinkObject
{
protected:
    void SetUp() override
    {
        address = 2;
        char templ[] = "/tmp/packet-log-test-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
        LinkObject::SetUp();
    }
    void TearDown() override { (void)kDirectory_DeleteTree(dir.c_str()); }

    std::string Log() const
    {
        std::ifstream in(dir + "/packets.log", std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string dir;
};

TEST_F(PacketLog, WritesAStartMarkAndOneLinePerPacket)
{
    std::string path = dir + "/packets.log";
    Link link(TcpSpec(sim.TcpPort("hub")), "logged");
    EXPECT_EQ(link.enablePacketLog(path.c_str()), kErrConfiguration) << "no engine link yet";
    EXPECT_EQ(link.disablePacketLog(), kErrConfiguration);
    ASSERT_EQ(link.connect(), kErrNone);
    // The start notice goes out just after the link runs, and the writer
    // would record it after its pause.
    ASSERT_TRUE(VantorSim::WaitFor([&] { return sim.CountFrames("rx", "af0101") == 1; }));
    kTime_MSSleep(50);
    ASSERT_EQ(link.enablePacketLog(path.c_str()), kErrNone);
    ASSERT_EQ(link.sendUEI(Record(2, 3, 0x48, 0x20)), kErrNone);
    uei u = Record(2, 3, 8, 0);
    ASSERT_EQ(link.receiveUEI(2, 3, 8, 0, &u), kErrNone);
    const std::string start("6 < START\0\r\n", 12);
    const std::string sent = "5 > 0x2 0x3 0x3 0x48 0x20 \r\n";
    const std::string received = "6 < 0x2 0x4 0x3 0x8 0x0 0x11 \r\n";
    size_t whole = (start + sent + received).size();
    ASSERT_TRUE(VantorSim::WaitFor([&] { return Log().size() >= whole; }));
    // The writer records a packet after the pause that follows its sending,
    // so the reply may come first.
    std::string log = Log();
    EXPECT_EQ(log.size(), whole);
    EXPECT_EQ(log.compare(0, start.size(), start), 0) << log;
    EXPECT_NE(log.find(sent), std::string::npos) << log;
    EXPECT_NE(log.find(received), std::string::npos) << log;

    ASSERT_EQ(link.disablePacketLog(), kErrNone);
    ASSERT_EQ(link.sendUEI(Record(2, 3, 0x48, 0x20)), kErrNone);
    kTime_MSSleep(100);
    EXPECT_EQ(Log(), log) << "nothing after the log was stopped";
}

// The logger reads the engine link until it is ended: a disconnect and a
// destruction must end it before the engine link goes, while it is busy.
TEST_F(PacketLog, EndsBeforeTheEngineLinkGoes)
{
    std::string path = dir + "/packets.log";
    for (int round = 0; round < 200; round++) {
        Link link(TcpSpec(sim.TcpPort("hub")), "logged");
        ASSERT_EQ(link.connect(), kErrNone);
        ASSERT_EQ(link.enablePacketLog(path.c_str()), kErrNone);
        for (int i = 0; i < 3; i++)
            ASSERT_EQ(link.sendUEI(Record(2, 3, 0x48, 0x20)), kErrNone);
        if (round % 2) {
            ASSERT_EQ(link.disconnect(), kErrNone);
        }
    }
}

} // namespace
