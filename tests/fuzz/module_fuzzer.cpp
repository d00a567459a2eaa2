// Plays a module whose replies are the input, on a link of the engine over
// a stream of this file's own, driven only through the engine's and the
// object layer's public operations: the bytes go through the engine's
// reader (framing, synchronisation, heartbeats) and then to the reply
// handling of one exchange: a UEI get or set, a bytes value read or
// written, a descriptor, a store slot, factory data or a step of the
// upgrade exchange.
//
// Input: the exchange and its four parameter bytes, four bytes that begin
// every answer to a synchronisation request, then segments, each a length
// byte and that many bytes. The first segment arrives before the exchange
// starts, each further one when the host sends its next request, just as
// it is: any framing, heartbeats, stream packets, replies for other
// requests. The module side keeps a model of the framing of what it sent,
// so that whatever a segment did, each request is then answered by a frame
// that ends its wait (the request's error reply, or the reply with no
// data): an exchange never waits out its time. A segment's frame errors
// beyond the first two are left out, since each costs the engine a 2 ms
// pause before it asks to synchronise.

#include "UpdaterLib/source/UpdaterEntity.h"
#include "device/core/kLink.h"
#include "device/object/Entity.h"
#include "device/object/Module.h"
#include "device/object/SystemClass.h"
#include "tests/fuzz/QuietDisplay.h"

#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

using namespace Kelvane::Vantor;

namespace
{

const uint8_t MODULE = 0x02;
const uint8_t NOTICE_ADDRESS = 0xAF;
const int FRAME_ERRORS_MAX = 2;
const uint8_t SYNC_REQUEST[12] = {0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0};
const size_t HEADER = 9;

/// How a request is answered when its segment is spent.
enum Closing { CLOSE_UEI, CLOSE_PREFIX, CLOSE_SLOT, CLOSE_FACTORY, CLOSE_UPGRADE };

class ModuleSide
{
public:
    void Start(const uint8_t* data, size_t size, Closing how, bool chunked)
    {
        std::lock_guard<std::mutex> guard(lock);
        memcpy(syncStart, data + 5, sizeof(syncStart));
        input = data + HEADER;
        left = size - HEADER;
        closing = how;
        chunkedWrites = chunked;
        toHost.clear();
        fill = length = 0;
        frameErrors = 0;
        idle = over = false;
    }

    void FeedFirst()
    {
        std::lock_guard<std::mutex> guard(lock);
        FeedSegment();
    }

    /// Until the reader has taken every byte sent so far.
    void AwaitTaken()
    {
        std::unique_lock<std::mutex> guard(lock);
        ready.wait(guard, [this] { return toHost.empty() && idle; });
    }

    void Stop()
    {
        std::lock_guard<std::mutex> guard(lock);
        over = true;
        ready.notify_all();
    }

    static kErr Get(uint8_t* byte, void* reference)
    {
        ModuleSide* side = (ModuleSide*)reference;
        std::lock_guard<std::mutex> guard(side->lock);
        if (side->toHost.empty()) {
            side->idle = true;
            side->ready.notify_all();
            return kErrNotReady;
        }
        *byte = side->toHost.front();
        side->toHost.pop_front();
        return kErrNone;
    }

    static kErr Wait(uint32_t timeoutMS, void* reference)
    {
        ModuleSide* side = (ModuleSide*)reference;
        std::unique_lock<std::mutex> guard(side->lock);
        if (side->toHost.empty()) {
            side->idle = true;
            side->ready.notify_all();
            side->ready.wait_for(guard, std::chrono::milliseconds(timeoutMS),
                                 [side] { return !side->toHost.empty() || side->over; });
        }
        return side->toHost.empty() ? kErrTimeout : kErrNone;
    }

    static kErr Write(const uint8_t* bytes, size_t count, void* reference)
    {
        ModuleSide* side = (ModuleSide*)reference;
        std::lock_guard<std::mutex> guard(side->lock);
        side->Take(bytes, count);
        side->ready.notify_all();
        return kErrNone;
    }

    static kErr Put(uint8_t byte, void* reference) { return Write(&byte, 1, reference); }

private:
    void Send(uint8_t byte)
    {
        toHost.push_back(byte);
        idle = false;
    }

    // The engine's framing as the module sees it: an address (even, not 0),
    // a length (at most 28), the data. A frame error makes the engine ask
    // for synchronisation, after which framing starts afresh.
    void Offer(uint8_t byte)
    {
        bool error = false;
        uint8_t nextFill = 0, nextLength = length;
        if (fill == 0) {
            error = byte == 0 || (byte & 1);
            nextFill = error ? 0 : 1;
        } else if (fill == 1) {
            error = byte > kPACKET_DATA_MAX;
            nextLength = byte;
            nextFill = error || byte == 0 ? 0 : 2;
        } else {
            nextFill = fill + 1 == length + 2 ? 0 : (uint8_t)(fill + 1);
        }
        // A byte left out leaves the frame as it was.
        if (error && frameErrors == FRAME_ERRORS_MAX)
            return;
        frameErrors += error;
        fill = nextFill;
        length = nextLength;
        Send(byte);
    }

    void FeedSegment()
    {
        if (left > 0) {
            size_t n = input[0];
            if (n > left - 1)
                n = left - 1;
            for (size_t i = 0; i < n; i++)
                Offer(input[1 + i]);
            input += 1 + n;
            left -= 1 + n;
        }
        // The frame in progress is completed with zero bytes.
        if (fill == 1)
            Send(0);
        else if (fill >= 2)
            for (; fill < length + 2; fill++)
                Send(0);
        fill = 0;
    }

    void SendFrame(const uint8_t* data, uint8_t count)
    {
        Send(MODULE);
        Send(count);
        for (uint8_t i = 0; i < count; i++)
            Send(data[i]);
    }

    void Close(const uint8_t* d, size_t n)
    {
        uint8_t reply[5] = {d[0]};
        switch (closing) {
        case CLOSE_UEI:
            if (n < 3)
                return;
            reply[1] = (d[1] & 0x80) ? (uint8_t)(d[1] | 0xC0) : (uint8_t)(d[1] & 0x3F);
            reply[2] = (uint8_t)((d[2] & 0x1F) | 0x80);
            reply[3] = 1;
            SendFrame(reply, 4);
            break;
        case CLOSE_PREFIX:
            SendFrame(reply, 1);
            break;
        case CLOSE_SLOT:
            reply[1] = n > 1 ? (uint8_t)(d[1] | 0x80) : 0x80;
            reply[2] = n > 2 ? d[2] : 0;
            reply[3] = n > 3 ? d[3] : 0;
            SendFrame(reply, 5);
            break;
        case CLOSE_FACTORY:
            reply[1] = (uint8_t)((n > 1 ? d[1] & 0x0F : 0) | 0x80);
            SendFrame(reply, 3);
            break;
        case CLOSE_UPGRADE:
            reply[1] = n > 1 ? d[1] : 0;
            if (reply[1] == val_UPGRADE_PREPARE || reply[1] == val_UPGRADE_SUM ||
                reply[1] == val_UPGRADE_WRITE)
                reply[1] = val_UPGRADE_STATUS;
            SendFrame(reply, 2);
            break;
        }
    }

    // The module's answer to a synchronisation request: the input's bytes
    // while they keep the exchange going, then what completes it.
    void AnswerSync()
    {
        std::vector<uint8_t> answer;
        int state = 2;
        uint8_t address = 0;
        for (uint8_t byte : syncStart) {
            int next = state == 2   ? (byte == 0    ? 2
                                       : (byte & 1) ? 1
                                                    : 3)
                       : state == 3 ? (byte == 0 ? 4 : 1)
                       : state == 4 ? (byte == address ? 5 : 1)
                                    : (byte == 0 ? 0 : 1);
            if (next == 1)
                break;
            if (state == 2 && next == 3)
                address = byte;
            answer.push_back(byte);
            state = next;
            if (state == 0)
                break;
        }
        if (state == 2) {
            address = MODULE;
            answer.insert(answer.end(), {MODULE, 0, MODULE, 0});
        } else if (state == 3) {
            answer.insert(answer.end(), {0, address, 0});
        } else if (state == 4) {
            answer.insert(answer.end(), {address, 0});
        } else if (state == 5) {
            answer.push_back(0);
        }
        toHost.insert(toHost.begin(), answer.begin(), answer.end());
        idle = false;
    }

    void Take(const uint8_t* bytes, size_t count)
    {
        if (count == sizeof(SYNC_REQUEST) && memcmp(bytes, SYNC_REQUEST, count) == 0) {
            AnswerSync();
            return;
        }
        if (count < 2 || bytes[0] == NOTICE_ADDRESS || over)
            return;
        const uint8_t* d = bytes + 2;
        size_t n = count - 2;
        if (n == 2 && d[0] == 0)
            return; // a heartbeat's answer
        // The chunks of a bytes value before the last get no reply.
        if (chunkedWrites && n > 0 && (d[n - 1] & UEI_SEQUENCE_MORE))
            return;
        FeedSegment();
        if (n > 0)
            Close(d, n);
    }

    std::mutex lock;
    std::condition_variable ready;
    std::deque<uint8_t> toHost;
    bool idle = false;
    bool over = false;
    const uint8_t* input = nullptr;
    size_t left = 0;
    uint8_t syncStart[4] = {};
    Closing closing = CLOSE_UEI;
    bool chunkedWrites = false;
    uint8_t fill = 0;
    uint8_t length = 0;
    int frameErrors = 0;
};

ModuleSide sSide;

struct Exchange {
    Closing closing;
    bool chunked;
    void (*run)(Module& module, const uint8_t* p);
};

void sSystem(Module& module, const uint8_t* p)
{
    SystemClass system;
    (void)system.init(&module, 0);
    uint32_t word = 0;
    uint8_t byte = 0;
    switch (p[0] % 5) {
    case 0:
        (void)system.getSerialNumber(&word);
        break;
    case 1:
        (void)system.getModel(&byte);
        break;
    case 2:
        (void)system.getVersion(&word);
        break;
    case 3:
        (void)system.getRouter(&byte);
        break;
    default:
        (void)system.routeToMe(p[1] & 1);
        break;
    }
}

void sGet(Module& module, const uint8_t* p)
{
    EntityClass entity;
    (void)entity.init(&module, p[0], p[2] & UEI_INDEX_MASK);
    uint8_t option = p[1] & UEI_OPTION_MASK;
    uint8_t b = 0;
    uint16_t s = 0;
    uint32_t w = 0;
    switch (p[3] % 4) {
    case 0:
        (void)entity.getUEI8(option, &b);
        break;
    case 1:
        (void)entity.getUEI16(option, &s);
        break;
    case 2:
        (void)entity.getUEI32(option, &w);
        break;
    default:
        (void)entity.getUEI32(option, p[3], &w);
        break;
    }
}

void sSet(Module& module, const uint8_t* p)
{
    EntityClass entity;
    (void)entity.init(&module, p[0], p[2] & UEI_INDEX_MASK);
    uint8_t option = p[1] & UEI_OPTION_MASK;
    switch (p[3] % 4) {
    case 0:
        (void)entity.setUEI8(option, p[3]);
        break;
    case 1:
        (void)entity.setUEI16(option, (uint16_t)(p[3] * 257));
        break;
    case 2:
        (void)entity.setUEI32(option, p[3], 0x01020304);
        break;
    default:
        (void)entity.callUEI(option);
        break;
    }
}

void sGetBytes(Module& module, const uint8_t* p)
{
    EntityClass entity;
    (void)entity.init(&module, p[0], p[2] & UEI_INDEX_MASK);
    std::vector<uint8_t> buffer(1 + p[3]);
    uint64_t count = 0;
    if (entity.getUEIBytes(p[1] & UEI_OPTION_MASK, buffer.data(), buffer.size(), &count) ==
            kErrNone &&
        count > buffer.size())
        abort();
}

void sSetBytes(Module& module, const uint8_t* p)
{
    EntityClass entity;
    (void)entity.init(&module, p[0], p[2] & UEI_INDEX_MASK);
    std::vector<uint8_t> bytes(p[3] % 100, 0x5A);
    (void)entity.setUEIBytes(p[1] & UEI_OPTION_MASK, bytes.data(), bytes.size());
}

void sDescriptor(Module& module, const uint8_t* p)
{
    uint8_t answer = 0;
    switch (p[0] % 5) {
    case 0:
        (void)module.hasUEI(p[1], p[2], p[3], (uint8_t)(p[0] & 0xC0));
        break;
    case 1:
        (void)module.classQuantity(p[1], &answer);
        break;
    case 2:
        (void)module.subClassQuantity(p[1], p[2], &answer);
        break;
    case 3:
        (void)module.entityGroup(p[1], p[2], &answer);
        break;
    default:
        (void)module.debug(p + 1, 3);
        break;
    }
}

void sSlot(Module& module, const uint8_t* p)
{
    uint64_t value = 0;
    std::vector<uint8_t> buffer(1 + p[3]);
    switch (p[0] % 4) {
    case 0:
        (void)module.storeSlotSize(p[1], p[2], &value);
        break;
    case 1:
        (void)module.storeSlotCapacity(p[1], p[2], &value);
        break;
    case 2:
        if (module.unloadStoreSlot(p[1], p[2], buffer.data(), buffer.size(), &value) == kErrNone &&
            value > buffer.size())
            abort();
        break;
    default:
        (void)module.loadStoreSlot(p[1], p[2], buffer.data(), p[3] % 80);
        break;
    }
}

void sFactory(Module& module, const uint8_t* p)
{
    std::vector<uint8_t> buffer(1 + p[3]);
    uint64_t count = 0;
    if (p[0] & 1) {
        (void)module.setFactoryData(p[1] & 0x0F, buffer.data(), p[3] % 60);
    } else if (module.getFactoryData(p[1] & 0x0F, buffer.data(), buffer.size(), &count) ==
                   kErrNone &&
               count > buffer.size()) {
        abort();
    }
}

void sUpgrade(Module& module, const uint8_t* p)
{
    UpdaterEntity upgrade;
    (void)upgrade.init(&module, 0, p[1] & 1);
    std::vector<uint8_t> block(4 + p[3] % 80, 0xC3);
    uint16_t blockSize = (uint16_t)(1 + p[2] % 32);
    QuietDisplay display;
    switch (p[0] % 5) {
    case 0:
        (void)upgrade.LoaderInit();
        break;
    case 1:
        (void)upgrade.TransferPrepare(block.data(), (uint32_t)block.size(), p[1], blockSize);
        break;
    case 2:
        (void)upgrade.LoaderTransfer(block.data(), (uint32_t)block.size());
        break;
    case 3:
        (void)upgrade.FirmwareTransfer(block.data(), (uint32_t)block.size(), blockSize, display);
        break;
    default:
        (void)upgrade.FirmwareWrite(p[3]);
        break;
    }
}

const Exchange EXCHANGES[] = {
    {CLOSE_UEI, false, sSystem},      {CLOSE_UEI, false, sGet},
    {CLOSE_UEI, false, sSet},         {CLOSE_UEI, false, sGetBytes},
    {CLOSE_UEI, true, sSetBytes},     {CLOSE_PREFIX, false, sDescriptor},
    {CLOSE_SLOT, false, sSlot},       {CLOSE_FACTORY, false, sFactory},
    {CLOSE_UPGRADE, false, sUpgrade},
};

/// A running engine link over the module side; 0 when it cannot be made.
uint32_t sRunningLink()
{
    kStream* stream =
        kStream_Create(ModuleSide::Get, ModuleSide::Put, ModuleSide::Write, nullptr, &sSide);
    if (!stream || kStream_SetWait(stream, ModuleSide::Wait) != kErrNone)
        return 0;
    uint32_t id = kLink_Create(stream);
    while (id && kLink_GetStatus(id) == kLinkStatusStarting)
        sched_yield();
    return id;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < HEADER)
        return 0;
    const Exchange& exchange = EXCHANGES[data[0] % (sizeof(EXCHANGES) / sizeof(EXCHANGES[0]))];
    sSide.Start(data, size, exchange.closing, exchange.chunked);
    uint32_t id = sRunningLink();
    if (id == 0)
        abort();
    {
        Module module(MODULE, false, 0);
        if (module.getLink()->attachEngineLink(id) != kErrNone)
            abort();
        // What came before the request has been framed when it goes out.
        sSide.FeedFirst();
        sSide.AwaitTaken();
        exchange.run(module, data + 1);
        sSide.Stop();
    }
    return 0;
}
