#pragma once
// The module simulator (tools/vantor-sim) as a child process of a C++ test:
// started with a configuration, awaited through its ready file, driven over
// its control socket, read back through its frame log, and always ended
// with the test. The JSON it writes is read with plain key searches, which
// is enough for the few numbers and texts a test needs.

#include "device/core/kDirectory.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class VantorSim
{
public:
    VantorSim() = default;
    VantorSim(const VantorSim&) = delete;
    VantorSim& operator=(const VantorSim&) = delete;
    ~VantorSim() { Stop(); }

    /// Starts the simulator with the JSON configuration; false (with a
    /// failure recorded) when it is not ready within 20 s.
    bool Start(const std::string& config)
    {
        char templ[] = "/tmp/vantorsim-test-XXXXXX";
        if (!mkdtemp(templ)) {
            ADD_FAILURE() << "no scratch directory";
            return false;
        }
        dir = templ;
        std::ofstream(Path("config.json")) << config;
        std::string program = std::string(UPDATER_TEST_SOURCE_DIR) + "/tools/vantor-sim";
        std::vector<std::string> args = {program,
                                         "--config",
                                         Path("config.json"),
                                         "--ready-file",
                                         Path("ready.json"),
                                         "--control",
                                         Path("control.sock"),
                                         "--log",
                                         Path("frames.log")};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, Path("stderr.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid = -1;
            ADD_FAILURE() << "cannot start " << program;
            return false;
        }
        return AwaitReady();
    }

    void Stop()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            bool ended = false;
            for (int i = 0; i < 500 && !ended; i++) {
                ended = waitpid(pid, nullptr, WNOHANG) == pid;
                if (!ended)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (!ended) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
            pid = -1;
        }
        if (control >= 0)
            close(control);
        control = -1;
        if (!dir.empty()) {
            (void)kDirectory_DeleteTree(dir.c_str());
            dir.clear();
        }
    }

    /// The TCP port of the named module.
    uint16_t TcpPort(const std::string& module) const
    {
        size_t at = ready.find("\"tcp\": {", ModuleAt(module));
        return (uint16_t)Number(ready, "port", at);
    }

    /// The pseudo-terminal that plays the named module's serial port.
    std::string SerialPath(const std::string& module) const
    {
        size_t at = ready.find("\"serial_port\": {", ModuleAt(module));
        return Text(ready, "path", at);
    }

    /// The pseudo-terminal that stands in for the named module's kernel
    /// device node.
    std::string NodePath(const std::string& module) const
    {
        size_t at = ready.find("\"node\": {", ModuleAt(module));
        return Text(ready, "path", at);
    }

    /// One control request (a JSON object without newline); the answer line.
    std::string Control(const std::string& request)
    {
        if (control < 0 && !ConnectControl())
            return "";
        std::string line = request + "\n";
        if (send(control, line.data(), line.size(), MSG_NOSIGNAL) != (ssize_t)line.size())
            return "";
        std::string answer;
        char c;
        while (recv(control, &c, 1, 0) == 1 && c != '\n')
            answer += c;
        EXPECT_NE(answer.find("\"ok\": true"), std::string::npos) << request << " -> " << answer;
        return answer;
    }

    std::string State(const std::string& module)
    {
        return Control("{\"cmd\": \"state\", \"module\": \"" + module + "\"}");
    }

    void Fault(const std::string& module, const std::string& name, const std::string& value)
    {
        Control("{\"cmd\": \"fault\", \"module\": \"" + module + "\", \"name\": \"" + name +
                "\", \"value\": " + value + "}");
    }

    /// The frame log's lines so far.
    std::vector<std::string> FrameLog() const
    {
        std::vector<std::string> lines;
        std::ifstream in(Path("frames.log"));
        std::string line;
        while (std::getline(in, line))
            lines.push_back(line);
        return lines;
    }

    /// Frames with these bytes (lower-case hexadecimal) in that direction,
    /// over any transport or the one named.
    int CountFrames(const std::string& dir, const std::string& hex,
                    const std::string& transport = "") const
    {
        int n = 0;
        for (const std::string& line : FrameLog())
            if (line.find("\"kind\": \"frame\"") != std::string::npos &&
                line.find("\"dir\": \"" + dir + "\"") != std::string::npos &&
                line.find("\"hex\": \"" + hex + "\"") != std::string::npos &&
                (transport.empty() ||
                 line.find("\"transport\": \"" + transport + "\"") != std::string::npos))
                n++;
        return n;
    }

    /// The integer after the first `"key": ` from `from` on; -1 when none.
    static long long Number(const std::string& json, const std::string& key, size_t from = 0)
    {
        size_t at = from == std::string::npos ? from : json.find("\"" + key + "\": ", from);
        if (at == std::string::npos)
            return -1;
        return strtoll(json.c_str() + at + key.size() + 4, nullptr, 10);
    }

    static std::string Text(const std::string& json, const std::string& key, size_t from = 0)
    {
        size_t at = from == std::string::npos ? from : json.find("\"" + key + "\": \"", from);
        if (at == std::string::npos)
            return "";
        at += key.size() + 5;
        return json.substr(at, json.find('"', at) - at);
    }

    /// Polls `predicate` every 10 ms for up to `ms`; a deadline only guards
    /// against a hang.
    template <typename Predicate>
    static bool WaitFor(Predicate predicate, int ms = 5000)
    {
        for (int waited = 0; waited < ms; waited += 10) {
            if (predicate())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return predicate();
    }

private:
    std::string Path(const std::string& name) const { return dir + "/" + name; }

    size_t ModuleAt(const std::string& module) const
    {
        return ready.find("\"name\": \"" + module + "\"");
    }

    bool AwaitReady()
    {
        for (int waited = 0; waited < 20000; waited += 20) {
            std::ifstream in(Path("ready.json"));
            if (in) {
                std::stringstream text;
                text << in.rdbuf();
                ready = text.str();
                if (!ready.empty())
                    return true;
            }
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::ifstream err(Path("stderr.txt"));
        std::stringstream text;
        text << err.rdbuf();
        ADD_FAILURE() << "simulator not ready: " << text.str();
        return false;
    }

    bool ConnectControl()
    {
        control = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof(a.sun_path), "%s", Path("control.sock").c_str());
        struct timeval limit = {10, 0};
        setsockopt(control, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        if (connect(control, (struct sockaddr*)&a, sizeof(a)) != 0) {
            ADD_FAILURE() << "no control channel";
            close(control);
            control = -1;
            return false;
        }
        return true;
    }

    std::string dir;
    std::string ready;
    pid_t pid = -1;
    int control = -1;
};
