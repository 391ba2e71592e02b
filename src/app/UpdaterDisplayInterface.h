// The display through which the update orchestration reports to the user:
// messages, a progress bar for transfers and a spinner for waits of unknown length.
#pragma once

#include <cstddef>

class UpdaterDisplayInterface {
public:
    // A fixed underlying type: any other value a caller passes is a valid Level and
    // is shown as information.
    enum Level : int {
        LEVEL_INFO = 0,
        LEVEL_ERROR = 1,
    };

    // Longest message passed on; longer texts are cut to this many characters.
    static constexpr size_t kMaxMessage = 2047;

    // Begin (true) or end (false) a progress display.
    virtual void display_progress(bool show) = 0;
    // Show the fraction done (0.0 to 1.0); `label` may be null.
    virtual void update_progress(double fraction, const char* label) = 0;
    // Advance (true) or clear (false) the spinner; `label` may be null.
    virtual void update_spinner(bool on, const char* label) = 0;
    // One informational line; callers use message() instead.
    virtual void info_message(const char* text) = 0;
    // One error line; callers use message() instead.
    virtual void error_message(const char* text) = 0;

    // Formats and shows one line: LEVEL_ERROR goes to error_message, any other
    // level to info_message. Does nothing while muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Silences message() only; progress and spinner still draw.
    void mute_messages(bool mute) { muted = mute; }

    bool muted = false;

protected:
    // Not deleted through this type: the one display lives in main.
    ~UpdaterDisplayInterface() = default;
};
