// The base of every entity object: one entity (command byte = class, index = which
// one) of one Module, whose options are read, written and triggered with UEI
// commands on the module's Link. Every operation returns vErrResource while the
// entity is not bound to a module with a link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Tandril2/common/vError.h"
#include "Tandril2/common/vUEI.h"

namespace Vornic::Tandril {

class Module;

class EntityClass {
public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    // Binds the entity; the module is not owned and must outlive the entity's use.
    void init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;

    // Raw command packets to the module's address (see Link::sendPacket and
    // Link::receivePacket).
    vErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    vErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer);

    // A get: sends the request (with the record's byte as subindex when the record is
    // of ueiTypeByte) and takes the reply into the record. The module's error code
    // when it answers with an error; vErrTimeout, vErrConnection, vErrPacket, vErrParam.
    vErr getUEI(uint8_t option, uei* record);
    // A set of the record's value (a bytes value goes as its series of packets), then
    // the acknowledgement. Codes as for getUEI.
    vErr setUEI(uint8_t option, uei* record);
    vErr setUEI(uint8_t option, uint8_t subindex, uei* record);
    // A set without a value.
    vErr callUEI(uint8_t option);

    vErr setUEI8(uint8_t option, uint8_t value);
    vErr setUEI16(uint8_t option, uint16_t value);
    vErr setUEI32(uint8_t option, uint32_t value);
    vErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    vErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    vErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
    // The value is written on success only. vErrParam for a null pointer.
    vErr getUEI8(uint8_t option, uint8_t* value);
    vErr getUEI16(uint8_t option, uint16_t* value);
    vErr getUEI32(uint8_t option, uint32_t* value);
    vErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
    vErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
    vErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);

    // Sets a bytes value and waits once for the acknowledgement.
    vErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);
    // Reads a bytes value into `buffer`; *count receives the bytes stored.
    // vErrParam (null pointers, capacity 0), vErrMemory (the value is larger than the
    // buffer: what fitted is stored and counted), the module's error code,
    // vErrTimeout (a packet of the series did not come within 1 s).
    vErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count);
    // Turns a byte count into a count of units of `unitSize` bytes. vErrParam (null),
    // vErrMemory (not a whole number of units).
    static vErr getUEIBytesCheck(size_t* count, size_t unitSize);

    // Waits up to 1 s for a value report of the option (nothing is sent).
    vErr awaitUEI32Val(uint8_t option, uint32_t* value);
    // Drops every queued reply of the option.
    vErr drainUEI(uint8_t option);

    // The module's store of entity settings (command cmdSTORE, index 0): save this
    // entity's settings, put back the factory defaults, or load the saved ones.
    vErr saveEntityToStore();
    vErr resetEntityToFactoryDefaults();
    vErr loadEntityFromStore();

private:
    struct impl;
    std::unique_ptr<impl> d;
};

} // namespace Vornic::Tandril
