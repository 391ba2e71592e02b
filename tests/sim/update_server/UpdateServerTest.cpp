#include "update_server/UpdateServer.h"

#include "TestSupport.h"
#include "server_client/HTTPRequest.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <stdexcept>

namespace {

using namespace tandril::sim;
using tandril::test::TempDir;

class CatalogueDir : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(dir.path() / "a.bird") << "A";
        std::ofstream(dir.path() / "b.bird") << "B";
    }
    // The error text of loading `text`, or "" when it loads.
    std::string loadError(const std::string& text) {
        std::ofstream(dir.path() / Catalogue::kFileName) << text;
        try {
            Catalogue::Load(dir.path());
            return "";
        } catch (const std::runtime_error& e) {
            return e.what();
        }
    }
    TempDir dir;
};

TEST_F(CatalogueDir, ReadsDevicesAndFingerprints) {
    const Catalogue c = Catalogue::Parse("# comment\n"
                                         "\n"
                                         "[device 0001abcd]\n"
                                         "  firmware =  TDX 100 \r\n"
                                         "build = 7 1.0.0 a.bird # the first\n"
                                         "build = 12 not-a-version b.bird\n"
                                         "token = x.y.z\n"
                                         "[device 2]\n"
                                         "firmware = T2\n"
                                         "build = 30 3.0.0 a.bird\n"
                                         "build = 40 4.0.0 b.bird\n"
                                         "current = 30\n"
                                         "[device 3]\n"
                                         "[fingerprint 1 2 3 FFFFFFFF]\n"
                                         "serial = 0001ABCD\n"
                                         "build = 7\n",
                                         dir.path());
    ASSERT_EQ(c.devices.size(), 3u);
    const CatalogueDevice& d = c.devices.at(0x1ABCD);
    EXPECT_EQ(d.firmware, "TDX 100");
    EXPECT_EQ(d.current, 12u); // the newest build when none is named
    EXPECT_EQ(d.builds.at(12).version, "not-a-version");
    EXPECT_EQ(d.builds.at(7).file, "a.bird");
    EXPECT_EQ(d.token, "x.y.z");
    EXPECT_EQ(c.devices.at(2).current, 30u);
    EXPECT_TRUE(c.devices.at(3).builds.empty());
    EXPECT_EQ(c.devices.at(3).current, 0u);
    const CatalogueRecovery& r = c.fingerprints.at({1, 2, 3, 0xFFFFFFFF});
    EXPECT_EQ(r.serial, 0x1ABCDu);
    EXPECT_EQ(r.build, 7u);
}

TEST_F(CatalogueDir, NamesTheLineOfEachMistake) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"firmware = x\n", "catalogue.txt:1: \"firmware\" outside"},
        {"[device 1]\nbuild = 7 1.0.0 missing.bird\n", "catalogue.txt:2: no file missing.bird"},
        {"[device 1]\nbuild = 7 1.0.0\n", "catalogue.txt:2: expected build = NUMBER VERSION FILE"},
        {"[device 1]\nbuild = x7 1.0.0 a.bird\n", "catalogue.txt:2: \"x7\" is not a build number"},
        {"[device 1]\nbuild = 7 1.0.0 a.bird\nbuild = 7 2.0.0 b.bird\n", "catalogue.txt:3: build 7 listed twice"},
        {"[device 1]\nbuild = 7 1.0.0 a.bird\ncurrent = 8\n\n", "catalogue.txt:3: current build 8"},
        {"[device 1]\ncurrent = 8\n[device 2]\n", "catalogue.txt:2: current build 8"},
        {"[device 1]\ncolour = red\n", "catalogue.txt:2: unknown device key"},
        {"[device 1FFFFFFFF]\n", "catalogue.txt:1: \"1FFFFFFFF\" is not a hexadecimal 32-bit number"},
        {"[device 1]\n[device 01]\n", "catalogue.txt:2: device 01 listed twice"},
        {"[device]\n", "catalogue.txt:1: expected [device SERIAL]"},
        {"[fingerprint 1 2 3]\n", "catalogue.txt:1: expected [device SERIAL]"},
        {"[fingerprint 1 2 3 4]\nserial = -1\n", "catalogue.txt:2: \"-1\" is not a hexadecimal"},
        {"[fingerprint 1 2 3 4]\nname = x\n", "catalogue.txt:2: unknown fingerprint key"},
        {"[device 1\n", "catalogue.txt:1: section header without"},
        {"[device 1]\njust words\n", "catalogue.txt:2: expected key = value"},
    };
    for (const auto& c : cases) {
        const std::string error = loadError(c.text);
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << "\n gave: " << error;
    }
    EXPECT_EQ(loadError("[device 1]\nbuild = 7 1.0.0 a.bird\n"), "");
    TempDir empty;
    try {
        Catalogue::Load(empty.path());
        ADD_FAILURE() << "a directory without a catalogue loaded";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot read"), std::string::npos) << e.what();
    }
}

TEST(FaultParse, ReadsEveryKind) {
    const struct {
        const char* text;
        Fault::Kind kind;
        int status;
        int delayMs;
        const char* body;
        const char* op;
    } cases[] = {
        {"none", Fault::Kind::None, 500, 0, "", ""},
        {"status:404", Fault::Kind::Status, 404, 0, "", ""},
        {"notok@qu", Fault::Kind::NotOk, 500, 0, "", "qu"},
        {"empty", Fault::Kind::Empty, 500, 0, "", ""},
        {"truncated@bird", Fault::Kind::Truncated, 500, 0, "", "bird"},
        {"badbase64", Fault::Kind::BadBase64, 500, 0, "", ""},
        {"slow:250@ent_jwt", Fault::Kind::Slow, 500, 250, "", "ent_jwt"},
        {"stall", Fault::Kind::Stall, 500, 0, "", ""},
        {"canned:200:ok\\r\\n12\\\\x", Fault::Kind::Canned, 200, 0, "ok\r\n12\\x", ""},
        {"canned:200:mail a@b.c", Fault::Kind::Canned, 200, 0, "mail a@b.c", ""},
        {"canned:204:", Fault::Kind::Canned, 204, 0, "", ""},
    };
    for (const auto& c : cases) {
        const Fault f = Fault::Parse(c.text);
        EXPECT_EQ(f.kind, c.kind) << c.text;
        EXPECT_EQ(f.status, c.status) << c.text;
        EXPECT_EQ(f.delayMs, c.delayMs) << c.text;
        EXPECT_EQ(f.body, c.body) << c.text;
        EXPECT_EQ(f.op, c.op) << c.text;
    }
    for (const char* bad : {"", "loud", "status", "status:", "status:abc", "status:99", "status:600", "slow",
                            "slow:-5", "stall:5", "canned:200", "none:1"})
        EXPECT_THROW(Fault::Parse(bad), std::invalid_argument) << bad;
}

class ServedCatalogue : public CatalogueDir {
protected:
    void SetUp() override {
        CatalogueDir::SetUp();
        std::ofstream(dir.path() / Catalogue::kFileName) << "[device 1]\nfirmware = F\nbuild = 7 1.0.0 a.bird\n";
        server = std::make_unique<UpdateServer>(Catalogue::Load(dir.path()));
    }
    HTTPResponse get(const std::string& query) { return HTTPRequest::GET((server->url() + query).c_str(), {}); }
    std::unique_ptr<UpdateServer> server;
};

TEST_F(ServedCatalogue, RefusesWhatItCannotAnswer) {
    const struct {
        const char* query;
        long status;
        const char* body;
    } cases[] = {
        {"?op=hi", 200, "ok\n"},
        {"", 400, "error: unknown operation \"\"\n"},
        {"?op=upload", 400, "error: unknown operation \"upload\"\n"},
        {"?op=qu", 400, "error: bad serial number\n"},
        {"?op=qu&sn=xyz", 400, "error: bad serial number\n"},
        {"?op=qu&sn=2", 200, "error: unknown device\n"},
        {"?op=qu&sn=00000001", 200, "ok\n7\nF\n"},
        {"?op=bird&sn=1&fw=F&bld=8", 200, "error: no such build for this device\n"},
        {"?op=bird&sn=1&fw=G&bld=7", 200, "error: wrong firmware for this device\n"},
        {"?op=bird&sn=1&fw=F&bld=7x", 200, "error: bad build number\n"},
        {"?op=bird&sn=1&fw=F&bld=7", 200, "ok\nQQ==\n"},
        {"?op=ent_jwt&sn=1", 200, "error: no token for this device\n"},
        {"?op=fix&fp=1%202%203", 400, "error: bad fingerprint\n"},
        {"?op=fix&fp=1%202%203%204%205", 400, "error: bad fingerprint\n"},
        {"?op=fix&fp=1%202%203%204", 200, "error: unknown fingerprint\n"},
    };
    for (const auto& c : cases) {
        const HTTPResponse r = get(c.query);
        EXPECT_EQ(r.get_status(), c.status) << c.query;
        EXPECT_EQ(r.body(), c.body) << c.query;
    }
    EXPECT_EQ(HTTPRequest::GET(("http://127.0.0.1:" + std::to_string(server->port()) + "/other").c_str(), {})
                  .get_status(),
              404);
    EXPECT_EQ(server->requests().size(), std::size(cases));
}

TEST_F(ServedCatalogue, StopsWhileAnswersAreHeld) {
    server->setFault(Fault::Parse("stall"));
    auto held = std::async(std::launch::async, [&] {
        try {
            return get("?op=hi").get_status();
        } catch (const std::runtime_error&) {
            return -1L;
        }
    });
    ASSERT_TRUE(tandril::test::waitUntil([&] { return server->requests().size() == 1; }));
    EXPECT_EQ(server->requests()[0].status, 0);
    EXPECT_EQ(server->requests()[0].fault, Fault::Kind::Stall);
    auto stopped = std::async(std::launch::async, [&] { server.reset(); });
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "server did not stop";
    EXPECT_EQ(held.get(), 503);
}

// The program: URL on its first output line, a log line per request, a clean exit on
// SIGTERM, and clear refusals of bad command lines.
TEST_F(CatalogueDir, ProgramServesUntilTerminated) {
    std::ofstream(dir.path() / Catalogue::kFileName) << "[device 1]\nfirmware = F\nbuild = 7 1.0.0 a.bird\n";
    const std::string program = tandril::test::buildPath("sim/update_server/tandril-update-server");
    int out[2], err[2];
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(pipe(err), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        execl(program.c_str(), program.c_str(), "--catalogue", dir.str().c_str(), "--fault", "status:503@builds",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    auto readLine = [](int fd) {
        std::string line;
        char c;
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, 10000) == 1 && read(fd, &c, 1) == 1 && c != '\n') line += c;
        return line;
    };
    const std::string url = readLine(out[0]);
    EXPECT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << url;
    EXPECT_EQ(url.substr(url.size() - 6), "/cgi/u");
    if (url.rfind("http://", 0) == 0) {
        EXPECT_EQ(HTTPRequest::GET(url.c_str(), {{"op", "qu"}, {"sn", "00000001"}}).body(), "ok\n7\nF\n");
        EXPECT_EQ(HTTPRequest::GET(url.c_str(), {{"op", "builds"}, {"sn", "00000001"}}).get_status(), 503);
        EXPECT_EQ(readLine(err[0]), "update-server: GET /cgi/u?op=qu&sn=00000001& -> 200, 7 bytes");
        EXPECT_EQ(readLine(err[0]), "update-server: GET /cgi/u?op=builds&sn=00000001& -> 503, 11 bytes [fault status]");
    }
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_TRUE(tandril::test::waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(out[0]);
    close(err[0]);

    const struct {
        std::vector<std::string> args;
        int status;
        const char* error;
    } refusals[] = {
        {{}, 2, "--catalogue is required"},
        {{"--catalogue"}, 2, "--catalogue needs a value"},
        {{"--catalogue", dir.str(), "--fault", "loud"}, 2, "unknown kind"},
        {{"--catalogue", dir.str(), "--port", "x"}, 2, "--port x"},
        {{"--catalogue", dir.str(), "--colour", "red"}, 2, "unknown option --colour"},
        {{"--catalogue", dir.str() + "/nothing"}, 1, "cannot read"},
        {{"--catalogue", dir.str(), "--host", "192.0.2.1"}, 1, "cannot listen on 192.0.2.1"},
    };
    for (const auto& r : refusals) {
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), r.args.begin(), r.args.end());
        const auto result = tandril::test::runProcess(argv, std::chrono::seconds(20));
        EXPECT_EQ(result.status, r.status) << result.err;
        EXPECT_NE(result.err.find(r.error), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
}

} // namespace
