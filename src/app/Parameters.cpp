#include "app/Parameters.h"

#include <cstring>
#include <string_view>

#include "app/Log.h"
#include "app/UpdaterDisplayInterface.h"
#include "server_client/UpdateServerRequest.h"

namespace {

constexpr UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;

enum class Arg { None, Required };

enum class Action {
    Help,
    SetCommand,
    Override,
    Unhandled,
    DebugMask,
    UeiBytes,
    StorageDirectory,
    Build,
    Serial,
    Transport,
    BirdFile,
    RouterSerial,
    SerialPort,
    BaudRate,
    ServerUrl,
    Ignore, // accepted and consumed (with its word, if any), no effect
};

struct OptionSpec {
    const char* text; // case-sensitive
    Arg arg;
    Action action;
    COMMANDS command = COMMANDS{}; // for SetCommand
};

const OptionSpec kOptions[] = {
    {"-B", Arg::None, Action::SetCommand, CMD_LIST_BUILDS},
    {"-L", Arg::None, Action::SetCommand, CMD_LIST_LOCAL},
    {"-D", Arg::None, Action::SetCommand, CMD_DISCOVER},
    {"-G", Arg::None, Action::SetCommand, CMD_GET},
    {"-I", Arg::None, Action::SetCommand, CMD_INFO},
    {"-U", Arg::None, Action::SetCommand, CMD_UPDATE},
    {"-OVERRIDE", Arg::None, Action::Override},
    {"-N", Arg::None, Action::SetCommand, CMD_FINGERPRINT},
    {"-Y", Arg::None, Action::Unhandled},
    {"-C", Arg::None, Action::SetCommand, CMD_CHECK},
    {"-J", Arg::None, Action::SetCommand, CMD_JWT},
    {"-h", Arg::None, Action::Help},
    {"-H", Arg::None, Action::Help},
    {"-n", Arg::None, Action::Ignore},
    {"-X", Arg::Required, Action::DebugMask},
    {"-Z", Arg::Required, Action::SetCommand, CMD_Z}, // the word is not used
    {"-m", Arg::Required, Action::UeiBytes},
    {"-i", Arg::Required, Action::StorageDirectory},
    {"-b", Arg::Required, Action::Build},
    {"-d", Arg::Required, Action::Serial},
    {"-t", Arg::Required, Action::Transport},
    {"-f", Arg::Required, Action::BirdFile},
    {"-r", Arg::Required, Action::RouterSerial},
    {"-s", Arg::Required, Action::SerialPort},
    {"-o", Arg::Required, Action::BaudRate},
    {"-e", Arg::None, Action::Ignore},
    {"-l", Arg::Required, Action::Ignore},
    {"-k", Arg::Required, Action::Ignore},
    {"-u", Arg::Required, Action::ServerUrl},
    {"--help", Arg::None, Action::Help},
};

size_t leadingDashes(std::string_view text) {
    size_t n = 0;
    while (n < text.size() && text[n] == '-')
        ++n;
    return n;
}

// The option the word names: the one it equals, else the one it is a proper leading
// part of with the same dashes and at least one character beyond them. Null when
// none or several match.
const OptionSpec* matchOption(std::string_view word) {
    for (const OptionSpec& option : kOptions)
        if (word == option.text)
            return &option;
    size_t dashes = leadingDashes(word);
    if (word.size() <= dashes)
        return nullptr;
    const OptionSpec* found = nullptr;
    for (const OptionSpec& option : kOptions) {
        std::string_view text = option.text;
        if (leadingDashes(text) == dashes && text.size() > word.size() && text.starts_with(word)) {
            if (found != nullptr)
                return nullptr; // ambiguous
            found = &option;
        }
    }
    return found;
}

int digitValue(char c, unsigned base) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (base == 16 && c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads digits of `base` from `text` into *value (wrapping: the low 32 bits of the
// number) and returns where they stop.
const char* scanDigits(const char* text, unsigned base, uint32_t* value) {
    *value = 0;
    const char* p = text;
    for (int digit; (digit = digitValue(*p, base)) >= 0; ++p)
        *value = *value * base + static_cast<uint32_t>(digit);
    return p;
}

uint32_t readDigits(const char* text, char** end, unsigned base) {
    if (end != nullptr)
        *end = const_cast<char*>(text);
    if (text == nullptr || *text == '\0')
        return 0;
    uint32_t value;
    const char* stop = scanDigits(text, base, &value);
    if (*stop != '\0')
        return 0;
    if (end != nullptr)
        *end = const_cast<char*>(stop);
    return value;
}

bool hasHexPrefix(const char* text) { return text[0] == '0' && (text[1] == 'x' || text[1] == 'X'); }

// A serial number argument of -d or -r; 0 after showing the error.
uint32_t serialArgument(UpdaterDisplayInterface& display, const char* text, bool router) {
    if (hasHexPrefix(text)) {
        Log::log(DEBUG_Updater, router ? "Discarding '0x' router serial number prefix\n"
                                       : "Discarding '0x' serial number prefix\n");
        text += 2;
    }
    uint32_t serial = _get_hex_arg(text, nullptr);
    if (serial == 0)
        display.message(kError,
                        router ? "Invalid router serial number obtained from argument [%s]"
                               : "Invalid serial number obtained from argument [%s]",
                        text);
    return serial;
}

// -X: base 16 after "0x"/"0X", else base 10; applied only when nothing is left over.
void debugMaskArgument(UpdaterDisplayInterface& display, const char* option, const char* text,
                       Parameters* params) {
    params->debugMaskGiven = true;
    unsigned base = 10;
    const char* digits = text;
    if (hasHexPrefix(text)) {
        base = 16;
        digits += 2;
    }
    uint32_t mask;
    const char* p = scanDigits(digits, base, &mask);
    // A bare "0x" has no digits: the "x" is what is left over.
    if (p == digits && base == 16)
        p = text + 1;
    if (*p != '\0') {
        display.message(kError, "Invalid format for \"%s\" parameter, unprocessed characters [%s]",
                        option, p);
        return;
    }
    params->debugMask = mask;
    Log::ActivatePackage(mask);
}

// Applies one option; true when it produced an error message that counts.
bool apply(UpdaterDisplayInterface& display, const OptionSpec& option, const char* arg,
           Parameters* params) {
    switch (option.action) {
    case Action::Help:
        params->commands.Set(CMD_HELP);
        params->helpRequested = true;
        return false;
    case Action::SetCommand:
        params->commands.Set(option.command);
        return false;
    case Action::Override:
        params->override = true;
        return false;
    case Action::Unhandled:
        display.message(kError, "Unhandled command: [%s]", option.text);
        return true;
    case Action::DebugMask:
        debugMaskArgument(display, option.text, arg, params);
        return false;
    case Action::UeiBytes:
        params->ueiBytesLoad = std::strncmp(arg, "1", 1) == 0 || std::strncmp(arg, "true", 4) == 0;
        return false;
    case Action::StorageDirectory:
        params->storageDirectory = arg;
        return false;
    case Action::Build:
        params->buildNumber = std::to_string(_get_int_arg(arg, nullptr));
        return false;
    case Action::Serial:
        params->serialNumber = serialArgument(display, arg, false);
        return params->serialNumber == 0;
    case Action::RouterSerial:
        params->routerSerialNumber = serialArgument(display, arg, true);
        return params->routerSerialNumber == 0;
    case Action::Transport:
        params->transportGiven = true;
        if (std::strncmp(arg, "USB", 3) == 0)
            params->transport = 1;
        else if (std::strncmp(arg, "TCP", 3) == 0)
            params->transport = 2;
        else if (std::strncmp(arg, "RECOVER", 7) == 0)
            params->transport = kTransportRecover;
        else {
            params->transport = kTransportInvalid;
            display.message(kError,
                            "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, "
                            "RECOVER",
                            arg);
            return true;
        }
        return false;
    case Action::BirdFile:
        params->birdFile = arg;
        return false;
    case Action::SerialPort:
        params->serialPort = arg;
        return false;
    case Action::BaudRate:
        params->baudRate = _get_int_arg(arg, nullptr);
        return false;
    case Action::ServerUrl:
        params->serverUrl = arg;
        return false;
    case Action::Ignore:
        return false;
    }
    return false;
}

const char* programName(const char* argv0) {
    if (argv0 == nullptr)
        return "";
    const char* name = argv0;
    for (const char* p = argv0; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\')
            name = p + 1;
    return name;
}

} // namespace

const char* DefaultServerUrl() { return UpdateServerRequest::default_url; }

uint32_t _get_hex_arg(const char* text, char** end) { return readDigits(text, end, 16); }

uint32_t _get_int_arg(const char* text, char** end) { return readDigits(text, end, 10); }

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params) {
    *params = Parameters{};
    params->serverUrl = DefaultServerUrl();
    const char* program = programName(argc > 0 ? argv[0] : nullptr);
    bool failed = false;

    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (word == nullptr || word[0] != '-')
            continue;
        std::string_view name = word;
        const char* inlineArg = nullptr;
        if (const char* eq = std::strchr(word, '=')) {
            name = std::string_view(word, static_cast<size_t>(eq - word));
            inlineArg = eq + 1;
        }
        const OptionSpec* option = matchOption(name);
        if (option == nullptr)
            continue;
        const char* arg = nullptr;
        if (option->arg == Arg::None) {
            if (inlineArg != nullptr)
                continue;
        } else if (inlineArg != nullptr && inlineArg[0] != '\0') {
            arg = inlineArg;
        } else {
            // The argument is the next word, unless that is missing or is an option
            // itself, which is then parsed as a word of its own.
            if (i + 1 >= argc || argv[i + 1] == nullptr || argv[i + 1][0] == '-')
                continue;
            arg = argv[++i];
        }
        if (apply(display, *option, arg, params))
            failed = true;
        if (option->action == Action::Help)
            return failed ? 1 : 0;
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", program);
    for (int i = 0; i < argc; ++i)
        Log::log(DEBUG_APP, "\t[%s]\n", argv[i] != nullptr ? argv[i] : "");
    return failed ? 1 : 0;
}
