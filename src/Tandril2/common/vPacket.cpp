#include "Tandril2/common/vPacket.h"

#include <cstdlib>
#include <cstring>

vErr vPacket_CheckModuleAddress(uint8_t address) {
    return (address == 0 || (address & 1) != 0) ? vErrPacket : vErrNone;
}

vPacket* vPacket_Create(void) {
    auto* packet = static_cast<vPacket*>(std::calloc(1, sizeof(vPacket)));
    if (packet != nullptr) {
        packet->check = vPACKET_CHECK;
    }
    return packet;
}

vPacket* vPacket_CreateWithData(uint8_t address, uint8_t size, const uint8_t* data) {
    if (data == nullptr || size > vPACKET_MAX_DATA) {
        return nullptr;
    }
    vPacket* packet = vPacket_Create();
    if (packet != nullptr) {
        packet->address = address;
        packet->dataSize = size;
        packet->received = static_cast<uint8_t>(size + 2);
        std::memcpy(packet->data, data, size);
    }
    return packet;
}

vPacket* vPacket_Copy(const vPacket* packet) {
    if (!vVALIDPACKET(packet)) {
        return nullptr;
    }
    vPacket* copy = vPacket_Create();
    if (copy != nullptr) {
        *copy = *packet;
    }
    return copy;
}

vErr vPacket_Destroy(vPacket** packet) {
    if (packet == nullptr || !vVALIDPACKET(*packet)) {
        return vErrParam;
    }
    // Cleared so that a stale pointer still held elsewhere is refused, not reused.
    (*packet)->check = 0;
    std::free(*packet);
    *packet = nullptr;
    return vErrNone;
}

vErr vPacket_Reset(vPacket* packet) {
    if (!vVALIDPACKET(packet)) {
        return vErrParam;
    }
    packet->received = 0;
    packet->address = 0;
    packet->dataSize = 0;
    std::memset(packet->data, 0, sizeof packet->data);
    return vErrNone;
}

// A byte that breaks the layout spoils the whole packet: counting it as the last
// possible byte keeps the packet from ever looking complete (a refused size byte would
// otherwise leave an "empty packet", a refused address shifts every later byte) until
// the caller resets it.
static vErr sRefuse(vPacket* packet) {
    packet->received = vPACKET_MAX_SERIAL + 1;
    return vErrPacket;
}

vErr vPacket_AddByte(vPacket* packet, uint8_t byte) {
    if (!vVALIDPACKET(packet)) {
        return vErrParam;
    }
    // The count saturates just past the longest packet: an 8-bit counter that wrapped
    // would start storing data again at a negative offset.
    if (packet->received <= vPACKET_MAX_SERIAL) {
        packet->received++;
    }
    if (packet->received > vPACKET_MAX_SERIAL) {
        return vErrOverrun;
    }
    if (packet->address == 0) {
        if (byte == 0) {
            return sRefuse(packet);
        }
        packet->address = byte;
        return vErrNone;
    }
    if (packet->received == 2) {
        // The size byte comes right after the address; a byte after a complete empty
        // packet is not a second size byte. An oversized count is not kept: every later
        // reader trusts dataSize <= 28.
        if (byte > vPACKET_MAX_DATA) {
            return sRefuse(packet);
        }
        packet->dataSize = byte;
        return vErrNone;
    }
    if (packet->received > packet->dataSize + 2) {
        return sRefuse(packet);
    }
    packet->data[packet->received - 3] = byte;
    return vErrNone;
}

bool vPacket_IsComplete(const vPacket* packet) {
    return vVALIDPACKET(packet) && packet->received == packet->dataSize + 2;
}

vErr vPacket_GetBytes(const vPacket* packet, uint8_t* buffer, size_t bufferSize, size_t* length) {
    if (!vVALIDPACKET(packet) || buffer == nullptr || packet->dataSize > vPACKET_MAX_DATA) {
        return vErrParam;
    }
    const size_t needed = size_t{packet->dataSize} + 2;
    if (bufferSize < needed) {
        return vErrOverrun;
    }
    buffer[0] = packet->address;
    buffer[1] = packet->dataSize;
    std::memcpy(buffer + 2, packet->data, packet->dataSize);
    if (length != nullptr) {
        *length = needed;
    }
    return vErrNone;
}

// Data byte `position` masked, when the packet has it.
static vErr sGetDataByte(const vPacket* packet, uint8_t position, uint8_t mask, uint8_t* out) {
    if (out == nullptr) {
        return vErrParam;
    }
    if (!vVALIDPACKET(packet) || packet->dataSize <= position) {
        return vErrPacket;
    }
    *out = packet->data[position] & mask;
    return vErrNone;
}

vErr vPacket_GetCmd(const vPacket* packet, uint8_t* cmd) {
    return sGetDataByte(packet, 0, 0xFF, cmd);
}

vErr vPacket_GetOption(const vPacket* packet, uint8_t* option) {
    return sGetDataByte(packet, 1, 0x3F, option);
}

vErr vPacket_GetIndex(const vPacket* packet, uint8_t* index) {
    return sGetDataByte(packet, 2, 0x1F, index);
}
