#pragma once
// The debug log of every layer: static, filtered by package bits, written
// to one stream (the standard error stream, set by main). A line logged
// with level 0 is always written. It sits in the core so that the core, the
// object layer and the engine log through it without reaching up to the
// program that chooses its packages and stream.
//
// Besides its results the core tells only through this log, with two
// exceptions the design fixes: a failed USB interface release
// ("error release %d") and a file that a tree removal cannot unlink are
// printed to the standard output.

#include <stdint.h>
#include <stdio.h>

#include <atomic>

enum LogPackage : uint32_t {
    DEBUG_Updater = 0x00000001,
    DEBUG_History = 0x00000002,
    DEBUG_Attributes = 0x00000004,
    DEBUG_BirdFile = 0x00000008,
    DEBUG_Network_Legacy = 0x00000010, // shown as DEBUG_Network in the usage; unused
    DEBUG_ServerComm = 0x00000020,
    DEBUG_Network = 0x00000100,
    DEBUG_Network_SR = 0x00000200,
    DEBUG_Network_FIRM = 0x00000400,
    DEBUG_NXPSerial = 0x00001000,
    DEBUG_NXPSerial_E = 0x00002000,
    DEBUG_NXPSerial_SR = 0x00004000,
    DEBUG_APP = 0x00010000,
    DEBUG_iMXSerial = 0x10000000,
};

class Log
{
public:
    Log() {}
    ~Log() {}

    static uint32_t package_bitmask;
    /// Read by every thread that logs and set by the update flows, which
    /// run side by side in a run of several modules.
    static std::atomic<bool> timestamped;
    static FILE* fh;
    static const char* const TIMESTAMP_FORMAT;
    static const char* const SEPARATOR;

    /// Writes the formatted text (cut to 2047 bytes) when `level` is 0 or
    /// shares a bit with package_bitmask. Formats end in "\n" themselves.
    static void log(uint32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));

    static void SetOutput(FILE* stream);
    static void ActivatePackage(uint32_t mask);
    static void DeactivatePackage(uint32_t mask);
};
