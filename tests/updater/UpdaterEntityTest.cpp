// The upgrade entity against a module whose answers each test scripts: piece sizes,
// sums, resends, short and missing answers, and the bounds on waits that a module
// could otherwise stretch forever.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <mutex>
#include <numeric>

#include "../Tandril2/objects/ScriptedModule.h"
#include "Tandril2/common/vDefs.h"
#include "Tandril2/objects/Module.h"
#include "UpdaterHarness.h"
#include "app/Log.h"
#include "updater/UpdaterEntity.h"
#include "updater/UpdaterSupport.h"

namespace tandril::test {
namespace {

constexpr uint8_t kAddress = 2;
constexpr uint8_t DATA = UpdaterEntity::val_UPGRADE_DATA;
constexpr uint8_t SUM = UpdaterEntity::val_UPGRADE_SUM;
constexpr uint8_t WRITE = UpdaterEntity::val_UPGRADE_WRITE;
constexpr uint8_t STATUS = UpdaterEntity::val_UPGRADE_STATUS;

// The scripted module of the link tests, driven by a script that takes a request's
// data bytes and returns the answers' data bytes; it keeps the requests to the module.
class ScriptedLoader {
public:
    using Script = std::function<std::vector<Bytes>(const Bytes& request)>;

    explicit ScriptedLoader(Script script)
        : script_(std::move(script)), module_([this](const vPacket& p) { return answer(p); }) {}

    linkSpec spec() const { return module_.spec(); }
    std::vector<Bytes> requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    Bytes answer(const vPacket& p) {
        const Bytes data(p.data, p.data + p.dataSize);
        if (p.address != kAddress || data.empty() || data[0] == cmdHEARTBEAT)
            return {};
        std::vector<Bytes> answers;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(data);
            answers = script_(data);
        }
        Bytes serialised;
        for (const Bytes& a : answers) {
            const Bytes one = ScriptedModule::packet(kAddress, a);
            serialised.insert(serialised.end(), one.begin(), one.end());
        }
        return serialised;
    }

    Script script_;
    std::mutex mutex_;
    std::vector<Bytes> requests_;
    ScriptedModule module_; // last: its thread stops before the script goes
};

Bytes BigEndian32(uint32_t value) {
    return {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
}

// A loader that takes every DATA piece whole and reports the true sum, with knobs
// for the ways a module answers wrongly.
struct Loader {
    int shortCountFor = -1;     // this DATA request (from 0) is answered one byte short
    bool refuseAll = false;     // every DATA request is answered with a count of 0
    uint32_t sumOffset = 0;     // added to the reported sum
    Bytes writeAnswer = {95, STATUS, 0};
    uint32_t sum = 0;
    int dataSeen = 0;

    std::vector<Bytes> operator()(const Bytes& r) {
        if (r[0] != cmdUPGRADE || r.size() < 2)
            return {};
        switch (r[1]) {
        case DATA: {
            const uint8_t n = uint8_t(r.size() - 2);
            const int index = dataSeen++;
            if (refuseAll)
                return {{95, DATA, 0}};
            if (index == shortCountFor)
                return {{95, DATA, uint8_t(n - 1)}};
            sum = std::accumulate(r.begin() + 2, r.end(), sum);
            return {{95, DATA, n}};
        }
        case SUM: {
            Bytes answer = {95, STATUS, 0};
            const Bytes word = BigEndian32(sum + sumOffset);
            answer.insert(answer.end(), word.begin(), word.end());
            sum = 0;
            return {answer};
        }
        case WRITE:
            return {writeAnswer};
        default:
            return {};
        }
    }
};

// The diagnostic lines written during a test. No package is active unless a test
// activates one, so the lines found are those written without -X.
class CapturedLog {
public:
    CapturedLog() : file_(std::tmpfile()) { Log::SetOutput(file_); }
    ~CapturedLog() {
        Log::DeactivatePackage(DEBUG_Network_FIRM);
        Log::SetOutput(nullptr);
        std::fclose(file_);
    }
    std::string text() {
        std::fflush(file_);
        std::rewind(file_);
        std::string text;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0)
            text.append(buffer, n);
        return text;
    }

private:
    FILE* file_;
};

class UpdaterEntityTest : public ::testing::Test {
protected:
    // Connects a module object to `module` and binds the entity to it.
    void bind(ScriptedLoader& module, bool viaRouter = false) {
        ASSERT_EQ(_disableEther(target, display), vErrNone);
        const linkSpec spec = module.spec();
        ASSERT_EQ(target.connectFromSpec(&spec), vErrNone);
        entity.init(&target, 0, true, viaRouter);
    }
    // A block as a BIRD file holds it: load address, then the image.
    static Bytes Block(size_t imageBytes) {
        Bytes block = BigEndian32(0x00004000);
        const Bytes image = birdtool::patternBytes(imageBytes, 5);
        block.insert(block.end(), image.begin(), image.end());
        return block;
    }
    // The image bytes of the DATA requests, and their sizes in order.
    static std::vector<size_t> DataSizes(const std::vector<Bytes>& requests) {
        std::vector<size_t> sizes;
        for (const Bytes& r : requests)
            if (r[1] == DATA)
                sizes.push_back(r.size() - 2);
        return sizes;
    }

    CapturedLog log;
    RecordingDisplay display;
    Vornic::Tandril::Module target{kAddress, false, 0};
    UpdaterEntity entity;
};

TEST_F(UpdaterEntityTest, PlainBlockGoesIn26BytePiecesAndAShortCountIsResentOnce) {
    Log::ActivatePackage(DEBUG_Network_FIRM);
    Loader loader;
    loader.shortCountFor = 0;
    ScriptedLoader module(std::ref(loader));
    bind(module);
    const Bytes block = Block(60);
    ASSERT_EQ(entity.LoaderTransfer(block.data(), unsigned(block.size())), vErrNone) << log.text();

    const std::vector<Bytes> requests = module.requests();
    EXPECT_EQ(DataSizes(requests), (std::vector<size_t>{26, 26, 26, 8}));
    EXPECT_EQ(requests[0], requests[1]) << "the refused piece goes again unchanged";
    EXPECT_EQ(requests.back(), (Bytes{95, SUM}));
    EXPECT_TRUE(log.text().find("NETWORK: Invalid upgrade transfer response [25 != 26].") != std::string::npos);
}

// Wrong and missing answers during a block transfer, and what they give.
TEST_F(UpdaterEntityTest, BlockTransferFailures) {
    struct Case {
        const char* name;
        std::function<void(Loader&)> setUp;
        std::function<std::vector<Bytes>(Loader&, const Bytes&)> script; // null: the loader
        vErr result;
        const char* logLine; // written even without -X
    } cases[] = {
        {"sum one higher", [](Loader& l) { l.sumOffset = 1; }, nullptr, vErrInvalidOption,
         "NETWORK: Unable to validate transfer [00] ["},
        {"sum answer without the sum", nullptr,
         [](Loader& l, const Bytes& r) {
             return r[1] == SUM ? std::vector<Bytes>{{95, STATUS, 0}} : l(r);
         },
         vErrInvalidOption, "NETWORK: Unable to validate transfer"},
        {"sum status not 0", nullptr,
         [](Loader& l, const Bytes& r) {
             return r[1] == SUM ? std::vector<Bytes>{{95, STATUS, 3, 0, 0, 0, 0}} : l(r);
         },
         vErrInvalidOption, "NETWORK: Unable to validate transfer [03]"},
        {"no sum answer", nullptr,
         [](Loader& l, const Bytes& r) { return r[1] == SUM ? std::vector<Bytes>{} : l(r); }, vErrPacket,
         nullptr},
        {"no data answer", nullptr, [](Loader&, const Bytes&) { return std::vector<Bytes>{}; }, vErrPacket,
         nullptr},
        {"every piece refused", [](Loader& l) { l.refuseAll = true; }, nullptr, vErrTimeout,
         "NETWORK: Loader refused a piece of 26 bytes 9 times in a row."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Loader loader;
        if (c.setUp)
            c.setUp(loader);
        ScriptedLoader module([&](const Bytes& r) { return c.script ? c.script(loader, r) : loader(r); });
        Vornic::Tandril::Module fresh{kAddress, false, 0};
        ASSERT_EQ(_disableEther(fresh, display), vErrNone);
        const linkSpec spec = module.spec();
        ASSERT_EQ(fresh.connectFromSpec(&spec), vErrNone);
        UpdaterEntity e;
        e.init(&fresh, 0, true, false);
        const Bytes block = Block(60);
        EXPECT_EQ(e.LoaderTransfer(block.data(), unsigned(block.size())), c.result);
        if (c.logLine != nullptr) {
            EXPECT_TRUE(log.text().find(c.logLine) != std::string::npos) << log.text();
        }
        if (std::string(c.name) == "every piece refused") {
            EXPECT_EQ(DataSizes(module.requests()).size(), UpdaterEntity::kMaxPieceResends + 1);
        }
    }
}

TEST_F(UpdaterEntityTest, FirmwareGoesInPiecesOfTheLoaderBlockSizeEachCheckedAndWritten) {
    Loader loader;
    ScriptedLoader module(std::ref(loader));
    bind(module);
    const Bytes block = Block(1000);
    ASSERT_EQ(entity.FirmwareTransfer(block.data(), unsigned(block.size()), 256, display), vErrNone)
        << log.text();

    std::vector<Bytes> writes;
    size_t piece = 0;
    std::vector<size_t> pieces;
    for (const Bytes& r : module.requests()) {
        if (r[1] == DATA)
            piece += r.size() - 2;
        if (r[1] == SUM) {
            pieces.push_back(piece);
            piece = 0;
        }
        if (r[1] == WRITE)
            writes.push_back(r);
    }
    EXPECT_EQ(pieces, (std::vector<size_t>{256, 256, 256, 232}));
    EXPECT_EQ(writes, (std::vector<Bytes>{{95, WRITE, 1, 0}, {95, WRITE, 1, 0}, {95, WRITE, 1, 0}, {95, WRITE, 0, 232}}));
    EXPECT_DOUBLE_EQ(display.lastFraction, 1.0);
}

TEST_F(UpdaterEntityTest, BlockSizeZeroIsRefusedBeforeAnythingIsSent) {
    Loader loader;
    ScriptedLoader module(std::ref(loader));
    bind(module);
    const Bytes block = Block(100);
    EXPECT_EQ(entity.FirmwareTransfer(block.data(), unsigned(block.size()), 0, display), vErrInvalidOption);
    EXPECT_TRUE(module.requests().empty());
    EXPECT_TRUE(log.text().find("NETWORK: Loader asked for pieces of 0 bytes") != std::string::npos);
}

// Answers to INIT, PREPARE and WRITE, by their layouts.
TEST_F(UpdaterEntityTest, ShortRefusedAndMissingAnswers) {
    Bytes init, prepare, write;
    bool answerAll = true;
    ScriptedLoader module([&](const Bytes& r) -> std::vector<Bytes> {
        if (!answerAll)
            return {};
        switch (r[1]) {
        case UpdaterEntity::val_UPGRADE_INIT: return {init};
        case UpdaterEntity::val_UPGRADE_PREPARE: return {prepare};
        case WRITE: return {write};
        default: return {};
        }
    });
    bind(module);
    const Bytes block = Block(8);
    unsigned short blockSize = 0;

    init = {95, 0, 0x10, 0, 0, 0};
    EXPECT_EQ(entity.LoaderInit(), vErrNone);
    init = {95, 0, 0x10};
    EXPECT_EQ(entity.LoaderInit(), vErrPacket);

    prepare = {95, STATUS, 0, 0x02, 0x00};
    EXPECT_EQ(entity.TransferPrepare(block.data(), unsigned(block.size()), 3, blockSize), vErrNone);
    EXPECT_EQ(blockSize, 512);
    EXPECT_EQ(module.requests().back(), (Bytes{95, UpdaterEntity::val_UPGRADE_PREPARE, 3, 0, 0, 0x40, 0}));
    prepare = {95, STATUS, 1, 0x02, 0x00};
    EXPECT_EQ(entity.TransferPrepare(block.data(), unsigned(block.size()), 3, blockSize), vErrInvalidOption);
    prepare = {95, STATUS, 0};
    EXPECT_EQ(entity.TransferPrepare(block.data(), unsigned(block.size()), 3, blockSize), vErrInvalidOption);

    write = {95, STATUS, 0};
    EXPECT_EQ(entity.FirmwareWrite(300), vErrNone);
    EXPECT_EQ(module.requests().back(), (Bytes{95, WRITE, 1, 44}));
    write = {95, STATUS};
    EXPECT_EQ(entity.FirmwareWrite(300), vErrInvalidOption);
    write = {95, STATUS, 1};
    EXPECT_EQ(entity.FirmwareWrite(300), vErrInvalidOption);

    answerAll = false;
    EXPECT_EQ(entity.LoaderInit(), vErrTimeout);
    EXPECT_EQ(entity.TransferPrepare(block.data(), unsigned(block.size()), 3, blockSize), vErrTimeout);
    EXPECT_EQ(entity.FirmwareWrite(300), vErrInvalidOption);
}

TEST_F(UpdaterEntityTest, ThroughARouterRebootTakesOneRoundAndALinkThatStaysUpIsAnError) {
    ScriptedLoader stubborn([](const Bytes&) { return std::vector<Bytes>{}; });
    bind(stubborn, true);
    EXPECT_EQ(entity.LoaderReboot(display), vErrNone);
    EXPECT_EQ(display.spinnerFrames, 1u) << "the router's link stays up; one round is all";

    // A module whose link drops on REBOOT is the virtual module of the command tests.
    display.spinnerFrames = 0;
    UpdaterEntity direct;
    direct.init(&target, 0, true, false);
    EXPECT_EQ(direct.LoaderReboot(display), vErrTimeout);
    EXPECT_EQ(display.spinnerFrames, UpdaterEntity::kRebootRounds);
    EXPECT_TRUE(log.text().find("NETWORK: Link still up 10000 ms after REBOOT") != std::string::npos)
        << log.text();
}

} // namespace
} // namespace tandril::test
