// The console display: messages to the standard output and error streams, progress
// bar and spinner redrawn in place, but only when the standard output is a terminal.
#pragma once

#include "app/UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
public:
    static constexpr int kBarWidth = 69;   // "=" characters of a full bar without label
    static constexpr int kClearWidth = 88; // columns blanked when a line is cleared
    static constexpr int kSpinnerFrames = 8;

    // Makes the standard output and error streams unbuffered so partial lines
    // (progress, spinner) appear at once.
    CLI_Display();

    // Nothing to draw when starting; ending clears the line.
    void display_progress(bool show) override;
    // "[====>   ] ( 50% ) ", after " (label) " when a label is given; the fraction is
    // held to 0.0..1.0. A label over 64 characters leaves a bar of one column.
    void update_progress(double fraction, const char* label) override;
    // Shows the next frame (shared by all spinners of the process), or clears the line.
    void update_spinner(bool on, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;

private:
    static bool drawing();
    static void clear_line();
    static int spinner_frame; // next frame, shared process-wide
};
