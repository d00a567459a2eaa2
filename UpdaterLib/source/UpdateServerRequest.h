#pragma once
// The requests of the update server protocol: each one GET on the server's
// endpoint, answered by lines of text whose first begins with "ok".

#include "device/core/kCancel.h"

#include <stdint.h>

#include <map>
#include <string>

class UpdateServerRequest
{
public:
    /// The endpoint used when a request is given a null URL (a build
    /// setting).
    static const char* const default_url;

    /// All requests block, keep no state and may run on any thread; each is
    /// true when the server answered status 200 with a first line "ok", and
    /// ends, false, once `cancel` (may be null) asks to stop.
    static bool ping(const char* url, const kCancel* cancel = nullptr);

    /// `build` = line 2 (one trailing CR dropped), `firmware` = line 3 up to
    /// its first CR or LF; each is written only when its line is present.
    static bool QueryBuild(uint32_t serialNumber, std::string& build, std::string& firmware,
                           const char* url, const kCancel* cancel = nullptr);

    /// `payload` = line 2, the file in Base64; empty on failure or when the
    /// answer has no line 2.
    static bool GetBuild(uint32_t serialNumber, const char* firmware, const char* build,
                         std::string& payload, const char* url, bool noCal,
                         const kCancel* cancel = nullptr);

    /// `builds` maps build text to version text; cleared first, so it is
    /// empty on failure. The first line of a build listed twice wins.
    static bool GetBuildList(uint32_t serialNumber, std::map<std::string, std::string>& builds,
                             const char* url, const kCancel* cancel = nullptr);

    /// `*serialNumber` = line 2 read as hexadecimal, `*build` = line 3 read
    /// with automatic base; each written only when its line is present.
    static bool GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t* serialNumber,
                                uint32_t* build, const char* url, const kCancel* cancel = nullptr);
};
