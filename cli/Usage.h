#pragma once
// Banner and usage texts.

#include "UpdaterLib/source/UpdaterDisplayInterface.h"

#include <string>

namespace Cli
{

void _display_app_version(UpdaterDisplayInterface& display);
void _display_copyright(UpdaterDisplayInterface& display);
void _display_vt_version(UpdaterDisplayInterface& display);

/// Writes to the standard error stream: always the short usage; with `full`
/// the parameters and the samples, and with `extended` too the extended
/// parameters between them.
void _display_usage(bool extended, bool full);

/// "host:port" of an http URL (":80" when it names no port).
std::string _server_host_and_port(const char* url);

} // namespace Cli
