#include "UsbSim.h"

#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <cstring>

#include <sys/wait.h>
#include <unistd.h>

namespace tandril::sim::usb {

bool addUsbModule(UsbPlan& plan, const std::string& spec, std::string& error) {
    ModuleConfig config;
    if (!applyModuleSpec(spec, config, error) || !validateConfig(config, error))
        return false;
    plan.modules.push_back(config);
    return true;
}

bool addUsbImxRom(UsbPlan& plan, const std::string& spec, std::string& error) {
    UsbImxRomOptions options;
    std::string loaderSpec;
    size_t start = 0;
    while (start <= spec.size()) {
        const size_t comma = spec.find(',', start);
        const std::string item = spec.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        char* end = nullptr;
        if (item.rfind("uid=", 0) == 0) {
            errno = 0;
            options.rom.uniqueId = std::strtoull(item.c_str() + 4, &end, 16);
            if (item.size() == 4 || *end != '\0' || errno != 0) {
                error = "bad value in \"" + item + "\"";
                return false;
            }
        } else if (item.rfind("drop-gap-ms=", 0) == 0) {
            errno = 0;
            const unsigned long ms = std::strtoul(item.c_str() + 12, &end, 10);
            if (item.size() == 12 || *end != '\0' || errno != 0 || ms > 60000) {
                error = "bad value in \"" + item + "\"";
                return false;
            }
            options.rom.dropPartialFrameAfterMs = static_cast<unsigned>(ms);
        } else if (item == "loader=0" || item == "loader=1") {
            options.loaderAppears = item.back() == '1';
        } else if (item == "uart=0" || item == "uart=1") {
            options.uart = item.back() == '1';
        } else if (!item.empty()) {
            loaderSpec += (loaderSpec.empty() ? "" : ",") + item;
        }
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (!applyModuleSpec(loaderSpec, options.loader, error) || !validateConfig(options.loader, error))
        return false;
    plan.roms.push_back(options);
    return true;
}

const char* usbSpecHelp() {
    return "USB (a virtual USB bus; with a COMMAND after --, the command runs with the bus\n"
           "visible to it and tandril-sim exits with its status):\n"
           "  --usb SPEC          a module on USB (module keys below)\n"
           "  --imx-usb SPEC      an i.MX boot ROM on USB HID 1FC9:0130; uid=HEX sets its unique ID,\n"
           "                      loader=0 keeps the RAM loader (a module 0xDEADDEAD on USB after\n"
           "                      the jump) away; uart=1 puts the ROM on a pseudo-terminal (its\n"
           "                      module's UART) while the loader still comes on USB; drop-gap-ms=N\n"
           "                      drops a partial UART command after N ms of silence (the real ROM's\n"
           "                      behaviour here is not documented; 0, the default, keeps it); other\n"
           "                      keys describe that loader as a module\n";
}

std::unique_ptr<UsbSimulation> UsbSimulation::start(const UsbPlan& plan, std::string& error) {
    std::unique_ptr<UsbSimulation> sim(new UsbSimulation);
    try {
        sim->bus_ = std::make_unique<VirtualUsbBus>();
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    }
    for (const auto& config : plan.modules) {
        auto module = UsbModule::create(*sim->bus_, config, error);
        if (!module)
            return nullptr;
        sim->modules_.push_back(std::move(module));
    }
    for (const auto& options : plan.roms) {
        auto rom = UsbImxRom::create(*sim->bus_, options, error);
        if (!rom)
            return nullptr;
        sim->roms_.push_back(std::move(rom));
    }
    return sim;
}

UsbSimulation::~UsbSimulation() {
    roms_.clear();
    modules_.clear();
    bus_.reset();
}

std::vector<std::string> UsbSimulation::describe() {
    std::vector<std::string> lines;
    char line[96];
    for (auto& m : modules_) {
        snprintf(line, sizeof(line), "usb %s /dev/bus/usb/001/%03d", m->device().spec().serial.c_str(),
                 m->device().deviceNumber());
        lines.push_back(line);
    }
    for (auto& r : roms_) {
        if (!r->serialPath().empty()) {
            lines.push_back("imx-uart " + r->serialPath());
            continue;
        }
        snprintf(line, sizeof(line), "imx-usb %04X:%04X /dev/bus/usb/001/%03d", kImxRomVendor, kImxRomProduct,
                 r->device().deviceNumber());
        lines.push_back(line);
    }
    return lines;
}

int UsbSimulation::run(const std::vector<std::string>& command, std::string& error) {
    if (command.empty()) {
        error = "no command";
        return -1;
    }
    std::vector<char*> argv;
    for (const auto& a : command)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        error = std::string("fork: ") + strerror(errno);
        return -1;
    }
    if (child == 0) {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_UNBLOCK, &all, nullptr);
        execvp(argv[0], argv.data());
        fprintf(stderr, "tandril-sim: %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) {
            error = std::string("waitpid: ") + strerror(errno);
            return -1;
        }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace tandril::sim::usb
