// An I2C bus master of a module (command 8): writes and reads on the module's bus,
// used among other things to find the modules behind a routing module. Every packet
// carries the entity index after the command byte.
#pragma once

#include <cstdint>

#include "Tandril2/objects/Entity.h"

namespace Vornic::Tandril {

class I2CClass : public EntityClass {
public:
    // Bus speed codes 0..3.
    static constexpr uint8_t kMaxSpeed = 3;
    // Data bytes one request or reply can carry.
    static constexpr uint8_t kMaxTransfer = 23;

    void init(Module* module, uint8_t index);

    // Writes `length` bytes to the device at the 8-bit bus address (read/write bit
    // clear). vErrSize (more than 23 bytes), vErrParam (null data), vErrPacket (a
    // reply too short to carry a status), the bus error the module reports (a device
    // that does not answer among them), vErrTimeout, vErrConnection.
    vErr write(uint8_t address, uint8_t length, const uint8_t* data);
    // Reads `length` bytes into `buffer`. As write; vErrPacket also for a reply whose
    // length byte disagrees with the request or with the bytes the reply carries.
    vErr read(uint8_t address, uint8_t length, uint8_t* buffer);
    vErr setPullup(bool on);
    // vErrParam above kMaxSpeed; used by later reads and writes.
    vErr setSpeed(uint8_t code);
    vErr getSpeed(uint8_t* code) const;

private:
    // Sends (index, request...) and awaits the reply starting (8, index, matchTail...);
    // checks its status byte (data[4]).
    vErr transfer(const uint8_t* request, uint8_t requestLength, const uint8_t* matchTail, uint8_t tailLength,
                  uint8_t* reply, uint8_t* replyLength);

    uint8_t speed = 0;
};

} // namespace Vornic::Tandril
