// What the carriers add to the core: TCP link ownership and refusal while the module
// is away, serial frame checks, and the tandril-sim program around them.
#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "SimHost.h"
#include "TestSupport.h"
#include "Tandril2/common/cobs.h"
#include "Tandril2/common/crc8.h"

using namespace tandril::sim;
using namespace tandril::sim::test;
using tandril::test::waitUntil;

namespace {

int connectTo(uint16_t port, const char* address = "127.0.0.1") {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address, &a.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Everything readable within a bounded wait, until `want` bytes or the end.
Bytes readSome(int fd, size_t want, int waitMs = 3000) {
    Bytes got;
    while (got.size() < want) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0)
            break;
        uint8_t b[256];
        ssize_t n = read(fd, b, std::min(sizeof b, want - got.size()));
        if (n <= 0)
            break;
        got.insert(got.end(), b, b + n);
    }
    return got;
}

bool closedByPeer(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 3000) <= 0)
        return false;
    uint8_t b;
    return read(fd, &b, 1) == 0;
}

ModuleConfig quiet() {
    ModuleConfig c;
    c.heartbeatMs = 0;
    return c;
}

TEST(TcpModule, ANewConnectionTakesTheLinkOver) {
    std::string error;
    auto server = TcpModuleServer::create(quiet(), "127.0.0.1", 0, error);
    ASSERT_TRUE(server) << error;
    int first = connectTo(server->port());
    ASSERT_GE(first, 0);
    ASSERT_EQ(write(first, "\xAD\x00", 2), 2);
    EXPECT_EQ(readSome(first, 2), (Bytes{2, 0}));
    int second = connectTo(server->port());
    ASSERT_GE(second, 0);
    ASSERT_EQ(write(second, "\xAD\x00", 2), 2);
    EXPECT_EQ(readSome(second, 2), (Bytes{2, 0}));
    EXPECT_TRUE(closedByPeer(first));
    close(first);
    close(second);
}

TEST(TcpModule, RebootClosesTheLinkAndRefusesConnectionsWhileAway) {
    ModuleConfig c = quiet();
    c.rebootOfflineMs = 5000;  // long enough to be surely away during the check
    std::string error;
    auto server = TcpModuleServer::create(c, "127.0.0.1", 0, error);
    ASSERT_TRUE(server) << error;
    int fd = connectTo(server->port());
    ASSERT_EQ(write(fd, "\x02\x02\x5F\x06", 4), 4);  // REBOOT
    EXPECT_TRUE(closedByPeer(fd));
    close(fd);
    fd = connectTo(server->port());
    ASSERT_GE(fd, 0);  // the kernel completes the handshake; the module hangs up at once
    EXPECT_TRUE(closedByPeer(fd));
    close(fd);
}

TEST(TcpModule, HeartbeatsFlowOnAnIdleLink) {
    ModuleConfig c;
    c.heartbeatMs = 20;
    std::string error;
    auto server = TcpModuleServer::create(c, "127.0.0.1", 0, error);
    ASSERT_TRUE(server) << error;
    int fd = connectTo(server->port());
    EXPECT_EQ(readSome(fd, 4), (Bytes{2, 2, 0, 0}));
    ASSERT_EQ(write(fd, "\x02\x02\x00\x02", 4), 4);
    EXPECT_EQ(readSome(fd, 4), (Bytes{2, 2, 0, 1}));
    EXPECT_TRUE(waitUntil([&] { return server->withCore([](ModuleCore& m) { return m.stats().heartbeatsAnswered; }) == 1; }));
    close(fd);
}

class PtyLine : public ::testing::Test {
protected:
    void open(const ModuleConfig& c) {
        std::string error;
        server = PtyModuleServer::create(c, error);
        ASSERT_TRUE(server) << error;
        fd = ::open(server->endpoint().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    void TearDown() override {
        if (fd >= 0)
            close(fd);
    }
    void sendFrame(Bytes plain, bool breakCrc = false) {
        plain.push_back(static_cast<uint8_t>(crc8_create(plain.data(), plain.size()) ^ (breakCrc ? 1 : 0)));
        Bytes frame(cobs_max_encoded(plain.size()) + 1);
        size_t n = cobs_encode(plain.data(), plain.size(), frame.data());
        frame[n++] = 0;
        ASSERT_EQ(write(fd, frame.data(), n), static_cast<ssize_t>(n));
    }
    // The next delimiter-ended run of bytes, undecoded.
    Bytes rawFrame() {
        Bytes f;
        for (;;) {
            Bytes b = readSome(fd, 1);
            if (b.empty() || b[0] == 0)
                return f;
            f.push_back(b[0]);
        }
    }
    std::unique_ptr<PtyModuleServer> server;
    int fd = -1;
};

TEST_F(PtyLine, AnswersAreCobsFramesWithCrc) {
    open(quiet());
    sendFrame({0xAD, 0});
    Bytes f = rawFrame();
    Bytes plain(f.size());
    ASSERT_EQ(cobs_decode(f.data(), f.size(), plain.data()), 3u);
    EXPECT_EQ(plain[0], 2);
    EXPECT_EQ(plain[1], 0);
    EXPECT_EQ(plain[2], crc8_create(plain.data(), 2));
}

TEST_F(PtyLine, BrokenFramesAreDroppedAndTheLineKeepsServing) {
    open(quiet());
    sendFrame({2, 3, 3, 0x49, 0x20}, true);          // bad CRC
    sendFrame({2, 4, 3, 0x49, 0x20});                // size byte disagrees with the frame
    Bytes noise(80, 0x55);                           // far longer than any frame
    noise.push_back(0);
    ASSERT_EQ(write(fd, noise.data(), noise.size()), static_cast<ssize_t>(noise.size()));
    sendFrame({0xAD, 0});
    Bytes f = rawFrame();
    Bytes plain(f.size());
    ASSERT_EQ(cobs_decode(f.data(), f.size(), plain.data()), 3u);
    EXPECT_EQ(plain[0], 2);
    EXPECT_EQ(server->withCore([](ModuleCore& m) { return m.stats().framesRejected; }), 3u);
}

TEST_F(PtyLine, GarbageFaultIsABrokenFrameBeforeTheAnswer) {
    ModuleConfig c = quiet();
    c.faults.garbageBefore = 1;
    open(c);
    sendFrame({0xAD, 0});
    Bytes junk = rawFrame();
    Bytes plain(junk.size() + 1);
    size_t n = cobs_decode(junk.data(), junk.size(), plain.data());
    EXPECT_FALSE(n >= 3 && plain[1] + 3u == n && crc8_check(plain.data(), n - 1, plain[n - 1]));
    Bytes answer = rawFrame();
    ASSERT_EQ(cobs_decode(answer.data(), answer.size(), plain.data()), 3u);
    EXPECT_EQ(plain[0], 2);
}

// tandril-sim as a user runs it.
struct Child {
    pid_t pid = -1;
    int out = -1;
    std::vector<std::string> lines;
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0)
            close(out);
    }
    bool start(const std::vector<std::string>& args) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            dup2(p[1], 1);
            std::vector<char*> argv;
            std::string program = tandril::test::buildPath("sim/module/tandril-sim");
            argv.push_back(program.data());
            for (auto& a : const_cast<std::vector<std::string>&>(args))
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(p[1]);
        out = p[0];
        // Lines until "ready" (or the end).
        std::string line;
        for (;;) {
            Bytes b = readSome(out, 1, 10000);
            if (b.empty())
                return false;
            if (b[0] != '\n') {
                line += static_cast<char>(b[0]);
                continue;
            }
            if (line == "ready")
                return true;
            lines.push_back(line);
            line.clear();
        }
    }
    int stop() {
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST(TandrilSim, HelpDocumentsEveryOptionAndEveryKeyItNames) {
    auto r = tandril::test::runProcess({tandril::test::buildPath("sim/module/tandril-sim"), "--help"});
    ASSERT_EQ(r.status, 0);
    for (const char* option : {"--tcp", "--pty", "--sub", "--bind", "--discovery", "--state-dir", "--help"})
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
    // Every key the help names is one the parser knows.
    std::regex keyLine(R"(^  ([a-z-]+)(=| ))");
    std::istringstream in(moduleSpecHelp());
    std::string line;
    int keys = 0;
    while (std::getline(in, line)) {
        std::smatch m;
        if (!std::regex_search(line, m, keyLine))
            continue;
        ++keys;
        ModuleConfig c;
        std::string error;
        applyModuleSpec(m[1].str() + "=?bad?", c, error);
        EXPECT_EQ(error.find("unknown key"), std::string::npos) << m[1];
        EXPECT_NE(r.out.find(line), std::string::npos) << line;
    }
    EXPECT_GE(keys, 20);
}

TEST(TandrilSim, BadCommandLinesFailWithAReason) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{}, "no module"},
        {{"--tcp", "serial=0x1,colour=red"}, "unknown key"},
        {{"--tcp", "address=3"}, "not even"},
        {{"--tcp", "port=70000"}, "bad value"},
        {{"--sub", "address=8"}, "--sub needs"},
        {{"--tcp", "serial=5", "--sub", "serial=6,address=2"}, "taken"},
        {{"--tcp", "serial=5", "--pty", "serial=5"}, "must differ"},
        {{"--tcp", "", "--state-dir", "/nonexistent/dir"}, "not a directory"},
        {{"--tcp", "delay=3"}, "bad value"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{tandril::test::buildPath("sim/module/tandril-sim")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = tandril::test::runProcess(argv, std::chrono::seconds(10));
        EXPECT_EQ(r.status, 2) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

TEST(TandrilSim, RunsModulesPrintsWhereAndSavesTheirState) {
    tandril::test::TempDir dir;
    Child sim;
    ASSERT_TRUE(sim.start({"--tcp", "serial=0x00C0FFEE,address=4,heartbeat=0,reboot-offline=50", "--sub",
                           "serial=0x00C0FF10,address=16", "--pty", "serial=0x00C0FF22,heartbeat=0", "--state-dir",
                           dir.str()}));
    ASSERT_EQ(sim.lines.size(), 3u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(sim.lines[0], m, std::regex(R"(tcp 00C0FFEE 127\.0\.0\.1:(\d+))"))) << sim.lines[0];
    const uint16_t port = static_cast<uint16_t>(std::stoi(m[1]));
    EXPECT_EQ(sim.lines[1], "sub 00C0FF10 16 00C0FFEE");
    ASSERT_TRUE(std::regex_match(sim.lines[2], m, std::regex(R"(pty 00C0FF22 (/dev/\S+))"))) << sim.lines[2];

    int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    const uint8_t requests[] = {4, 2, 95, 0, /* INIT */ 16, 3, 3, 0x49, 0x20 /* sub's serial */};
    ASSERT_EQ(write(fd, requests, sizeof requests), static_cast<ssize_t>(sizeof requests));
    Bytes answers = readSome(fd, 8 + 9);
    ASSERT_EQ(answers.size(), 17u);
    EXPECT_EQ(Bytes(answers.begin() + 8, answers.end()), (Bytes{16, 7, 3, 9, 0, 0x00, 0xC0, 0xFF, 0x10}));
    ASSERT_EQ(write(fd, "\x04\x02\x5F\x06", 4), 4);  // REBOOT: the state is saved
    close(fd);

    const auto file = dir.path() / "00C0FFEE.json";
    nlohmann::json state;
    ASSERT_TRUE(waitUntil([&] {
        std::ifstream in(file);
        state = nlohmann::json::parse(in, nullptr, false);
        return !state.is_discarded() && state["upgrade"]["reboots"] == 1;
    }));
    EXPECT_EQ(state["upgrade"]["inits"], 1);
    EXPECT_EQ(state["subModules"][0]["serial"], 0x00C0FF10);

    EXPECT_EQ(sim.stop(), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "00C0FF22.json"));
}

} // namespace
