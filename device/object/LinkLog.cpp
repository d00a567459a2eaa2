// The link's packet log: the engine records every packet crossing the link
// and a logger thread writes the entries to a file, one line each:
//
//     <size> <mark> <bytes>\r\n
//
// with ">" for a packet sent to the module and "<" otherwise; the bytes are
// "0x%X " each, or the characters themselves for a text entry.

#include "device/core/kLink.h"
#include "device/core/kPacketLog.h"
#include "device/core/kTime.h"
#include "device/object/LinkImpl.h"

#include <stdio.h>

namespace Kelvane
{
namespace Vantor
{

static const uint64_t LOG_IDLE_MS = 5;
// The longest entry in its widest form: 5 characters a byte.
static const size_t LOG_LINE_MAX = 16 + 5 * kPACKETLOG_ENTRY_MAX + 2;
static const uint8_t START_TEXT[6] = {'S', 'T', 'A', 'R', 'T', '\0'};

static size_t sFormatEntry(char* line, uint32_t kind, const uint8_t* bytes, uint32_t size)
{
    size_t at = (size_t)snprintf(line, LOG_LINE_MAX, "%d %s ", (int)size,
                                 kind == kPacketLogSent ? ">" : "<");
    for (uint32_t i = 0; i < size && at < LOG_LINE_MAX; i++) {
        // A text entry's bytes go out as they are, its terminating zero too.
        int n = kind == kPacketLogText ? snprintf(line + at, LOG_LINE_MAX - at, "%c", bytes[i])
                                       : snprintf(line + at, LOG_LINE_MAX - at, "0x%X ", bytes[i]);
        at += n > 0 ? (size_t)n : 0;
    }
    if (at + 2 <= LOG_LINE_MAX) {
        line[at++] = '\r';
        line[at++] = '\n';
    }
    return at < LOG_LINE_MAX ? at : LOG_LINE_MAX;
}

// Runs on the logger's thread, over and over while it is enabled. The
// buffer holds the longest entry the log can keep, so no entry can stall
// the writer. With nothing waiting it waits for the next entry; any other
// failed read (no log, the link gone) pauses it.
static void readDebugBuffer(kFile* file, int32_t linkId)
{
    uint8_t entry[kPACKETLOG_ENTRY_MAX];
    uint32_t kind = 0;
    uint32_t size = sizeof(entry);
    kErr err = kLink_PacketDebug_Read((uint32_t)linkId, &kind, &size, entry);
    if (err == kErrNotFound) {
        (void)kLink_PacketDebug_Await((uint32_t)linkId, LOG_IDLE_MS);
        return;
    }
    if (err) {
        kTime_MSSleep(LOG_IDLE_MS);
        return;
    }
    char line[LOG_LINE_MAX];
    size_t length = sFormatEntry(line, kind, entry, size);
    // The log is kept as far as it can be; a line that does not fit on
    // the disk is lost.
    (void)kFile_Write(file, line, length, nullptr);
}

kErr Link::enablePacketLog(const char* path)
{
    if (!m_impl || m_impl->linkId == 0)
        return kErrConfiguration;
    impl& d = *m_impl;
    kErr err = kLink_PacketDebug_Enable(d.linkId);
    if (err)
        return err;
    // The logger ends with the engine link it reads (disconnect), so one
    // that exists reads this one.
    if (!d.logger)
        d.logger = kLogger_Create((int32_t)d.linkId, readDebugBuffer, path);
    if (!d.logger)
        return kErrResource;
    err = kLogger_Enable(d.logger);
    if (!err)
        (void)kLink_PacketDebug_Write(d.linkId, kPacketLogText, sizeof(START_TEXT), START_TEXT);
    return err;
}

kErr Link::disablePacketLog()
{
    if (!m_impl || m_impl->linkId == 0)
        return kErrConfiguration;
    (void)kLink_PacketDebug_Disable(m_impl->linkId);
    return kLogger_Disable(m_impl->logger);
}

} // namespace Vantor
} // namespace Kelvane
