// Packet queue costs: a put/await round trip between two threads (the path
// of every command and its reply), a filtered take from a full received
// queue whose match is last, and a put and get on one thread.

#include "device/core/kPacketFifo.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

namespace
{

kPacket* makePacket(uint8_t command)
{
    uint8_t data[] = {command, 0x01, 0x02};
    return kPacket_CreateWithData(0x02, sizeof(data), data);
}

bool isCommand(const kPacket* packet, void* reference)
{
    return packet->data[0] == *(const uint8_t*)reference;
}

// The echo thread answers every packet on `in` with a copy on `out`.
void echo(uint64_t in, uint64_t out, const std::atomic<bool>* stop)
{
    while (!stop->load()) {
        kPacket* packet = kPacketFifo_Await(in, 1000);
        if (packet)
            (void)kPacketFifo_Put(out, packet);
        (void)kPacket_Destroy(&packet);
    }
}

void BM_RoundTripBetweenThreads(benchmark::State& state)
{
    uint64_t requests = kPacketFifo_CreateOutbound();
    uint64_t replies = kPacketFifo_Create();
    std::atomic<bool> stop{false};
    std::thread peer(echo, requests, replies, &stop);
    kPacket* request = makePacket(0x10);
    for (auto _ : state) {
        (void)kPacketFifo_Put(requests, request);
        kPacket* reply = kPacketFifo_Await(replies, 1000);
        benchmark::DoNotOptimize(reply);
        (void)kPacket_Destroy(&reply);
    }
    // Closing the queue wakes the echo thread at once.
    stop = true;
    (void)kPacketFifo_Destroy(&requests);
    peer.join();
    (void)kPacketFifo_Destroy(&replies);
    (void)kPacket_Destroy(&request);
}
BENCHMARK(BM_RoundTripBetweenThreads)->UseRealTime();

void BM_AwaitFirstMatchLastOf20(benchmark::State& state)
{
    uint64_t fifo = kPacketFifo_Create();
    kPacket* other = makePacket(0x11);
    kPacket* match = makePacket(0x22);
    for (int i = 0; i < kPACKETFIFO_RECEIVED_BOUND - 1; i++)
        (void)kPacketFifo_Put(fifo, other);
    uint8_t wanted = 0x22;
    for (auto _ : state) {
        (void)kPacketFifo_Put(fifo, match);
        kPacket* found = kPacketFifo_AwaitFirst(fifo, isCommand, &wanted, 1000);
        benchmark::DoNotOptimize(found);
        (void)kPacket_Destroy(&found);
    }
    if (kPacketFifo_GetLength(fifo) != kPACKETFIFO_RECEIVED_BOUND - 1)
        state.SkipWithError("the queue lost packets");
    (void)kPacketFifo_Destroy(&fifo);
    (void)kPacket_Destroy(&other);
    (void)kPacket_Destroy(&match);
}
BENCHMARK(BM_AwaitFirstMatchLastOf20);

void BM_PutGetOneThread(benchmark::State& state)
{
    uint64_t fifo = kPacketFifo_Create();
    kPacket* packet = makePacket(0x10);
    for (auto _ : state) {
        (void)kPacketFifo_Put(fifo, packet);
        kPacket* got = kPacketFifo_Get(fifo);
        benchmark::DoNotOptimize(got);
        (void)kPacket_Destroy(&got);
    }
    (void)kPacketFifo_Destroy(&fifo);
    (void)kPacket_Destroy(&packet);
}
BENCHMARK(BM_PutGetOneThread);

} // namespace

BENCHMARK_MAIN();
