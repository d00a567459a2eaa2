#pragma once
// A console for the fuzzers: every message is formatted, none is shown.

#include "UpdaterLib/source/UpdaterDisplayInterface.h"

class QuietDisplay : public UpdaterDisplayInterface
{
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}
};
