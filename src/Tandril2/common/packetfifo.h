// Thread-safe queues of packets, named by reference numbers. A link's reader thread puts
// received packets into one and callers wait there for the reply their filter picks out;
// callers put packets for the writer thread into another.
//
// Every packet put is copied; every packet handed out is a new copy that the caller
// destroys with vPacket_Destroy. Waits are measured on the steady clock. A queue holds at
// most vPACKETFIFO_CAPACITY packets; when a put finds it full, the oldest packet is
// dropped so that the newest (the one a waiter most likely wants) is kept.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Tandril2/common/vError.h"
#include "Tandril2/common/vPacket.h"

typedef uint64_t vPacketFifoRef; // 0 names no FIFO

constexpr size_t vPACKETFIFO_CAPACITY = 1000;

// Non-zero when the filter accepts the packet. Runs with the FIFO's lock held: it must
// not call into the same FIFO and should not block. `reference` is the caller's,
// passed through unchanged; the filter may write to what it points at.
typedef uint8_t (*vPacketFifoFilter)(const vPacket* packet, void* reference);

// A new empty FIFO; 0 when it cannot be made.
vPacketFifoRef vPacketFifo_Create(void);

// Empties and removes the FIFO, wakes every waiter (they return null), sets *fifo to 0.
// vErrParam: null pointer. vErrNotFound: no FIFO with that number. vErrUnknown: failure.
vErr vPacketFifo_Destroy(vPacketFifoRef* fifo);

// Packets queued; 0 for an unknown FIFO.
size_t vPacketFifo_GetLength(vPacketFifoRef fifo);

// Queues a copy of the packet and wakes waiters. vErrParam: unknown FIFO, invalid
// packet, or no memory for the copy. vErrResource: the queue cannot grow.
vErr vPacketFifo_Put(vPacketFifoRef fifo, const vPacket* packet);

// The oldest packet, removed; null when empty or unknown.
vPacket* vPacketFifo_Get(vPacketFifoRef fifo);

// The oldest packet, waiting up to timeoutMs for one; null on time-out, when the FIFO
// is destroyed meanwhile, or for an unknown FIFO.
vPacket* vPacketFifo_Await(vPacketFifoRef fifo, uint32_t timeoutMs);

// The oldest packet the filter accepts, removed; null when none does (or null filter).
// Packets before it are shown to the filter and stay queued in order.
vPacket* vPacketFifo_GetFirst(vPacketFifoRef fifo, vPacketFifoFilter filter, void* reference);

// As vPacketFifo_GetFirst, waiting up to timeoutMs for a match. Each packet is shown to
// the filter at most once per call, however often the waiter wakes. Null on time-out,
// destruction, unknown FIFO or null filter.
vPacket* vPacketFifo_AwaitFirst(vPacketFifoRef fifo, vPacketFifoFilter filter, void* reference,
                                uint32_t timeoutMs);

// Removes and destroys every packet the filter accepts (each shown once, the rest kept
// in order); returns how many. 0 for an unknown FIFO or null filter.
size_t vPacketFifo_DrainPackets(vPacketFifoRef fifo, vPacketFifoFilter filter, void* reference);
