#include "Tandril2/objects/I2CClass.h"

#include <cstring>

#include "Tandril2/common/vDefs.h"
#include "Tandril2/common/vPacket.h"

namespace Vornic::Tandril {

namespace {
constexpr uint8_t kPullup = 1;
constexpr uint8_t kReadBit = 0x01;
constexpr uint8_t kStatusError = 0x80;
constexpr uint8_t kStatusAt = 4; // data[4] of a reply: status
constexpr uint8_t kCountAt = 3;  // data[3] of a read reply: bytes read
constexpr uint8_t kDataAt = 5;   // first byte read
} // namespace

void I2CClass::init(Module* module, uint8_t index) { EntityClass::init(module, cmdI2C, index); }

vErr I2CClass::transfer(const uint8_t* request, uint8_t requestLength, const uint8_t* matchTail, uint8_t tailLength,
                        uint8_t* reply, uint8_t* replyLength)
{
    uint8_t data[vPACKET_MAX_DATA];
    data[0] = getIndex();
    std::memcpy(data + 1, request, requestLength);
    if (vErr result = sendPacket(cmdI2C, static_cast<uint8_t>(requestLength + 1), data); result != vErrNone)
        return result;
    uint8_t match[vPACKET_MAX_DATA] = {cmdI2C, getIndex()};
    std::memcpy(match + 2, matchTail, tailLength);
    *replyLength = static_cast<uint8_t>(tailLength + 2);
    if (vErr result = receivePacket(match, replyLength, reply); result != vErrNone)
        return result;
    if (*replyLength <= kStatusAt)
        return vErrPacket;
    uint8_t status = reply[kStatusAt];
    if (status & kStatusError) {
        // A failure must not read as success, whatever code came with it.
        vErr code = static_cast<vErr>(status & ~kStatusError);
        return code == vErrNone ? vErrUnknown : code;
    }
    return vErrNone;
}

vErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data)
{
    if (length > kMaxTransfer)
        return vErrSize;
    if (data == nullptr && length > 0)
        return vErrParam;
    uint8_t request[3 + kMaxTransfer] = {address, length, speed};
    if (length > 0)
        std::memcpy(request + 3, data, length);
    const uint8_t match[] = {address, 0};
    uint8_t reply[vPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    return transfer(request, static_cast<uint8_t>(3 + length), match, sizeof match, reply, &replyLength);
}

vErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* buffer)
{
    if (length > kMaxTransfer)
        return vErrSize;
    if (buffer == nullptr && length > 0)
        return vErrParam;
    const uint8_t request[] = {static_cast<uint8_t>(address | kReadBit), length, speed};
    uint8_t reply[vPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    if (vErr result = transfer(request, sizeof request, request, 1, reply, &replyLength); result != vErrNone)
        return result;
    // Copy only what both the reply carries and the caller asked for.
    uint8_t count = reply[kCountAt];
    if (count != length || kDataAt + count > replyLength)
        return vErrPacket;
    if (count > 0)
        std::memcpy(buffer, reply + kDataAt, count);
    return vErrNone;
}

vErr I2CClass::setPullup(bool on)
{
    const uint8_t request[] = {kPullup, static_cast<uint8_t>(on ? 1 : 0)};
    uint8_t reply[vPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    return transfer(request, sizeof request, request, 1, reply, &replyLength);
}

vErr I2CClass::setSpeed(uint8_t code)
{
    if (code > kMaxSpeed)
        return vErrParam;
    speed = code;
    return vErrNone;
}

vErr I2CClass::getSpeed(uint8_t* code) const
{
    if (code == nullptr)
        return vErrParam;
    *code = speed;
    return vErrNone;
}

} // namespace Vornic::Tandril
