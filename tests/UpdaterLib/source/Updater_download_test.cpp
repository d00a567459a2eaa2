#include "UpdaterLib/source/Updater.h"

#include "device/core/kLog.h"
#include "tests/device/core/test_paths.h"
#include "tests/support/LocalUpdateServer.h"
#include "tests/support/RecordingDisplay.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>

// Unit 40F5849A: builds 1001 and 1002 (the latest); its fingerprint names
// it without a build, so recovery takes the latest.
static const char* const CATALOG = R"({
  "units": {"40F5849A": {"firmware": "main", "latest": 1002, "builds": [
    {"build": 1001, "version": "1.0", "bird": {"blocks": [
      {"type": "identity", "build": 1001, "version": "1.0", "serial": "40F5849A", "model": "PodUsb"},
      {"type": "firmware", "address": 0, "pattern": "counter", "size": 64}]}},
    {"build": 1002, "version": "1.1", "bird": {"blocks": [
      {"type": "identity", "build": 1002, "version": "1.1", "serial": "40F5849A", "model": "PodUsb"},
      {"type": "firmware", "address": 0, "pattern": "counter", "size": 64}]}}]}},
  "fingerprints": {"0A0B0C0D 1A1B1C1D 2A2B2C2D 3A3B3C3D": {"serial": "40F5849A"}}
})";

class DownloadTest : public ScratchDirTest
{
protected:
    static void SetUpTestSuite() { server = new LocalUpdateServer(CATALOG); }
    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
    }
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        ASSERT_TRUE(server->Ready()) << "tools/update_server.py did not start";
        ASSERT_TRUE(server->Clear());
        url = server->URL();
        updater.reset(new Updater(url, dir, display));
    }

    bool Stored(const std::string& name) const
    {
        struct stat st;
        return stat((dir + "/40F5849A/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
    }
    size_t Requests() const { return server->LogLines().size(); }
    bool Reported(const std::vector<std::string>& lines, const std::string& text) const
    {
        return std::find(lines.begin(), lines.end(), text) != lines.end();
    }

    static LocalUpdateServer* server;
    std::string url;
    RecordingDisplay display;
    std::unique_ptr<Updater> updater;
};

LocalUpdateServer* DownloadTest::server = nullptr;

static const Fingerprint KNOWN = {{0x0A0B0C0D, 0x1A1B1C1D, 0x2A2B2C2D, 0x3A3B3C3D}};

TEST_F(DownloadTest, ABuildTextThatIsNoNumberAsksNothing)
{
    size_t before = Requests();
    EXPECT_EQ(updater->Download_Firmware(0x40F5849A, "12x", false, false), 0u);
    EXPECT_EQ(updater->Download_Firmware(0x40F5849A, "4294967296", false, false), 0u);
    EXPECT_EQ(display.errors,
              (std::vector<std::string>{"Build number '12x' must be an number",
                                        "Build number '4294967296' must be an number"}));
    EXPECT_EQ(Requests(), before);
}

TEST_F(DownloadTest, SerialNumberZeroIsRefused)
{
    EXPECT_EQ(updater->Download_Firmware(0, "", false, false), 0u);
    EXPECT_EQ(display.errors, std::vector<std::string>{"Serial Number must be non-zero"});
}

TEST_F(DownloadTest, TheSpinnerTurnsUntilTheWorkerIsDoneAndIsThenCleared)
{
    ASSERT_TRUE(server->Fault("delay=0.45@bird"));
    EXPECT_EQ(updater->Download_Firmware(0x40F5849A, "", false, false), 1002u);
    EXPECT_GE(display.spinner, 4) << "one turn at the start, one per 100 ms slice";
    EXPECT_EQ(display.events, std::vector<std::string>{"spinner off Downloading"});
    EXPECT_TRUE(Stored("1002.bird"));
}

TEST_F(DownloadTest, ByFingerprintTheLatestBuildOfTheNamedUnit)
{
    EXPECT_EQ(updater->Download_Firmware(KNOWN, "", false), 1002u);
    EXPECT_TRUE(Stored("1002.bird"));
    EXPECT_EQ(updater->Download_Firmware(KNOWN, "1001", false), 1001u);
    EXPECT_TRUE(Stored("1001.bird"));
    EXPECT_TRUE(display.errors.empty());
    std::vector<std::string> lines = server->LogLines();
    EXPECT_TRUE(Reported(lines, "GET /cgi/u?brief=true&fp=0A0B0C0D%201A1B1C1D%202A2B2C2D%203A3B3C3D"
                                "&op=fix& HTTP/1.1"));
}

TEST_F(DownloadTest, AnUnknownFingerprintFails)
{
    Fingerprint unknown = {{1, 2, 3, 4}};
    EXPECT_EQ(updater->Download_Firmware(unknown, "", false), 0u);
    EXPECT_EQ(display.errors,
              std::vector<std::string>{
                  "Failed to retreive recovery information from Kelvane update server"});
}

TEST_F(DownloadTest, ABuildListKeyThatIsNoNumberIsLoggedAndSkipped)
{
    FILE* log = tmpfile();
    Log::SetOutput(log);
    Log::ActivatePackage(DEBUG_Updater);
    ASSERT_TRUE(server->Fault("body=ok\\n0abc;1.0\\n1001;1.0\\n@builds"));
    EXPECT_EQ(updater->Download_Firmware(0x40F5849A, "1001", false, false), 1001u);
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(DEBUG_Updater);
    rewind(log);
    char line[256] = "";
    bool found = false;
    while (fgets(line, sizeof(line), log))
        found = found || std::string(line) == "Error: Could not convert 0abc to int.\n";
    fclose(log);
    EXPECT_TRUE(found);
}

TEST_F(DownloadTest, BuildListTellsAFailedRequestFromAnEmptyList)
{
    bool failed = true;
    EXPECT_EQ(updater->Get_BuildList(0x40F5849A, &failed).size(), 2u);
    EXPECT_FALSE(failed);
    EXPECT_TRUE(updater->Get_BuildList(0x12345678, &failed).empty());
    EXPECT_TRUE(failed);
    ASSERT_TRUE(server->Fault("body=ok\\n@builds"));
    EXPECT_TRUE(updater->Get_BuildList(0x40F5849A, &failed).empty());
    EXPECT_FALSE(failed);
    ASSERT_TRUE(server->Fault("status=500@hi"));
    EXPECT_TRUE(updater->Get_BuildList(0x40F5849A, nullptr).empty());
    EXPECT_EQ(display.errors, (std::vector<std::string>{"Failed to retrieve builds for 12345678",
                                                        "Server request failed for " + url}));
}
