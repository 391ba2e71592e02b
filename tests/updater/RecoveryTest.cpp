// Recovery through the LPC boot loader, end to end: fingerprint, the server's answer,
// download, decoding with the fingerprint, and the flash the virtual part ends with.
// The i.MX failure paths that need no USB are here too.
#include <gtest/gtest.h>

#include <algorithm>

#include "UpdaterHarness.h"
#include "bootrom/LpcIsp.h"
#include "bootrom/PtyPort.h"
#include "updater/Updater.h"

using namespace tandril;
using namespace tandril::test;
using birdtool::Bytes;

namespace {

constexpr uint32_t kSerial = 0x0051A2B3;
constexpr uint32_t kBuild = 1300;

// A virtual LPC part on a pseudo-terminal, a recovery image for it in a catalogue
// served by a virtual update server, and an Updater over a fresh store.
struct RecoveryBench {
    sim::LpcIsp isp;
    sim::PtyPort port;
    TempDir catalogue;
    StoreDir store;
    std::unique_ptr<sim::UpdateServer> server;
    RecordingDisplay display;
    std::unique_ptr<Updater> updater;

    RecoveryBench()
        : port([this](const std::string& in, const sim::PtyPort::Send& send) { return isp.receive(in, send); }) {
        isp.setSleep([](unsigned) {});
    }

    birdtool::Fingerprint fingerprint() const {
        sim::LpcIspConfig c;
        return {c.serialWords[0], c.serialWords[1], c.serialWords[2], c.serialWords[3]};
    }

    // A recovery file: one image at `address`, then the block that closes an LPC file.
    Bytes recoveryFile(uint32_t address, const Bytes& image, bool withSerialOffsets = false) const {
        birdtool::BirdWriter writer;
        writer.firmware(address, image).firmware(0, Bytes(4, 0));
        writer.info(std::to_string(kBuild), "3.0.0", birdtool::serialText(kSerial), "TD-Motor2");
        if (withSerialOffsets) writer.serialOffsets(address + 0x40, 0);
        writer.scramble(fingerprint());
        return writer.file();
    }

    // serverBuild 0: the fingerprint entry names no build.
    void serve(const Bytes& file, uint32_t serverBuild = kBuild) {
        birdtool::writeBytes((catalogue.path() / "recovery.bird").string(), file);
        char words[64];
        auto fp = fingerprint();
        std::snprintf(words, sizeof words, "%08X %08X %08X %08X", fp[0], fp[1], fp[2], fp[3]);
        std::ofstream(catalogue.path() / sim::Catalogue::kFileName)
            << "[device " << birdtool::serialText(kSerial) << "]\nfirmware = TDX-LPC\nbuild = " << kBuild
            << " 3.0.0 recovery.bird\n[fingerprint " << words << "]\nserial = " << birdtool::serialText(kSerial)
            << "\n"
            << (serverBuild ? "build = " + std::to_string(serverBuild) + "\n" : "");
        server = std::make_unique<sim::UpdateServer>(sim::Catalogue::Load(catalogue.path()));
        updater = std::make_unique<Updater>(server->url().c_str(), store.root().c_str(), display);
    }

    bool recover(const std::string& birdFile = "", uint32_t serial = 0) {
        return updater->Recover_Firmware(port.slavePath(), 0, 115200, serial, birdFile, false);
    }
};

Bytes flashAt(const sim::LpcIsp& isp, uint32_t address, size_t n) {
    auto flash = isp.flash();
    return Bytes(flash.begin() + address, flash.begin() + address + static_cast<long>(n));
}

} // namespace

TEST(LpcRecovery, WritesTheDecodedImageInChunksThroughRam) {
    RecoveryBench b;
    const Bytes image = birdtool::patternBytes(10000, 5);
    b.serve(b.recoveryFile(0x10000, image));
    ASSERT_TRUE(b.recover()) << b.display.all();

    EXPECT_EQ(b.updater->chipFamily, Updater::kChipLPC);
    EXPECT_EQ(flashAt(b.isp, 0x10000, image.size()), image) << "decoded with the fingerprint, byte for byte";
    EXPECT_TRUE(b.isp.started());
    EXPECT_EQ(b.isp.startAddress(), 0u);
    EXPECT_TRUE(b.display.shows("Transferring firmware block 1 of 1, 10000 bytes"));
    EXPECT_TRUE(b.display.shows("Transferred 1 blocks, 10000 total bytes"));

    // 4096, 4096 and 1808 bytes, each copied as 4096 into sector 16 after preparing it.
    std::vector<std::string> flashCommands;
    for (const auto& c : b.isp.commands())
        if (c[0] == 'W' || c[0] == 'P' || c[0] == 'C' || c[0] == 'E') flashCommands.push_back(c);
    EXPECT_EQ(flashCommands, (std::vector<std::string>{
                                 "P 0 29", "E 0 29",                                                 //
                                 "W 268439552 4096", "P 16 16", "C 65536 268439552 4096",            //
                                 "W 268439552 4096", "P 16 16", "C 69632 268439552 4096",            //
                                 "W 268439552 1808", "P 16 16", "C 73728 268439552 4096"}));
    // The store keeps the recovery build it downloaded.
    EXPECT_TRUE(std::filesystem::exists(b.store.device(kSerial) / (std::to_string(kBuild) + ".bird")));
}

TEST(LpcRecovery, PreparesEverySectorTheCopyReaches) {
    // The second chunk is 600 bytes at 0xFD00, inside sector 15, but its copy moves
    // 1024 bytes and so reaches into sector 16, which must be prepared too.
    RecoveryBench b;
    const Bytes image = birdtool::patternBytes(4096 + 600, 9);
    b.serve(b.recoveryFile(0xED00, image));
    ASSERT_TRUE(b.recover()) << b.display.all();
    EXPECT_EQ(flashAt(b.isp, 0xED00, image.size()), image);
    auto commands = b.isp.commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "P 15 16"), commands.end()) << ::testing::PrintToString(commands);
}

TEST(LpcRecovery, AnImageNotAMultipleOfFourFailsAtItsLastChunk) {
    RecoveryBench b;
    const Bytes image = birdtool::patternBytes(4096 + 10, 2);
    b.serve(b.recoveryFile(0x10000, image));
    EXPECT_FALSE(b.recover());
    EXPECT_EQ(flashAt(b.isp, 0x10000, 4096), Bytes(image.begin(), image.begin() + 4096))
        << "the chunks before it were written";
    EXPECT_FALSE(b.isp.started());
}

TEST(LpcRecovery, ServerNamingNoBuildInstallsTheLatestDownload) {
    RecoveryBench b;
    const Bytes image = birdtool::patternBytes(2048, 4);
    b.serve(b.recoveryFile(0x20000, image), 0);
    ASSERT_TRUE(b.recover()) << b.display.all();
    EXPECT_EQ(flashAt(b.isp, 0x20000, image.size()), image);
}

TEST(LpcRecovery, RefusesAFileWithSerialNumberLocations) {
    RecoveryBench b;
    const Bytes file = b.recoveryFile(0x10000, birdtool::patternBytes(1024, 1), true);
    b.serve(file);
    const auto path = (b.catalogue.path() / "recovery.bird").string();
    EXPECT_FALSE(b.recover(path, kSerial));
    EXPECT_TRUE(b.display.shows("Updater does not support offline recovery")) << b.display.all();
    EXPECT_EQ(b.server->requests().size(), 0u) << "a given file means no server question";
    EXPECT_EQ(flashAt(b.isp, 0x10000, 4), Bytes(4, 0xFF)) << "nothing written";
}

TEST(Recovery, ASilentPortFallsBackToIMXAndFails) {
    // Nothing answers the LPC probe; the i.MX path needs a loader file it cannot get.
    PtyPair silent;
    StoreDir store;
    RecordingDisplay display;
    Updater updater(kUnreachableUrl, store.root().c_str(), display);
    EXPECT_FALSE(updater.Recover_Firmware(silent.slaveName(), 0, 115200, 0, "", false));
    EXPECT_EQ(updater.chipFamily, Updater::kChipIMX);
    EXPECT_TRUE(display.shows("Could not get Device Identifier")) << display.all();

    RecordingDisplay second;
    Updater withFile(kUnreachableUrl, store.root().c_str(), second);
    EXPECT_FALSE(withFile.Recover_Firmware(silent.slaveName(), 0, 115200, 0, "/tmp/any.bird", false));
    EXPECT_TRUE(second.shows("Add serial number or remove the bird filename to use a default recovery image."))
        << second.all();
}

TEST(Fingerprint, ReadTwiceWithoutResetThroughTheProgram) {
    RecoveryBench b;
    for (int run = 0; run < 2; ++run) {
        TempDir home;
        auto r = runProcess({buildPath("src/updater"), "-i", home.str(), "-N", "-s", b.port.slavePath()},
                            std::chrono::seconds(60));
        EXPECT_EQ(r.status, 0) << "run " << run << ": " << r.out << r.err;
        EXPECT_NE(r.out.find("[ 12345678 9ABCDEF0 0F1E2D3C 4B5A6978 ]"), std::string::npos) << r.out << r.err;
    }
    for (const auto& c : b.isp.commands()) EXPECT_TRUE(c[0] == 'N' || c.empty() || c == "?") << c;
    EXPECT_EQ(b.isp.flash(), std::vector<uint8_t>(sim::LpcIsp::kFlashSize, 0xFF)) << "nothing written";
}

TEST(LpcRecovery, ThroughTheProgram) {
    RecoveryBench b;
    const Bytes image = birdtool::patternBytes(6000, 8);
    b.serve(b.recoveryFile(0x8000, image));
    TempDir home;
    auto r = runProcess({buildPath("src/updater"), "-i", home.str(), "-u", b.server->url(), "-U", "-t", "RECOVER",
                         "-s", b.port.slavePath()},
                        std::chrono::seconds(120));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Rebooting Device"), std::string::npos) << r.out << r.err;
    EXPECT_EQ(flashAt(b.isp, 0x8000, image.size()), image);
    EXPECT_TRUE(b.isp.started());
}
