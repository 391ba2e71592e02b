// LPC recovery of a 256 KiB image at 115200 baud: the updater (-U -t RECOVER with a
// recovery file) against lpc21isp flashing the same image, each into a fresh virtual
// LPC17xx paced at the line rate. Prints both times and their ratio (goal: <= 1.0).
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "birdtool/BirdWriter.h"
#include "bootrom/LpcIsp.h"
#include "bootrom/PtyPort.h"

using namespace tandril;
using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned kBaud = 115200;
constexpr size_t kImageSize = 256 * 1024;
constexpr uint32_t kSerial = 0x0051A2B3;

int run(const std::vector<std::string>& argv) {
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

struct Result {
    double seconds;
    bool ok;
};

// Runs `argv` (with "PORT" replaced by the part's port) against a fresh paced part and
// checks that the flash holds `image` at 0 (lpc21isp also writes the vector checksum
// into word 7, which the check skips).
Result timeFlash(std::vector<std::string> argv, const birdtool::Bytes& image) {
    sim::LpcIsp isp;
    sim::PtyPort port([&](const std::string& in, const sim::PtyPort::Send& send) { return isp.receive(in, send); },
                      kBaud);
    for (auto& a : argv)
        if (a == "PORT") a = port.slavePath();
    auto start = Clock::now();
    int status = run(argv);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    auto flash = isp.flash();
    bool same = status == 0;
    for (size_t i = 0; same && i < image.size(); ++i)
        if ((i < 0x1C || i >= 0x20) && flash[i] != image[i]) same = false;
    return {seconds, same};
}

} // namespace

int main() {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("tandril-lpc-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const birdtool::Bytes image = birdtool::patternBytes(kImageSize, 11);

    sim::LpcIspConfig part;
    birdtool::BirdWriter writer;
    writer.firmware(0, image).firmware(0, birdtool::Bytes(4, 0));
    writer.info("1", "1.0.0", birdtool::serialText(kSerial), "TD-Motor2");
    writer.scramble({part.serialWords[0], part.serialWords[1], part.serialWords[2], part.serialWords[3]});
    birdtool::writeBytes((dir / "recovery.bird").string(), writer.file());
    birdtool::writeBytes((dir / "image.bin").string(), image);

    std::printf("LPC recovery of %zu KiB at %u baud\n", kImageSize / 1024, kBaud);
    Result ours = timeFlash({TANDRIL_UPDATER_PATH, "-i", (dir / "store").string(), "-U", "-t", "RECOVER", "-s",
                             "PORT", "-d", birdtool::serialText(kSerial), "-f", (dir / "recovery.bird").string()},
                            image);
    std::printf("updater:   %8.2f s %s\n", ours.seconds, ours.ok ? "" : "(FAILED)");
    Result theirs = timeFlash({"/usr/bin/lpc21isp", "-bin", "-donotstart", (dir / "image.bin").string(), "PORT",
                               std::to_string(kBaud), "14746"},
                              image);
    std::printf("lpc21isp:  %8.2f s %s\n", theirs.seconds, theirs.ok ? "" : "(FAILED)");
    std::printf("ratio updater / lpc21isp: %.3f (goal <= 1.0)\n", ours.seconds / theirs.seconds);
    fs::remove_all(dir);
    return ours.ok && theirs.ok ? 0 : 1;
}
