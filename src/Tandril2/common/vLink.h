// The link engine: a live connection to one module over a byte stream, with a
// reader thread that turns bytes into packets and a writer thread that sends queued
// packets. Links are named by ids in a process-wide table, where links to the same
// module are shared and counted; callers only put packets into a link's transmit
// queue and wait on its receive queue, never touching the stream.
//
// Wire protocol on every transport: packets in their serialised form (address,
// size, data), nothing else. Modules only use even, non-zero addresses, so an odd
// address means the framing was lost; the reader then resynchronises by sending
// cmdMAGIC packets and looking for their answers (A 0x00 A 0x00). Heartbeats from
// the module (A 0x02 0x00 S) are answered at once with S + 2 and never queued.
#pragma once

#include <cstdint>

#include "Tandril2/common/packetfifo.h"
#include "Tandril2/common/vError.h"
#include "Tandril2/common/vPacket.h"
#include "Tandril2/common/vStream.h"

typedef enum vLinkStatus {
    vLinkStatusStopped = 0,
    vLinkStatusStarting = 1,
    vLinkStatusRunning = 2, // the only usable (connected) state
    vLinkStatusStopping = 3,
    vLinkStatusSyncing = 4,
    vLinkStatusInvalid = 5, // no stream, or no such link
    vLinkStatusIOError = 6,
    vLinkStatusFifoError = 8,
} vLinkStatus;

// "Stopped", "Starting", ...; "Unknown" for any other value.
const char* vLinkStatus_Name(int status);

struct vLink; // the link record, private to the engine

// ---- Creation and teardown (ids: 0 means failure; reasons go to the trace) ----

// A started and synchronised link to the USB module with that serial number; the
// existing link when there is one (one holder more). 0 when the module is served by
// this process already, or on any failure.
int32_t vLink_CreateUSB(uint32_t serialNumber);
// A started link over a TCP socket to `address` (IPv4, network byte order) and port;
// shares an existing link to that serial number. 0 on failure.
int32_t vLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port);
// A started link over the COBS-framed serial port at 2400..230400 baud; shares an
// existing link to that serial number. 0 for another rate (nothing is created) or on
// failure.
int32_t vLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);
// A link through a shared-device server. Serving is not available in this build:
// always 0.
int32_t vLink_CreateClient(uint32_t address, uint16_t port, int32_t ref);
// Serves the device link through a shared-device server and returns a client link to
// it. Serving is not available in this build: always 0.
int32_t vLink_CreateServer(int32_t deviceId, uint16_t* port, uint32_t* interfaceAddress, uint8_t localOnly);
// A started link over a stream the caller made (generic, never shared). The link owns
// the stream from then on, even when creation fails. 0 on failure.
int32_t vLink_Create(vStream* stream);
// Initialises the record of an existing entry (new queues, no threads); status
// Stopped with a stream, Invalid without. Returns the id, 0 when no such entry.
int32_t vLink_Init(int32_t id, vStream* stream);
// Drops one holder; the last one stops the threads and frees everything, including
// the stream. Callers waiting on the link return empty-handed. *id becomes 0.
// vErrParam (null pointer, unknown id), vErrUnknown (entry without record).
vErr vLink_Destroy(int32_t* id);
// Starts the reader and writer and sends cmdFORCEROUTE 1. vErrNone at once when
// running. vErrParam (unknown id or no stream), vErrResource (no thread),
// vErrIndexRange (threads did not come up within 2 s).
vErr vLink_Start(int32_t id);
// Sends cmdFORCEROUTE 0, stops and joins both threads. vErrNone when already stopped.
// vErrParam (null record), vErrUnknown (a join failed).
vErr vLink_Stop(vLink* link);
// Resynchronises the reader with the module's packet boundaries, then drops whatever
// was queued either way. vErrParam (unknown id), vErrNotReady (no answer within 2 s).
vErr vLink_Sync(int32_t id);
// Stops the link, makes its transport anew (USB, TCP/IP; up to 20 attempts 100 ms
// apart) and starts it again. vErrParam (unknown id, or a kind that cannot be rebuilt),
// vErrConnection (the transport could not be made), or vLink_Start's result.
vErr vLink_Reset(int32_t id);

// ---- Packet traffic (every packet returned is the caller's to destroy) ----

// The link's status; vLinkStatusInvalid for an unknown id.
vLinkStatus vLink_GetStatus(int32_t id);
// Queues a copy for the writer. vErrParam (unknown id, invalid packet).
vErr vLink_PutPacket(int32_t id, const vPacket* packet);
// Oldest received packet, or null.
vPacket* vLink_GetPacket(int32_t id);
// Oldest received packet, waiting up to timeoutMs; null on time-out.
vPacket* vLink_AwaitPacket(int32_t id, uint32_t timeoutMs);
// Oldest received packet the filter accepts, or null.
vPacket* vLink_GetFirst(int32_t id, vPacketFifoFilter filter, void* reference);
// As vLink_GetFirst, waiting up to timeoutMs while the link is running and
// synchronised. A link that is not (or no longer) usable is not waited on: only what
// it had already received is looked at. Null for an unknown id, and when the link is
// destroyed during the wait.
vPacket* vLink_AwaitFirst(int32_t id, vPacketFifoFilter filter, void* reference, uint32_t timeoutMs);
// Removes every received packet the filter accepts; the count (0 for an unknown id).
int vLink_DrainPackets(int32_t id, vPacketFifoFilter filter, void* reference);
// Installs (or, with a null filter, removes) the consumer that sees every received
// packet first, on the reader thread; a result of 1 consumes the packet. The filter
// holds up all reception while it runs and must not call vLink_ functions on its own
// link. vErrParam (unknown id).
vErr vLink_InstallUserPacketFilter(int32_t id, vPacketFifoFilter filter, void* reference);
// Pooled writes: the writer packs queued packets into one stream write of at most
// 4096 bytes. vErrParam (unknown id).
vErr vLink_EnablePooledPackets(int32_t id, bool enable);
// Queues cmdFORCEROUTE with the value. vErrNotFound (unknown id), vErrParam (no
// record), vErrMemory, or the put's result.
vErr vLink_ForceRoute(int32_t id, uint8_t value);

// ---- Packet debug log (see vPacketDebug.h) ----

// Capacity of the log made by the next Enable; negative means 0 (the default).
// vErrParam (unknown id, above 64 MiB), vErrBusy (the log exists already).
vErr vLink_PacketDebug_SetLogSize(int32_t id, int64_t bytes);
// Creates the log (when not there) and starts recording. vErrParam, vErrResource.
vErr vLink_PacketDebug_Enable(int32_t id);
// Stops recording; what was logged stays readable. vErrParam, vErrNotReady (no log).
vErr vLink_PacketDebug_Disable(int32_t id);
// Takes the oldest entry (see vPacketLog_Get). vErrParam, vErrNotReady (no log),
// vErrNotFound (empty), vErrOverrun (buffer too small).
vErr vLink_PacketDebug_Read(int32_t id, uint8_t* type, uint8_t* length, uint8_t* buffer);
// Adds an entry. vErrParam, vErrNotReady (no log), vErrOverrun.
vErr vLink_PacketDebug_Write(int32_t id, uint8_t type, uint8_t length, const uint8_t* bytes);

// ---- Trace switches (off by default; trace lines go to standard output) ----

extern bool vTandrilDebuggingEnable;
extern uint32_t vTandrilDebuggingLevel;
constexpr uint32_t vTRACE_LINK = 0x01;    // life cycle and synchronisation
constexpr uint32_t vTRACE_PACKETS = 0x02; // packet traffic
