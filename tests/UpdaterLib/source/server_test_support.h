#pragma once
// Shared pieces of the server client tests: a local server with one unit
// whose build file is known bytes, and the debug log captured in memory.

#include "device/core/kLog.h"
#include "tests/support/LocalUpdateServer.h"

#include <gtest/gtest.h>

#include <stdio.h>

#include <memory>
#include <string>

// Unit 0000002B has build 7 ("1.0"), served from big.bin: enough bytes that
// the answer arrives in several chunks.
inline std::string TestFileBytes()
{
    std::string bytes;
    uint32_t x = 12345;
    for (int i = 0; i < 300000; i++) {
        x = x * 1103515245u + 12345u;
        bytes += (char)(x >> 24);
    }
    return bytes;
}

class ServerTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        server = new LocalUpdateServer(R"({"units": {"0000002B": {"firmware": "main", "builds": [)"
                                       R"({"build": 7, "version": "1.0", "file": "big.bin"}]}}})");
        server->WriteFile("big.bin", TestFileBytes());
    }
    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
    }
    void SetUp() override
    {
        ASSERT_TRUE(server->Ready()) << "tools/update_server.py did not start";
        ASSERT_TRUE(server->Clear());
        log = tmpfile();
        Log::SetOutput(log);
        Log::ActivatePackage(DEBUG_ServerComm);
    }
    void TearDown() override
    {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(0xFFFFFFFF);
        fclose(log);
    }
    std::string Logged()
    {
        fflush(log);
        rewind(log);
        std::string text;
        int c;
        while ((c = fgetc(log)) != EOF)
            text += (char)c;
        return text;
    }
    std::string LastRequest()
    {
        std::vector<std::string> lines = server->LogLines();
        return lines.empty() ? "" : lines.back();
    }
    std::string URL() const { return server->URL(); }

    static LocalUpdateServer* server;
    FILE* log = nullptr;
};

inline LocalUpdateServer* ServerTest::server = nullptr;

/// A port on 127.0.0.1 that is bound but not listening, so connecting to
/// it is refused for as long as the object lives.
class RefusingPort
{
public:
    RefusingPort()
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(address);
        if (fd >= 0 && bind(fd, (sockaddr*)&address, sizeof(address)) == 0 &&
            getsockname(fd, (sockaddr*)&address, &size) == 0)
            port = ntohs(address.sin_port);
    }
    ~RefusingPort()
    {
        if (fd >= 0)
            close(fd);
    }
    std::string URL() const { return "http://127.0.0.1:" + std::to_string(port) + "/cgi/u"; }

private:
    int fd = -1;
    int port = 0;
};

/// A listening port on 127.0.0.1 whose accept queue is full: the kernel
/// drops further connection attempts, so a client's connect never completes.
class FullBacklogPort
{
public:
    FullBacklogPort()
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(address);
        if (fd < 0 || bind(fd, (sockaddr*)&address, sizeof(address)) != 0 || listen(fd, 0) != 0 ||
            getsockname(fd, (sockaddr*)&address, &size) != 0)
            return;
        port = ntohs(address.sin_port);
        for (int& filler : fillers) {
            filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            if (filler >= 0)
                connect(filler, (sockaddr*)&address, sizeof(address));
        }
    }
    ~FullBacklogPort()
    {
        for (int filler : fillers) {
            if (filler >= 0)
                close(filler);
        }
        if (fd >= 0)
            close(fd);
    }
    std::string URL() const { return "http://127.0.0.1:" + std::to_string(port) + "/cgi/u"; }

private:
    int fd = -1;
    int fillers[3] = {-1, -1, -1};
    int port = 0;
};
