// The get and list-builds commands: ask the update server which builds a
// device has, and fetch one into the local store on a worker thread while
// the console shows a spinner.

#include "UpdaterLib/source/Updater.h"

#include "UpdaterLib/source/BirdFile.h"
#include "UpdaterLib/source/UpdateServerRequest.h"
#include "UpdaterLib/source/UpdaterEntity.h"
#include "UpdaterLib/source/UpdaterStore.h"
#include "UpdaterLib/source/Updater_helpers.h"
#include "UpdaterLib/source/base64.h"
#include "device/core/kLog.h"

#include <stdlib.h>

#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>

using namespace Engine;

namespace
{

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

bool _valid_build(uint32_t serialNumber, uint32_t build, const char* url, const kCancel* cancel)
{
    std::map<std::string, std::string> builds;
    if (!UpdateServerRequest::GetBuildList(serialNumber, builds, url, cancel))
        return false;
    for (const auto& entry : builds) {
        if (_build_or_zero(entry.first) == build)
            return true;
    }
    return false;
}

} // namespace

std::map<std::string, std::string> Updater::Get_BuildList(uint32_t serialNumber,
                                                          bool* requestFailed)
{
    std::map<std::string, std::string> builds;
    bool pinged = UpdateServerRequest::ping(serverURL.c_str(), cancel);
    bool failed = !pinged || !UpdateServerRequest::GetBuildList(serialNumber, builds,
                                                                serverURL.c_str(), cancel);
    if (failed && kCancel_Check(cancel) != kErrNone)
        display.message(ERROR, "Server request interrupted");
    else if (!pinged)
        display.message(ERROR, "Server request failed for %s", serverURL.c_str());
    else if (failed)
        display.message(ERROR, "Failed to retrieve builds for %08X", serialNumber);
    if (requestFailed)
        *requestFailed = failed;
    return builds;
}

uint32_t Updater::Download_Firmware(const Fingerprint& fingerprint, const std::string& buildText,
                                    bool overrideModel)
{
    uint32_t build = buildText.empty() ? 0 : _build_or_zero(buildText);
    uint32_t serialNumber = 0;
    uint32_t latest = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serialNumber, &latest,
                                              serverURL.c_str(), cancel)) {
        display.message(ERROR,
                        "Failed to retreive recovery information from Kelvane update server");
        return 0;
    }
    if (build == 0)
        build = latest;
    return Download_Firmware(serialNumber, std::to_string(build), overrideModel, false);
}

namespace
{

// GetBuild on a worker thread; the calling thread keeps the spinner turning
// and joins the worker before it looks at the payload.
bool _fetch(UpdaterDisplayInterface& display, uint32_t serialNumber, const std::string& firmware,
            const std::string& buildText, const std::string& url, bool noCal, std::string& payload,
            const kCancel* cancel)
{
    std::promise<bool> done;
    std::future<bool> result = done.get_future();
    std::thread worker;
    try {
        worker = std::thread([&] {
            bool ok = false;
            try {
                ok =
                    UpdateServerRequest::GetBuild(serialNumber, firmware.c_str(), buildText.c_str(),
                                                  payload, url.c_str(), noCal, cancel);
            } catch (...) {
                ok = false;
            }
            done.set_value(ok);
        });
    } catch (const std::system_error& e) {
        Log::log(DEBUG_Updater, "Could not start the download: %s\n", e.what());
        return false;
    }
    display.update_spinner(true, "Downloading");
    while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
        display.update_spinner(true, "Downloading");
    display.update_spinner(false, "Downloading");
    bool ok = result.get();
    worker.join();
    return ok;
}

struct FreeBytes {
    void operator()(unsigned char* bytes) const { free(bytes); }
};

// Whether the decoded bytes are a whole BIRD file: a body cut short or a
// corrupt stream must never become the latest download. A unit's file must
// hold firmware; the placeholder unit's is the default liveloader, which
// holds loader blocks only.
bool _whole_bird_file(const unsigned char* bytes, size_t count, uint32_t serialNumber,
                      BirdFile& bird)
{
    BirdFile::BLOCK_TYPE holding = serialNumber == UpdaterEntity::DEFAULT_SERIAL_NUMBER
                                       ? BirdFile::BIRD_BLOCK_LOADER
                                       : BirdFile::BIRD_BLOCK_FIRMWARE;
    return bytes && BirdFile::VerifyHeader(bytes, count) && bird.LoadData(bytes, count) &&
           bird.ValidateLayout(holding);
}

// Whether the file is the one asked for: stored under the unit and build
// requested, another unit's or build's file would later be sent as this
// one. A file that names no build passes the build check; a unit file
// (not a template) must name the unit, as the update demands.
bool _requested_file(UpdaterDisplayInterface& display, const BirdFile& bird, uint32_t serialNumber,
                     uint32_t build)
{
    if (bird.GetBuild() != 0 && bird.GetBuild() != build) {
        display.message(ERROR, "Server sent build %u for build %u", bird.GetBuild(), build);
        return false;
    }
    if (!bird.IsSerialNumberTemplate() && bird.GetSerialNumber() != serialNumber) {
        display.message(ERROR, "Server sent a file for unit %08X, not %08X", bird.GetSerialNumber(),
                        serialNumber);
        return false;
    }
    return true;
}

// The store's write and its record, a section that must not be cut: a
// signal meanwhile (even a second one) is held until the file was renamed
// into place and recorded, and never leaves a temporary file behind. Only a
// written file is recorded, so a later update never picks a build that is
// not there.
kErr _write_and_record(UpdaterStoreItem& item, const std::string& fileName, const uint8_t* bytes,
                       size_t count)
{
    std::string date = _date_text();
    kErr err = item.WriteFile(fileName, bytes, count);
    if (err != kErrNone)
        return err;
    item.Settings().Add("LATEST_DOWNLOAD", fileName);
    item.Settings().Add("LAST_DOWNLOAD_DATE", date);
    if (!item.Settings().Save())
        Log::log(DEBUG_Updater, "Could not record the download of %s\n", fileName.c_str());
    return kErrNone;
}

// Stores the decoded file and records it as the latest download. Only a
// whole BIRD file of the unit and build asked for is written, and only a
// written file is recorded, so a later update never picks a build that is
// not there.
bool _store_download(UpdaterDisplayInterface& display, UpdaterStoreItem& item,
                     uint32_t serialNumber, uint32_t build, const std::string& payload,
                     kCancel* cancel)
{
    size_t count = 0;
    std::unique_ptr<unsigned char, FreeBytes> bytes(
        base64_decode(payload.data(), payload.size(), &count));
    BirdFile bird;
    if (!_whole_bird_file(bytes.get(), count, serialNumber, bird)) {
        display.message(ERROR, "Failed to retreive a valid BIRD file");
        return false;
    }
    if (!_requested_file(display, bird, serialNumber, build))
        return false;
    std::string fileName = std::to_string(build) + ".bird";
    kCancel_EnterSection(cancel);
    kErr err = _write_and_record(item, fileName, bytes.get(), count);
    kCancel_LeaveSection(cancel);
    if (err != kErrNone) {
        display.message(ERROR, "Failed to write file with %d", (int)err);
        return false;
    }
    return true;
}

// Whether the build may be downloaded: listed by the server, or the
// override given.
bool _accept_build(UpdaterDisplayInterface& display, uint32_t serialNumber, uint32_t build,
                   const char* url, bool overrideModel, const kCancel* cancel)
{
    if (overrideModel) {
        display.message(INFO, "Override specified, skipping validation of build %u", build);
        return true;
    }
    display.message(INFO, "Validating build %u with server", build);
    if (!_valid_build(serialNumber, build, url, cancel)) {
        display.message(ERROR, "No valid build %u", build);
        return false;
    }
    display.message(INFO, "Build %u is valid", build);
    return true;
}

// The build to fetch (the server's latest for 0) and the firmware text
// that goes with it; 0 when the server gives no usable answer.
uint32_t _choose_build(UpdaterDisplayInterface& display, uint32_t serialNumber, uint32_t build,
                       const char* url, std::string& firmware, const kCancel* cancel)
{
    std::string latest;
    bool answered = UpdateServerRequest::QueryBuild(serialNumber, latest, firmware, url, cancel);
    if (answered && build == 0)
        build = _build_or_zero(latest);
    if (!answered || build == 0) {
        display.message(ERROR, "No build information for device");
        return 0;
    }
    return build;
}

bool _download(UpdaterDisplayInterface& display, UpdaterStoreItem& item, uint32_t serialNumber,
               uint32_t build, const std::string& firmware, const std::string& url, bool noCal,
               kCancel* cancel)
{
    std::string payload;
    bool fetched =
        _fetch(display, serialNumber, firmware, std::to_string(build), url, noCal, payload, cancel);
    if (kCancel_Check(cancel) != kErrNone) {
        display.message(ERROR, "Download interrupted");
        return false;
    }
    if (!fetched) {
        display.message(ERROR, "Download failed");
        return false;
    }
    if (payload.empty()) {
        display.message(ERROR, "Failed to retreive a valid BIRD file");
        return false;
    }
    return _store_download(display, item, serialNumber, build, payload, cancel);
}

} // namespace

uint32_t Updater::Download_Firmware(uint32_t serialNumber, const std::string& buildText,
                                    bool overrideModel, bool noCal)
{
    uint32_t build = 0;
    if (!buildText.empty() && !Parse_Build(buildText, build)) {
        display.message(ERROR, "Build number '%s' must be an number", buildText.c_str());
        return 0;
    }
    if (serialNumber == 0) {
        display.message(ERROR, "Serial Number must be non-zero");
        return 0;
    }
    const char* url = serverURL.c_str();
    if (!UpdateServerRequest::ping(url, cancel)) {
        display.message(ERROR, "Server request failed for %s", url);
        return 0;
    }
    UpdaterStoreItem item;
    if (!_device_item(updaterDirectory, serialNumber, item)) {
        display.message(ERROR, "Could not create directory for storing BIRD file");
        return 0;
    }
    if (!_settings_readable(display, item))
        return 0;
    std::string firmware;
    build = _choose_build(display, serialNumber, build, url, firmware, cancel);
    if (build == 0)
        return 0;
    display.message(INFO, "Retrieving build %u", build);
    if (!_accept_build(display, serialNumber, build, url, overrideModel, cancel))
        return 0;
    return _download(display, item, serialNumber, build, firmware, serverURL, noCal, cancel) ? build
                                                                                             : 0;
}
