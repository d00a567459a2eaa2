#include "device/core/kStream.h"

#include "device/core/kFile.h"
#include "device/core/kTime.h"

#include <stdlib.h>
#include <string.h>

// Reads this short use a block on the stack: the link engine reads one byte
// at a time and should not pay an allocation per byte.
#define kSTREAM_STACK_SCRATCH 64

static bool kVALIDSTREAM(const kStream* stream)
{
    return stream && stream->check == kSTREAMCHECK;
}

kStream* kStream_Create(kStreamGetProc get, kStreamPutProc put, kStreamWriteProc write,
                        kStreamDeleteProc del, void* reference)
{
    kStream* stream = (kStream*)calloc(1, sizeof(*stream));
    if (!stream)
        return nullptr;
    stream->get = get;
    stream->put = put;
    stream->write = write;
    stream->del = del;
    stream->reference = reference;
    stream->check = kSTREAMCHECK;
    return stream;
}

kErr kStream_SetWait(kStream* stream, kStreamWaitProc wait)
{
    if (!kVALIDSTREAM(stream))
        return kErrParam;
    stream->wait = wait;
    return kErrNone;
}

bool kStream_CanWait(const kStream* stream)
{
    return kVALIDSTREAM(stream) && stream->wait;
}

kErr kStream_Wait(kStream* stream, uint32_t timeoutMS)
{
    if (!kVALIDSTREAM(stream))
        return kErrParam;
    if (stream->bufferCount > 0)
        return kErrNone;
    if (stream->wait)
        return stream->wait(timeoutMS, stream->reference);
    kTime_MSSleep(timeoutMS);
    return kErrNone;
}

kErr kStream_Destroy(kStream** stream)
{
    if (!stream)
        return kErrParam;
    kStream* s = *stream;
    *stream = nullptr;
    if (!kVALIDSTREAM(s))
        return kErrParam;
    kErr err = s->del ? s->del(s->reference) : kErrNone;
    free(s->buffer);
    s->check = 0;
    free(s);
    return err;
}

// Moves the held bytes, oldest first, to the start of a block one chunk
// larger, so the ring never loses order when it wraps.
static kErr sGrowRing(kStream* stream)
{
    size_t size = stream->bufferSize + kSTREAMBUFCHUNK;
    uint8_t* block = (uint8_t*)malloc(size);
    if (!block)
        return kErrMemory;
    size_t count = stream->bufferCount;
    if (count > 0) {
        size_t first = stream->bufferSize - stream->bufferReadPos;
        if (first > count)
            first = count;
        memcpy(block, stream->buffer + stream->bufferReadPos, first);
        memcpy(block + first, stream->buffer, count - first);
    }
    free(stream->buffer);
    stream->buffer = block;
    stream->bufferSize = size;
    stream->bufferReadPos = 0;
    stream->bufferWritePos = count;
    return kErrNone;
}

kErr kStreamBufferChar(kStream* stream, uint8_t byte)
{
    if (!kVALIDSTREAM(stream))
        return kErrParam;
    if (!stream->buffer || stream->bufferCount + 1 >= stream->bufferSize) {
        kErr err = sGrowRing(stream);
        if (err)
            return err;
    }
    stream->buffer[stream->bufferWritePos] = byte;
    stream->bufferWritePos = (stream->bufferWritePos + 1) % stream->bufferSize;
    stream->bufferCount++;
    return kErrNone;
}

static bool sTakeBuffered(kStream* stream, uint8_t* byte)
{
    if (stream->bufferCount == 0)
        return false;
    *byte = stream->buffer[stream->bufferReadPos];
    stream->bufferReadPos = (stream->bufferReadPos + 1) % stream->bufferSize;
    stream->bufferCount--;
    return true;
}

// The next byte: a given-back one first, else one from the get procedure.
static kErr sNextByte(kStream* stream, uint8_t* byte)
{
    if (sTakeBuffered(stream, byte))
        return kErrNone;
    return stream->get(byte, stream->reference);
}

// Gives bytes back in order. A byte is only fetched from the procedure once
// the ring is empty, so the bytes of an undone read go back exactly where
// they came from.
static kErr sGiveBack(kStream* stream, const uint8_t* bytes, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        kErr err = kStreamBufferChar(stream, bytes[i]);
        if (err)
            return err;
    }
    return kErrNone;
}

kErr kStream_Read(kStream* stream, void* destination, size_t size)
{
    if (!kVALIDSTREAM(stream) || !destination)
        return kErrParam;
    if (!stream->get)
        return kErrMode;
    uint8_t onStack[kSTREAM_STACK_SCRATCH];
    uint8_t* scratch = size <= sizeof(onStack) ? onStack : (uint8_t*)malloc(size);
    if (!scratch)
        return kErrResource;
    kErr err = kErrNone;
    size_t got = 0;
    while (got < size) {
        err = sNextByte(stream, &scratch[got]);
        if (err)
            break;
        got++;
    }
    if (err == kErrNotReady) {
        kErr back = sGiveBack(stream, scratch, got);
        if (back)
            err = back;
    } else if (err == kErrNone || err == kErrEOF) {
        memcpy(destination, scratch, got);
    }
    if (scratch != onStack)
        free(scratch);
    return err;
}

kErr kStream_Write(kStream* stream, const void* bytes, size_t length)
{
    if (!kVALIDSTREAM(stream) || !bytes)
        return kErrParam;
    if (!stream->write && !stream->put)
        return kErrMode;
    if (length == 0)
        return kErrNone;
    if (stream->write && (length > 1 || !stream->put))
        return stream->write((const uint8_t*)bytes, length, stream->reference);
    const uint8_t* p = (const uint8_t*)bytes;
    for (size_t i = 0; i < length; i++) {
        kErr err = stream->put(p[i], stream->reference);
        if (err)
            return err;
    }
    return kErrNone;
}

// One record read in progress: the bytes stored, and every byte taken in
// the order taken, so that an undone read gives back delimiter bytes too.
typedef struct {
    uint8_t* stored;
    uint32_t storedCount;
    uint8_t* taken;
    uint32_t takenCount;
} sRecordScratch;

static kErr sReadRecordBytes(kStream* stream, sRecordScratch* r, uint32_t maxLength,
                             const uint8_t* delimiter, uint32_t delimiterLength)
{
    uint32_t match = 0;
    while (match < delimiterLength && r->storedCount < maxLength) {
        uint8_t byte;
        kErr err = kStream_Read(stream, &byte, 1);
        if (err == kErrEOF && r->storedCount > 0)
            return kErrNone;
        if (err)
            return err;
        r->taken[r->takenCount++] = byte;
        if (byte == delimiter[match])
            match++;
        else
            r->stored[r->storedCount++] = byte;
    }
    return kErrNone;
}

kErr kStream_ReadRecord(kStream* stream, void* destination, uint32_t* length, uint32_t maxLength,
                        const void* delimiter, uint32_t delimiterLength)
{
    if (!kVALIDSTREAM(stream) || !destination || !delimiter || delimiterLength == 0 ||
        maxLength == 0)
        return kErrParam;
    sRecordScratch r = {};
    kErr err = kErrResource;
    r.stored = (uint8_t*)malloc(maxLength);
    r.taken = (uint8_t*)malloc((size_t)maxLength + delimiterLength);
    if (!r.stored || !r.taken)
        goto out;
    err = sReadRecordBytes(stream, &r, maxLength, (const uint8_t*)delimiter, delimiterLength);
    if (err == kErrNotReady) {
        kErr back = sGiveBack(stream, r.taken, r.takenCount);
        if (back)
            err = back;
    } else if (err == kErrNone || err == kErrEOF) {
        memcpy(destination, r.stored, r.storedCount);
        if (length)
            *length = r.storedCount;
    }
out:
    free(r.stored);
    free(r.taken);
    return err;
}

kErr kStream_WriteRecord(kStream* stream, const void* bytes, size_t length, const void* delimiter,
                         uint32_t delimiterLength)
{
    if (!bytes || !delimiter || delimiterLength == 0)
        return kErrParam;
    kErr err = kStream_Write(stream, bytes, length);
    if (err)
        return err;
    return kStream_Write(stream, delimiter, delimiterLength);
}

kErr kStream_ReadCStringRecord(kStream* stream, char* destination, uint32_t capacity,
                               const char* delimiter)
{
    if (!destination || !delimiter || capacity < 2)
        return kErrParam;
    uint32_t length = 0;
    kErr err = kStream_ReadRecord(stream, destination, &length, capacity - 1, delimiter,
                                  (uint32_t)strlen(delimiter));
    if (err == kErrNone)
        destination[length] = '\0';
    return err;
}

kErr kStream_ReadCString(kStream* stream, char* destination, uint32_t capacity)
{
    if (!destination || capacity < 2)
        return kErrParam;
    static const uint8_t zero = 0;
    uint32_t length = 0;
    kErr err = kStream_ReadRecord(stream, destination, &length, capacity - 1, &zero, 1);
    if (err == kErrNone)
        destination[length] = '\0';
    return err;
}

kErr kStream_WriteCString(kStream* stream, const char* text)
{
    if (!text)
        return kErrParam;
    return kStream_Write(stream, text, strlen(text) + 1);
}

kErr kStream_WriteCStringRecord(kStream* stream, const char* text, const char* delimiter)
{
    if (!text || !delimiter)
        return kErrParam;
    return kStream_WriteRecord(stream, text, strlen(text), delimiter,
                               (uint32_t)strlen(delimiter) + 1);
}

kErr kStream_Flush(kStream* input, kStream* output)
{
    if (!kVALIDSTREAM(input) || !kVALIDSTREAM(output))
        return kErrParam;
    if (!input->get || !output->put)
        return kErrMode;
    for (;;) {
        uint8_t byte;
        kErr err = input->get(&byte, input->reference);
        if (err == kErrEOF)
            return kErrNone;
        if (err)
            return err;
        err = output->put(byte, output->reference);
        if (err)
            return err;
    }
}

// File streams: the reference is the kFile itself.

static kErr sFileGet(uint8_t* byte, void* reference)
{
    if (!reference)
        return kErrIO;
    return kFile_Read((kFile*)reference, byte, 1, nullptr);
}

static kErr sFilePut(uint8_t byte, void* reference)
{
    if (!reference)
        return kErrIO;
    return kFile_Write((kFile*)reference, &byte, 1, nullptr);
}

static kErr sFileWrite(const uint8_t* bytes, size_t length, void* reference)
{
    if (!reference)
        return kErrIO;
    return kFile_Write((kFile*)reference, bytes, length, nullptr);
}

static kErr sFileDelete(void* reference)
{
    if (!reference)
        return kErrIO;
    kFile* file = (kFile*)reference;
    return kFile_Close(&file);
}

static kErr sCreateFileStream(const char* path, int mode, kStream** stream)
{
    if (!path || !stream)
        return kErrResource;
    kFile* file = kFile_Open(path, mode);
    if (!file)
        return kErrResource;
    kStream* s = mode == kFileModeRead
                     ? kStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                     : kStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
    if (!s) {
        (void)kFile_Close(&file);
        return kErrResource;
    }
    *stream = s;
    return kErrNone;
}

kErr kStream_CreateFileInput(const char* path, kStream** stream)
{
    return sCreateFileStream(path, kFileModeRead, stream);
}

kErr kStream_CreateFileOutput(const char* path, kStream** stream)
{
    return sCreateFileStream(path, kFileModeWrite, stream);
}
