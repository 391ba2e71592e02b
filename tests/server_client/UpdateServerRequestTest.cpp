#include "server_client/UpdateServerRequest.h"

#include "ServerFixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>

namespace {

using tandril::test::kFingerprint;
using tandril::test::kSerial;
using tandril::test::ServerFixture;
using Builds = std::map<std::string, std::string>;

std::string decoded(const std::string& payload) {
    size_t size = 0;
    std::unique_ptr<unsigned char, decltype(&free)> bytes(base64_decode(payload.data(), payload.size(), &size), free);
    return bytes ? std::string(reinterpret_cast<char*>(bytes.get()), size) : "(undecodable)";
}

// Each operation with throw-away outputs, by name.
const std::vector<std::pair<const char*, std::function<bool(const char*)>>>& allOperations() {
    static const std::vector<std::pair<const char*, std::function<bool(const char*)>>> ops = {
        {"ping", [](const char* url) { return UpdateServerRequest::ping(url); }},
        {"QueryBuild",
         [](const char* url) {
             std::string build, firmware;
             return UpdateServerRequest::QueryBuild(kSerial, build, firmware, url);
         }},
        {"GetBuild",
         [](const char* url) {
             std::string payload;
             return UpdateServerRequest::GetBuild(kSerial, "TDX-100", "1205", payload, url, false);
         }},
        {"GetBuildList",
         [](const char* url) {
             Builds builds;
             return UpdateServerRequest::GetBuildList(kSerial, builds, url);
         }},
        {"GetRecoveryInfo",
         [](const char* url) {
             unsigned serial = 0, build = 0;
             return UpdateServerRequest::GetRecoveryInfo(kFingerprint, &serial, &build, url);
         }},
        {"GetDeviceJWT",
         [](const char* url) {
             std::string token;
             return UpdateServerRequest::GetDeviceJWT(kSerial, token, url);
         }},
    };
    return ops;
}

TEST(UpdateServerRequest, SendsEachQueryInItsFixedForm) {
    ServerFixture fixture;
    std::string text;
    Builds builds;
    unsigned serial = 0, build = 0;
    const char* url = fixture.url.c_str();
    UpdateServerRequest::ping(url);
    UpdateServerRequest::QueryBuild(0xABC, text, text, url);
    UpdateServerRequest::GetBuild(0xABC, "TDX-100", "1205", text, url, false);
    UpdateServerRequest::GetBuild(0xABC, "TDX-100", "1205", text, url, true);
    UpdateServerRequest::GetBuildList(0xFFFFFFFF, builds, url);
    const unsigned fp[4] = {0xA, 0xFFFFFFFF, 0, 0x1234ABCD};
    UpdateServerRequest::GetRecoveryInfo(fp, &serial, &build, url);
    UpdateServerRequest::GetDeviceJWT(0xabcdef, text, url);

    const std::vector<std::string> expected = {
        "/cgi/u?op=hi&rv=2&",
        "/cgi/u?op=qu&sn=00000ABC&",
        "/cgi/u?bld=1205&fw=TDX-100&no_cal=false&op=bird&sn=00000ABC&",
        "/cgi/u?bld=1205&fw=TDX-100&no_cal=true&op=bird&sn=00000ABC&",
        "/cgi/u?op=builds&sn=FFFFFFFF&",
        "/cgi/u?brief=true&fp=0000000A%20FFFFFFFF%2000000000%201234ABCD&op=fix&",
        "/cgi/u?json=false&op=ent_jwt&sn=00ABCDEF&",
    };
    std::vector<std::string> targets;
    for (const auto& r : fixture.server->requests()) targets.push_back(r.target);
    EXPECT_EQ(targets, expected);
}

// With either line end: a server ending its lines with "\r\n" leaves the carriage
// return on the build (the callers' number conversion stops there); everything else is
// cut before it.
TEST(UpdateServerRequest, ReadsTheCataloguesAnswers) {
    for (bool crlf : {false, true}) {
        SCOPED_TRACE(crlf ? "CR LF" : "LF");
        tandril::sim::UpdateServerOptions options;
        options.crlf = crlf;
        ServerFixture fixture(1000, options);
        const char* url = fixture.url.c_str();
        EXPECT_TRUE(UpdateServerRequest::ping(url));

        std::string build, firmware;
        ASSERT_TRUE(UpdateServerRequest::QueryBuild(kSerial, build, firmware, url));
        EXPECT_EQ(build, crlf ? "1205\r" : "1205");
        EXPECT_EQ(firmware, "TDX-100");

        Builds builds;
        ASSERT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, url));
        EXPECT_EQ(builds, (Builds{{"1190", "2.10.0"}, {"1205", "2.3.1"}}));

        std::string payload;
        ASSERT_TRUE(UpdateServerRequest::GetBuild(kSerial, firmware.c_str(), "1190", payload, url, false));
        EXPECT_EQ(decoded(payload), fixture.oldBuild);
        ASSERT_TRUE(UpdateServerRequest::GetBuild(kSerial, firmware.c_str(), "1205", payload, url, false));
        EXPECT_EQ(decoded(payload), fixture.newBuild);

        unsigned serial = 0, recoveryBuild = 0;
        ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &serial, &recoveryBuild, url));
        EXPECT_EQ(serial, kSerial);
        EXPECT_EQ(recoveryBuild, 1190u);

        std::string token;
        ASSERT_TRUE(UpdateServerRequest::GetDeviceJWT(kSerial, token, url));
        EXPECT_EQ(token, "hdr0.payload0.sig0");

        // Things the server does not know are refusals.
        EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x1234, build, firmware, url));
        EXPECT_FALSE(UpdateServerRequest::GetBuild(kSerial, "OTHER", "1190", payload, url, false));
        EXPECT_FALSE(UpdateServerRequest::GetBuild(kSerial, "TDX-100", "1191", payload, url, false));
        const unsigned unknown[4] = {1, 2, 3, 4};
        EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(unknown, &serial, &recoveryBuild, url));
    }
}

// Only status 200 with a first line beginning with "ok" counts, for every operation.
TEST(UpdateServerRequest, AcceptsOnlyOkAnswersWithStatus200) {
    ServerFixture fixture;
    const struct {
        int status;
        const char* body;
        bool accepted;
    } cases[] = {
        {200, "ok\n", true},
        {200, "ok", true},
        {200, "okay\n", true},
        {200, "\n\nok\n", true}, // empty lines are skipped
        {200, "ok\r\n", true},
        {200, "OK\n", false},
        {200, " ok\n", false},
        {200, "o\nk\n", false},
        {200, "error\nok\n", false},
        {200, "", false},
        {200, "\n\n", false},
        {204, "", false},
        {201, "ok\n", false},
        {404, "ok\n", false},
        {500, "ok\n", false},
    };
    for (const auto& c : cases) {
        fixture.answer(c.status, c.body);
        for (const auto& [name, op] : allOperations()) {
            // GetDeviceJWT needs a token line to succeed; its acceptance shows in the
            // token tests below.
            if (std::string(name) == "GetDeviceJWT" && c.accepted) continue;
            EXPECT_EQ(op(fixture.url.c_str()), c.accepted) << name << " " << c.status << " [" << c.body << "]";
        }
    }
}

TEST(UpdateServerRequest, EveryOperationFailsWhenTheServerMisbehaves) {
    ServerFixture fixture;
    for (const char* fault : {"status:503", "notok", "empty", "truncated"}) {
        fixture.server->setFault(tandril::sim::Fault::Parse(fault));
        for (const auto& [name, op] : allOperations()) EXPECT_FALSE(op(fixture.url.c_str())) << name << " " << fault;
    }
    std::string url = fixture.url;
    fixture.server.reset();
    for (const auto& [name, op] : allOperations()) EXPECT_FALSE(op(url.c_str())) << name << " with no server";
}

TEST(UpdateServerRequest, QueryBuildSetsWhatTheAnswerCarries) {
    ServerFixture fixture;
    const struct {
        const char* body;
        const char* build;
        const char* firmware;
    } cases[] = {
        {"ok\n", "old", "old"},
        {"ok\n1300\n", "1300", "old"},
        {"ok\n1300\nTDX-200\n", "1300", "TDX-200"},
        {"ok\n\n1300\n\nTDX-200\nmore\n", "1300", "TDX-200"},
        {"ok\n1300\r\nTDX-200\r\n", "1300\r", "TDX-200"},
        {"ok\n1300\nTDX-200\rrest\n", "1300", "TDX-200"},
    };
    for (const auto& c : cases) {
        fixture.answer(200, c.body);
        std::string build = "old", firmware = "old";
        ASSERT_TRUE(UpdateServerRequest::QueryBuild(kSerial, build, firmware, fixture.url.c_str())) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
        EXPECT_EQ(firmware, c.firmware) << c.body;
    }
    fixture.answer(500, "ok\n1\nx\n");
    std::string build = "old", firmware = "old";
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(kSerial, build, firmware, fixture.url.c_str()));
    EXPECT_EQ(build + firmware, "oldold");
}

TEST(UpdateServerRequest, GetBuildClearsThePayloadOnlyOnceAccepted) {
    ServerFixture fixture;
    const struct {
        int status;
        const char* body;
        bool ok;
        const char* payload;
    } cases[] = {
        {200, "ok\n", true, ""},
        {200, "ok\nQUJD\n", true, "QUJD"},
        {200, "ok\r\nQUJD\r\n", true, "QUJD"},
        {200, "no\nQUJD\n", false, "old"},
        {404, "ok\nQUJD\n", false, "old"},
    };
    for (const auto& c : cases) {
        fixture.answer(c.status, c.body);
        std::string payload = "old";
        EXPECT_EQ(UpdateServerRequest::GetBuild(kSerial, "TDX-100", "1", payload, fixture.url.c_str(), false), c.ok)
            << c.body;
        EXPECT_EQ(payload, c.payload) << c.body;
    }
}

TEST(UpdateServerRequest, GetBuildListReadsEntries) {
    ServerFixture fixture;
    const struct {
        const char* body;
        Builds builds;
    } cases[] = {
        {"ok\n100;2.1.0\n99;2.10.0\nx\n", {{"100", "2.1.0"}, {"99", "2.10.0"}}},
        {"ok\n", {}},
        {"ok\n12\n1\n;;\n", {}},                                   // shorter than 3: skipped
        {"ok\n123\n", {{"123", ""}}},                              // no version
        {"ok\n;;;\n", {}},                                         // no fields
        {"ok\n100;2.1.0\n100;9.9.9\n", {{"100", "2.1.0"}}},        // the first one wins
        {"ok\r\n100;2.1.0\r\n101;2.2.0\r\n", {{"100", "2.1.0"}, {"101", "2.2.0"}}},
        {"ok\n100;;2.1.0;extra\n", {{"100", "2.1.0"}}},            // empty fields skipped
        {"ok\n;100;2.1.0\n", {{"100", "2.1.0"}}},
    };
    for (const auto& c : cases) {
        fixture.answer(200, c.body);
        Builds builds = {{"stale", "1.1.1"}};
        ASSERT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, fixture.url.c_str())) << c.body;
        EXPECT_EQ(builds, c.builds) << c.body;
    }
    fixture.answer(200, "fail\n100;2.1.0\n");
    Builds builds = {{"stale", "1.1.1"}};
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(kSerial, builds, fixture.url.c_str()));
    EXPECT_EQ(builds, (Builds{{"stale", "1.1.1"}}));
}

TEST(UpdateServerRequest, GetRecoveryInfoReadsNumbersOrFails) {
    ServerFixture fixture;
    constexpr unsigned kOld = 0xDEAD;
    const struct {
        const char* body;
        bool ok;
        unsigned serial;
        unsigned build;
    } cases[] = {
        {"ok\n0001ABCD\n1205\n", true, 0x1ABCD, 1205},
        {"ok\n", true, kOld, kOld},
        {"ok\nabc\n", true, 0xABC, kOld},
        {"ok\n1\n0x10\n", true, 1, 16}, // the build in any base strtoul reads
        {"ok\n1\n010\n", true, 1, 8},
        {"ok\r\n0001ABCD\r\n1205\r\n", true, 0x1ABCD, 1205},
        {"ok\nFFFFFFFF\n4294967295\n", true, 0xFFFFFFFF, 4294967295u},
        // Garbled numbers must not become serial number 0 or a cut-off build.
        {"ok\nxyz\n1205\n", false, kOld, kOld},
        {"ok\n0001ABCD\nlatest\n", false, kOld, kOld},
        {"ok\n1ABCDx\n1205\n", false, kOld, kOld},
        {"ok\n100000000\n1205\n", false, kOld, kOld},
        {"ok\n1\n4294967296\n", false, kOld, kOld},
        {"ok\n-1\n1\n", false, kOld, kOld},
    };
    for (const auto& c : cases) {
        fixture.answer(200, c.body);
        unsigned serial = kOld, build = kOld;
        EXPECT_EQ(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &serial, &build, fixture.url.c_str()), c.ok)
            << c.body;
        EXPECT_EQ(serial, c.serial) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
    }
}

TEST(UpdateServerRequest, GetDeviceJWTNeedsThreeParts) {
    ServerFixture fixture;
    const struct {
        const char* body;
        const char* token; // null: fails, token unchanged
    } cases[] = {
        {"ok\naa.bb.cc\n", "aa.bb.cc"},
        {"ok\naa.bb.cc\r\n", "aa.bb.cc"},
        {"ok\naa.bb.cc.dd\n", "aa.bb.cc.dd"}, // the rest is the signature
        {"ok\naa.bb\n", nullptr},
        {"ok\naabbcc\n", nullptr},
        {"ok\na.bb.cc\n", nullptr},
        {"ok\naa.b.cc\n", nullptr},
        {"ok\naa.bb.c\n", nullptr},
        {"ok\naa.bb.\n", nullptr},
        {"ok\nab\n", nullptr},
        {"ok\n", nullptr},
        {"nok\naa.bb.cc\n", nullptr},
    };
    for (const auto& c : cases) {
        fixture.answer(200, c.body);
        std::string token = "old";
        EXPECT_EQ(UpdateServerRequest::GetDeviceJWT(kSerial, token, fixture.url.c_str()), c.token != nullptr)
            << c.body;
        EXPECT_EQ(token, c.token ? c.token : "old") << c.body;
    }
}

TEST(UpdateServerRequest, DamagedFirmwarePayloadDoesNotDecode) {
    ServerFixture fixture;
    fixture.server->setFault(tandril::sim::Fault::Parse("badbase64@bird"));
    EXPECT_TRUE(UpdateServerRequest::ping(fixture.url.c_str())); // other operations unaffected
    std::string payload;
    ASSERT_TRUE(UpdateServerRequest::GetBuild(kSerial, "TDX-100", "1205", payload, fixture.url.c_str(), false));
    EXPECT_EQ(decoded(payload), "(undecodable)");
}

} // namespace
