// Figures of one link engine link over loopback TCP to a simulated module
// (started by bench/link_bench.py): the round trip of a request and its
// reply, also against the round trip of the same frame over a plain socket
// of its own to the same module, the rate of a burst of queued packets
// against the bound that the writer's pause after each packet sets, and
// the CPU time one idle running link costs. It prints figures and asserts
// nothing.
//
//     link_bench PORT [ADDRESS]

#include "device/core/kLink.h"
#include "device/core/kTime.h"
#include "device/object/Link.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <vector>

namespace
{

const int ROUND_TRIPS = 2000;
const int BURST = 2000;
const int IDLE_SECONDS = 5;
const uint8_t DEBUG_ECHO = 23;
// The system entity's get of its serial number (option 9), and its reply.
const uint8_t UEI_GET_SERIAL[] = {3, 0x49, 0x20};
const uint8_t UEI_SERIAL_REPLY_LENGTH = 7;

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
    (void)kPacket_Destroy(&packet);
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
        (void)PutEcho(link, address, tag[0], tag[1]);
        kPacket* reply = kLink_AwaitFirst(link, IsEcho, tag, 1000);
        if (!reply) {
            lost++;
            continue;
        }
        us.push_back((Now() - start) * 1e6);
        (void)kPacket_Destroy(&reply);
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
    (void)kLink_InstallUserPacketFilter(link, CountEcho, nullptr);
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
    (void)kLink_InstallUserPacketFilter(link, nullptr, nullptr);
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

bool IsSerialReply(const kPacket* packet, void*)
{
    return packet->length == UEI_SERIAL_REPLY_LENGTH && packet->data[0] == 3 &&
           packet->data[1] == 9;
}

// One UEI round trip over the link; microseconds, or a negative number
// when no reply came.
double LinkUEI(uint32_t link, uint8_t address)
{
    kPacket* request = kPacket_CreateWithData(address, sizeof(UEI_GET_SERIAL), UEI_GET_SERIAL);
    double start = Now();
    (void)kLink_PutPacket(link, request);
    (void)kPacket_Destroy(&request);
    kPacket* reply = kLink_AwaitFirst(link, IsSerialReply, nullptr, 1000);
    double us = (Now() - start) * 1e6;
    if (!reply)
        return -1;
    (void)kPacket_Destroy(&reply);
    return us;
}

int RawConnect(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    if (connect(fd, (struct sockaddr*)&to, sizeof(to)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The same frame written to a plain blocking socket and its reply read
// back whole: what the round trip costs without the engine.
double RawUEI(int fd, uint8_t address)
{
    uint8_t frame[2 + sizeof(UEI_GET_SERIAL)] = {address, sizeof(UEI_GET_SERIAL)};
    memcpy(frame + 2, UEI_GET_SERIAL, sizeof(UEI_GET_SERIAL));
    const size_t replySize = 2 + UEI_SERIAL_REPLY_LENGTH;
    uint8_t reply[replySize];
    double start = Now();
    if (send(fd, frame, sizeof(frame), 0) != (ssize_t)sizeof(frame))
        return -1;
    for (size_t got = 0; got < replySize;) {
        ssize_t n = recv(fd, reply + got, replySize - got, 0);
        if (n <= 0)
            return -1;
        got += (size_t)n;
    }
    return (Now() - start) * 1e6;
}

double Median(std::vector<double>& us)
{
    std::sort(us.begin(), us.end());
    return us.empty() ? 0 : us[us.size() / 2];
}

// The same UEI through the link object, whose reply matcher hands the
// reply from the reader to the waiter.
double ObjectUEI(Kelvane::Vantor::Link& link, uint8_t address)
{
    Kelvane::Vantor::uei u = {};
    u.module = address;
    u.command = UEI_GET_SERIAL[0];
    u.option = UEI_GET_SERIAL[1];
    u.specifier = UEI_GET_SERIAL[2];
    u.type = Kelvane::Vantor::UEI_TYPE_NONE;
    double start = Now();
    if (link.sendUEI(u) != kErrNone)
        return -1;
    u.option &= Kelvane::Vantor::UEI_OPTION_MASK;
    u.specifier &= Kelvane::Vantor::UEI_INDEX_MASK;
    kErr err = link.receiveUEI(address, u.command, u.option, u.specifier, &u);
    return err ? -1 : (Now() - start) * 1e6;
}

// Spaced UEI round trips over the link and over a plain socket of its own,
// taken in turn so that both see the same load.
void SpacedAgainstRaw(const char* what, const std::function<double()>& viaLinkUEI, uint16_t port,
                      uint8_t address)
{
    int fd = RawConnect(port);
    if (fd < 0) {
        printf("raw socket: no connection\n");
        return;
    }
    std::vector<double> viaLink, viaSocket;
    for (int i = 0; i < ROUND_TRIPS; i++) {
        kTime_MSSleep(2);
        double us = RawUEI(fd, address);
        if (us >= 0)
            viaSocket.push_back(us);
        kTime_MSSleep(2);
        us = viaLinkUEI();
        if (us >= 0)
            viaLink.push_back(us);
    }
    close(fd);
    double link50 = Median(viaLink), raw50 = Median(viaSocket);
    printf("UEI round trip %s, 2 ms apart, in turn (%zu and %zu replies): link median %.0f us, "
           "raw socket median %.0f us: ratio %.2f\n",
           what, viaLink.size(), viaSocket.size(), link50, raw50, raw50 > 0 ? link50 / raw50 : 0.0);
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
        (void)kLink_Destroy(&link);
        return 1;
    }
    Idle(link);
    RoundTrips(link, address, 0);
    RoundTrips(link, address, 2);
    SpacedAgainstRaw(
        "over the engine", [link, address] { return LinkUEI(link, address); }, port, address);
    Burst(link, address);
    {
        // A second use of the same engine link, given back by the object.
        Kelvane::Vantor::Link object("bench");
        if (object.attachEngineLink(kLink_CreateTCPIP(htonl(INADDR_LOOPBACK), port)) == kErrNone)
            SpacedAgainstRaw(
                "through the link object",
                [&object, address] { return ObjectUEI(object, address); }, port, address);
    }
    (void)kLink_Destroy(&link);
    return 0;
}
