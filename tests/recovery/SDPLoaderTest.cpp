// The i.MX serial download client: its packets, how it judges answers on each
// transport, and a loader transfer through a real pseudo-terminal to the virtual ROM.
#include <gtest/gtest.h>

#include <memory>

#include "TestSupport.h"
#include "bootrom/ImxSdpRom.h"
#include "bootrom/PtyPort.h"
#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"

using namespace tandril::sim;
using Bytes = std::vector<unsigned char>;

namespace {

// The HID transport's judging with scripted answers instead of a device.
class ScriptedHid : public HID_SDPLoader {
public:
    ScriptedHid(size_t answerSize, int* writes) : HID_SDPLoader(0x1FC9, 0x0130), size_(answerSize), writes_(writes) {}
    bool init() override { return true; }
    int writeData(const Bytes& packet) override {
        ++*writes_;
        sent.push_back(packet);
        return static_cast<int>(packet.size());
    }
    int readData(Bytes& out, unsigned timeout) override {
        if (timeout == 0) return 0; // a quiet device during the data phase
        out.assign(size_, 0);
        return static_cast<int>(size_);
    }
    std::vector<Bytes> sent;

private:
    size_t size_;
    int* writes_;
};

Bytes pattern(size_t n) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 31 + 7);
    return v;
}

// A loader image that starts with an image vector table, so the ROM will jump to it.
Bytes bootableImage(size_t n) {
    Bytes v = pattern(n);
    v[0] = 0xD1, v[1] = 0x00, v[2] = 0x20, v[3] = 0x41;
    return v;
}

struct SerialRom {
    ImxSdpRom rom;
    PtyPort port;
    explicit SerialRom(ImxSdpRomConfig config = {})
        : rom(config), port([this](const std::string& in, const PtyPort::Send&) { return rom.receiveSerial(in); }) {}
};

} // namespace

TEST(SDPLoaderPackets, Layouts) {
    Bytes p;
    SDPLoader::_createWriteFilePacket(p, 0x20000000, 4096);
    EXPECT_EQ(p, (Bytes{0x01, 0x04, 0x04, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0}));
    SDPLoader::_createStatusPacket(p);
    EXPECT_EQ(p, (Bytes{0x01, 0x05, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    SDPLoader::_createJumpPacket(p, 0x20000400);
    EXPECT_EQ(p, (Bytes{0x01, 0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    SDPLoader::_create4ByteReadRegisterPacket(p, 0x401F4410);
    EXPECT_EQ(p, (Bytes{0x01, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0}));
}

TEST(SDPLoaderPackets, AnswerSizesPerTransport) {
    HID_SDPLoader hid(0x1FC9, 0x0130);
    Serial_SDPLoader serial("/dev/null");
    const struct {
        SDPLoader_Interface* transport;
        size_t size;
        unsigned index;
        bool ok;
    } cases[] = {
        {&hid, 69, 0, false}, {&hid, 70, 0, true},    {&hid, 71, 0, false},   {&hid, 70, 15, true},
        {&hid, 70, 16, false}, {&serial, 7, 0, false}, {&serial, 8, 0, true},  {&serial, 68, 15, true},
        {&serial, 67, 15, false}, {&serial, 80, 16, false},
    };
    for (const auto& c : cases) {
        Bytes answer(c.size);
        for (size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<unsigned char>(i);
        unsigned value = 0;
        EXPECT_EQ(c.transport->getDataFromBuffer(answer, c.index, value), c.ok) << c.size << "/" << c.index;
    }
    // HID takes the data of report 4 (after 5 + 1 bytes), serial after the security word.
    Bytes hidAnswer(70, 0);
    hidAnswer[6] = 0x88, hidAnswer[7] = 0x77, hidAnswer[8] = 0x66, hidAnswer[9] = 0x55;
    unsigned v = 0;
    ASSERT_TRUE(hid.getDataFromBuffer(hidAnswer, 0, v));
    EXPECT_EQ(v, 0x55667788u);
    Bytes serialAnswer = {0, 0, 0, 0, 0x78, 0x56, 0x34, 0x12};
    v = 0x80000000; // ORed into what the caller had
    ASSERT_TRUE(serial.getDataFromBuffer(serialAnswer, 0, v));
    EXPECT_EQ(v, 0x92345678u);
}

TEST(SDPLoaderHid, WrongSizedAnswersAreRetriedFiveTimesThenFail) {
    for (size_t size : {69u, 71u}) {
        int writes = 0;
        SDPLoader loader;
        ASSERT_TRUE(loader.setLoader(new ScriptedHid(size, &writes)));
        auto second = std::make_unique<ScriptedHid>(70, &writes); // still ours when refused
        EXPECT_FALSE(loader.setLoader(second.get())) << "the first transport stays";
        EXPECT_EQ(loader.writeLoader(pattern(100), 0x20000000), SDPLoader::NoAnswer);
        EXPECT_EQ(writes, 5) << size;
    }
}

TEST(SDPLoaderHid, DataGoesInPacketsOf1024WithTheReportId) {
    int writes = 0;
    auto* hid = new ScriptedHid(70, &writes);
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(hid));
    loader.writeLoader(pattern(2500), 0x20000000); // scripted answers never read as complete
    ASSERT_EQ(hid->sent.size(), 5u);               // status, write-file, three data packets
    EXPECT_EQ(hid->sent[2].size(), 1025u);
    EXPECT_EQ(hid->sent[3].size(), 1025u);
    EXPECT_EQ(hid->sent[4].size(), 453u);
    EXPECT_EQ(hid->sent[4][0], 0x02);
}

TEST(SDPLoaderSerial, WritesALoaderReadsTheIdentifierAndJumps) {
    ImxSdpRomConfig config;
    config.uniqueId = 0xCAFEF00D12345678ull;
    SerialRom s(config);
    uint32_t jumpedTo = 0;
    s.rom.onJump([&](uint32_t a) { jumpedTo = a; });
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(s.port.slavePath().c_str())));
    ASSERT_EQ(loader.init(), SDPLoader::Ok);

    unsigned long id = 0;
    ASSERT_EQ(loader.getFingerprint(id), SDPLoader::Ok);
    EXPECT_EQ(id, 0xCAFEF00D12345678ul);

    auto image = bootableImage(2500);
    ASSERT_EQ(loader.writeLoader(image, 0x20000400), SDPLoader::Ok);
    ASSERT_EQ(s.rom.writes().size(), 1u);
    EXPECT_EQ(s.rom.writes()[0].first, 0x20000400u);
    EXPECT_EQ(s.rom.writes()[0].second, image);

    loader.startLoader(0x20000000); // no vector table there: the ROM stays
    EXPECT_FALSE(s.rom.jumped());
    loader.startLoader(0x20000400);
    EXPECT_TRUE(tandril::test::waitUntil([&] { return s.rom.jumped(); }));
    EXPECT_EQ(jumpedTo, 0x20000400u);
}

TEST(SDPLoaderSerial, AnUnopenablePortFailsInit) {
    SDPLoader none;
    EXPECT_EQ(none.init(), SDPLoader::NoTransport);
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader("/dev/no-such-port")));
    EXPECT_EQ(loader.init(), SDPLoader::TransportFailed);
    SDPLoader notATerminal;
    ASSERT_TRUE(notATerminal.setLoader(new Serial_SDPLoader("/dev/null")));
    EXPECT_EQ(notATerminal.init(), SDPLoader::TransportFailed);
}

TEST(SDPLoaderSerial, AQuietLineLetsTheRomDropWhatAnEarlierProbeLeft) {
    // The LPC probe's "?" and line end reach the ROM first. A ROM that drops a partial
    // frame after a silence recovers thanks to the quiet start; one that keeps it is
    // misaligned for good, which is why the quiet start is there.
    for (unsigned gap : {200u, 0u}) {
        ImxSdpRomConfig config;
        config.dropPartialFrameAfterMs = gap;
        SerialRom s(config);
        s.rom.receiveSerial("?\r\n");
        SDPLoader loader;
        ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(s.port.slavePath().c_str())));
        ASSERT_EQ(loader.init(), SDPLoader::Ok);
        int result = loader.writeLoader(pattern(64), 0x20000400);
        if (gap)
            EXPECT_EQ(result, SDPLoader::Ok);
        else
            EXPECT_NE(result, SDPLoader::Ok);
    }
}
