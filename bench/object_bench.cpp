// Figures of the object layer over loopback TCP to a simulated module
// (started by bench/object_bench.py): the round trip of a system entity
// get, and the time to read a bytes value of 3072 bytes (128 packets) and
// of 50 bytes. It prints figures and asserts nothing.
//
//     object_bench PORT [MODULE_ADDRESS]

#include "device/core/kError.h"
#include "device/object/Module.h"
#include "device/object/SystemClass.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

using namespace Kelvane::Vantor;

namespace
{

const int GETS = 1000;
const int READS = 50;

double Now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Runs `step` `runs` times, `pauseMS` apart, and prints the median and
// 99th percentile of the successful runs.
void Figures(const char* what, int runs, const std::function<kErr()>& step, int pauseMS = 0)
{
    std::vector<double> us;
    int failed = 0;
    kErr last = kErrNone;
    for (int i = 0; i < runs; i++) {
        if (pauseMS)
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMS));
        double start = Now();
        kErr err = step();
        double took = (Now() - start) * 1e6;
        if (err) {
            failed++;
            last = err;
        } else {
            us.push_back(took);
        }
    }
    if (us.empty()) {
        printf("%s: every run failed (%s)\n", what, kError_GetErrorText(last));
        return;
    }
    std::sort(us.begin(), us.end());
    printf("%s: %zu runs, %d failed: median %.0f us, p99 %.0f us, max %.0f us\n", what, us.size(),
           failed, us[us.size() / 2], us[us.size() * 99 / 100], us.back());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s PORT [MODULE_ADDRESS]\n", argv[0]);
        return 2;
    }
    linkSpec spec = {};
    spec.type = kLinkTypeTCPIP;
    spec.tcpip.ipAddress = htonl(INADDR_LOOPBACK);
    spec.tcpip.ipPort = (uint32_t)strtoul(argv[1], nullptr, 10);
    uint8_t address = (uint8_t)(argc > 2 ? strtoul(argv[2], nullptr, 0) : 2);
    Module module(address, false, 0);
    kErr err = module.connectFromSpec(spec);
    if (err) {
        fprintf(stderr, "no connection to 127.0.0.1:%u: %s\n", spec.tcpip.ipPort,
                kError_GetErrorText(err));
        return 1;
    }
    SystemClass system;
    (void)system.init(&module, 0);
    uint32_t serial = 0;
    Figures("getSerialNumber round trip, back to back", GETS,
            [&] { return system.getSerialNumber(&serial); });
    // Back to back, each request also waits out the writer's 1 ms pause
    // after the one before.
    Figures(
        "getSerialNumber round trip, 2 ms apart", GETS,
        [&] { return system.getSerialNumber(&serial); }, 2);

    std::vector<uint8_t> buffer(4096);
    uint64_t count = 0;
    uint64_t longest = 0;
    Figures("getName of 3072 bytes (128 packets)", READS, [&] {
        kErr e = system.getName(buffer.data(), buffer.size(), &count);
        longest = std::max(longest, count);
        return e == kErrNone && count != 3072 ? kErrSize : e;
    });
    const uint8_t shortName[50] = {'b', 'e', 'n', 'c', 'h'};
    if (system.setName(shortName, sizeof(shortName)) == kErrNone)
        Figures("getName of 50 bytes (3 packets)", READS,
                [&] { return system.getName(buffer.data(), buffer.size(), &count); });
    (void)module.disconnect();
    return 0;
}
