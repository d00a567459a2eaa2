// Every operation of the system entity against the simulated module: the
// option and direction it sends, and the values it reads.

#include "device/object/SystemClass.h"

#include "device/object/Module.h"
#include "tests/device/object/object_sim.h"

#include <gtest/gtest.h>

#include <functional>

using namespace Kelvane::Vantor;
using namespace objtest;

namespace
{

const uint8_t HUB = 6;

class SystemEntity : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.Start(HubConfig(HUB, R"("options": {
            "27": {"type": "s32", "value": -5},
            "31": {"type": "bytes", "capacity": 64, "writable": true}}, )")));
        ASSERT_EQ(module.connectFromSpec(TcpSpec(sim.TcpPort("hub"))), kErrNone);
        ASSERT_EQ(system.init(&module, 0), kErrNone);
    }

    VantorSim sim;
    Module module{HUB, 0};
    SystemClass system;
};

struct Exchange {
    const char* name;
    std::function<kErr(SystemClass&)> call;
    /// The request's data bytes.
    std::vector<uint8_t> request;
};

TEST_F(SystemEntity, EachOperationSendsItsOptionAndDirection)
{
    uint8_t b = 0;
    uint32_t w = 0;
    int32_t s = 0;
    const Exchange exchanges[] = {
        {"getModule", [&](SystemClass& x) { return x.getModule(&b); }, {3, 0x41, 0x20}},
        {"setRouter", [&](SystemClass& x) { return x.setRouter(4); }, {3, 0x82, 0x20, 4}},
        {"getRouter", [&](SystemClass& x) { return x.getRouter(&b); }, {3, 0x42, 0x20}},
        {"setHBInterval", [&](SystemClass& x) { return x.setHBInterval(0); }, {3, 0x83, 0x20, 0}},
        {"getHBInterval", [&](SystemClass& x) { return x.getHBInterval(&b); }, {3, 0x43, 0x20}},
        {"setLED", [&](SystemClass& x) { return x.setLED(7); }, {3, 0x84, 0x20, 1}},
        {"setLED off", [&](SystemClass& x) { return x.setLED(0); }, {3, 0x84, 0x20, 0}},
        {"getLED", [&](SystemClass& x) { return x.getLED(&b); }, {3, 0x44, 0x20}},
        {"setBootSlot", [&](SystemClass& x) { return x.setBootSlot(1); }, {3, 0x86, 0x20, 1}},
        {"getBootSlot", [&](SystemClass& x) { return x.getBootSlot(&b); }, {3, 0x46, 0x20}},
        {"getVersion", [&](SystemClass& x) { return x.getVersion(&w); }, {3, 0x47, 0x20}},
        {"getModel", [&](SystemClass& x) { return x.getModel(&b); }, {3, 0x48, 0x20}},
        {"getSerialNumber", [&](SystemClass& x) { return x.getSerialNumber(&w); }, {3, 0x49, 0x20}},
        {"save", [&](SystemClass& x) { return x.save(); }, {3, 0x8A, 0x20}},
        {"getInputVoltage", [&](SystemClass& x) { return x.getInputVoltage(&w); }, {3, 0x4C, 0x20}},
        {"getModuleHardwareOffset",
         [&](SystemClass& x) { return x.getModuleHardwareOffset(&b); },
         {3, 0x4D, 0x20}},
        {"getModuleBaseAddress",
         [&](SystemClass& x) { return x.getModuleBaseAddress(&b); },
         {3, 0x4E, 0x20}},
        {"setModuleSoftwareOffset",
         [&](SystemClass& x) { return x.setModuleSoftwareOffset(2); },
         {3, 0x8F, 0x20, 2}},
        {"getModuleSoftwareOffset",
         [&](SystemClass& x) { return x.getModuleSoftwareOffset(&b); },
         {3, 0x4F, 0x20}},
        {"getRouterAddressSetting",
         [&](SystemClass& x) { return x.getRouterAddressSetting(&b); },
         {3, 0x50, 0x20}},
        {"routeToMe", [&](SystemClass& x) { return x.routeToMe(1); }, {3, 0x94, 0x20, 1}},
        {"getInputCurrent", [&](SystemClass& x) { return x.getInputCurrent(&w); }, {3, 0x55, 0x20}},
        {"getUptime", [&](SystemClass& x) { return x.getUptime(&w); }, {3, 0x56, 0x20}},
        {"getMaximumTemperature",
         [&](SystemClass& x) { return x.getMaximumTemperature(&s); },
         {3, 0x57, 0x20}},
        {"logEvents", [&](SystemClass& x) { return x.logEvents(); }, {3, 0x98, 0x20}},
        {"getUnregulatedVoltage",
         [&](SystemClass& x) { return x.getUnregulatedVoltage(&s); },
         {3, 0x59, 0x20}},
        {"getUnregulatedCurrent",
         [&](SystemClass& x) { return x.getUnregulatedCurrent(&s); },
         {3, 0x5A, 0x20}},
        {"getTemperature", [&](SystemClass& x) { return x.getTemperature(&s); }, {3, 0x5B, 0x20}},
        {"getMinimumTemperature",
         [&](SystemClass& x) { return x.getMinimumTemperature(&s); },
         {3, 0x5C, 0x20}},
        {"getInputPowerSource",
         [&](SystemClass& x) { return x.getInputPowerSource(&b); },
         {3, 0x5D, 0x20}},
        {"getPowerLimit", [&](SystemClass& x) { return x.getPowerLimit(&w); }, {3, 0x61, 0x20}},
        {"setPowerLimitMax",
         [&](SystemClass& x) { return x.setPowerLimitMax(0x1234); },
         {3, 0xA2, 0x20, 0, 0, 0x12, 0x34}},
        {"getPowerLimitMax",
         [&](SystemClass& x) { return x.getPowerLimitMax(&w); },
         {3, 0x62, 0x20}},
        {"getPowerLimitState",
         [&](SystemClass& x) { return x.getPowerLimitState(&w); },
         {3, 0x63, 0x20}},
        {"resetEntityToFactoryDefaults",
         [&](SystemClass& x) { return x.resetEntityToFactoryDefaults(); },
         {3, 0xA4, 0x20}},
        {"resetDeviceToFactoryDefaults",
         [&](SystemClass& x) { return x.resetDeviceToFactoryDefaults(); },
         {3, 0xA5, 0x20}},
        {"setLinkInterface",
         [&](SystemClass& x) { return x.setLinkInterface(1); },
         {3, 0xA6, 0x20, 1}},
        {"getLinkInterface",
         [&](SystemClass& x) { return x.getLinkInterface(&b); },
         {3, 0x66, 0x20}},
        {"getHardwareVersion",
         [&](SystemClass& x) { return x.getHardwareVersion(&w); },
         {3, 0x68, 0x20}},
        {"getErrors", [&](SystemClass& x) { return x.getErrors(&w); }, {3, 0x69, 0x20}},
    };
    for (const Exchange& e : exchanges) {
        SCOPED_TRACE(e.name);
        size_t before = Requests(sim).size();
        EXPECT_EQ(e.call(system), kErrNone);
        std::vector<std::string> requests = AwaitRequests(sim, before + 1);
        ASSERT_EQ(requests.size(), before + 1);
        std::vector<uint8_t> frame = {HUB, (uint8_t)e.request.size()};
        frame.insert(frame.end(), e.request.begin(), e.request.end());
        EXPECT_EQ(requests.back(), Hex(frame.data(), frame.size()));
    }
    // Option 31 holds a bytes value here, which the module refuses to take
    // as one byte: only the request matters.
    EXPECT_NE(system.setInputPowerBehavior(3), kErrNone);
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {3, 0x9F, 0x20, 3}));
    (void)system.getInputPowerBehavior(&b);
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {3, 0x5F, 0x20}));
}

TEST_F(SystemEntity, ReadsWhatTheModuleHolds)
{
    uint32_t word = 0;
    ASSERT_EQ(system.getVersion(&word), kErrNone);
    EXPECT_EQ(word, (2u << 28) | (3u << 24) | 45u) << "packed 2.3.45";
    ASSERT_EQ(system.getSerialNumber(&word), kErrNone);
    EXPECT_EQ(word, HUB_SERIAL);
    ASSERT_EQ(system.getInputVoltage(&word), kErrNone);
    EXPECT_EQ(word, 5000u);
    uint8_t byte = 0;
    ASSERT_EQ(system.getModule(&byte), kErrNone);
    EXPECT_EQ(byte, HUB);
    ASSERT_EQ(system.getModel(&byte), kErrNone);
    EXPECT_EQ(byte, 17);
    ASSERT_EQ(system.setLED(7), kErrNone);
    ASSERT_EQ(system.getLED(&byte), kErrNone);
    EXPECT_EQ(byte, 1);
    int32_t temperature = 0;
    ASSERT_EQ(system.getTemperature(&temperature), kErrNone);
    EXPECT_EQ(temperature, -5);

    const uint8_t name[] = "Bench hub, rack 3";
    ASSERT_EQ(system.setName(name, sizeof(name) - 1), kErrNone);
    uint8_t back[32];
    uint64_t length = 0;
    ASSERT_EQ(system.getName(back, sizeof(back), &length), kErrNone);
    EXPECT_EQ(std::string((char*)back, length), "Bench hub, rack 3");
}

TEST_F(SystemEntity, PowerBehaviorConfigWordsTravelMostSignificantByteFirst)
{
    const uint32_t values[] = {0x01020304, 0xA0B0C0D0, 7};
    ASSERT_EQ(system.setInputPowerBehaviorConfig(values, 3), kErrNone);
    EXPECT_EQ(Requests(sim).back(),
              Frame(HUB, {3, 0x9F, 0x20, 1, 2, 3, 4, 0xA0, 0xB0, 0xC0, 0xD0, 0, 0, 0, 7, 0}));
    uint32_t back[8] = {0};
    uint64_t count = 0;
    ASSERT_EQ(system.getInputPowerBehaviorConfig(back, 8, &count), kErrNone);
    ASSERT_EQ(count, 3u) << "a value count";
    EXPECT_EQ(back[0], 0x01020304u);
    EXPECT_EQ(back[1], 0xA0B0C0D0u);
    EXPECT_EQ(back[2], 7u);
    EXPECT_EQ(system.getInputPowerBehaviorConfig(back, 2, &count), kErrMemory);

    sim.Control(R"({"cmd": "set", "module": "hub", "field": "option", "option": 31, )"
                R"("value": "010203040506"})");
    EXPECT_EQ(system.getInputPowerBehaviorConfig(back, 8, &count), kErrSize)
        << "six bytes are no whole number of words";
}

TEST_F(SystemEntity, AResetIsAnsweredBeforeTheModuleRestarts)
{
    ASSERT_EQ(system.reset(), kErrNone);
    EXPECT_EQ(Requests(sim).back(), Frame(HUB, {3, 0x8B, 0x20}));
}

} // namespace
