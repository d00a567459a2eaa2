#pragma once
// The core layer never prints. What it has to tell beyond its results goes
// as one text line to the sink that the program installs; without a sink
// the line is dropped.

/// Receives one line, ending in "\n"; on any thread.
typedef void (*kLogSink)(const char* line);

/// Installs the sink (null removes it).
void kLog_SetSink(kLogSink sink);

/// Formats into 256 bytes (a longer line is cut) and hands the line to the
/// sink.
void kLog_Write(const char* format, ...) __attribute__((format(printf, 1, 2)));
