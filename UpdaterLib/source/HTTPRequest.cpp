#include "UpdaterLib/source/HTTPRequest.h"

#include "device/core/kLog.h"

#include <curl/curl.h>
#include <stdint.h>

#include <memory>
#include <mutex>
#include <stdexcept>

HTTPResponse::HTTPResponse(const std::string& request) : request(request), status(0) {}

namespace
{

struct Receiver {
    HTTPResponse* response;
    size_t limit;
};

struct EasyCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

// libcurl's global set-up is not thread-safe, and the download makes its
// first request on a worker thread.
CURLcode _global_init()
{
    static std::once_flag once;
    static CURLcode result = CURLE_OK;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return result;
}

size_t _receive(char* data, size_t size, size_t count, void* context)
{
    Receiver* receiver = (Receiver*)context;
    size_t bytes = size * count;
    int shown = bytes < 100 ? (int)bytes : 100;
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n", (int)size,
             (int)count, (unsigned)(uintptr_t)receiver->response, shown, data);
    size_t held = receiver->response->get_response_size();
    if (bytes > receiver->limit || held > receiver->limit - bytes) {
        Log::log(DEBUG_ServerComm, "rcv_data: answer exceeds %zu bytes, aborting\n",
                 receiver->limit);
        return 0;
    }
    receiver->response->process(data, bytes);
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", (int)bytes);
    return bytes;
}

// libcurl asks this at least once a second during a transfer, and at every
// piece received: a cancelled run ends the request there.
int _progress(void* cancel, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return kCancel_Check(static_cast<const kCancel*>(cancel)) != kErrNone ? 1 : 0;
}

// RFC 3986's unreserved characters, whatever the locale.
bool _unreserved(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

std::string _percent_encoded(const std::string& text)
{
    static const char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (_unreserved(c)) {
            out += (char)c;
        } else {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 15];
        }
    }
    return out;
}

} // namespace

std::string HTTPRequest::BuildURL(const char* baseURL,
                                  const std::map<std::string, std::string>& parameters)
{
    std::string url = baseURL ? baseURL : "";
    if (!parameters.empty()) {
        url += "?";
        for (const auto& entry : parameters)
            url += _percent_encoded(entry.first) + "=" + _percent_encoded(entry.second) + "&";
    }
    return url;
}

namespace
{

CURLcode _set_options(CURL* handle, Receiver* receiver, const std::string& url,
                      const HTTPLimits& limits)
{
    CURLcode code = curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, _receive);
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_WRITEDATA, receiver);
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    // Not file:, ftp: or the other schemes libcurl knows, whatever -u says.
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    // Time-outs without signals: the request may run on a worker thread.
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds);
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytesPerSecond);
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, limits.lowSpeedSeconds);
    // A server that trickles just above the low-speed rule is cut off here.
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_TIMEOUT, limits.totalSeconds);
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, _progress);
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_XFERINFODATA, const_cast<kCancel*>(limits.cancel));
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    return code;
}

} // namespace

HTTPResponse HTTPRequest::GET(const char* baseURL,
                              const std::map<std::string, std::string>& parameters,
                              const HTTPLimits& limits)
{
    CURLcode code = _global_init();
    std::unique_ptr<CURL, EasyCleanup> handle(code == CURLE_OK ? curl_easy_init() : nullptr);
    std::string url = BuildURL(baseURL, parameters);
    HTTPResponse response(url);
    if (!handle)
        throw std::runtime_error("Could not create curl instance");
    Receiver receiver{&response, limits.maxBodyBytes};
    code = _set_options(handle.get(), &receiver, url, limits);
    if (code == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", url.c_str());
        code = curl_easy_perform(handle.get());
    }
    long status = 0;
    if (code == CURLE_OK)
        code = curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status);
    if (code != CURLE_OK)
        throw std::runtime_error(curl_easy_strerror(code));
    response.set_status(status);
    return response;
}
