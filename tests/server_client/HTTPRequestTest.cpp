#include "server_client/HTTPRequest.h"
#include "server_client/UpdateServerRequest.h"

#include "ServerFixture.h"
#include "app/Log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <stdexcept>

namespace {

using tandril::test::ServerFixture;

TEST(HTTPRequestURL, AppendsEveryPairInKeyOrderWithATrailingAmpersand) {
    const struct {
        HTTPRequest::Query query;
        const char* url;
    } cases[] = {
        {{}, "http://h/cgi/u"},
        {{{"sn", "1"}, {"op", "qu"}}, "http://h/cgi/u?op=qu&sn=1&"},
        {{{"op", "hi"}}, "http://h/cgi/u?op=hi&"},
        {{{"b", ""}, {"a", "x"}}, "http://h/cgi/u?a=x&b=&"},
        // Callers pass text that is already escaped; it goes in as it is.
        {{{"fp", "0A0B0C0D%2011111111"}}, "http://h/cgi/u?fp=0A0B0C0D%2011111111&"},
        {{{"fw", "A-b_c.d~9"}}, "http://h/cgi/u?fw=A-b_c.d~9&"},
        // Anything else could end or split the query and is escaped.
        {{{"fw", "TD X&op=evil#"}}, "http://h/cgi/u?fw=TD%20X%26op%3Devil%23&"},
        {{{"fw", "a+b/c?\r\n"}}, "http://h/cgi/u?fw=a%2Bb%2Fc%3F%0D%0A&"},
        {{{"fw", "\xC3\xA9"}}, "http://h/cgi/u?fw=%C3%A9&"},
    };
    for (const auto& c : cases) EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", c.query), c.url);
}

TEST(HTTPResponse, KeepsBinaryBodiesWhole) {
    HTTPResponse response("http://h/x");
    EXPECT_STREQ(response.get_request(), "http://h/x");
    EXPECT_EQ(response.get_status(), 0);
    response.process("ab\0c", 4);
    response.process("", 0);
    response.process("\0de", 3);
    EXPECT_EQ(response.body(), std::string("ab\0c\0de", 7));
    EXPECT_STREQ(response.get_response(), "ab");
}

TEST(HTTPRequestGet, ReturnsEveryStatusWithItsBody) {
    ServerFixture fixture;
    for (int status : {200, 204, 404, 500}) {
        fixture.answer(status, status == 204 ? "" : "body " + std::to_string(status));
        const HTTPResponse response = HTTPRequest::GET(fixture.url.c_str(), {{"op", "hi"}});
        EXPECT_EQ(response.get_status(), status);
        EXPECT_EQ(response.body(), status == 204 ? "" : "body " + std::to_string(status));
        EXPECT_EQ(std::string(response.get_request()), fixture.url + "?op=hi&");
    }
    fixture.answer(200, std::string("ok\n\0\x01\xFF", 6));
    EXPECT_EQ(HTTPRequest::GET(fixture.url.c_str(), {}).body(), std::string("ok\n\0\x01\xFF", 6));
}

TEST(HTTPRequestGet, SendsTheQueryAsBuilt) {
    ServerFixture fixture;
    HTTPRequest::GET(fixture.url.c_str(), {{"sn", "0001ABCD"}, {"op", "qu"}, {"fw", "a b&c"}});
    const auto requests = fixture.server->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/cgi/u?fw=a%20b%26c&op=qu&sn=0001ABCD&");
    EXPECT_EQ(requests[0].params.at("fw"), "a b&c");
}

TEST(HTTPRequestGet, TransportFailuresThrowWithLibcurlText) {
    std::string url;
    {
        ServerFixture fixture;
        url = fixture.url;
        fixture.server->setFault(tandril::sim::Fault::Parse("truncated"));
        try {
            HTTPRequest::GET(url.c_str(), {{"op", "hi"}});
            ADD_FAILURE() << "a truncated answer was taken as complete";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("partial"), std::string::npos) << e.what();
        }
    }
    // The server is gone: nothing listens on its port any more.
    EXPECT_THROW(HTTPRequest::GET(url.c_str(), {{"op", "hi"}}), std::runtime_error);
    EXPECT_THROW(HTTPRequest::GET("no-such-scheme://x/", {}), std::runtime_error);
}

// A firmware body of several megabytes arrives in many chunks, each logged, and is
// put back together in order.
TEST(HTTPRequestGet, AssemblesALargeBodyFromManyChunks) {
    ServerFixture fixture(6 * 1024 * 1024);
    char* logText = nullptr;
    size_t logSize = 0;
    FILE* log = open_memstream(&logText, &logSize);
    ASSERT_NE(log, nullptr);
    Log::SetOutput(log);
    Log::ActivatePackage(DEBUG_ServerComm);

    std::string payload;
    const bool ok = UpdateServerRequest::GetBuild(tandril::test::kSerial, "TDX-100", "1205", payload,
                                                  fixture.url.c_str(), false);
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(DEBUG_ServerComm);
    fclose(log);
    const std::string logged(logText, logSize);
    free(logText);

    ASSERT_TRUE(ok);
    size_t size = 0;
    std::unique_ptr<unsigned char, decltype(&free)> bytes(base64_decode(payload.data(), payload.size(), &size), free);
    ASSERT_NE(bytes, nullptr);
    EXPECT_TRUE(std::string(reinterpret_cast<char*>(bytes.get()), size) == fixture.newBuild) << "firmware differs";

    size_t chunks = 0;
    for (size_t at = logged.find("rcv_data called ("); at != std::string::npos;
         at = logged.find("rcv_data called (", at + 1))
        ++chunks;
    EXPECT_GT(chunks, 10u);
    EXPECT_EQ(logged.rfind("GET(" + fixture.url + "?bld=1205&fw=TDX-100&no_cal=false&op=bird&sn=0001ABCD&)\n", 0),
              0u);
}

class StallTimeout : public ::testing::Test {
protected:
    void SetUp() override { HTTPRequest::SetStallTimeout(1); }
    void TearDown() override { HTTPRequest::SetStallTimeout(0); }
};

// A server that takes the request and never answers: the request gives up by itself.
TEST_F(StallTimeout, SilentServerEndsTheRequest) {
    ServerFixture fixture;
    fixture.server->setFault(tandril::sim::Fault::Parse("stall"));
    auto request = std::async(std::launch::async, [&] {
        try {
            HTTPRequest::GET(fixture.url.c_str(), {{"op", "hi"}});
            return std::string("answered");
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
    });
    const bool ended = request.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    fixture.server->setFault({}); // releases the server's side either way
    ASSERT_TRUE(ended) << "the request did not give up on a silent server";
    EXPECT_EQ(request.get(), "Timeout was reached");
    EXPECT_TRUE(UpdateServerRequest::ping(fixture.url.c_str())) << "the server stayed stuck";
}

// Slow but moving: the answer takes longer than the stall time-out in total, but no
// pause reaches it.
TEST_F(StallTimeout, SlowButMovingAnswerIsReceived) {
    // Pauses a tenth of the window, so a loaded machine (sanitizers, parallel tests)
    // cannot stretch one into a stall; 16 of them still outlast the window.
    HTTPRequest::SetStallTimeout(2);
    ServerFixture fixture(3000);
    fixture.server->setFault(tandril::sim::Fault::Parse("slow:200@bird"));
    std::string payload;
    ASSERT_TRUE(UpdateServerRequest::GetBuild(tandril::test::kSerial, "TDX-100", "1205", payload,
                                              fixture.url.c_str(), false));
    EXPECT_EQ(payload.size(), 4000u);
}

TEST(StallTimeoutSetting, ComesFromSetterEnvironmentOrDefault) {
    const struct {
        const char* env; // null: unset
        long set;
        long expected;
    } cases[] = {
        {nullptr, 0, HTTPRequest::kDefaultStallSeconds},
        {"5", 0, 5},
        {"0", 0, HTTPRequest::kDefaultStallSeconds},
        {"-3", 0, HTTPRequest::kDefaultStallSeconds},
        {"5s", 0, HTTPRequest::kDefaultStallSeconds},
        {"", 0, HTTPRequest::kDefaultStallSeconds},
        {"5", 2, 2},
        {nullptr, 7, 7},
    };
    for (const auto& c : cases) {
        if (c.env)
            setenv("TANDRIL_HTTP_STALL_SECONDS", c.env, 1);
        else
            unsetenv("TANDRIL_HTTP_STALL_SECONDS");
        HTTPRequest::SetStallTimeout(c.set);
        EXPECT_EQ(HTTPRequest::StallTimeout(), c.expected) << (c.env ? c.env : "(unset)") << " / " << c.set;
    }
    HTTPRequest::SetStallTimeout(0);
    unsetenv("TANDRIL_HTTP_STALL_SECONDS");
}

} // namespace
