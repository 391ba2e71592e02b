// A display that keeps what it was asked to show, for tests of its callers.
#pragma once

#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"

class RecordingDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { info.emplace_back(text); }
    void error_message(const char* text) override { errors.emplace_back(text); }

    std::vector<std::string> info;
    std::vector<std::string> errors;
};
