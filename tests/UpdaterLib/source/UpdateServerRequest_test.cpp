#include "UpdaterLib/source/UpdateServerRequest.h"

#include "UpdaterLib/source/base64.h"
#include "tests/UpdaterLib/source/server_test_support.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

typedef std::map<std::string, std::string> BuildMap;

class UpdateServerRequestTest : public ServerTest
{
protected:
    // The answer to every request becomes `body` (escapes as the server
    // takes them).
    void Answer(const std::string& body) { ASSERT_TRUE(server->Fault("body=" + body)); }
    bool Contains(const std::string& text) { return Logged().find(text) != std::string::npos; }
};

TEST_F(UpdateServerRequestTest, EachRequestSendsItsExactQuery)
{
    std::string url = URL();
    std::string build, firmware, payload;
    BuildMap builds;
    uint32_t words[4] = {0xAAAAAAAA, 0xBBBBBBBB, 0x0000000C, 0xDDDDDDDD};
    uint32_t serial = 0, recovery = 0;
    UpdateServerRequest::ping(url.c_str());
    UpdateServerRequest::QueryBuild(0x2B, build, firmware, url.c_str());
    UpdateServerRequest::GetBuild(0x2B, "main", "7", payload, url.c_str(), false);
    UpdateServerRequest::GetBuild(0x2B, "main", "7", payload, url.c_str(), true);
    UpdateServerRequest::GetBuildList(0x2B, builds, url.c_str());
    UpdateServerRequest::GetRecoveryInfo(words, &serial, &recovery, url.c_str());
    std::vector<std::string> expected = {
        "GET /cgi/u?op=hi&rv=2& HTTP/1.1",
        "GET /cgi/u?op=qu&sn=0000002B& HTTP/1.1",
        "GET /cgi/u?bld=7&fw=main&no_cal=false&op=bird&sn=0000002B& HTTP/1.1",
        "GET /cgi/u?bld=7&fw=main&no_cal=true&op=bird&sn=0000002B& HTTP/1.1",
        "GET /cgi/u?op=builds&sn=0000002B& HTTP/1.1",
        "GET /cgi/u?brief=true&fp=AAAAAAAA%20BBBBBBBB%200000000C%20DDDDDDDD&op=fix& HTTP/1.1"};
    std::vector<std::string> lines = server->LogLines();
    ASSERT_GE(lines.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(lines.end() - expected.size(), lines.end()), expected);
}

TEST_F(UpdateServerRequestTest, QueryBuildDropsLineEnds)
{
    Answer("ok\\n123\\r\\nmain\\r\\n");
    std::string build = "old", firmware = "old";
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x2B, build, firmware, URL().c_str()));
    EXPECT_EQ(build, "123");
    EXPECT_EQ(firmware, "main");
}

TEST_F(UpdateServerRequestTest, QueryBuildWritesOnlyTheLinesPresent)
{
    Answer("ok\\n\\n\\n456\\n");
    std::string build = "old", firmware = "old";
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x2B, build, firmware, URL().c_str()));
    EXPECT_EQ(build, "456") << "blank lines do not count";
    EXPECT_EQ(firmware, "old");
}

TEST_F(UpdateServerRequestTest, TheFirstLineMustBeginWithLowerCaseOk)
{
    std::string url = URL();
    ASSERT_TRUE(server->Fault("first_line=okay"));
    EXPECT_TRUE(UpdateServerRequest::ping(url.c_str()));
    ASSERT_TRUE(server->Fault("first_line=OK"));
    EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
    EXPECT_TRUE(Contains("ServerCommClass: ping failed [" + url + "?op=hi&rv=2&]\n"));
    ASSERT_TRUE(server->Fault("first_line= ok"));
    EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
}

TEST_F(UpdateServerRequestTest, AnEmptyAnswerFails)
{
    std::string url = URL();
    std::string build = "old", firmware = "old";
    ASSERT_TRUE(server->Fault("only_newlines"));
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x2B, build, firmware, url.c_str()));
    EXPECT_TRUE(Contains("ServerCommClass: QueryBuild failed [" + url + "?op=qu&sn=0000002B&]\n"));
    ASSERT_TRUE(server->Fault("empty_body"));
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x2B, build, firmware, url.c_str()));
    EXPECT_EQ(build, "old");
    EXPECT_EQ(firmware, "old");
}

TEST_F(UpdateServerRequestTest, BuildListSkipsShortLinesAndKeepsTheFirstOfADuplicate)
{
    Answer("ok\\n12;1.0\\n\\n13\\n12;2.0\\nx\\n");
    BuildMap builds = {{"stale", "entry"}};
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(0x2B, builds, URL().c_str()));
    EXPECT_EQ(builds, (BuildMap{{"12", "1.0"}, {"13", ""}}));
    EXPECT_TRUE(Contains("GetBuildList processing entry: [12;1.0]\n"));
    EXPECT_TRUE(Contains("GetBuildList [12][1.0]\n"));
    EXPECT_FALSE(Contains("[x]"));
}

TEST_F(UpdateServerRequestTest, BuildListLineEndsDoNotCountAsContent)
{
    Answer("ok\\r\\n12;1.0\\r\\n\\r\\nx\\r\\n34;2.5;extra\\r\\n");
    BuildMap builds;
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(0x2B, builds, URL().c_str()));
    EXPECT_EQ(builds, (BuildMap{{"12", "1.0"}, {"34", "2.5"}}));
}

TEST_F(UpdateServerRequestTest, BuildListFromTheCatalog)
{
    BuildMap builds;
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(0x2B, builds, URL().c_str()));
    EXPECT_EQ(builds, (BuildMap{{"7", "1.0"}}));
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(0x2C, builds, URL().c_str()))
        << "unknown unit: the server's first line is not ok";
    EXPECT_TRUE(builds.empty());
}

TEST_F(UpdateServerRequestTest, RecoveryBuildIsReadWithAutomaticBase)
{
    uint32_t words[4] = {1, 2, 3, 4};
    uint32_t serial = 0, build = 0;
    Answer("ok\\n1A2B\\n0x10\\n");
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(words, &serial, &build, URL().c_str()));
    EXPECT_EQ(serial, 0x1A2Bu);
    EXPECT_EQ(build, 16u);
    EXPECT_TRUE(Contains("GetRecoveryInfo [ok][1A2B][0x10]\n"));
    Answer("ok\\n1A2B\\n010\\n");
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(words, &serial, &build, URL().c_str()));
    EXPECT_EQ(build, 8u);
    Answer("ok\\r\\n40F5849A\\r\\n1002\\r\\n");
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(words, &serial, &build, URL().c_str()));
    EXPECT_EQ(serial, 0x40F5849Au);
    EXPECT_EQ(build, 1002u);
    EXPECT_TRUE(Contains("GetRecoveryInfo [ok\r][40F5849A][1002]\n"));
}

TEST_F(UpdateServerRequestTest, RecoveryInfoWritesOnlyTheLinesPresent)
{
    uint32_t words[4] = {1, 2, 3, 4};
    uint32_t serial = 77, build = 88;
    Answer("ok\\n1A2B\\n");
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(words, &serial, &build, URL().c_str()));
    EXPECT_EQ(serial, 0x1A2Bu);
    EXPECT_EQ(build, 88u);
}

TEST_F(UpdateServerRequestTest, GetBuildHandsBackTheBase64Line)
{
    std::string payload = "old";
    EXPECT_TRUE(UpdateServerRequest::GetBuild(0x2B, "main", "7", payload, URL().c_str(), false));
    size_t n = 0;
    unsigned char* bytes = base64_decode(payload.data(), payload.size(), &n);
    ASSERT_NE(bytes, nullptr);
    EXPECT_TRUE(std::string((const char*)bytes, n) == TestFileBytes());
    free(bytes);
}

TEST_F(UpdateServerRequestTest, AFailedGetBuildLeavesAnEmptyPayload)
{
    std::string payload = "old";
    EXPECT_FALSE(UpdateServerRequest::GetBuild(0x2B, "main", "99", payload, URL().c_str(), false))
        << "unknown build";
    EXPECT_EQ(payload, "");
    payload = "old";
    Answer("ok\\n");
    EXPECT_TRUE(UpdateServerRequest::GetBuild(0x2B, "main", "7", payload, URL().c_str(), false));
    EXPECT_EQ(payload, "") << "no line 2";
}

TEST_F(UpdateServerRequestTest, AServerError500FailsEveryRequest)
{
    ASSERT_TRUE(server->Fault("status=500"));
    std::string url = URL();
    std::string build = "old", firmware = "old", payload = "old";
    BuildMap builds = {{"stale", "entry"}};
    uint32_t words[4] = {1, 2, 3, 4};
    uint32_t serial = 77, recovery = 88;
    EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x2B, build, firmware, url.c_str()));
    EXPECT_FALSE(UpdateServerRequest::GetBuild(0x2B, "main", "7", payload, url.c_str(), false));
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(0x2B, builds, url.c_str()));
    EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(words, &serial, &recovery, url.c_str()));
    EXPECT_EQ(build, "old");
    EXPECT_EQ(firmware, "old");
    EXPECT_EQ(payload, "");
    EXPECT_TRUE(builds.empty());
    EXPECT_EQ(serial, 77u);
    EXPECT_EQ(recovery, 88u);
    EXPECT_TRUE(Contains("PING ==> [500] [error\n]\n"));
    EXPECT_TRUE(Contains("QueryBuild ==> [500] [error\n]\n"));
    EXPECT_TRUE(Contains("GetRecoveryInfo ==> [500] [error\n]\n"));
}

TEST_F(UpdateServerRequestTest, ATransportFailureIsLoggedWithLibcurlsText)
{
    RefusingPort refusing;
    BuildMap builds;
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(0x2B, builds, refusing.URL().c_str()));
    EXPECT_TRUE(Contains(std::string("GetBuildList ==> [") +
                         curl_easy_strerror(CURLE_COULDNT_CONNECT) + "]\n"));
}
