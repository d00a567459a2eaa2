#pragma once
// A display that records what the engine tells the user, for unit tests.

#include "UpdaterLib/source/UpdaterDisplayInterface.h"

#include <string>
#include <vector>

class RecordingDisplay : public UpdaterDisplayInterface
{
public:
    void display_progress(bool on) override
    {
        events.push_back(on ? "progress on" : "progress off");
    }
    void update_progress(double fraction, const char*) override { progress.push_back(fraction); }
    void update_spinner(bool on, const char* label) override
    {
        spinner++;
        if (!on)
            events.push_back(std::string("spinner off ") + (label ? label : ""));
    }
    void info_message(const char* text) override { info.push_back(text); }
    void error_message(const char* text) override { errors.push_back(text); }

    std::vector<std::string> info;
    std::vector<std::string> errors;
    std::vector<std::string> events;
    std::vector<double> progress;
    int spinner = 0;
};
