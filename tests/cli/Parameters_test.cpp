#include "cli/Parameters.h"
#include "device/core/kLog.h"
#include "tests/support/RecordingDisplay.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

using namespace Cli;

class ParseTest : public ::testing::Test
{
protected:
    void TearDown() override { Log::DeactivatePackage(0xFFFFFFFF); }

    int Parse(std::initializer_list<const char*> words)
    {
        storage.assign(1, "/usr/bin/Updater");
        storage.insert(storage.end(), words.begin(), words.end());
        argv.clear();
        for (std::string& s : storage)
            argv.push_back(&s[0]);
        return _get_params(display, (int)argv.size(), argv.data(), params);
    }

    RecordingDisplay display;
    Parameters params;
    std::vector<std::string> storage;
    std::vector<char*> argv;
};

TEST(ParseArgs, HexAndIntConvertOnlyWholeTexts)
{
    const char* end = nullptr;
    EXPECT_EQ(_get_hex_arg("40f5849A", &end), 0x40F5849Au);
    EXPECT_EQ(*end, '\0');
    const char* untouched = "sentinel";
    end = untouched;
    EXPECT_EQ(_get_hex_arg("xyz", &end), 0u);
    EXPECT_EQ(end, untouched);
    EXPECT_EQ(_get_hex_arg("12", nullptr), 0u);
    EXPECT_EQ(_get_int_arg("12a", &end), 0u);
    EXPECT_EQ(_get_int_arg("", &end), 0u);
    EXPECT_EQ(_get_int_arg("4294967297", &end), 4294967297ull) << "callers decide on the width";
}

TEST_F(ParseTest, DefaultsAndProgramName)
{
    EXPECT_EQ(Parse({}), 0);
    EXPECT_EQ(params.appName, "Updater");
    EXPECT_EQ(params.transport, TRANSPORT_USB);
    EXPECT_EQ(params.baudRate, 115200u);
    EXPECT_EQ(params.logFileName, "Updater.log");
    EXPECT_TRUE(params.extendedUsage);
    EXPECT_FALSE(params.commands.IsSet(CMD_ANY_MASK));
}

TEST_F(ParseTest, SerialNumbersInEveryForm)
{
    EXPECT_EQ(Parse({"-d", "0x40F5849A"}), 0);
    EXPECT_EQ(params.serialNumber, 0x40F5849Au);
    EXPECT_EQ(Parse({"-d=40F5849A", "-r", "0XD272031D"}), 0);
    EXPECT_EQ(params.serialNumber, 0x40F5849Au);
    EXPECT_EQ(params.routerSerialNumber, 0xD272031Du);
    EXPECT_EQ(Parse({"-d", "FFFFFFFF"}), 0);
    EXPECT_EQ(params.serialNumber, 0xFFFFFFFFu);
    EXPECT_TRUE(display.errors.empty());
}

TEST_F(ParseTest, BadSerialNumbersAreParameterErrors)
{
    EXPECT_EQ(Parse({"-d", "xyz"}), 1);
    EXPECT_EQ(display.errors,
              (std::vector<std::string>{"Invalid serial number obtained from argument [xyz]"}));
    display.errors.clear();
    EXPECT_EQ(Parse({"-d", "100000000"}), 1) << "33 bits are not cut to 32";
    EXPECT_EQ(params.serialNumber, 0u);
    EXPECT_EQ(Parse({"-r", "0"}), 1);
    EXPECT_EQ(display.errors.back(), "Invalid router serial number obtained from argument [0]");
}

TEST_F(ParseTest, BuildAndBaudTexts)
{
    EXPECT_EQ(Parse({"-b", "abc", "-o", "xyz"}), 0);
    EXPECT_EQ(params.buildNumber, "0");
    EXPECT_EQ(params.baudRate, 0u);
    EXPECT_EQ(Parse({"-b", "4294967297"}), 0);
    EXPECT_EQ(params.buildNumber, "1") << "wraps to 32 bits";
}

TEST_F(ParseTest, TransportsComparePrefixesCaseSensitively)
{
    EXPECT_EQ(Parse({"-t", "TCPIP"}), 0);
    EXPECT_EQ(params.transport, TRANSPORT_TCPIP);
    EXPECT_EQ(Parse({"-t", "TCP"}), 0);
    EXPECT_EQ(params.transport, TRANSPORT_TCPIP);
    EXPECT_EQ(Parse({"-t", "RECOVERY"}), 0);
    EXPECT_EQ(params.transport, TRANSPORT_RECOVER);
    EXPECT_TRUE(params.transportGiven);
    EXPECT_EQ(Parse({"-t", "usb"}), 1);
    EXPECT_EQ(params.transport, 0u);
    EXPECT_EQ(display.errors.back(),
              "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER");
}

TEST_F(ParseTest, PrefixesOfLongWordsAndMalformedWords)
{
    EXPECT_EQ(Parse({"-O", "-D"}), 0);
    EXPECT_TRUE(params.overrideModelCheck);
    EXPECT_EQ(Parse({"-OVER", "-Hh", "-d40F5849A", "-G=1", "stray"}), 0);
    EXPECT_TRUE(params.overrideModelCheck);
    EXPECT_FALSE(params.commands.IsSet(CMD_GET)) << "an argument on a plain command is an error";
    EXPECT_EQ(params.serialNumber, 0u);
    EXPECT_EQ(Parse({"-G", "-d"}), 0) << "a missing argument is passed over";
    EXPECT_TRUE(params.commands.IsSet(CMD_GET));
    EXPECT_EQ(params.serialNumber, 0u);
    EXPECT_EQ(Parse({"-d", "-U"}), 0);
    EXPECT_TRUE(params.commands.IsSet(CMD_UPDATE)) << "the next option is not taken as argument";
    EXPECT_TRUE(display.errors.empty());
}

TEST_F(ParseTest, HelpEndsParsingAndForgivesEarlierErrors)
{
    EXPECT_EQ(Parse({"-t", "FOO", "--he", "-d", "xyz"}), 0);
    EXPECT_TRUE(params.helpRequested);
    EXPECT_TRUE(params.commands.IsSet(CMD_HELP));
    EXPECT_EQ(display.errors.size(), 1u) << "only the words before the help word are parsed";
    EXPECT_EQ(params.serialNumber, 0u);
}

TEST_F(ParseTest, LogMaskActivatesAtOnceOrReportsTheRest)
{
    EXPECT_EQ(Parse({"-X", "0x10zz"}), 0);
    EXPECT_EQ(display.errors.back(),
              "Invalid format for \"-X\" parameter, unprocessed characters [zz]");
    EXPECT_EQ(Log::package_bitmask, 0u);
    EXPECT_EQ(Parse({"-X", "4096"}), 0);
    EXPECT_EQ(Log::package_bitmask, 0x1000u);
    EXPECT_EQ(Parse({"-X", "0x10000"}), 0);
    EXPECT_EQ(Log::package_bitmask, 0x11000u);
}

TEST_F(ParseTest, UnhandledCommandAndIgnoredArguments)
{
    EXPECT_EQ(Parse({"-Y"}), 1);
    EXPECT_EQ(display.errors.back(), "Unhandled command: [-Y]");
    EXPECT_EQ(Parse({"-Z", "anything", "-e", "x", "-n", "-k", "f.log", "-u", "http://h/cgi/u"}), 0);
    EXPECT_TRUE(params.commands.IsSet(CMD_Z));
    EXPECT_TRUE(params.echoBytes);
    EXPECT_TRUE(params.flagN);
    EXPECT_EQ(params.logFileName, "f.log");
    EXPECT_EQ(params.serverURL, "http://h/cgi/u");
}

TEST_F(ParseTest, JsonWordsAreTakenWholeAndLeaveThePrefixesOfHelp)
{
    EXPECT_EQ(Parse({"-D", "--json"}), 0);
    EXPECT_TRUE(params.jsonOutput);
    EXPECT_EQ(Parse({"--json=1", "-j=1"}), 0);
    EXPECT_FALSE(params.jsonOutput);
    EXPECT_EQ(Parse({"--js", "-D", "--jsonx"}), 1)
        << "a long word that names nothing stops the run";
    EXPECT_EQ(display.errors,
              (std::vector<std::string>{"Unknown option [--js]", "Unknown option [--jsonx]"}));
    EXPECT_EQ(Parse({"-Q", "stray"}), 0) << "single-dash words keep their rule";
    EXPECT_EQ(Parse({"--", "-j"}), 0);
    EXPECT_TRUE(params.helpRequested) << "\"--\" is still --help";
    EXPECT_FALSE(params.jsonOutput);
}
