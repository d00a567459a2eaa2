#pragma once
// The console: messages to the standard streams, progress bar and spinner on
// the standard output when it is a terminal.

#include "UpdaterLib/source/UpdaterDisplayInterface.h"

#include <string>

class CLI_Display : public UpdaterDisplayInterface
{
public:
    /// Makes the standard output and error streams unbuffered, so progress
    /// lines and messages appear at once and in call order.
    CLI_Display();

    void display_progress(bool on) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool on, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;

    /// The first error shown since the last ForgetErrors (empty: none), which
    /// a failed command's JSON document carries as its reason.
    const std::string& FirstError() const { return firstError; }
    void ForgetErrors() { firstError.clear(); }

private:
    std::string firstError;
};
