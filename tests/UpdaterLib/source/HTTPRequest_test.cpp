#include "UpdaterLib/source/HTTPRequest.h"

#include "UpdaterLib/source/base64.h"
#include "tests/UpdaterLib/source/server_test_support.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

class HTTPRequestTest : public ServerTest
{
};

static size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

TEST_F(HTTPRequestTest, EmptyParametersRequestTheBaseURLUnchanged)
{
    HTTPResponse response = HTTPRequest::GET(URL().c_str(), {});
    EXPECT_EQ(LastRequest(), "GET /cgi/u HTTP/1.1");
    EXPECT_EQ(std::string(response.get_request()), URL());
    EXPECT_EQ(response.get_status(), 200);
}

TEST_F(HTTPRequestTest, ParametersGoInKeyOrderEachFollowedByAmpersand)
{
    std::map<std::string, std::string> parameters;
    parameters["rv"] = "2";
    parameters["op"] = "hi";
    HTTPResponse response = HTTPRequest::GET(URL().c_str(), parameters);
    EXPECT_EQ(LastRequest(), "GET /cgi/u?op=hi&rv=2& HTTP/1.1");
    EXPECT_EQ(std::string(response.get_request()), URL() + "?op=hi&rv=2&");
    EXPECT_STREQ(response.get_response(), "ok\n");
    EXPECT_NE(Logged().find("GET(" + URL() + "?op=hi&rv=2&)\n"), std::string::npos);
}

TEST_F(HTTPRequestTest, KeysAndValuesArePercentEncoded)
{
    HTTPRequest::GET(URL().c_str(),
                     {{"op", "hi"}, {"fp", "0000000A 0000000B"}, {"p", "a/b&c=%\r\n\xC3\xA9-._~"}});
    EXPECT_EQ(
        LastRequest(),
        "GET /cgi/u?fp=0000000A%200000000B&op=hi&p=a%2Fb%26c%3D%25%0D%0A%C3%A9-._~& HTTP/1.1");
    EXPECT_EQ(HTTPRequest::BuildURL("u", {{"a b", "x"}}), "u?a%20b=x&");
}

TEST_F(HTTPRequestTest, ABodyInSeveralChunksIsReturnedWholeInOrder)
{
    HTTPResponse response = HTTPRequest::GET(
        URL().c_str(),
        {{"op", "bird"}, {"sn", "0000002B"}, {"bld", "7"}, {"fw", "main"}, {"no_cal", "false"}});
    ASSERT_EQ(response.get_status(), 200);
    std::string bytes = TestFileBytes();
    size_t n = 0;
    char* text = base64_encode((const unsigned char*)bytes.data(), bytes.size(), &n);
    ASSERT_NE(text, nullptr);
    std::string expected = "ok\n" + std::string(text, n) + "\n";
    free(text);
    EXPECT_EQ(response.get_response_size(), expected.size());
    EXPECT_TRUE(std::string(response.get_response()) == expected);
    EXPECT_GT(Count(Logged(), "rcv_data called"), 1u);
}

TEST_F(HTTPRequestTest, TheReceiveLogShowsNoMoreThanTheChunkHolds)
{
    ASSERT_TRUE(server->Fault("body=ok\\n@hi"));
    HTTPRequest::GET(URL().c_str(), {{"op", "hi"}});
    std::string logged = Logged();
    EXPECT_NE(logged.find(") [" + std::string(97, ' ') + "ok\n]\n"), std::string::npos) << logged;
    EXPECT_NE(logged.find("rcv_data returns 3\n"), std::string::npos);
    EXPECT_NE(logged.find("rcv_data called (..., 1, 3, "), std::string::npos);
}

TEST_F(HTTPRequestTest, AnErrorStatusIsAResultNotAnException)
{
    std::string other = "http://127.0.0.1:" + std::to_string(server->Port()) + "/other";
    HTTPResponse missing = HTTPRequest::GET(other.c_str(), {{"op", "hi"}});
    EXPECT_EQ(missing.get_status(), 404);
    EXPECT_STREQ(missing.get_response(), "not found\n");

    ASSERT_TRUE(server->Fault("status=500"));
    HTTPResponse failed = HTTPRequest::GET(URL().c_str(), {{"op", "hi"}});
    EXPECT_EQ(failed.get_status(), 500);
    EXPECT_STREQ(failed.get_response(), "error\n");
}

static std::string ThrownText(const std::string& url, const HTTPLimits& limits = HTTPLimits())
{
    try {
        HTTPRequest::GET(url.c_str(), {{"op", "hi"}}, limits);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<no exception>";
}

TEST_F(HTTPRequestTest, AnUnreachablePortThrowsLibcurlsText)
{
    RefusingPort refusing;
    EXPECT_EQ(ThrownText(refusing.URL()), curl_easy_strerror(CURLE_COULDNT_CONNECT));
}

TEST_F(HTTPRequestTest, TransfersAreBoundedByDefault)
{
    HTTPLimits limits;
    EXPECT_EQ(limits.connectTimeoutSeconds, 30);
    EXPECT_EQ(limits.lowSpeedBytesPerSecond, 1);
    EXPECT_EQ(limits.lowSpeedSeconds, 60);
    EXPECT_EQ(limits.totalSeconds, 300);
    EXPECT_EQ(limits.maxBodyBytes, 64u * 1024 * 1024);
}

// 2 bytes a second passes the low-speed rule; the total limit, shortened
// from its 300 s, ends the transfer all the same.
TEST_F(HTTPRequestTest, ATricklingServerIsCutOffAtTheTotalLimit)
{
    ASSERT_TRUE(server->Fault("trickle=2@hi"));
    ASSERT_TRUE(server->Fault("body=ok\\n" + std::string(20, 'x') + "@hi"));
    HTTPLimits limits;
    limits.totalSeconds = 1;
    EXPECT_EQ(ThrownText(URL(), limits), curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
}

TEST_F(HTTPRequestTest, OnlyHTTPAndHTTPSAreSpoken)
{
    for (const char* url : {"file:///etc/hostname", "ftp://127.0.0.1/", "gopher://127.0.0.1/"})
        EXPECT_EQ(ThrownText(url), curl_easy_strerror(CURLE_UNSUPPORTED_PROTOCOL)) << url;
}

// Shortened from the default 30 s; the stall bound stays far beyond it.
TEST_F(HTTPRequestTest, AConnectionThatIsNeverAcceptedTimesOut)
{
    FullBacklogPort full;
    HTTPLimits limits;
    limits.connectTimeoutSeconds = 1;
    EXPECT_EQ(ThrownText(full.URL(), limits), curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
}

// The default 60 s stall bound is shortened here; the rule is the same.
TEST_F(HTTPRequestTest, AStalledServerIsAbortedByTheLowSpeedRule)
{
    ASSERT_TRUE(server->Fault("hang@hi"));
    HTTPLimits limits;
    limits.lowSpeedSeconds = 1;
    EXPECT_EQ(ThrownText(URL(), limits), curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
}

TEST_F(HTTPRequestTest, ABodyAboveTheLimitIsAborted)
{
    ASSERT_TRUE(server->Fault("body=ok\\n@hi"));
    HTTPLimits limits;
    limits.maxBodyBytes = 3;
    EXPECT_EQ(ThrownText(URL(), limits), "<no exception>") << "exactly at the limit";
    limits.maxBodyBytes = 2;
    EXPECT_EQ(ThrownText(URL(), limits), curl_easy_strerror(CURLE_WRITE_ERROR));
}

TEST_F(HTTPRequestTest, RequestsMayRunOnSeveralThreadsAtOnce)
{
    std::vector<long> statuses(4, 0);
    std::vector<std::thread> threads;
    std::string url = URL();
    for (size_t i = 0; i < statuses.size(); i++)
        threads.emplace_back([&statuses, &url, i] {
            try {
                statuses[i] = HTTPRequest::GET(url.c_str(), {{"op", "hi"}}).get_status();
            } catch (const std::runtime_error&) {
                statuses[i] = -1;
            }
        });
    for (std::thread& t : threads)
        t.join();
    for (long status : statuses)
        EXPECT_EQ(status, 200);
}
