// The virtual LPC boot loader must behave like the ROM, not like our client: its
// rules (prepare before erase or copy, unlock, alignment, checksums) are what make a
// recovery test worth anything, and a third-party flasher must work against it.
#include <gtest/gtest.h>

#include <fstream>

#include "TestSupport.h"
#include "bootrom/LpcIsp.h"
#include "bootrom/PtyPort.h"

using namespace tandril::sim;
using namespace tandril::test;

namespace {

constexpr uint32_t kRam = 0x10001000;

std::string uuLine(const std::vector<uint8_t>& d, size_t from, size_t n) {
    auto ch = [](uint32_t v) { return v == 0 ? '`' : static_cast<char>(0x20 + (v & 0x3F)); };
    std::string s(1, ch(static_cast<uint32_t>(n)));
    for (size_t i = from; i < from + n; i += 3) {
        uint32_t v = d[i] << 16 | (i + 1 < from + n ? d[i + 1] : 0) << 8 | (i + 2 < from + n ? d[i + 2] : 0);
        for (int sh = 18; sh >= 0; sh -= 6) s += ch((v >> sh) & 0x3F);
    }
    return s + "\r\n";
}

// A synchronised loader with echo off, as a client leaves it after its first steps.
struct Synced {
    LpcIsp isp;
    Synced() {
        isp.setSleep([](unsigned) {});
        isp.receive("?");
        isp.receive("Synchronized\r\n");
        isp.receive("14746\r\n");
        EXPECT_EQ(isp.receive("A 0\r\n"), "A 0\r\n0\r\n"); // echoed with the old setting
    }
    std::string cmd(const std::string& line) { return isp.receive(line + "\r\n"); }
    // Writes `data` to RAM at kRam the way a client does: 20 lines, then a checksum.
    void writeRam(const std::vector<uint8_t>& data) {
        ASSERT_EQ(cmd("W " + std::to_string(kRam) + " " + std::to_string(data.size())), "0\r\n");
        size_t pos = 0, mark = 0;
        int lines = 0;
        while (pos < data.size()) {
            size_t n = std::min<size_t>(45, data.size() - pos);
            ASSERT_EQ(isp.receive(uuLine(data, pos, n)), "");
            pos += n;
            if (++lines == 20 || pos == data.size()) {
                uint32_t sum = 0;
                for (size_t i = mark; i < pos; ++i) sum += data[i];
                ASSERT_EQ(cmd(std::to_string(sum)), "OK\r\n");
                mark = pos;
                lines = 0;
            }
        }
    }
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return v;
}

} // namespace

TEST(LpcIsp, SynchronisesLikeTheRom) {
    LpcIsp isp;
    EXPECT_EQ(isp.receive("x"), "") << "noise before auto-baud is ignored";
    EXPECT_EQ(isp.receive("?"), "Synchronized\r\n");
    EXPECT_EQ(isp.receive("Synchronized\r\n"), "Synchronized\r\nOK\r\n");
    EXPECT_EQ(isp.receive("14746\r\n"), "14746\r\nOK\r\n");
    EXPECT_TRUE(isp.synchronised());
    // Already synchronised: "?" is just a bad command line, answered with a code.
    EXPECT_EQ(isp.receive("?\r\n"), "?\r\n1\r\n");
}

TEST(LpcIsp, AnswersCommandsWithTheRomsCodes) {
    Synced s;
    const struct {
        const char* line;
        const char* reply;
    } cases[] = {
        {"", "1\r\n"},
        {"X 1", "1\r\n"},
        {"P 1", "12\r\n"},
        {"P a b", "12\r\n"},
        {"U 1234", "16\r\n"},
        {"E 0 0", "15\r\n"},
        {"P 5 4", "7\r\n"},
        {"P 0 30", "7\r\n"},
        {"W 268439553 4", "13\r\n"},
        {"W 268439552 6", "6\r\n"},
        {"W 0 4", "14\r\n"},
        {"W 268468224 8", "14\r\n"}, // past the end of the local RAM
        {"B 1200 1", "17\r\n"},
        {"B 115200 3", "18\r\n"},
        {"B 115200 1", "0\r\n"},
        {"G 0 T", "15\r\n"},
        {"J", "0\r\n637615927\r\n"},
        {"K", "0\r\n4\r\n1\r\n"},
        {"N", "0\r\n305419896\r\n2596069104\r\n253635900\r\n1264216440\r\n"},
        {"I 0 29", "0\r\n"},
        {"U 23130", "0\r\n"},
        {"C 256 268439552 2048", "6\r\n"},
        {"C 128 268439552 256", "3\r\n"},
        {"C 0 268439553 256", "2\r\n"},
        {"C 524288 268439552 256", "5\r\n"},
        {"C 0 0 256", "4\r\n"},
        {"C 0 268439552 256", "9\r\n"},
        {"E 0 1", "9\r\n"},
        {"G 0 X", "12\r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(s.cmd(c.line), c.reply) << "command [" << c.line << "]";
}

TEST(LpcIsp, FlashNeedsPrepareBeforeEachEraseAndCopy) {
    Synced s;
    auto data = pattern(4096, 3);
    s.writeRam(data);
    ASSERT_EQ(s.cmd("U 23130"), "0\r\n");
    const std::string ram = std::to_string(kRam);

    // A copy whose end reaches into an unprepared sector is refused whole.
    EXPECT_EQ(s.cmd("P 16 16"), "0\r\n");
    EXPECT_EQ(s.cmd("C " + std::to_string(0x17000) + " " + ram + " 4096"), "0\r\n") << "inside 16";
    EXPECT_EQ(s.cmd("C " + std::to_string(0x17000) + " " + ram + " 4096"), "9\r\n")
        << "a flash operation consumes the preparation";
    EXPECT_EQ(s.cmd("P 15 15"), "0\r\n");
    EXPECT_EQ(s.cmd("C " + std::to_string(0xF800) + " " + ram + " 4096"), "9\r\n")
        << "0xF800 + 4096 runs into sector 16";
    EXPECT_EQ(s.cmd("P 15 16"), "0\r\n");
    EXPECT_EQ(s.cmd("C " + std::to_string(0xF800) + " " + ram + " 4096"), "0\r\n");

    auto flash = s.isp.flash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 0x17000));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 0xF800));

    // Programming without erasing only clears bits.
    std::vector<uint8_t> ones(4096, 0xF0);
    s.writeRam(ones);
    EXPECT_EQ(s.cmd("P 16 16"), "0\r\n");
    EXPECT_EQ(s.cmd("C " + std::to_string(0x17000) + " " + ram + " 256"), "0\r\n");
    EXPECT_EQ(s.isp.flash()[0x17000], data[0] & 0xF0);

    // The blank check names the first programmed word of the sector: the tail of the
    // copy to 0xF800 that spilled into sector 16.
    auto f = s.isp.flash();
    uint32_t word = f[0x10000] | f[0x10001] << 8 | f[0x10002] << 16 | uint32_t(f[0x10003]) << 24;
    EXPECT_EQ(s.cmd("I 16 16"), "8\r\n65536\r\n" + std::to_string(word) + "\r\n");
    EXPECT_EQ(s.cmd("P 15 16"), "0\r\n");
    EXPECT_EQ(s.cmd("E 15 16"), "0\r\n");
    EXPECT_EQ(s.cmd("I 15 16"), "0\r\n");
}

TEST(LpcIsp, ChecksumMismatchAsksForTheLinesAgain) {
    Synced s;
    auto data = pattern(90, 9);
    ASSERT_EQ(s.cmd("W " + std::to_string(kRam) + " 92"), "0\r\n");
    data.resize(92, 0);
    s.isp.receive(uuLine(data, 0, 45));
    s.isp.receive(uuLine(data, 45, 45));
    s.isp.receive(uuLine(data, 90, 2));
    EXPECT_EQ(s.cmd("1"), "RESEND\r\n");
    uint32_t sum = 0;
    for (auto b : data) sum += b;
    s.isp.receive(uuLine(data, 0, 45));
    s.isp.receive(uuLine(data, 45, 45));
    s.isp.receive(uuLine(data, 90, 2));
    EXPECT_EQ(s.cmd(std::to_string(sum)), "OK\r\n");
    EXPECT_EQ(s.cmd("J"), "0\r\n637615927\r\n") << "back in command mode";
}

TEST(LpcIsp, ReadSendsLinesAndHonoursResend) {
    Synced s;
    auto data = pattern(48, 1);
    s.writeRam(data);
    std::string first = s.cmd("R " + std::to_string(kRam) + " 48");
    uint32_t sum = 0;
    for (auto b : data) sum += b;
    std::string lines = uuLine(data, 0, 45) + uuLine(data, 45, 3) + std::to_string(sum) + "\r\n";
    EXPECT_EQ(first, "0\r\n" + lines);
    EXPECT_EQ(s.cmd("RESEND"), lines);
    EXPECT_EQ(s.cmd("OK"), "");
    EXPECT_EQ(s.cmd("J"), "0\r\n637615927\r\n");
}

TEST(LpcIsp, GoStartsTheFirmwareAndTheRomFallsSilent) {
    Synced s;
    ASSERT_EQ(s.cmd("U 23130"), "0\r\n");
    EXPECT_EQ(s.cmd("G 0 T"), "0\r\n");
    EXPECT_TRUE(s.isp.started());
    EXPECT_EQ(s.isp.receive("?"), "");
    s.isp.reset();
    EXPECT_EQ(s.isp.receive("?"), "Synchronized\r\n");
}

TEST(LpcIsp, AThirdPartyFlasherProgramsItThroughAPseudoTerminal) {
    LpcIsp isp;
    isp.setSleep([](unsigned) {});
    PtyPort port([&](const std::string& in, const PtyPort::Send&) { return isp.receive(in); });

    TempDir dir;
    auto image = pattern(10000, 42); // sectors 0 to 2, the last one partly
    // The flasher writes the vector-table checksum into word 7 so that the first
    // eight words sum to zero; the expected flash carries it too.
    uint32_t sum = 0;
    for (int w = 0; w < 7; ++w)
        sum += image[w * 4] | image[w * 4 + 1] << 8 | image[w * 4 + 2] << 16 | uint32_t(image[w * 4 + 3]) << 24;
    auto expected = image;
    uint32_t check = 0u - sum;
    for (int b = 0; b < 4; ++b) expected[0x1C + b] = static_cast<uint8_t>(check >> (8 * b));
    std::ofstream(dir.path() / "image.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));

    auto r = runProcess({"/usr/bin/lpc21isp", "-bin", "-donotstart", (dir.path() / "image.bin").string(),
                         port.slavePath(), "115200", "14746"},
                        std::chrono::seconds(120));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    auto flash = isp.flash();
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash.begin()));
    EXPECT_EQ(flash[0x3000], 0xFF) << "nothing written past the image's last sector";
}
