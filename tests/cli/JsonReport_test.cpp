#include "cli/JsonReport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

TEST(JsonReport, DeviceRecordsCarryTheAddressAndTheErrorOnlyWhereSet)
{
    DeviceInfo usb;
    usb.deviceSpec.type = kLinkTypeUSB;
    usb.deviceSpec.serialNumber = 0x2B;
    usb.deviceSpec.module = 0xFC;
    usb.deviceSpec.router = 4;
    usb.deviceSpec.model = 4;
    usb.versionMajor = 1;
    usb.versionMinor = 2;
    usb.versionPatch = 345;
    usb.build = 4294967295u;
    DeviceInfo tcp = usb;
    tcp.deviceSpec.type = kLinkTypeTCPIP;
    tcp.deviceSpec.tcpip.ipAddress = inet_addr("10.77.0.2");
    tcp.error = 18;
    EXPECT_EQ(_json_device_list({usb, tcp}).dump(),
              R"([{"serial":"0000002B","moduleAddress":252,"routerAddress":4,"modelNumber":4,)"
              R"("modelName":"PodUsb","version":"1.2.345","build":4294967295,"linkType":"USB"},)"
              R"({"serial":"0000002B","moduleAddress":252,"routerAddress":4,"modelNumber":4,)"
              R"("modelName":"PodUsb","version":"1.2.345","build":4294967295,"linkType":"TCPIP",)"
              R"("ipAddress":"10.77.0.2","error":{"code":18,"name":"kErrTimeout",)"
              R"("text":"Timeout occurred"}}])");
}

TEST(JsonReport, BuildsByNumberAndServerTextThatIsNotUtf8)
{
    JsonReport report;
    report.Add("builds", _json_builds({{"100", "2.9"}, {"20", "\xff"}, {"abc", "1.0"},
                                       {"4294967296", "1.1"}},
                                      0x40F5849A, false));
    EXPECT_EQ(report.Text(), "{\n  \"serial\": \"40F5849A\",\n  \"outcome\": \"ok\",\n"
                             "  \"builds\": [\n    {\n      \"build\": 20,\n"
                             "      \"version\": \"\xEF\xBF\xBD\"\n    },\n    {\n"
                             "      \"build\": 100,\n      \"version\": \"2.9\"\n    }\n  ]\n}\n");
}

TEST(JsonReport, SeveralCommandsShareOneDocumentByName)
{
    JsonReport none;
    EXPECT_EQ(none.Text(), "{}\n");
    JsonReport two;
    two.Add("get", _json_get(0, 0));
    UpdateOutcome outcome;
    outcome.build = 7;
    outcome.file = "7.bird";
    two.Add("update", _json_update(0x40F5849A, outcome, true));
    EXPECT_EQ(JsonDocument::parse(two.Text()).dump(),
              R"({"get":{"outcome":"failed"},"update":{"serial":"40F5849A","outcome":"ok",)"
              R"("build":7,"file":"7.bird","verifiedBuild":0}})");
}
