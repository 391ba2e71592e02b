// tandril-sim: runs virtual Tandril modules until interrupted.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <getopt.h>

#include "DiscoveryResponder.h"
#include "bootrom/BootRomSpec.h"
#include "ModuleConfig.h"
#include "ModuleServer.h"
#include "usb/UsbSim.h"

using namespace tandril::sim;

namespace {

struct Planned {
    bool tcp = true;
    uint16_t port = 0;
    ModuleConfig config;
};

void usage(FILE* out) {
    std::fprintf(out,
                 "Usage: tandril-sim [options] (--tcp SPEC | --pty SPEC | --usb SPEC) [--sub SPEC ...] ... [-- COMMAND ...]\n"
                 "Runs virtual Tandril modules until interrupted (SIGINT or SIGTERM).\n"
                 "\n"
                 "Modules:\n"
                 "  --tcp SPEC          a module on a TCP port (SPEC may hold port=N; 0 or none: any free)\n"
                 "  --pty SPEC          a module on a serial line: a pseudo-terminal with COBS framing\n"
                 "  --sub SPEC          a module on the I2C network of the module named before it, which\n"
                 "                      becomes a router; its address must be free on that network\n"
                 "Boot ROMs (for recovery), each on a pseudo-terminal of its own:\n"
                 "  --lpc SPEC          an LPC17xx serial ISP boot loader\n"
                 "  --imx-serial SPEC   an i.MX serial download ROM on a UART\n"
                 "%s"
                 "%s"
                 "Options:\n"
                 "  --bind ADDR         address the TCP modules listen on (default 127.0.0.1, or the\n"
                 "                      discovery interface's address with --discovery)\n"
                 "  --discovery ADDR    answer TCP/IP discovery queries (group 232.2.2.2, port 9888) on the\n"
                 "                      interface with this IPv4 address\n"
                 "  --state-dir DIR     write each module's state (presentation, what its loader received)\n"
                 "                      to DIR/<serial>.json at INIT, LOAD, REBOOT and exit\n"
                 "  --help              this text\n"
                 "\n"
                 "SPEC is a comma-separated list of key=value items (an empty SPEC takes the defaults):\n"
                 "%s"
                 "\n"
                 "On start it prints one line per module and then \"ready\":\n"
                 "  tcp <serial> <address>:<port>    pty <serial> <path>    sub <serial> <address> <router serial>\n"
                 "  lpc <path>    imx <path>    usb <serial> <node>    imx-usb 1FC9:0130 <node>\n"
                 "  imx-uart <path>\n"
                 "Example: tandril-sim --tcp serial=0x1234,port=7000 --sub serial=0x5678,address=10\n",
                 bootRomSpecHelp(), usb::usbSpecHelp(), moduleSpecHelp());
}

// Takes port=N out of a SPEC; the rest describes the module.
bool splitPort(std::string& spec, uint16_t& port, std::string& error) {
    std::string rest;
    size_t start = 0;
    while (start <= spec.size()) {
        size_t comma = spec.find(',', start);
        std::string item = spec.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (item.rfind("port=", 0) == 0) {
            char* end = nullptr;
            unsigned long v = std::strtoul(item.c_str() + 5, &end, 0);
            if (item.size() == 5 || *end || v > 65535) {
                error = "bad value in \"" + item + "\"";
                return false;
            }
            port = static_cast<uint16_t>(v);
        } else if (!item.empty()) {
            rest += (rest.empty() ? "" : ",") + item;
        }
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    spec = rest;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    enum { optTcp = 1, optPty, optSub, optBind, optDiscovery, optStateDir, optHelp, optLpc, optImxSerial, optUsb, optImxUsb };
    static const option options[] = {
        {"tcp", required_argument, nullptr, optTcp},         {"pty", required_argument, nullptr, optPty},
        {"sub", required_argument, nullptr, optSub},         {"bind", required_argument, nullptr, optBind},
        {"discovery", required_argument, nullptr, optDiscovery},
        {"state-dir", required_argument, nullptr, optStateDir}, {"help", no_argument, nullptr, optHelp},
        {"lpc", required_argument, nullptr, optLpc}, {"imx-serial", required_argument, nullptr, optImxSerial},
        {"usb", required_argument, nullptr, optUsb}, {"imx-usb", required_argument, nullptr, optImxUsb},
        {nullptr, 0, nullptr, 0}};

    std::vector<Planned> planned;
    std::vector<std::string> lpcSpecs, imxSpecs;
    usb::UsbPlan usbPlan;
    std::string bindAddress, discovery, stateDir, error;
    int c;
    while ((c = getopt_long(argc, argv, "", options, nullptr)) != -1) {
        switch (c) {
        case optTcp:
        case optPty: {
            Planned p;
            p.tcp = c == optTcp;
            std::string spec = optarg;
            if (!splitPort(spec, p.port, error) || !applyModuleSpec(spec, p.config, error)) {
                std::fprintf(stderr, "tandril-sim: --%s %s: %s\n", c == optTcp ? "tcp" : "pty", optarg, error.c_str());
                return 2;
            }
            if (!p.tcp && p.port) {
                std::fprintf(stderr, "tandril-sim: --pty takes no port\n");
                return 2;
            }
            planned.push_back(p);
            break;
        }
        case optSub: {
            if (planned.empty()) {
                std::fprintf(stderr, "tandril-sim: --sub needs a --tcp or --pty module before it\n");
                return 2;
            }
            ModuleConfig sub;
            sub.heartbeatMs = 0;  // modules behind a router do not beat on its link
            sub.routerAddress = planned.back().config.address;
            if (!applyModuleSpec(optarg, sub, error)) {
                std::fprintf(stderr, "tandril-sim: --sub %s: %s\n", optarg, error.c_str());
                return 2;
            }
            planned.back().config.subModules.push_back(sub);
            break;
        }
        case optBind: bindAddress = optarg; break;
        case optDiscovery: discovery = optarg; break;
        case optStateDir: stateDir = optarg; break;
        case optLpc: lpcSpecs.push_back(optarg); break;
        case optImxSerial: imxSpecs.push_back(optarg); break;
        case optUsb:
        case optImxUsb:
            if (!(c == optUsb ? usb::addUsbModule : usb::addUsbImxRom)(usbPlan, optarg, error)) {
                std::fprintf(stderr, "tandril-sim: --%s %s: %s\n", c == optUsb ? "usb" : "imx-usb", optarg, error.c_str());
                return 2;
            }
            break;
        case optHelp: usage(stdout); return 0;
        default: usage(stderr); return 2;
        }
    }
    // After "--": a command that runs on the virtual USB bus.
    const std::vector<std::string> command(argv + optind, argv + argc);
    if (!command.empty() && usbPlan.empty()) {
        std::fprintf(stderr, "tandril-sim: unexpected argument \"%s\" (a command needs --usb or --imx-usb)\n",
                     argv[optind]);
        return 2;
    }
    if (!usbPlan.empty() && !usb::runUnderPreload()) {
        std::fprintf(stderr, "tandril-sim: cannot run under libumockdev-preload\n");
        return 1;
    }
    for (const auto& m : usbPlan.modules)
        planned.push_back({false, 0, m});  // checked with the others below, served on USB
    if (planned.empty() && lpcSpecs.empty() && imxSpecs.empty() && usbPlan.empty()) {
        std::fprintf(stderr, "tandril-sim: no module given (--tcp SPEC or --pty SPEC); see --help\n");
        return 2;
    }
    std::set<uint32_t> serials;
    for (const auto& p : planned) {
        if (!validateConfig(p.config, error)) {
            std::fprintf(stderr, "tandril-sim: %s\n", error.c_str());
            return 2;
        }
        bool unique = serials.insert(p.config.serial).second;
        for (const auto& sub : p.config.subModules)
            unique = serials.insert(sub.serial).second && unique;
        if (!unique) {
            std::fprintf(stderr, "tandril-sim: serial numbers must differ between modules\n");
            return 2;
        }
    }
    if (bindAddress.empty())
        bindAddress = discovery.empty() ? "127.0.0.1" : discovery;
    if (!stateDir.empty() && !std::filesystem::is_directory(stateDir)) {
        std::fprintf(stderr, "tandril-sim: --state-dir %s: not a directory\n", stateDir.c_str());
        return 2;
    }

    // The serving threads inherit the blocked signals; only sigwait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::vector<std::unique_ptr<ModuleServer>> servers;
    std::vector<DiscoveryResponder::Module> announced;
    planned.resize(planned.size() - usbPlan.modules.size());
    for (const auto& p : planned) {
        std::unique_ptr<ModuleServer> server;
        if (p.tcp)
            server = TcpModuleServer::create(p.config, bindAddress, p.port, error);
        else
            server = PtyModuleServer::create(p.config, error);
        if (!server) {
            std::fprintf(stderr, "tandril-sim: module %08X: %s\n", p.config.serial, error.c_str());
            return 1;
        }
        if (!stateDir.empty()) {
            char name[32];
            std::snprintf(name, sizeof name, "%08X.json", p.config.serial);
            server->saveStateTo((std::filesystem::path(stateDir) / name).string());
        }
        std::printf("%s %08X %s\n", p.tcp ? "tcp" : "pty", p.config.serial, server->endpoint().c_str());
        for (const auto& sub : p.config.subModules)
            std::printf("sub %08X %u %08X\n", sub.serial, sub.address, p.config.serial);
        if (p.tcp)
            announced.push_back({p.config.address, static_cast<TcpModuleServer&>(*server).port(), p.config.serial,
                                 p.config.model});
        servers.push_back(std::move(server));
    }
    std::unique_ptr<DiscoveryResponder> responder;
    if (!discovery.empty()) {
        responder = DiscoveryResponder::create(discovery, announced, error);
        if (!responder) {
            std::fprintf(stderr, "tandril-sim: discovery: %s\n", error.c_str());
            return 1;
        }
        std::printf("discovery %s\n", discovery.c_str());
    }
    std::vector<std::unique_ptr<LpcIspOnPty>> lpcRoms;
    for (const auto& spec : lpcSpecs) {
        auto rom = LpcIspOnPty::create(spec, error);
        if (!rom) {
            std::fprintf(stderr, "tandril-sim: --lpc %s: %s\n", spec.c_str(), error.c_str());
            return 2;
        }
        std::printf("lpc %s\n", rom->path().c_str());
        lpcRoms.push_back(std::move(rom));
    }
    std::vector<std::unique_ptr<ImxRomOnPty>> imxRoms;
    for (const auto& spec : imxSpecs) {
        auto rom = ImxRomOnPty::create(spec, error);
        if (!rom) {
            std::fprintf(stderr, "tandril-sim: --imx-serial %s: %s\n", spec.c_str(), error.c_str());
            return 2;
        }
        std::printf("imx %s\n", rom->path().c_str());
        imxRoms.push_back(std::move(rom));
    }
    std::unique_ptr<usb::UsbSimulation> usbBus;
    if (!usbPlan.empty()) {
        usbBus = usb::UsbSimulation::start(usbPlan, error);
        if (!usbBus) {
            std::fprintf(stderr, "tandril-sim: USB: %s\n", error.c_str());
            return 1;
        }
        for (const auto& line : usbBus->describe())
            std::printf("%s\n", line.c_str());
    }
    std::printf("ready\n");
    std::fflush(stdout);
    if (!command.empty()) {
        const int status = usbBus->run(command, error);
        if (status < 0)
            std::fprintf(stderr, "tandril-sim: %s\n", error.c_str());
        usbBus.reset();
        responder.reset();
        servers.clear();
        return status < 0 ? 1 : status;
    }

    int signal = 0;
    sigwait(&stopSignals, &signal);
    usbBus.reset();
    responder.reset();
    servers.clear();  // joins the serving threads and writes the final state files
    return 0;
}
