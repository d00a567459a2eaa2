// Start-up shared by every fuzzer: each log line is formatted, so the
// formatting of fuzzed values is exercised, and none is shown.

#include "device/core/kLog.h"

#include <stdio.h>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Log::SetOutput(fopen("/dev/null", "w"));
    Log::ActivatePackage(0xFFFFFFFF);
    return 0;
}
