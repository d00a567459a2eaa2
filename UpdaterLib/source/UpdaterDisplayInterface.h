#pragma once
// The console of the update engine: every user message, progress bar and
// spinner of the engine goes through one of these.

class UpdaterDisplayInterface
{
public:
    enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

    UpdaterDisplayInterface() : muted(false) {}
    virtual ~UpdaterDisplayInterface() {}

    virtual void display_progress(bool on) = 0;
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool on, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

    /// Formats into 2048 bytes (longer texts are cut) and hands the text to
    /// error_message for LEVEL_ERROR, to info_message otherwise. Nothing while
    /// muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    void mute_messages(bool mute) { muted = mute; }

protected:
    bool muted;
};
