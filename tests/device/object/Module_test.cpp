// The module object against the simulated module: connecting (with the
// address it learns), a router with a module behind it, the debug echo and
// the descriptor exchanges of command 73.

#include "device/object/Module.h"

#include "device/core/kTime.h"
#include "device/object/SystemClass.h"
#include "tests/device/object/object_sim.h"

#include <gtest/gtest.h>

using namespace Kelvane::Vantor;
using namespace objtest;

namespace
{

const uint8_t HUB = 6;

class ModuleObject : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(sim.Start(HubConfig(HUB, extra))); }

    linkSpec Hub() { return TcpSpec(sim.TcpPort("hub")); }

    std::string extra = R"("descriptors": {"class_quantities": {"3": 1, "18": 4},
                           "subclass_quantities": {"18:2": 3}, "entity_groups": {"18:1": 7}}, )";
    VantorSim sim;
};

TEST_F(ModuleObject, ConnectingLearnsTheModulesRealAddress)
{
    Module module(2, 0);
    EXPECT_EQ(module.getStatus(), 8u);
    EXPECT_EQ(module.connect(kLinkTypeTCPIP, 0), kErrParam) << "a serial number is needed";
    ASSERT_EQ(module.connectFromSpec(Hub()), kErrNone);
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(module.getModuleAddress(), HUB);
    EXPECT_EQ(module.connectFromSpec(Hub()), kErrBusy);
    linkSpec spec;
    ASSERT_EQ(module.getLinkSpecifier(&spec), kErrNone);
    EXPECT_EQ(spec.tcpip.ipPort, sim.TcpPort("hub"));
    ASSERT_NE(module.getLink(), nullptr);
    EXPECT_STREQ(module.getLink()->getName(), "Link");

    module.setModuleAddress(4);
    ASSERT_EQ(module.disconnect(), kErrNone);
    EXPECT_FALSE(module.isConnected());
    ASSERT_EQ(module.reconnect(), kErrNone);
    EXPECT_EQ(module.getModuleAddress(), HUB) << "learnt again";

    Module fixed(2, false, 0);
    ASSERT_EQ(fixed.connectFromSpec(Hub()), kErrNone);
    EXPECT_EQ(fixed.getModuleAddress(), 2) << "networking mode off";
    fixed.setNetworkingMode(true);
    (void)fixed.disconnect();
    ASSERT_EQ(fixed.reconnect(), kErrNone);
    EXPECT_EQ(fixed.getModuleAddress(), HUB);
}

TEST_F(ModuleObject, AModuleThatDoesNotTellItsAddressKeepsTheConfiguredOne)
{
    sim.Fault("hub", "ignore_addresses", "[173]");
    Module module(2, 0);
    ASSERT_EQ(module.connectFromSpec(Hub()), kErrNone) << "the connect result stands";
    EXPECT_EQ(module.getModuleAddress(), 2);
    EXPECT_EQ(sim.CountFrames("rx", "ad00"), 4) << "four attempts";
}

TEST_F(ModuleObject, TheDebugEchoMustComeBackWhole)
{
    Module module(HUB, 0);
    const uint8_t bytes[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(module.debug(bytes, sizeof(bytes)), kErrConnection);
    ASSERT_EQ(module.connectFromSpec(Hub()), kErrNone);
    ASSERT_EQ(module.debug(bytes, sizeof(bytes)), kErrNone);
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {23, 1, 2, 3, 4, 5}));
    ASSERT_EQ(module.debug(nullptr, 0), kErrNone);
    uint8_t many[28] = {0};
    EXPECT_EQ(module.debug(many, 28), kErrParam);

    sim.Fault("hub", "mute_commands", "[23]");
    SendFrame(sim, Frame(HUB, {23, 1, 2, 3, 4, 6}));
    EXPECT_EQ(module.debug(bytes, sizeof(bytes)), kErrIO);
    SendFrame(sim, Frame(HUB, {23, 1, 2, 3, 4}));
    EXPECT_EQ(module.debug(bytes, sizeof(bytes)), kErrIO) << "one byte short";
    EXPECT_EQ(module.debug(bytes, sizeof(bytes)), kErrTimeout);
}

TEST_F(ModuleObject, DescriptorsAreAskedWithCommand73)
{
    Module module(HUB, 0);
    uint8_t quantity = 9;
    EXPECT_EQ(module.classQuantity(3, &quantity), kErrConnection);
    EXPECT_EQ(quantity, 0);
    EXPECT_EQ(module.hasUEI(3, 9, 0, 0xC0), kErrParam) << "checked before anything else";
    ASSERT_EQ(module.connectFromSpec(Hub()), kErrNone);

    EXPECT_EQ(module.hasUEI(3, 9, 0, 0x40), 1) << "the answer byte itself";
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {73, 1, 3, 9, 0, 0x40}));
    EXPECT_EQ(module.hasUEI(3, 9, 0, 0x80), 0) << "read-only";
    EXPECT_EQ(module.hasUEI(3, 4, 0, 0x80), 1);
    size_t before = Requests(sim).size();
    EXPECT_EQ(module.hasUEI(3, 9, 0, 0xC0), kErrParam);
    EXPECT_EQ(module.hasUEI(3, 9, 0, 0x41), kErrParam);
    kTime_MSSleep(50);
    EXPECT_EQ(Requests(sim).size(), before) << "nothing was sent";

    ASSERT_EQ(module.classQuantity(18, &quantity), kErrNone);
    EXPECT_EQ(quantity, 4);
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {73, 4, 18}));
    ASSERT_EQ(module.subClassQuantity(18, 2, &quantity), kErrNone);
    EXPECT_EQ(quantity, 3);
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {73, 5, 18, 2}));
    uint8_t group = 0;
    ASSERT_EQ(module.entityGroup(18, 1, &group), kErrNone);
    EXPECT_EQ(group, 7);
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {73, 6, 18, 1}));

    sim.Fault("hub", "mute_commands", "[73]");
    SendFrame(sim, Frame(HUB, {73, 4, 17, 2}));
    EXPECT_EQ(module.classQuantity(18, &quantity), kErrUnknown) << "the echo does not match";
    EXPECT_EQ(quantity, 0);
    SendFrame(sim, Frame(HUB, {73, 0x81, 27}));
    EXPECT_EQ(module.hasUEI(3, 9, 0, 0x40), kErrUnknown);
    EXPECT_EQ(module.entityGroup(18, 1, &group), kErrTimeout);
}

TEST_F(ModuleObject, PacketLogsAreForwardedToTheLink)
{
    Module module(HUB, 0);
    EXPECT_EQ(module.enablePacketLog("/nonexistent/x.log"), kErrConfiguration)
        << "no engine link yet";
    ASSERT_EQ(module.connectFromSpec(Hub()), kErrNone);
    EXPECT_EQ(module.enablePacketLog("/nonexistent/x.log"), kErrResource)
        << "no logger without its file";
}

class RouterModule : public ModuleObject
{
protected:
    void SetUp() override
    {
        extra = R"("behind": [{"name": "sub", "serial": "0000AB01", "address": 8, "model": 20}], )";
        ModuleObject::SetUp();
    }
};

TEST_F(RouterModule, AModuleBehindItIsReachedThroughItsLinkOnceItRoutes)
{
    Module router(2, 0);
    ASSERT_EQ(router.connectFromSpec(Hub()), kErrNone);
    EXPECT_EQ(router.getModuleAddress(), HUB);
    SystemClass routing;
    ASSERT_EQ(routing.init(&router, 0), kErrNone);

    Module sub(8, 0);
    ASSERT_EQ(sub.connectThroughLinkModule(router), kErrNone);
    EXPECT_EQ(sub.connectThroughLinkModule(router), kErrBusy);
    SystemClass system;
    ASSERT_EQ(system.init(&sub, 0), kErrNone);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), kErrTimeout) << "not routed yet";
    ASSERT_EQ(routing.routeToMe(1), kErrNone);
    ASSERT_EQ(system.getSerialNumber(&serial), kErrNone);
    EXPECT_EQ(serial, 0xAB01u);
    uint8_t model = 0;
    ASSERT_EQ(system.getModel(&model), kErrNone);
    EXPECT_EQ(model, 20);
    EXPECT_EQ(sub.getModuleAddress(), 8) << "its own address, not the router's";
    ASSERT_EQ(sub.reconnect(), kErrNone);
    EXPECT_EQ(sub.getModuleAddress(), 8) << "networking mode stays off";
    ASSERT_EQ(routing.routeToMe(0), kErrNone);

    ASSERT_EQ(sub.disconnect(), kErrNone);
    EXPECT_TRUE(router.isConnected()) << "the shared engine link still serves the router";
    ASSERT_EQ(routing.getSerialNumber(&serial), kErrNone);
    EXPECT_EQ(serial, HUB_SERIAL);
}

} // namespace
