// Packet debug log: a bounded ring of the packets a link sent and received, for
// diagnosing what crossed the wire. Entries are (type, length, bytes); when the ring
// is full the oldest entries give way to new ones.
#pragma once

#include <cstdint>

#include "Tandril2/common/vError.h"

enum vPacketLogType : uint8_t {
    vPacketLogSent = 1,
    vPacketLogReceived = 2,
    vPacketLogText = 3,
};

// "sent", "received", "text"; "unknown" for any other value.
const char* vPacketLogType_Name(uint8_t type);

// Capacity used when none is given, and the largest accepted.
constexpr uint32_t vPACKETLOG_DEFAULT_SIZE = 65536;
constexpr uint32_t vPACKETLOG_MAX_SIZE = 67108864;

struct vPacketLog; // opaque; every call takes the log's own lock

// A new empty log of `capacity` bytes (0: the default). Null when the capacity is
// above vPACKETLOG_MAX_SIZE or memory is short.
vPacketLog* vPacketLog_Create(uint32_t capacity);
// Frees the log and nulls *log. vErrParam for a null or invalid log.
vErr vPacketLog_Destroy(vPacketLog** log);
// Adds one entry, dropping the oldest ones until it fits with room to spare.
// vErrParam (invalid log, null bytes with a length), vErrOverrun (the entry cannot fit
// even in the empty ring).
vErr vPacketLog_Put(vPacketLog* log, uint8_t type, uint8_t length, const uint8_t* bytes);
// Takes the oldest entry. *length gives the buffer's size and receives the entry's.
// vErrParam (null arguments), vErrNotFound (empty), vErrOverrun (the buffer is too
// small; the entry stays, *length tells its size).
vErr vPacketLog_Get(vPacketLog* log, uint8_t* type, uint8_t* length, uint8_t* buffer);
// Number of entries held (0 for an invalid log).
uint32_t vPacketLog_Count(vPacketLog* log);
