// COBS-framed stream: carries whole packets as COBS frames with a CRC-8, each
// followed by a 0x00 delimiter, over any inner byte stream.
//
// Frame before encoding: address, data length L, L data bytes, CRC-8 of those.
// Reading hands out the bytes of each good frame; frames with a bad CRC or length,
// truncated frames and stray bytes are dropped and the next delimiter starts afresh.
#pragma once

#include "Tandril2/common/vStream.h"

// Largest packet data length a frame can carry: the encoded frame of a packet with
// 28 data bytes is 32 bytes plus the delimiter, which the receive buffer holds.
constexpr size_t kCobsMaxFrameEncoded = 32;

// Wraps the inner stream given by its operations; the COBS stream owns `reference`
// and releases it through `destroy`. vErrParam (null out pointer), vErrMemory, vErrResource.
vErr vStream_CreateCobsEncoding(vStreamGetProc get, vStreamPutProc put, vStreamWriteProc write,
                                vStreamDeleteProc destroy, void* reference, vStream** stream);
