// Figures of one link engine link over loopback TCP to a simulated module
// (started by bench/link_bench.py): the round trip of a request and its
// reply, the rate of a burst of queued packets against the bound that the
// writer's pause after each packet sets, and the CPU time one idle running
// link costs. It prints figures and asserts nothing.
//
//     link_bench PORT [ADDRESS]

#include "device/core/kLink.h"
#include "device/core/kTime.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

namespace
{

const int ROUND_TRIPS = 2000;
const int BURST = 2000;
const int IDLE_SECONDS = 5;
const uint8_t DEBUG_ECHO = 23;

double Now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double CpuSeconds(long* switches)
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    *switches = usage.ru_nvcsw;
    return (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec / 1e6 +
           (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec / 1e6;
}

bool IsEcho(const kPacket* packet, void* reference)
{
    const uint8_t* tag = (const uint8_t*)reference;
    return packet->length == 3 && packet->data[0] == DEBUG_ECHO && packet->data[1] == tag[0] &&
           packet->data[2] == tag[1];
}

kErr PutEcho(uint32_t link, uint8_t address, uint8_t a, uint8_t b)
{
    const uint8_t data[] = {DEBUG_ECHO, a, b};
    kPacket* packet = kPacket_CreateWithData(address, 3, data);
    kErr err = kLink_PutPacket(link, packet);
    kPacket_Destroy(&packet);
    return err;
}

// `gapMS` between a reply and the next request: with none, each request
// also waits out the writer's pause after the one before.
void RoundTrips(uint32_t link, uint8_t address, uint64_t gapMS)
{
    std::vector<double> us;
    int lost = 0;
    for (int i = 0; i < ROUND_TRIPS; i++) {
        uint8_t tag[2] = {(uint8_t)(i >> 8), (uint8_t)i};
        if (gapMS)
            kTime_MSSleep(gapMS);
        double start = Now();
        PutEcho(link, address, tag[0], tag[1]);
        kPacket* reply = kLink_AwaitFirst(link, IsEcho, tag, 1000);
        if (!reply) {
            lost++;
            continue;
        }
        us.push_back((Now() - start) * 1e6);
        kPacket_Destroy(&reply);
    }
    if (us.empty()) {
        printf("round trip: no replies\n");
        return;
    }
    std::sort(us.begin(), us.end());
    printf("round trip (debug echo, %s, %zu replies, %d lost): median %.0f us, p99 %.0f us, "
           "max %.0f us\n",
           gapMS ? "2 ms apart" : "back to back", us.size(), lost, us[us.size() / 2],
           us[us.size() * 99 / 100], us.back());
}

std::atomic<int> echoed{0};

bool CountEcho(const kPacket* packet, void*)
{
    if (packet->length == 3 && packet->data[0] == DEBUG_ECHO) {
        echoed++;
        return true;
    }
    return false;
}

// Replies are counted by a user filter on the reader, so none is lost to
// the received-packet bound while the burst is under way.
void Burst(uint32_t link, uint8_t address)
{
    echoed = 0;
    kLink_InstallUserPacketFilter(link, CountEcho, nullptr);
    double start = Now();
    int overruns = 0;
    for (int i = 0; i < BURST; i++) {
        while (PutEcho(link, address, 0xEE, (uint8_t)i) == kErrOverrun) {
            overruns++;
            kTime_MSSleep(1);
        }
    }
    while (echoed < BURST && Now() - start < 30)
        kTime_MSSleep(1);
    double seconds = Now() - start;
    kLink_InstallUserPacketFilter(link, nullptr, nullptr);
    double rate = echoed / seconds;
    printf("burst of %d queued packets: %d echoed in %.3f s = %.0f packets/s; the 1 ms pause "
           "bounds it at 1000 packets/s: ratio %.3f (%d puts met a full queue)\n",
           BURST, echoed.load(), seconds, rate, rate / 1000.0, overruns);
}

// The voluntary context switches are mostly the reader's pauses between
// polls of the stream.
void Idle(uint32_t link)
{
    long before, after;
    double cpu = CpuSeconds(&before);
    double start = Now();
    kTime_MSSleep(IDLE_SECONDS * 1000);
    double used = CpuSeconds(&after) - cpu;
    double wall = Now() - start;
    printf("idle running link: %.3f s CPU in %.3f s = %.1f %% of one core, %.0f sleeps/s "
           "(status %u)\n",
           used, wall, 100.0 * used / wall, (double)(after - before) / wall, kLink_GetStatus(link));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s PORT [MODULE_ADDRESS]\n", argv[0]);
        return 2;
    }
    uint16_t port = (uint16_t)strtoul(argv[1], nullptr, 10);
    uint8_t address = (uint8_t)(argc > 2 ? strtoul(argv[2], nullptr, 0) : 2);
    uint32_t link = kLink_CreateTCPIP(htonl(INADDR_LOOPBACK), port);
    for (int i = 0; i < 200 && kLink_GetStatus(link) != kLinkStatusRunning; i++)
        kTime_MSSleep(10);
    if (kLink_GetStatus(link) != kLinkStatusRunning) {
        fprintf(stderr, "no running link to 127.0.0.1:%u\n", port);
        kLink_Destroy(&link);
        return 1;
    }
    Idle(link);
    RoundTrips(link, address, 0);
    RoundTrips(link, address, 2);
    Burst(link, address);
    kLink_Destroy(&link);
    return 0;
}
