// Any command line: the parser must neither crash nor read outside its words.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/Log.h"
#include "app/Parameters.h"
#include "app/UpdaterDisplayInterface.h"

namespace {

class SilentDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Words are separated by NUL bytes, as the kernel hands them over.
    std::vector<std::string> words{"updater"};
    std::string word;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word += static_cast<char>(data[i]);
        }
    }
    words.push_back(word);
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    SilentDisplay display;
    Parameters params;
    Log::SetOutput(nullptr);
    _get_params(display, static_cast<int>(words.size()), argv.data(), &params);
    Log::DeactivatePackage(0xFFFFFFFF);
    return 0;
}
