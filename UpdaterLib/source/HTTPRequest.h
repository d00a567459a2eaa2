#pragma once
// One HTTP GET to the update server over libcurl's easy interface: the URL
// is the base URL and the parameters, the answer is the status and the
// whole body.

#include "device/core/kCancel.h"

#include <stddef.h>

#include <map>
#include <string>

/// The request URL, the HTTP status (0 until the transfer finished) and the
/// body received so far.
class HTTPResponse
{
public:
    explicit HTTPResponse(const std::string& request);

    const char* get_response() const { return response.c_str(); }
    /// The body's byte count; the body may hold NUL bytes.
    size_t get_response_size() const { return response.size(); }
    long get_status() const { return status; }
    const char* get_request() const { return request.c_str(); }
    void set_status(long code) { status = code; }
    /// Appends `count` bytes to the body.
    void process(const char* data, size_t count) { response.append(data, count); }

private:
    std::string request;
    long status;
    std::string response;
};

/// Bounds of one transfer, so a stalled, trickling or runaway server cannot
/// hang or exhaust the program.
struct HTTPLimits {
    long connectTimeoutSeconds = 30;
    long lowSpeedBytesPerSecond = 1;
    long lowSpeedSeconds = 60;
    /// The whole transfer, connection included.
    long totalSeconds = 300;
    size_t maxBodyBytes = (size_t)64 * 1024 * 1024;
    /// The run's cancellation (may be null): once it asks to stop, the
    /// transfer ends at libcurl's next progress call.
    const kCancel* cancel = nullptr;
};

class HTTPRequest
{
public:
    /// The base URL, then, unless the map is empty, "?" and "key=value&" for
    /// every entry in key order, keys and values percent-encoded (every byte
    /// but letters, digits and "-._~").
    static std::string BuildURL(const char* baseURL,
                                const std::map<std::string, std::string>& parameters);

    /// Performs one GET over http or https only. Any status is a result; a
    /// transport failure (no connection, a stall, a transfer over its time,
    /// a body over the limit, another protocol) throws std::runtime_error
    /// with libcurl's text, and a handle that cannot be made throws "Could
    /// not create curl instance". Blocks until done, or until the limits'
    /// cancellation asks to stop, which throws too.
    static HTTPResponse GET(const char* baseURL,
                            const std::map<std::string, std::string>& parameters,
                            const HTTPLimits& limits = HTTPLimits());
};
