// The LPC ISP client against the virtual boot loader on a real pseudo-terminal.
#include <gtest/gtest.h>

#include <cstring>

#include "TestSupport.h"
#include "bootrom/LpcIsp.h"
#include "bootrom/PtyPort.h"
#include "recovery/NXPSerial.h"

using namespace tandril::sim;

namespace {

struct Bench {
    LpcIsp isp;
    PtyPort port;
    explicit Bench(LpcIspConfig config = {})
        : isp(config), port([this](const std::string& in, const PtyPort::Send& send) { return isp.receive(in, send); }) {}
    // A client connected and synchronised, echo left as the loader has it.
    std::unique_ptr<NXPSerialClass> client() {
        auto c = std::make_unique<NXPSerialClass>();
        EXPECT_EQ(c->Connect(port.slavePath(), 115200), vErrNone);
        return c;
    }
};

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 13 + (i >> 9));
    return v;
}

} // namespace

TEST(NXPSerialPure, Tables) {
    EXPECT_EQ(NXPSerialClass::CopyLength(1), 256u);
    EXPECT_EQ(NXPSerialClass::CopyLength(100), 256u);
    EXPECT_EQ(NXPSerialClass::CopyLength(257), 512u);
    EXPECT_EQ(NXPSerialClass::CopyLength(1024), 1024u);
    EXPECT_EQ(NXPSerialClass::CopyLength(1808), 4096u);
    EXPECT_EQ(NXPSerialClass::CopyLength(4096), 4096u);
    EXPECT_EQ(NXPSerialClass::CopyLength(5000), 5000u);

    const std::pair<uint32_t, int> sectors[] = {{0, 0},       {0x0FFF, 0},   {0x1000, 1},   {0x0FFFF, 15},
                                                {0x10000, 16}, {0x17FFF, 16}, {0x18000, 17}, {0x7FFFF, 29},
                                                {0x80000, 30}, {0xFFFFFFFF, 30}};
    for (auto [address, sector] : sectors) EXPECT_EQ(NXPSerialClass::SectorFromAddress(address), sector) << address;

    EXPECT_STREQ(NXPSerialClass::GetErrorText("19\r\n"), "CODE_READ_PROTECTION_ENABLED");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("0"), "CMD_SUCCESS");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("0x9"), "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("25"), "Unknown error");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("-1"), "Unknown error");
}

TEST(NXPSerialPure, UUCodingRoundTrips) {
    EXPECT_EQ(NXPSerialClass::uuchar(0), 0x60);
    EXPECT_EQ(NXPSerialClass::uuchar(45), 'M');
    auto data = pattern(45);
    char line[128];
    NXPSerialClass::uuencode(line, data.data(), 45);
    EXPECT_EQ(std::strlen(line), 61u);
    for (size_t n : {1u, 2u, 3u, 44u, 45u}) {
        NXPSerialClass::uuencode(line, data.data(), n);
        uint8_t back[45] = {};
        ASSERT_EQ(NXPSerialClass::uudecode(back, sizeof back, line), n);
        EXPECT_EQ(0, std::memcmp(back, data.data(), n)) << n;
    }
    uint8_t small[4];
    NXPSerialClass::uuencode(line, data.data(), 45);
    EXPECT_EQ(NXPSerialClass::uudecode(small, sizeof small, line), 0u) << "never past the capacity";
    uint8_t roomy[45];
    EXPECT_EQ(NXPSerialClass::uudecode(roomy, sizeof roomy, "M!!!"), 45u) << "a short line stops early";
}

TEST(NXPSerial, ConnectPicksTheFirstRateNotBelowTheRequest) {
    Bench b;
    NXPSerialClass c;
    const std::pair<uint32_t, uint32_t> cases[] = {{100000, 115200}, {460800, 9600}, {115200, 115200}, {1, 2400}};
    for (auto [asked, got] : cases) {
        ASSERT_EQ(c.Connect(b.port.slavePath(), asked), vErrNone);
        EXPECT_EQ(c.baudRate(), got) << asked;
    }
    EXPECT_NE(c.Connect("/dev/no-such-port", 115200), vErrNone);
}

TEST(NXPSerial, RefusesWhatThePartWouldRefuseWithoutSending) {
    Bench b;
    auto c = b.client();
    uint8_t data[8] = {};
    EXPECT_EQ(c->Write(NXPSerialClass::WRITE_ADDRESS, 6, data), vErrParam);
    EXPECT_EQ(c->Write(NXPSerialClass::WRITE_ADDRESS, 0, data), vErrParam);
    EXPECT_EQ(c->Prepare(5, 4), vErrParam);
    EXPECT_EQ(c->Erase(5, 4), vErrParam);
    EXPECT_EQ(c->CopyToFlash(0x10080, NXPSerialClass::WRITE_ADDRESS, 4096), vErrParam);
    EXPECT_EQ(c->CopyToFlash(0x10000, NXPSerialClass::WRITE_ADDRESS, 2048), vErrParam);
    EXPECT_TRUE(b.isp.commands().empty());
}

TEST(NXPSerial, ASilentPortFailsToSynchronise) {
    tandril::test::PtyPair nobody;
    NXPSerialClass c;
    ASSERT_EQ(c.Connect(nobody.slaveName(), 115200), vErrNone);
    EXPECT_EQ(c.Sync(), vErrNotReady);
}

TEST(NXPSerial, IdentifiesThePartAndRecognisesItWhenAlreadySynchronised) {
    LpcIspConfig config;
    Bench b(config);
    for (int connection = 0; connection < 3; ++connection) {
        auto c = b.client();
        ASSERT_EQ(c->Sync(), vErrNone) << "connection " << connection;
        ASSERT_EQ(c->GetDeviceID(), vErrNone);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(c->deviceId()[i], config.serialWords[i]) << connection;
        if (connection == 1) {
            ASSERT_EQ(c->SetEcho(false), vErrNone); // the next connection meets a loader without echo
            EXPECT_FALSE(c->echo());
        }
    }
    EXPECT_TRUE(b.isp.synchronised());
    int64_t part = 0;
    int major = 0, minor = 0;
    auto c = b.client();
    ASSERT_EQ(c->Sync(), vErrNone);
    EXPECT_FALSE(c->echo()) << "the echo setting is read from the loader";
    EXPECT_EQ(c->GetPartNumber(&part), vErrNone);
    EXPECT_EQ(part, 0x26013F37);
    EXPECT_EQ(c->GetBootLoaderVersion(&major, &minor), vErrNone);
    EXPECT_EQ(major * 10 + minor, 41);
}

TEST(NXPSerial, ErasesWritesAndCopiesEvenWhenTheFlashIsSlow) {
    // Erasing all 30 sectors takes about three seconds on the part; the client waits
    // for its reply as long as that takes.
    LpcIspConfig config;
    config.eraseMsPerSector = 100;
    config.copyMsPer256 = 1;
    Bench b(config);
    auto c = b.client();
    ASSERT_EQ(c->Sync(), vErrNone);
    EXPECT_EQ(c->Prepare(0, 29), vErrNone);
    EXPECT_EQ(c->Erase(0, 29), vErrParam) << "locked";
    ASSERT_EQ(c->Unlock(), vErrNone);
    ASSERT_EQ(c->Prepare(0, 29), vErrNone);
    ASSERT_EQ(c->Erase(0, 29), vErrNone);
    ASSERT_EQ(c->SetEcho(false), vErrNone);

    auto image = pattern(4096);
    ASSERT_EQ(c->Write(NXPSerialClass::WRITE_ADDRESS, 4096, image.data()), vErrNone);
    EXPECT_EQ(c->CopyToFlash(0x10000, NXPSerialClass::WRITE_ADDRESS, 4096), vErrParam) << "not prepared";
    ASSERT_EQ(c->Prepare(16, 16), vErrNone);
    ASSERT_EQ(c->CopyToFlash(0x10000, NXPSerialClass::WRITE_ADDRESS, 4096), vErrNone);
    auto flash = b.isp.flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin() + 0x10000));

    std::vector<uint8_t> back(4096);
    ASSERT_EQ(c->Read(0x10000, 4096, back.data()), vErrNone);
    EXPECT_EQ(back, image);

    EXPECT_EQ(c->ExecuteFrom(0), vErrNone);
    EXPECT_TRUE(tandril::test::waitUntil([&] { return b.isp.started(); }));
}

TEST(NXPSerial, WriteToleratesTwoResendsAndGivesUpAtTheThird) {
    auto image = pattern(2000); // three checksum rounds: 900, 900, 200 bytes
    for (int noisy : {2, 3}) {
        LpcIspConfig config;
        config.noisyChecksums = noisy;
        Bench b(config);
        auto c = b.client();
        ASSERT_EQ(c->Sync(), vErrNone);
        ASSERT_EQ(c->SetEcho(false), vErrNone);
        vErr err = c->Write(NXPSerialClass::WRITE_ADDRESS, static_cast<uint32_t>(image.size()), image.data());
        if (noisy == 2) {
            ASSERT_EQ(err, vErrNone);
            std::vector<uint8_t> back(image.size());
            ASSERT_EQ(c->Read(NXPSerialClass::WRITE_ADDRESS, static_cast<uint32_t>(back.size()), back.data()),
                      vErrNone);
            EXPECT_EQ(back, image);
        } else {
            EXPECT_EQ(err, vErrTimeout);
        }
    }
}
