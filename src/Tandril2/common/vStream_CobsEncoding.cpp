#include "Tandril2/common/vStream_CobsEncoding.h"

#include <cstdlib>
#include <cstring>

#include "Tandril2/common/cobs.h"
#include "Tandril2/common/crc8.h"
#include "Tandril2/common/vPacket.h"

namespace {

constexpr uint16_t kCobsTag = 0xC0B5;
// The largest frame: address, length, 28 data bytes, CRC.
constexpr size_t kFrameMax = vPACKET_MAX_SERIAL + 1;
static_assert(cobs_max_encoded(kFrameMax) == kCobsMaxFrameEncoded);

struct CobsStream {
    // Inner stream, owned.
    vStreamGetProc innerGet;
    vStreamPutProc innerPut;
    vStreamWriteProc innerWrite;
    vStreamDeleteProc innerDelete;
    void* innerReference;
    uint16_t tag;
    // Reading side.
    uint8_t receive[kCobsMaxFrameEncoded]; // encoded bytes of the frame being collected
    size_t receiveCount;
    bool receiveOverflow;                  // the frame outgrew the buffer: drop it at its end
    bool frameReady;
    size_t readIndex;
    size_t frameLength;                    // decoded frame without its CRC
    // Writing side.
    vPacket* assembler;
    uint8_t transmit[kCobsMaxFrameEncoded + 1]; // one encoded frame and its delimiter
    size_t transmitLength;
};

CobsStream* sCobs(void* reference) {
    auto* cobs = static_cast<CobsStream*>(reference);
    return cobs != nullptr && cobs->tag == kCobsTag ? cobs : nullptr;
}

// Checks a decoded frame: address, length L, L data bytes, CRC over all before it.
bool sFrameIsGood(const uint8_t* frame, size_t n) {
    return n > 2 && static_cast<size_t>(frame[1]) + 3 == n && crc8_check(frame, n - 1, frame[n - 1]);
}

vErr sCobsStreamGet(uint8_t* byte, void* reference) {
    CobsStream* cobs = sCobs(reference);
    if (cobs == nullptr || byte == nullptr)
        return vErrParam;
    if (cobs->frameReady) {
        *byte = cobs->receive[cobs->readIndex++];
        if (cobs->readIndex == cobs->frameLength) {
            cobs->frameReady = false;
            cobs->readIndex = 0;
            cobs->receiveCount = 0;
        }
        return vErrNone;
    }
    if (cobs->innerGet == nullptr)
        return vErrMode;
    uint8_t in = 0;
    // A transport that broke must not look like one that is merely quiet, so its
    // failures pass through; only vErrNotReady means "nothing yet".
    if (vErr err = cobs->innerGet(&in, cobs->innerReference); err != vErrNone)
        return err;
    if (in != 0) {
        if (cobs->receiveCount < sizeof(cobs->receive))
            cobs->receive[cobs->receiveCount++] = in;
        else
            cobs->receiveOverflow = true;
        return vErrNotReady;
    }
    // Delimiter.
    if (cobs->receiveCount == 0 && !cobs->receiveOverflow)
        return vErrNotReady;
    const size_t n = cobs->receiveOverflow ? 0 : cobs_decode_inplace(cobs->receive, cobs->receiveCount);
    cobs->receiveCount = 0;
    cobs->receiveOverflow = false;
    if (!sFrameIsGood(cobs->receive, n))
        return vErrPacket;
    cobs->frameLength = n - 1;
    cobs->readIndex = 0;
    cobs->frameReady = true;
    return vErrNotReady; // the frame's bytes follow on the next calls
}

vErr sCobsStreamPut(const uint8_t* byte, void* reference) {
    CobsStream* cobs = sCobs(reference);
    if (cobs == nullptr)
        return vErrParam;
    if (cobs->innerPut == nullptr)
        return vErrMode;
    return cobs->innerPut(byte, cobs->innerReference);
}

// Frames the assembler's complete packet and hands it to the inner stream in one write.
vErr sCobsSendPacket(CobsStream* cobs) {
    size_t length = 0;
    vErr err = vPacket_GetBytes(cobs->assembler, cobs->transmit, sizeof(cobs->transmit), &length);
    vPacket_Reset(cobs->assembler);
    if (err != vErrNone)
        return err;
    cobs->transmit[length] = crc8_create(cobs->transmit, length);
    cobs->transmitLength = cobs_encode_inplace(cobs->transmit, length + 1);
    cobs->transmit[cobs->transmitLength++] = 0;
    return cobs->innerWrite(cobs->transmit, cobs->transmitLength, cobs->innerReference);
}

vErr sCobsStreamWrite(const uint8_t* data, size_t length, void* reference) {
    CobsStream* cobs = sCobs(reference);
    if (cobs == nullptr || data == nullptr)
        return vErrParam;
    if (cobs->innerWrite == nullptr)
        return vErrMode;
    vErr result = vErrNone;
    for (size_t i = 0; i < length; ++i) {
        if (vPacket_AddByte(cobs->assembler, data[i]) != vErrNone) {
            // Not a packet: start over with the next byte and say so, rather than
            // report bytes that never went out as written.
            vPacket_Reset(cobs->assembler);
            result = vErrPacket;
            continue;
        }
        if (!vPacket_IsComplete(cobs->assembler))
            continue; // a packet split across writes is completed by the next one
        if (vErr err = sCobsSendPacket(cobs); err != vErrNone)
            result = err; // the remaining packets still go out
    }
    return result;
}

vErr sCobsStreamDelete(void* reference) {
    CobsStream* cobs = sCobs(reference);
    if (cobs == nullptr)
        return vErrParam;
    const vErr result = cobs->innerDelete != nullptr ? cobs->innerDelete(cobs->innerReference) : vErrNone;
    vPacket_Destroy(&cobs->assembler);
    cobs->tag = 0;
    std::free(cobs);
    return result;
}

} // namespace

vErr vStream_CreateCobsEncoding(vStreamGetProc get, vStreamPutProc put, vStreamWriteProc write,
                                vStreamDeleteProc destroy, void* reference, vStream** stream) {
    if (stream == nullptr)
        return vErrParam;
    *stream = nullptr;
    auto* cobs = static_cast<CobsStream*>(std::calloc(1, sizeof(CobsStream)));
    if (cobs == nullptr)
        return vErrMemory;
    cobs->innerGet = get;
    cobs->innerPut = put;
    cobs->innerWrite = write;
    cobs->innerDelete = destroy;
    cobs->innerReference = reference;
    cobs->tag = kCobsTag;
    cobs->assembler = vPacket_Create();
    if (cobs->assembler != nullptr)
        *stream = vStream_Create(sCobsStreamGet, sCobsStreamPut, sCobsStreamWrite, sCobsStreamDelete, cobs);
    if (*stream == nullptr) {
        vPacket_Destroy(&cobs->assembler);
        std::free(cobs);
        return vErrResource;
    }
    return vErrNone;
}
