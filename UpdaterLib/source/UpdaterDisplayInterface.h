#pragma once
// The console of the update engine: every user message, progress bar and
// spinner of the engine goes through one of these. The engine calls it from
// the thread that runs the command only (never from a worker), so an
// implementation needs no lock. Calls return at once; none may throw or
// call back into the engine.

#include <stdint.h>

/// One step of an update, for a display that reports the steps as they
/// happen (a progress stream).
struct ProgressEvent {
    enum Kind { STAGE, BLOCK, REBOOT, VERIFY };
    Kind kind = STAGE;
    const char* stage = ""; ///< STAGE, BLOCK: "loader" or "firmware"
    uint32_t block = 0;     ///< BLOCK: the block done, from 1
    uint32_t blocks = 0;    ///< the stage's blocks
    uint64_t bytes = 0;     ///< BLOCK: the stage's bytes sent so far
    uint64_t total = 0;     ///< the stage's bytes in all
    bool verified = false;  ///< VERIFY: whether the module runs the file's build
    uint32_t build = 0;     ///< VERIFY: the build it was seen to run; 0 unknown
};

class UpdaterDisplayInterface
{
public:
    enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

    UpdaterDisplayInterface() : muted(false) {}
    virtual ~UpdaterDisplayInterface() {}

    /// Shows (true) or takes away (false) the progress bar; a new bar
    /// starts empty.
    virtual void display_progress(bool on) = 0;
    /// Moves the bar to `fraction` (0 to 1; values outside are the
    /// implementation's to clamp) with an optional label (may be null).
    virtual void update_progress(double fraction, const char* label) = 0;
    /// While `on`, turns the spinner one step with its label; with false it
    /// is cleared. Called again and again while the engine waits.
    virtual void update_spinner(bool on, const char* label) = 0;
    /// One line of information, without its line end.
    virtual void info_message(const char* text) = 0;
    /// One line about a failure, without its line end.
    virtual void error_message(const char* text) = 0;
    /// A step of an update; shown by nothing unless a display wants it.
    virtual void progress_event(const ProgressEvent&) {}

    /// Formats into 2048 bytes (longer texts are cut) and hands the text to
    /// error_message for LEVEL_ERROR, to info_message otherwise. Nothing while
    /// muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    /// While muted, message shows nothing (progress and spinner still do).
    void mute_messages(bool mute) { muted = mute; }

protected:
    bool muted;
};
