#include "ModuleCore.h"

#include <algorithm>
#include <cstring>

#include <nlohmann/json.hpp>

#include "Tandril2/common/vByteOrder.h"
#include "Tandril2/common/vDefs.h"

namespace tandril::sim {

namespace {

// Request bits of the option byte and flag bits of the specifier byte.
constexpr uint8_t kGet = 0x40, kSet = 0x80, kAck = 0xC0, kRequestBits = 0xC0;
constexpr uint8_t kOptionMask = 0x3F, kIndexMask = 0x1F, kErrorBit = 0x80;
constexpr uint8_t kContinue = 0x80;
constexpr size_t kBytesPayload = 24;

// Upgrade entity options (raw packets) and the UEI option of byte-transfer data.
enum : uint8_t { upInit = 0, upData = 1, upLoad = 2, upPrepare = 3, upSum = 4, upWrite = 5,
                 upReboot = 6, upStatus = 7, upDataUei = 10 };

// A partly received packet idle this long is dropped, so that a host that lost its
// place in the byte stream finds the module at a packet boundary again.
constexpr auto kInterByteLimit = std::chrono::milliseconds(500);
// The longest UEI bytes value taken (a firmware piece is at most 65535 bytes).
constexpr size_t kBytesLimit = 65536;

// The system entity's options: the value width in bytes (-1 for a bytes value, 0 for a
// call) and which requests it takes.
struct SystemOption {
    uint8_t option;
    int width;
    bool get, set, subindexed;
};
constexpr SystemOption kSystemOptions[] = {
    {1, 1, true, false, false},   // module address
    {2, 1, true, true, false},    // router
    {7, 4, true, false, false},   // version
    {8, 1, true, false, false},   // model
    {9, 4, true, false, false},   // serial number
    {11, 0, false, true, false},  // reset
    {20, 1, false, true, false},  // route to me
    {32, -1, true, true, false},  // name
    {39, 4, true, false, true},   // identifier words, subindexes 0..3
    {43, 4, true, false, false},  // build
    {45, 4, true, false, false},  // protocol features
};
constexpr size_t kNameLimit = 32;

const SystemOption* systemOption(uint8_t option) {
    for (const auto& row : kSystemOptions)
        if (row.option == option)
            return &row;
    return nullptr;
}

// Fires once, on the N-th event counted in `counter`.
bool fires(unsigned knob, unsigned counter) { return knob != 0 && counter == knob; }

} // namespace

// Carries a sub-module's answers over its router's link.
struct ModuleCore::SubLink final : ModuleOutput {
    SubLink(ModuleCore& router, const ModuleConfig& config) : router(router), core(config, true) {
        core.attach(this);
    }
    void send(const uint8_t* bytes, size_t length) override {
        router.emit(std::vector<uint8_t>(bytes, bytes + length));
    }
    void sendNoise(const uint8_t* bytes, size_t length) override { send(bytes, length); }
    // The router's own link stays up when a module behind it reboots.
    void dropLink(Clock::time_point) override {}

    ModuleCore& router;
    ModuleCore core;
};

ModuleCore::ModuleCore(const ModuleConfig& config, bool onRouterNetwork)
    : config_(config),
      onRouterNetwork_(onRouterNetwork),
      version_(config.version),
      build_(config.build),
      name_(config.name),
      routerAddress_(config.routerAddress) {
    assembly_.check = vPACKET_CHECK;
    vPacket_Reset(&assembly_);
    for (const auto& sub : config_.subModules)
        subs_.push_back(std::make_unique<SubLink>(*this, sub));
    // A module on a router's network is always reachable through it.
    linked_ = onRouterNetwork_;
    if (config_.ramLoader)
        loader_.load();
}

ModuleCore::~ModuleCore() = default;

ModuleCore* ModuleCore::subModule(uint8_t address) {
    for (auto& sub : subs_)
        if (sub->core.config().address == address)
            return &sub->core;
    return nullptr;
}

bool ModuleCore::linkUp(Clock::time_point now) {
    if (away(now))
        return false;
    linked_ = true;
    vPacket_Reset(&assembly_);
    bytesIn_.clear();
    heartbeatPending_ = false;
    nextHeartbeat_ = (config_.heartbeatMs && !onRouterNetwork_)
                         ? now + std::chrono::milliseconds(config_.heartbeatMs)
                         : Clock::time_point::max();
    return true;
}

void ModuleCore::linkDown() {
    linked_ = false;
    nextHeartbeat_ = Clock::time_point::max();
    heartbeatPending_ = false;
    delayed_.clear();
    bytesIn_.clear();
    vPacket_Reset(&assembly_);
}

void ModuleCore::goAway(unsigned ms, Clock::time_point now) {
    ++stats_.linkDrops;
    awayUntil_ = now + std::chrono::milliseconds(ms);
    linkDown();
    if (output_)
        output_->dropLink(awayUntil_);
}

void ModuleCore::receive(const uint8_t* bytes, size_t length, Clock::time_point now) {
    for (size_t i = 0; i < length; ++i) {
        if (assembly_.received && now - lastByte_ > kInterByteLimit) {
            stats_.bytesDiscarded += assembly_.received;
            vPacket_Reset(&assembly_);
        }
        lastByte_ = now;
        if (vPacket_AddByte(&assembly_, bytes[i]) != vErrNone) {
            // An address of 0 or a size above 28: no packet starts here. Dropping what
            // was taken lets the next byte start one.
            stats_.bytesDiscarded += assembly_.received;
            vPacket_Reset(&assembly_);
            continue;
        }
        if (vPacket_IsComplete(&assembly_)) {
            vPacket packet = assembly_;
            vPacket_Reset(&assembly_);
            receivePacket(packet, now);
            if (!linked_)
                return;  // the packet ended the link; the rest of the bytes are lost with it
        }
    }
}

void ModuleCore::receivePacket(const vPacket& p, Clock::time_point now) {
    if (onRouterNetwork_ && !linked_ && !away(now))
        linked_ = true;  // back on the router's network after a reboot
    if (!linked_ || away(now)) {
        stats_.bytesDiscarded += 2 + p.dataSize;
        return;
    }
    if (p.address == cmdMAGIC) {
        if (p.dataSize == 0) {
            ++stats_.magicAnswered;
            answer({config_.address, 0}, now);
        }
        return;
    }
    if (p.address == cmdFORCEROUTE) {
        if (p.dataSize == 1)
            stats_.forceRoute = p.data[0];
        return;
    }
    if (p.address == config_.address) {
        handle(p, now);
        return;
    }
    if (ModuleCore* sub = subModule(p.address)) {
        sub->receivePacket(p, now);
        return;
    }
    // Another module's packet (or one with an odd address): not for anybody here.
    stats_.bytesDiscarded += 2 + p.dataSize;
}

void ModuleCore::handle(const vPacket& p, Clock::time_point now) {
    if (p.dataSize == 0)
        return;
    switch (p.data[0]) {
    case cmdHEARTBEAT:
        handleHeartbeatAnswer(p);
        return;
    case cmdSYSTEM:
        handleSystem(p, now);
        return;
    case cmdI2C:
        handleI2C(p, now);
        return;
    case cmdDEBUG: {  // echoed as it came
        std::vector<uint8_t> echo{config_.address, p.dataSize};
        echo.insert(echo.end(), p.data, p.data + p.dataSize);
        answer(std::move(echo), now);
        return;
    }
    case cmdMODULE_INFO:
        handleModuleInfo(p, now);
        return;
    case cmdUPGRADE:
        handleUpgrade(p, now);
        return;
    default:
        // A UEI request to an entity this module does not have.
        if (p.dataSize >= 3) {
            uint8_t req = p.data[1] & kRequestBits;
            if (req == kGet || req == kSet)
                answerError(p.data[0], req == kGet ? (p.data[1] & kOptionMask) : (p.data[1] | kAck),
                            p.data[2] & kIndexMask, vErrInvalidEntity, now);
        }
        return;
    }
}

void ModuleCore::handleHeartbeatAnswer(const vPacket& p) {
    if (p.dataSize != 2 || !heartbeatPending_)
        return;
    heartbeatPending_ = false;
    if (p.data[1] == heartbeatStatus_ + 2)
        ++stats_.heartbeatsAnswered;
    else
        ++stats_.heartbeatsWrong;
}

// Collects one packet of a UEI bytes set. True when the value is complete (it is then
// in `whole`); a broken series is answered once, with an error, at its last packet.
bool ModuleCore::takeBytesPacket(const vPacket& p, Clock::time_point now, std::vector<uint8_t>& whole) {
    const uint8_t command = p.data[0], option = p.data[1] & kOptionMask, index = p.data[2] & kIndexMask;
    if (p.dataSize < 4) {
        answerError(command, option | kAck, index, vErrShortCommand, now);
        return false;
    }
    const uint8_t tail = p.data[p.dataSize - 1];
    const uint8_t sequence = tail & 0x7F;
    const bool more = tail & kContinue;
    const uint16_t key = static_cast<uint16_t>(command << 8 | option);
    auto it = bytesIn_.find(key);
    // Sequence 0 starts a series, unless it is the wrap of one that expects it next.
    if (sequence == 0 && (it == bytesIn_.end() || it->second.sequence != 0)) {
        bytesIn_[key] = BytesIn{command, option, 0, {}};
        it = bytesIn_.find(key);
    }
    vErr failure = vErrNone;
    if (it == bytesIn_.end() || it->second.sequence != sequence) {
        failure = vErrPacket;
    } else {
        auto& in = it->second;
        in.data.insert(in.data.end(), p.data + 3, p.data + p.dataSize - 1);
        if (in.data.size() > kBytesLimit)
            failure = vErrOverrun;
        in.sequence = static_cast<uint8_t>((sequence + 1) & 0x7F);
    }
    if (failure != vErrNone) {
        // Swallow the rest of the series; the host waits for one answer only.
        if (it != bytesIn_.end())
            it->second.sequence = 0xFF;
        if (!more) {
            bytesIn_.erase(key);
            answerError(command, option | kAck, index, failure, now);
        }
        return false;
    }
    if (more)
        return false;
    whole = std::move(it->second.data);
    bytesIn_.erase(it);
    return true;
}

void ModuleCore::handleSystem(const vPacket& p, Clock::time_point now) {
    if (p.dataSize < 3) {
        if (p.dataSize == 2 && (p.data[1] & kRequestBits))
            answerError(cmdSYSTEM, p.data[1] & kOptionMask, 0, vErrShortCommand, now);
        return;
    }
    const uint8_t req = p.data[1] & kRequestBits, option = p.data[1] & kOptionMask;
    const uint8_t index = p.data[2] & kIndexMask;
    if (req != kGet && req != kSet)
        return;  // values and acknowledgements travel from modules, not to them
    const bool isGet = req == kGet;
    const uint8_t replyOption = isGet ? option : (option | kAck);
    const SystemOption* row = systemOption(option);
    vErr refusal = vErrNone;
    if (!row)
        refusal = vErrInvalidOption;
    else if (index != 0)
        refusal = vErrIndexRange;
    else if (isGet ? !row->get : !row->set)
        refusal = vErrMode;
    if (refusal != vErrNone) {
        // A refused bytes set is answered once, at the end of its series.
        if (!isGet && row && row->width < 0 && p.dataSize >= 4 && (p.data[p.dataSize - 1] & kContinue))
            return;
        answerError(cmdSYSTEM, replyOption, index, refusal, now);
        return;
    }

    if (isGet) {
        uint32_t value = 0;
        switch (option) {
        case 1: value = config_.address; break;
        case 2: value = routerAddress_; break;
        case 7: value = version_; break;
        case 8: value = config_.model; break;
        case 9: value = config_.serial; break;
        case 32: answerBytes(cmdSYSTEM, option, index, name_, now); return;
        case 39:
            if (p.dataSize < 4)
                return answerError(cmdSYSTEM, option, index, vErrShortCommand, now);
            if (p.data[3] > 3)
                return answerError(cmdSYSTEM, option, index, vErrIndexRange, now);
            value = config_.identifiers[p.data[3]];
            break;
        case 43: value = build_; break;
        case 45: value = config_.features; break;
        }
        answerValue(cmdSYSTEM, option, index, row->width, value, now);
        return;
    }

    if (row->width < 0) {
        std::vector<uint8_t> whole;
        if (!takeBytesPacket(p, now, whole))
            return;
        if (whole.size() > kNameLimit)
            return answerError(cmdSYSTEM, replyOption, index, vErrSize, now);
        name_.assign(whole.begin(), whole.end());
        answerData(now, {cmdSYSTEM, replyOption, index});
        return;
    }
    if (p.dataSize != 3 + row->width)
        return answerError(cmdSYSTEM, replyOption, index, vErrSize, now);
    switch (option) {
    case 2: routerAddress_ = p.data[3]; break;
    case 20: stats_.routeToMe = p.data[3]; break;
    }
    answerData(now, {cmdSYSTEM, replyOption, index});
    if (option == 11)
        goAway(config_.rebootOfflineMs, now);  // reset: the same firmware starts again
}

void ModuleCore::handleI2C(const vPacket& p, Clock::time_point now) {
    // Layouts: write 8, index, address, length, speed, data; read 8, index, address|1,
    // length, speed; pull-up 8, index, 1, on. Answers carry a status byte in data[4].
    if (p.dataSize < 4)
        return;
    const uint8_t index = p.data[1], target = p.data[2];
    uint8_t status = 0;
    if (subs_.empty())
        status = kErrorBit | vErrInvalidEntity;  // no I2C master on a plain module
    else if (index != 0)
        status = kErrorBit | vErrIndexRange;
    if (p.dataSize == 4) {
        if (target != 1)
            return;
        answerData(now, {cmdI2C, index, 1, p.data[3], status});
        return;
    }
    const uint8_t length = p.data[3];
    const bool read = target & 1;
    if (status == 0) {
        if (length > 23 || (!read && p.dataSize != 5 + length) || (read && p.dataSize != 5))
            status = kErrorBit | vErrSize;
        else {
            ModuleCore* sub = subModule(static_cast<uint8_t>(target & ~1));
            if (!sub || sub->away(now))
                status = kErrorBit | vErrNotFound;  // nobody acknowledges that bus address
        }
    }
    if (!read || status != 0) {
        answerData(now, {cmdI2C, index, target, 0, status});
        return;
    }
    std::vector<uint8_t> reply{config_.address, static_cast<uint8_t>(5 + length), cmdI2C, index,
                               target, length, 0};
    reply.resize(reply.size() + length, 0);
    answer(std::move(reply), now);
}

vErr ModuleCore::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t bits) const {
    const bool wantGet = bits & kGet, wantSet = bits & kSet;
    if (command == cmdUPGRADE) {
        if (index != 0)
            return vErrIndexRange;
        if (option != upDataUei)
            return vErrInvalidOption;
        if (!config_.ueiData)
            return vErrUnimplemented;
        return wantGet ? vErrMode : vErrNone;
    }
    if (command != cmdSYSTEM)
        return vErrInvalidEntity;
    if (index != 0)
        return vErrIndexRange;
    const SystemOption* row = systemOption(option);
    if (!row)
        return vErrInvalidOption;
    if ((wantGet && !row->get) || (wantSet && !row->set))
        return vErrMode;
    return vErrNone;
}

void ModuleCore::handleModuleInfo(const vPacket& p, Clock::time_point now) {
    if (p.dataSize < 2)
        return;
    const uint8_t* d = p.data;
    switch (d[1]) {
    case 0xFF: {  // build number
        std::vector<uint8_t> reply{config_.address, 6, cmdMODULE_INFO, 0xFF, 0, 0, 0, 0};
        vByteOrder_PutBE32(&reply[4], build_);
        answer(std::move(reply), now);
        return;
    }
    case 1:  // does a UEI exist: command, option, index, request bits
        if (p.dataSize == 6)
            answerData(now, {cmdMODULE_INFO, 1, d[2], d[3], d[4],
                             static_cast<uint8_t>(hasUEI(d[2], d[3], d[4], d[5]))});
        return;
    case 4:  // how many entities of a class
        if (p.dataSize == 3) {
            uint8_t count = (d[2] == cmdSYSTEM || d[2] == cmdUPGRADE || (d[2] == cmdI2C && !subs_.empty()));
            answerData(now, {cmdMODULE_INFO, 4, d[2], count});
        }
        return;
    case 5:  // entities of a sub-class: none of the classes here has sub-classes
        if (p.dataSize == 4)
            answerData(now, {cmdMODULE_INFO, 5, d[2], d[3], 0});
        return;
    case 6:  // group of an entity: everything is in group 0
        if (p.dataSize == 4)
            answerData(now, {cmdMODULE_INFO, 6, d[2], d[3], 0});
        return;
    }
}

void ModuleCore::handleUpgrade(const vPacket& p, Clock::time_point now) {
    if (p.dataSize < 2)
        return;
    const uint8_t* d = p.data;
    if (d[1] & kRequestBits) {
        const uint8_t req = d[1] & kRequestBits, option = d[1] & kOptionMask;
        const uint8_t index = p.dataSize >= 3 ? (d[2] & kIndexMask) : 0;
        if (req == kAck)
            return;
        const uint8_t replyOption = req == kGet ? option : (option | kAck);
        if (p.dataSize < 3)
            return answerError(cmdUPGRADE, replyOption, index, vErrShortCommand, now);
        vErr refusal = hasUEI(cmdUPGRADE, option, index, req);
        if (refusal != vErrNone) {
            if (req == kSet && p.dataSize >= 4 && (d[p.dataSize - 1] & kContinue))
                return;  // answered once, at the last packet of the series
            return answerError(cmdUPGRADE, replyOption, index, refusal, now);
        }
        ++dataPackets_;
        ++ueiDataPackets_;
        std::vector<uint8_t> whole;
        bool complete = takeBytesPacket(p, now, whole);
        if (fires(config_.faults.disconnectAtData, dataPackets_))
            return goAway(config_.rebootOfflineMs, now);
        if (complete) {
            loader_.data(whole.data(), whole.size());
            answerData(now, {cmdUPGRADE, replyOption, index});
        }
        return;
    }

    switch (d[1]) {
    case upInit: {
        loader_.init();
        ++milestones_;
        std::vector<uint8_t> reply{config_.address, 6, cmdUPGRADE, upInit, 0, 0, 0, 0};
        vByteOrder_PutBE32(&reply[4], config_.loadBase);
        answer(std::move(reply), now);
        return;
    }
    case upPrepare:
        if (p.dataSize < 7)
            return answerData(now, {cmdUPGRADE, upStatus, 1});
        loader_.prepare(vByteOrder_GetBE32(d + 3), d[2]);
        answerData(now, {cmdUPGRADE, upStatus, 0, static_cast<uint8_t>(config_.blockSize >> 8),
                         static_cast<uint8_t>(config_.blockSize)});
        return;
    case upData: {
        const uint8_t n = static_cast<uint8_t>(p.dataSize - 2);
        ++dataPackets_;
        if (fires(config_.faults.disconnectAtData, dataPackets_))
            return goAway(config_.rebootOfflineMs, now);
        ++dataAnswers_;
        if (n > 0 && fires(config_.faults.wrongDataCount, dataAnswers_))
            return answerData(now, {cmdUPGRADE, upData, static_cast<uint8_t>(n - 1)});
        loader_.data(d + 2, n);
        answerData(now, {cmdUPGRADE, upData, n});
        return;
    }
    case upSum: {
        ++sums_;
        uint32_t sum = loader_.sum() + (fires(config_.faults.wrongSum, sums_) ? 1 : 0);
        std::vector<uint8_t> reply{config_.address, 7, cmdUPGRADE, upStatus, 0, 0, 0, 0, 0};
        vByteOrder_PutBE32(&reply[5], sum);
        answer(std::move(reply), now);
        return;
    }
    case upWrite: {
        ++writes_;
        bool ok;
        if (p.dataSize < 4 || fires(config_.faults.refuseWrite, writes_)) {
            loader_.discard();
            ok = false;
        } else {
            ok = loader_.write(vByteOrder_GetBE16(d + 2));
        }
        answerData(now, {cmdUPGRADE, upStatus, static_cast<uint8_t>(ok ? 0 : 1)});
        return;
    }
    case upLoad:
        loader_.load();
        ++milestones_;
        if (!config_.faults.noLoadEcho)
            answerData(now, {cmdUPGRADE, upLoad});
        if (config_.loadOfflineMs)
            goAway(config_.loadOfflineMs, now);  // the loader leaves the bus and comes back
        return;
    case upReboot:
        rebootIntoFirmware(now);
        return;
    }
}

void ModuleCore::rebootIntoFirmware(Clock::time_point now) {
    if (loader_.hasFirmware()) {
        version_ = config_.newVersion ? config_.newVersion : version_ + 1;
        build_ = config_.newBuild ? config_.newBuild : build_ + 1;
    }
    loader_.reboot();
    ++milestones_;
    goAway(config_.rebootOfflineMs, now);
}

void ModuleCore::answerData(Clock::time_point now, std::initializer_list<uint8_t> data) {
    std::vector<uint8_t> bytes{config_.address, static_cast<uint8_t>(data.size())};
    bytes.insert(bytes.end(), data.begin(), data.end());
    answer(std::move(bytes), now);
}

void ModuleCore::answerValue(uint8_t command, uint8_t option, uint8_t index, int width,
                             uint32_t value, Clock::time_point now) {
    std::vector<uint8_t> bytes{config_.address, static_cast<uint8_t>(3 + width), command, option, index};
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<uint8_t>(value >> shift));
    answer(std::move(bytes), now);
}

void ModuleCore::answerError(uint8_t command, uint8_t option, uint8_t index, vErr code,
                             Clock::time_point now) {
    answerData(now, {command, option, static_cast<uint8_t>(index | kErrorBit), static_cast<uint8_t>(code)});
}

void ModuleCore::answerBytes(uint8_t command, uint8_t option, uint8_t index, const std::string& value,
                             Clock::time_point now) {
    size_t offset = 0;
    uint8_t sequence = 0;
    do {
        const size_t n = std::min(kBytesPayload, value.size() - offset);
        offset += n;
        const bool more = offset < value.size();
        std::vector<uint8_t> bytes{config_.address, static_cast<uint8_t>(n + 4), command, option, index};
        bytes.insert(bytes.end(), value.begin() + (offset - n), value.begin() + offset);
        bytes.push_back(static_cast<uint8_t>((sequence & 0x7F) | (more ? kContinue : 0)));
        answer(std::move(bytes), now);
        sequence = static_cast<uint8_t>((sequence + 1) & 0x7F);
        if (!more)
            break;
    } while (true);
}

void ModuleCore::answer(std::vector<uint8_t> bytes, Clock::time_point now) {
    const unsigned n = ++stats_.answers;
    const Faults& f = config_.faults;
    if (fires(f.garbageBefore, n)) {
        // An odd first byte: a host counting packet bytes must notice that it lost its place.
        static const uint8_t kGarbage[] = {0x07, 0x13, 0xFF, 0x55, 0x01};
        if (output_)
            output_->sendNoise(kGarbage, sizeof kGarbage);
    }
    if (fires(f.dropAnswer, n))
        return;
    Clock::time_point when = now;
    if (fires(f.delayAnswer, n))
        when = now + std::chrono::milliseconds(f.delayMs);
    if (!delayed_.empty())
        when = std::max(when, delayed_.back().when);  // answers never overtake each other
    if (when > now)
        delayed_.push_back({when, std::move(bytes)});
    else
        emit(bytes);
}

void ModuleCore::emit(const std::vector<uint8_t>& bytes) {
    if (output_)
        output_->send(bytes.data(), bytes.size());
}

Clock::time_point ModuleCore::tick(Clock::time_point now) {
    while (!delayed_.empty() && delayed_.front().when <= now) {
        emit(delayed_.front().bytes);
        delayed_.pop_front();
    }
    if (linked_ && now >= nextHeartbeat_) {
        if (heartbeatPending_)
            ++stats_.heartbeatsMissed;
        const unsigned stop = config_.faults.heartbeatsStopAfter;
        if (stop && stats_.heartbeatsSent >= stop) {
            nextHeartbeat_ = Clock::time_point::max();
            heartbeatPending_ = false;
        } else {
            heartbeatStatus_ ^= 1;
            ++stats_.heartbeatsSent;
            heartbeatPending_ = true;
            emit({config_.address, 2, cmdHEARTBEAT, heartbeatStatus_});
            nextHeartbeat_ = now + std::chrono::milliseconds(config_.heartbeatMs);
        }
    }
    Clock::time_point next = nextHeartbeat_;
    if (away(now))
        next = std::min(next, awayUntil_);  // the transport brings the link back then
    if (!delayed_.empty())
        next = std::min(next, delayed_.front().when);
    for (auto& sub : subs_)
        next = std::min(next, sub->core.tick(now));
    return next;
}

nlohmann::json ModuleCore::state() const {
    nlohmann::json subs = nlohmann::json::array();
    for (const auto& sub : subs_)
        subs.push_back(sub->core.state());
    return {{"serial", config_.serial},
            {"address", config_.address},
            {"model", config_.model},
            {"version", version_},
            {"build", build_},
            {"name", name_},
            {"router", routerAddress_},
            {"routeToMe", stats_.routeToMe},
            {"forceRoute", stats_.forceRoute},
            {"heartbeats",
             {{"sent", stats_.heartbeatsSent},
              {"answered", stats_.heartbeatsAnswered},
              {"wrong", stats_.heartbeatsWrong},
              {"missed", stats_.heartbeatsMissed}}},
            {"linkDrops", stats_.linkDrops},
            {"upgrade", loader_.json()},
            {"dataPackets", {{"plain", dataPackets_ - ueiDataPackets_}, {"uei", ueiDataPackets_}}},
            {"subModules", subs}};
}

std::string ModuleCore::stateJson() const { return state().dump(2); }

} // namespace tandril::sim
