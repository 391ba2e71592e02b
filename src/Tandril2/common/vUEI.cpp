#include "Tandril2/common/vUEI.h"

#include <cstring>

#include "Tandril2/common/vByteOrder.h"

const char* vUEI_TypeName(ueiType type) {
    switch (type) {
    case ueiTypeVoid: return "void";
    case ueiTypeByte: return "byte";
    case ueiTypeShort: return "short";
    case ueiTypeInt: return "int";
    case ueiTypeBytes: return "bytes";
    }
    return "invalid";
}

uint16_t vUEI_RetrieveShort(const uint8_t* bytes) {
    return vByteOrder_GetBE16(bytes);
}

uint32_t vUEI_RetrieveInt(const uint8_t* bytes) {
    return vByteOrder_GetBE32(bytes);
}

void vUEI_StoreShort(uint8_t* bytes, uint16_t value) {
    vByteOrder_PutBE16(bytes, value);
}

void vUEI_StoreInt(uint8_t* bytes, uint32_t value) {
    vByteOrder_PutBE32(bytes, value);
}

void vUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
    if (words == nullptr) {
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        uint8_t raw[4];
        std::memcpy(raw, &words[i], sizeof raw);
        words[i] = vByteOrder_GetBE32(raw);
    }
}

// The trailing sequence byte of a bytes packet, or 0 when there is none.
static uint8_t sSequenceByte(const vPacket* packet) {
    if (!vVALIDPACKET(packet) || packet->dataSize == 0 || packet->dataSize > vPACKET_MAX_DATA) {
        return 0;
    }
    return packet->data[packet->dataSize - 1];
}

uint8_t vUEI_getBytesSequence(const vPacket* packet) {
    return sSequenceByte(packet) & ueiBYTES_SEQUENCE_MASK;
}

bool vUEI_getBytesContinue(const vPacket* packet) {
    return (sSequenceByte(packet) & ueiBYTES_CONTINUE) != 0;
}

bool vUEI_getBytesFullPacket(const vPacket* packet) {
    return vVALIDPACKET(packet) && (packet->dataSize == 27 || packet->dataSize == 28);
}

bool vUEI_isNotUEIPayload(const vPacket* packet) {
    if (!vVALIDPACKET(packet)) {
        return false;
    }
    if (packet->dataSize == 0) {
        return true; // no command byte at all
    }
    switch (packet->data[0]) {
    case cmdHEARTBEAT:
    case 1:
    case 2:
    case cmdSTORE_SLOT:
    case cmdI2C:
    case 9:
    case cmdDEBUG:
    case 24:
    case cmdMODULE_INFO:
    case cmdFACTORY:
    case cmdUPGRADE:
    case 173:
    case 175:
        return true;
    default:
        return false;
    }
}

bool vUEI_isUEIPayload(const vPacket* packet) {
    return vVALIDPACKET(packet) && !vUEI_isNotUEIPayload(packet);
}

bool vUEI_isStreamPacket(const vPacket* packet) {
    return vVALIDPACKET(packet) && packet->dataSize > 4 && vUEI_isUEIPayload(packet) &&
           (packet->data[1] & ueiOPTION_ACK) == 0 && (packet->data[2] & ueiSPECIFIER_STREAM) != 0;
}

// Writes the fixed-width value of `record` at `out`; returns its width, or -1 for a type
// that has none.
static int sPutValue(const uei* record, uint8_t* out) {
    switch (record->type) {
    case ueiTypeVoid: return 0;
    case ueiTypeByte: out[0] = record->value.byteVal; return 1;
    case ueiTypeShort: vByteOrder_PutBE16(out, record->value.shortVal); return 2;
    case ueiTypeInt: vByteOrder_PutBE32(out, record->value.intVal); return 4;
    case ueiTypeBytes: break;
    }
    return -1;
}

// Checks the record and packet and writes the three header bytes.
static vErr sStartPacket(const uei* record, vPacket* packet) {
    if (record == nullptr || vPacket_Reset(packet) != vErrNone) {
        return vErrParam;
    }
    if (vPacket_CheckModuleAddress(record->module) != vErrNone) {
        return vErrPacket;
    }
    packet->address = record->module;
    packet->data[0] = record->command;
    packet->data[1] = record->option;
    packet->data[2] = record->specifier;
    return vErrNone;
}

static void sFinishPacket(vPacket* packet, size_t dataSize) {
    packet->dataSize = static_cast<uint8_t>(dataSize);
    packet->received = static_cast<uint8_t>(dataSize + 2);
}

static vErr sEncodeFixed(const uei* record, const uint8_t* subindex, vPacket* packet) {
    vErr err = sStartPacket(record, packet);
    if (err != vErrNone) {
        return err;
    }
    size_t size = 3;
    if (subindex != nullptr) {
        packet->data[size++] = *subindex;
    }
    const int width = sPutValue(record, packet->data + size);
    if (width < 0) {
        vPacket_Reset(packet);
        return vErrParam;
    }
    sFinishPacket(packet, size + static_cast<size_t>(width));
    return vErrNone;
}

vErr vUEI_Encode(const uei* record, vPacket* packet) {
    return sEncodeFixed(record, nullptr, packet);
}

vErr vUEI_EncodeWithSubindex(const uei* record, uint8_t subindex, vPacket* packet) {
    return sEncodeFixed(record, &subindex, packet);
}

size_t vUEI_BytesPacketCount(size_t bytesSize) {
    return bytesSize == 0 ? 1 : (bytesSize + ueiBYTES_PAYLOAD_MAX - 1) / ueiBYTES_PAYLOAD_MAX;
}

vErr vUEI_EncodeBytesPacket(const uei* record, size_t number, vPacket* packet) {
    if (record == nullptr || record->type != ueiTypeBytes ||
        (record->value.bytes == nullptr && record->bytesSize != 0) ||
        number >= vUEI_BytesPacketCount(record->bytesSize)) {
        return vErrParam;
    }
    vErr err = sStartPacket(record, packet);
    if (err != vErrNone) {
        return err;
    }
    const size_t offset = number * ueiBYTES_PAYLOAD_MAX;
    const size_t remaining = record->bytesSize - offset;
    const size_t payload = remaining < ueiBYTES_PAYLOAD_MAX ? remaining : ueiBYTES_PAYLOAD_MAX;
    if (payload != 0) {
        std::memcpy(packet->data + 3, record->value.bytes + offset, payload);
    }
    const bool more = offset + payload < record->bytesSize;
    packet->data[3 + payload] =
        static_cast<uint8_t>((number & ueiBYTES_SEQUENCE_MASK) | (more ? ueiBYTES_CONTINUE : 0));
    sFinishPacket(packet, payload + 4);
    return vErrNone;
}

bool vUEI_IsReplyTo(const vPacket* packet, const uei* record) {
    return vVALIDPACKET(packet) && record != nullptr && packet->address == record->module &&
           packet->dataSize > 2 && packet->dataSize <= vPACKET_MAX_DATA &&
           packet->data[0] == record->command && packet->data[1] == record->option &&
           (packet->data[2] & ueiSPECIFIER_INDEX_MASK) ==
               (record->specifier & ueiSPECIFIER_INDEX_MASK);
}

// An error reply: keep the whole specifier so the caller sees the error bit, and the
// module's code. A reply too short to carry the code is refused rather than read as 0,
// which would turn the module's failure into a success.
static vErr sTakeError(const vPacket* packet, uei* record) {
    if (packet->dataSize < 4) {
        return vErrPacket;
    }
    record->specifier = packet->data[2];
    record->value.byteVal = packet->data[3];
    return vErrNone;
}

vErr vUEI_DecodeReply(const vPacket* packet, uei* record) {
    if (!vVALIDPACKET(packet) || record == nullptr || packet->dataSize > vPACKET_MAX_DATA) {
        return vErrParam;
    }
    if (packet->dataSize < 3) {
        return vErrPacket;
    }
    if ((packet->data[2] & ueiSPECIFIER_ERROR) != 0) {
        return sTakeError(packet, record);
    }
    const uint8_t* value = packet->data + 3;
    switch (packet->dataSize) {
    case 3:
        record->type = ueiTypeVoid;
        break;
    case 4:
        record->type = ueiTypeByte;
        record->value.byteVal = value[0];
        break;
    case 5:
        record->type = ueiTypeShort;
        record->value.shortVal = vByteOrder_GetBE16(value);
        break;
    case 7:
        record->type = ueiTypeInt;
        record->value.intVal = vByteOrder_GetBE32(value);
        break;
    default:
        break; // a layout this host does not know; accepted as the reply, value untouched
    }
    return vErrNone;
}

vErr vUEI_DecodeBytesPacket(const vPacket* packet, uei* record) {
    if (!vVALIDPACKET(packet) || record == nullptr || record->type != ueiTypeBytes ||
        record->value.bytes == nullptr || record->bytesReceived == nullptr ||
        packet->dataSize > vPACKET_MAX_DATA) {
        return vErrParam;
    }
    if (packet->dataSize < 4) {
        return vErrPacket;
    }
    if ((packet->data[2] & ueiSPECIFIER_ERROR) != 0) {
        return sTakeError(packet, record);
    }
    if (vUEI_getBytesSequence(packet) != (record->sequence & ueiBYTES_SEQUENCE_MASK)) {
        return vErrIndexRange;
    }
    const size_t payload = packet->dataSize - 4u;
    size_t& count = *record->bytesReceived;
    if (count > record->bytesSize || payload > record->bytesSize - count) {
        record->specifier |= ueiSPECIFIER_ERROR;
        record->value.byteVal = vErrMemory;
        return vErrNone;
    }
    std::memcpy(record->value.bytes, packet->data + 3, payload);
    record->value.bytes += payload;
    count += payload;
    record->more = vUEI_getBytesContinue(packet) ? 1 : 0;
    return vErrNone;
}

vErr vUEI_ReplyResult(const uei* record) {
    if (record == nullptr) {
        return vErrParam;
    }
    if ((record->specifier & ueiSPECIFIER_ERROR) == 0) {
        return vErrNone;
    }
    // A module may send any byte; 0 or a code this host does not know still means failure.
    const uint8_t code = record->value.byteVal;
    return (code == vErrNone || code >= vERR_COUNT) ? vErrUnknown : static_cast<vErr>(code);
}
