#pragma once
// tools/update_server.py as a real process on 127.0.0.1 for unit tests: a
// catalog in a scratch directory, an ephemeral port, the request log, and
// the control path for fault switches.

#include "device/core/kDirectory.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

class LocalUpdateServer
{
public:
    /// Starts the server on `catalogJson` (written into the scratch
    /// directory, so "file" entries are relative to dir()).
    explicit LocalUpdateServer(const std::string& catalogJson)
    {
        char templ[] = "/tmp/update-server-test-XXXXXX";
        if (!mkdtemp(templ))
            return;
        directory = templ;
        WriteFile("catalog.json", catalogJson);
        Spawn();
        AwaitReady();
    }

    ~LocalUpdateServer()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status;
            waitpid(pid, &status, 0);
        }
        if (!directory.empty())
            (void)kDirectory_DeleteTree(directory.c_str());
    }

    bool Ready() const { return port > 0; }
    int Port() const { return port; }
    std::string URL() const { return "http://127.0.0.1:" + std::to_string(port) + "/cgi/u"; }
    const std::string& Dir() const { return directory; }

    void WriteFile(const std::string& name, const std::string& bytes) const
    {
        std::ofstream out(directory + "/" + name, std::ios::binary);
        out << bytes;
    }

    /// Switches a fault on (`spec` as update_server.py takes it); true when
    /// the server accepted it.
    bool Fault(const std::string& spec) { return Control("fault=" + sEncode(spec)); }
    bool Clear() { return Control("clear=all"); }

    /// Every request line received so far, as received.
    std::vector<std::string> LogLines() const
    {
        std::vector<std::string> lines;
        std::ifstream in(directory + "/requests.log", std::ios::binary);
        std::string line;
        while (std::getline(in, line))
            lines.push_back(line);
        return lines;
    }

private:
    void Spawn()
    {
        std::string script = std::string(UPDATER_TEST_SOURCE_DIR) + "/tools/update_server.py";
        std::vector<std::string> args = {"python3",      script,
                                         "--port",       "0",
                                         "--catalog",    directory + "/catalog.json",
                                         "--ready-file", directory + "/ready.json",
                                         "--log",        directory + "/requests.log"};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        std::string errors = directory + "/server.err";
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        if (posix_spawnp(&pid, "python3", &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }

    void AwaitReady()
    {
        std::string ready = directory + "/ready.json";
        for (int i = 0; i < 1000 && pid > 0; i++) {
            std::ifstream in(ready);
            std::stringstream text;
            text << in.rdbuf();
            size_t at = text.str().find("\"port\":");
            if (at != std::string::npos) {
                port = (int)strtol(text.str().c_str() + at + 7, nullptr, 10);
                return;
            }
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return;
            }
            struct timespec pause = {0, 20 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }

    static std::string sEncode(const std::string& text)
    {
        static const char hex[] = "0123456789ABCDEF";
        std::string out;
        for (unsigned char c : text) {
            if (isalnum(c) || c == '_' || c == '.' || c == '-') {
                out += (char)c;
            } else {
                out += '%';
                out += hex[c >> 4];
                out += hex[c & 15];
            }
        }
        return out;
    }

    // A bare HTTP/1.0 exchange, so the set-up of a test does not depend on
    // the client under test.
    bool Control(const std::string& query)
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return false;
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons((uint16_t)port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::string answer;
        if (connect(fd, (sockaddr*)&address, sizeof(address)) == 0) {
            std::string request = "GET /control?" + query + " HTTP/1.0\r\n\r\n";
            if (write(fd, request.data(), request.size()) == (ssize_t)request.size()) {
                char buffer[512];
                ssize_t n;
                while ((n = read(fd, buffer, sizeof(buffer))) > 0)
                    answer.append(buffer, (size_t)n);
            }
        }
        close(fd);
        return answer.compare(0, 12, "HTTP/1.0 200") == 0 ||
               answer.compare(0, 12, "HTTP/1.1 200") == 0;
    }

    std::string directory;
    pid_t pid = -1;
    int port = 0;
};
