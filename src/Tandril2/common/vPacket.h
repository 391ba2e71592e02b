// One module packet: an address, up to 28 data bytes, and the assembler that rebuilds a
// packet from its serialised form (address, size, data) one byte at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Tandril2/common/vError.h"

constexpr uint8_t vPACKET_MAX_DATA = 28;
// Address byte + size byte + data.
constexpr size_t vPACKET_MAX_SERIAL = vPACKET_MAX_DATA + 2;
constexpr uint16_t vPACKET_CHECK = 0xBEEF;

typedef struct vPacket {
    uint16_t check;   // vPACKET_CHECK while the packet lives; cleared on destruction
    uint8_t received; // serialised bytes taken by vPacket_AddByte (address and size included)
    uint8_t address;  // module address
    uint8_t dataSize; // valid bytes in data, 0..28
    uint8_t data[vPACKET_MAX_DATA]; // data[0] is the command byte of a command packet
} vPacket;

// True for a live packet (not null, validity word intact).
inline bool vVALIDPACKET(const vPacket* packet) {
    return packet != nullptr && packet->check == vPACKET_CHECK;
}

// vErrNone for an address a module can have (even, non-zero); vErrPacket otherwise.
// Every sender of commands checks its target with this.
vErr vPacket_CheckModuleAddress(uint8_t address);

// A new all-zero packet with its validity word set; null when memory is short.
vPacket* vPacket_Create(void);

// A new packet holding `size` bytes from `data`, counted as fully received.
// Null when `data` is null (even for size 0), `size` exceeds 28, or memory is short.
vPacket* vPacket_CreateWithData(uint8_t address, uint8_t size, const uint8_t* data);

// A new packet equal to `packet`; null for an invalid packet or when memory is short.
vPacket* vPacket_Copy(const vPacket* packet);

// Frees the packet and nulls *packet. vErrParam: `packet` or *packet null, or not a
// live packet.
vErr vPacket_Destroy(vPacket** packet);

// Empties the packet for reuse (address, size, count and data cleared; stays valid).
// vErrParam: invalid packet.
vErr vPacket_Reset(vPacket* packet);

// Takes the next byte of the serialised form. vErrParam: invalid packet.
// vErrPacket: a 0 address byte, a size byte above 28 (neither is stored), or a byte
// after the packet is complete. vErrOverrun: more than 30 bytes since the last reset,
// or any byte after a vErrPacket. Once refused, a packet never completes: reset it.
vErr vPacket_AddByte(vPacket* packet, uint8_t byte);

// True when the packet is valid and every byte announced by its size has arrived.
bool vPacket_IsComplete(const vPacket* packet);

// Writes address, size and data (2 + dataSize bytes) into `buffer`; stores that length
// in *length when `length` is not null. vErrParam: invalid packet, null buffer, or a
// size above 28. vErrOverrun: bufferSize too small (nothing written).
vErr vPacket_GetBytes(const vPacket* packet, uint8_t* buffer, size_t bufferSize, size_t* length);

// Command (data[0]), option code (data[1] & 0x3F) and entity index (data[2] & 0x1F).
// vErrParam: null output. vErrPacket: invalid packet or too few data bytes.
vErr vPacket_GetCmd(const vPacket* packet, uint8_t* cmd);
vErr vPacket_GetOption(const vPacket* packet, uint8_t* option);
vErr vPacket_GetIndex(const vPacket* packet, uint8_t* index);
