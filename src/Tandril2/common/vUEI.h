// UEI commands: get, set and value reports of one option of one entity of a module, and
// their layout in packet data bytes. Integers travel big-endian.
//
//   data[0] command   data[1] option byte   data[2] specifier byte   data[3..] value
//
// Requests carry the option with ueiOPTION_GET or ueiOPTION_SET and the index with
// ueiSPECIFIER_HOST; the caller puts those bits into the record, the encoder copies the
// record's bytes as they are. Replies carry the bare option (acknowledgements of a set:
// option | ueiOPTION_ACK) and the value; an error reply has ueiSPECIFIER_ERROR and a vErr
// code in data[3]. A bytes value travels as a series of packets with up to 24 payload
// bytes and a trailing sequence byte (number modulo 128, ueiBYTES_CONTINUE on all but the
// last packet).
#pragma once

#include <cstddef>
#include <cstdint>

#include "Tandril2/common/vDefs.h"
#include "Tandril2/common/vError.h"
#include "Tandril2/common/vPacket.h"

constexpr uint8_t ueiOPTION_MASK = 0x3F;
constexpr uint8_t ueiOPTION_GET = 0x40;
constexpr uint8_t ueiOPTION_SET = 0x80;
constexpr uint8_t ueiOPTION_ACK = 0xC0;

constexpr uint8_t ueiSPECIFIER_INDEX_MASK = 0x1F;
constexpr uint8_t ueiSPECIFIER_HOST = 0x20;
constexpr uint8_t ueiSPECIFIER_STREAM = 0x40;
constexpr uint8_t ueiSPECIFIER_ERROR = 0x80;

constexpr uint8_t ueiBYTES_CONTINUE = 0x80;
constexpr uint8_t ueiBYTES_SEQUENCE_MASK = 0x7F;
constexpr size_t ueiBYTES_PAYLOAD_MAX = 24;

// The integer codes equal the value's width in bytes.
typedef enum ueiType {
    ueiTypeVoid = 0,
    ueiTypeByte = 1,
    ueiTypeShort = 2,
    ueiTypeInt = 4,
    ueiTypeBytes = 5,
} ueiType;

// Name of a type for logs ("void", "byte", "short", "int", "bytes", "invalid").
const char* vUEI_TypeName(ueiType type);

typedef struct uei {
    uint8_t module;    // module address (even, non-zero)
    uint8_t command;   // entity class
    uint8_t option;    // option code | request bits
    uint8_t specifier; // entity index | flag bits
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        uint8_t* bytes; // bytes send: the source; bytes receive: the write cursor
    } value;
    uint8_t sequence;      // bytes receive: sequence number expected next
    uint8_t more;          // bytes receive: continue bit of the last packet taken
    size_t bytesSize;      // bytes send: bytes to send; bytes receive: buffer capacity
    size_t* bytesReceived; // bytes receive: running count of bytes stored
    ueiType type;          // which member of value is meaningful
} uei;

// Big-endian integers at any alignment.
uint16_t vUEI_RetrieveShort(const uint8_t* bytes);
uint32_t vUEI_RetrieveInt(const uint8_t* bytes);
void vUEI_StoreShort(uint8_t* bytes, uint16_t value);
void vUEI_StoreInt(uint8_t* bytes, uint32_t value);

// Converts `count` 32-bit words in place from big-endian to host order.
void vUEI_ModifyIntBuffer(uint32_t* words, size_t count);

// The sequence number (last data byte & 0x7F) and continue bit of a bytes packet;
// 0 / false for a null, invalid or empty packet.
uint8_t vUEI_getBytesSequence(const vPacket* packet);
bool vUEI_getBytesContinue(const vPacket* packet);
// True when a bytes packet is full (data size 27 or 28): more may follow.
bool vUEI_getBytesFullPacket(const vPacket* packet);

// True when the packet's command does not use the UEI layout (heartbeat, store slots,
// upgrade, module queries, ...). False for a null or invalid packet.
bool vUEI_isNotUEIPayload(const vPacket* packet);
// True for a valid packet whose command uses the UEI layout.
bool vUEI_isUEIPayload(const vPacket* packet);
// True for a value a module streams by itself: UEI layout, more than 4 data bytes, no
// request bits, ueiSPECIFIER_STREAM set.
bool vUEI_isStreamPacket(const vPacket* packet);

// Encodes a fixed-width record (void, byte, short, int) into `packet` (which is reset
// first): address = module, data = command, option, specifier, value. With a subindex,
// the subindex byte goes before the value. vErrParam: null record, invalid packet, or a
// type other than void/byte/short/int. vErrPacket: module address 0 or odd.
vErr vUEI_Encode(const uei* record, vPacket* packet);
vErr vUEI_EncodeWithSubindex(const uei* record, uint8_t subindex, vPacket* packet);

// Packets needed to send `bytesSize` bytes (at least 1: an empty value is one packet).
size_t vUEI_BytesPacketCount(size_t bytesSize);

// Encodes packet `number` (0-based) of a bytes record into `packet`: its slice of
// value.bytes, sequence number `number` modulo 128, continue bit unless it is the last.
// vErrParam: null record, invalid packet, type not ueiTypeBytes, null source with a
// non-zero size, or `number` past the last packet. vErrPacket: module address 0 or odd.
vErr vUEI_EncodeBytesPacket(const uei* record, size_t number, vPacket* packet);

// True when `packet` answers the record: from record->module, data size above 2,
// data[0] == command, data[1] == option (exactly: bare for a reply, | ueiOPTION_ACK for
// an acknowledgement), and equal index bits.
bool vUEI_IsReplyTo(const vPacket* packet, const uei* record);

// Takes a value reply or acknowledgement into the record. The data size tells the type:
// 3 void, 4 byte, 5 short, 7 int; 6 and 8..28 are accepted without touching value or
// type. An error reply (ueiSPECIFIER_ERROR) stores the packet's specifier byte and its
// code (data[3]) in value.byteVal. vErrParam: null record or invalid packet.
// vErrPacket: fewer than 3 data bytes, or an error reply without its code byte (the
// record is left as it was).
vErr vUEI_DecodeReply(const vPacket* packet, uei* record);

// Takes one packet of a bytes reply into a receive record (type ueiTypeBytes, cursor in
// value.bytes, capacity in bytesSize, count in *bytesReceived, expected number in
// sequence). vErrNone when taken: the payload was appended (cursor and count advanced,
// `more` set to the continue bit), or an error was recorded (an error reply, or
// vErrMemory when the payload does not fit; recorded as for vUEI_DecodeReply, which
// overwrites the cursor). The caller advances `sequence` after a taken packet.
// vErrIndexRange: another sequence number (not taken; leave the packet queued).
// vErrParam: null record, invalid packet, wrong type, null cursor or count.
// vErrPacket: fewer than 4 data bytes.
vErr vUEI_DecodeBytesPacket(const vPacket* packet, uei* record);

// The outcome a decoded reply reports: vErrNone unless the record holds an error reply,
// then the module's code (vErrUnknown when that code is 0 or unknown, so that a failure
// never reads as success). vErrParam: null record.
vErr vUEI_ReplyResult(const uei* record);
