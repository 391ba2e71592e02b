#include "app/CLI_Display.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {
const char kFill[] = "=====================================================================";
static_assert(sizeof kFill - 1 == CLI_Display::kBarWidth);
const char* const kFrames[CLI_Display::kSpinnerFrames] = {".",    "..",    "...", "....",
                                                          ".....", "....", "...", ".."};
} // namespace

int CLI_Display::spinner_frame = 0;

CLI_Display::CLI_Display() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

bool CLI_Display::drawing() { return isatty(fileno(stdout)) != 0; }

void CLI_Display::clear_line() { std::fprintf(stdout, "\r%*s\r", kClearWidth, " "); }

void CLI_Display::display_progress(bool show) {
    if (drawing() && !show)
        clear_line();
}

void CLI_Display::update_progress(double fraction, const char* label) {
    if (!drawing())
        return;
    // A caller's count past the end (or a NaN) must not garble the bar.
    if (!(fraction >= 0.0))
        fraction = 0.0;
    else if (fraction > 1.0)
        fraction = 1.0;
    int width = kBarWidth;
    if (label != nullptr)
        width -= static_cast<int>(std::strlen(label)) + 4;
    // A label too long for the line still leaves a bar of one column.
    if (width < 1)
        width = 1;
    int filled = static_cast<int>(width * fraction);
    int percent = static_cast<int>(fraction * 100.0);
    if (label != nullptr)
        std::fprintf(stdout, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kFill,
                     width - filled - 1, "", percent);
    else
        std::fprintf(stdout, "\r[%.*s>%*s] (%3d%% ) ", filled, kFill, width - filled - 1, "",
                     percent);
}

void CLI_Display::update_spinner(bool on, const char* label) {
    if (!drawing())
        return;
    if (!on) {
        clear_line();
        return;
    }
    if (label != nullptr)
        std::fprintf(stdout, "\r (%s) %s      \r", label, kFrames[spinner_frame]);
    else
        std::fprintf(stdout, "\r %s      \r", kFrames[spinner_frame]);
    spinner_frame = (spinner_frame + 1) % kSpinnerFrames;
}

void CLI_Display::info_message(const char* text) { std::fprintf(stdout, "%s\n", text); }

void CLI_Display::error_message(const char* text) { std::fprintf(stderr, "%s\n", text); }
