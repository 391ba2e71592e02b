// The process-wide link table: one entry per link id, shared and counted by the
// holders of a link. Only the link engine (vLink.cpp) and its tests use it.
//
// Entries and link records are reference-counted, so a thread that looked a link up
// keeps its record alive while another thread destroys the link: the record is only
// freed when the last such thread lets go, and by then it is marked invalid.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "Tandril2/common/packetfifo.h"
#include "Tandril2/common/vPacket.h"
#include "Tandril2/common/vPacketDebug.h"
#include "Tandril2/common/vStream.h"
#include "Tandril2/common/vThread.h"

constexpr uint16_t vLINK_CHECK = 0xCEED;

enum vLinkSyncState : int {
    kSyncStateNone = 0,
    kSyncStateStart = 1,
    kSyncStateByte1 = 2,
    kSyncStateByte2 = 3,
    kSyncStateByte3 = 4,
    kSyncStateByte4 = 5,
};

// The link record. Callers touch only the atomics, the queues (by reference number)
// and the filter under its lock; the stream, the assembly packet and the sync state
// belong to the reader and writer threads while they run.
struct vLink {
    std::atomic<uint16_t> check{0};
    int32_t id = 0;
    std::atomic<bool> running{false};
    std::atomic<int> status{0};             // vLinkStatus
    std::atomic<vPacketFifoRef> inFifo{0};  // received from the module
    vPacket* packet = nullptr;              // being assembled by the reader
    std::atomic<vPacketFifoRef> outFifo{0}; // waiting to be written
    vThread readerThread = nullptr;
    vThread writerThread = nullptr;
    std::atomic<bool> readerReady{false};
    std::atomic<bool> writerReady{false};
    vStream* stream = nullptr;
    int syncState = kSyncStateNone;
    uint8_t syncAddress = 1;
    std::chrono::steady_clock::time_point syncStarted{};
    std::mutex logMutex;                    // guards log and logSize
    vPacketLog* log = nullptr;
    std::atomic<bool> logEnabled{false};    // recording on (the log exists)
    uint32_t logSize = 0;
    std::mutex userFilterMutex;
    vPacketFifoFilter userFilter = nullptr;
    void* userFilterRef = nullptr;
    std::atomic<bool> pooled{false};

    // Waking the reader: the stream offers no readiness wait, so the reader sleeps
    // between polls and is woken when the writer has just sent something (an answer
    // is then likely) or when the link stops.
    std::mutex wakeMutex;
    std::condition_variable wake;
    bool woken = false;
    std::atomic<int64_t> lastActivity{0}; // steady-clock nanoseconds of the last byte in or out
};

struct vLinkEntry {
    int32_t id = 0;
    int32_t linkedId = 0;    // a client link made to serve a device link: that device link
    void* server = nullptr;  // the shared-device server while this device link is served
    int32_t ident0 = 0;      // serial number, or client address; -1 for a generic link
    int32_t ident1 = 0;      // IPv4 address (TCP/IP) or port (client)
    int32_t ident2 = 0;      // port (TCP/IP) or client number (client)
    int32_t type = 0;        // 0 generic, else the linkType of the transport
    int16_t useCount = 0;    // guarded by the table lock
    std::shared_ptr<vLink> link; // created with the entry, never replaced
};

using vLinkEntryRef = std::shared_ptr<vLinkEntry>;

// Look-ups; null when nothing matches. The newest matching entry wins.
vLinkEntryRef sLookupEntryByID(int32_t id);
vLinkEntryRef sLookupEntryByIdentifier(int32_t ident0, int32_t type);
vLinkEntryRef sLookupEntryByTrident(int32_t ident0, int32_t ident1, int32_t ident2);

// A new entry with the next id and a zeroed link record, put at the head of the
// table with a use count of 0. Null when memory is short.
vLinkEntryRef sCreate2(int32_t ident0, int32_t ident1, int32_t ident2, int32_t type);
vLinkEntryRef sCreate(int32_t ident0, int32_t ident1, int32_t type);

// Takes the entry out of the table (it stays alive for those who hold it); null
// when no entry has that id.
vLinkEntryRef sExtractEntry(int32_t id);

// Adds `delta` to the use count and returns the new count.
int16_t sChangeUseCount(vLinkEntry* entry, int16_t delta);

// Finds an entry by (ident0, type) that may be shared (no server attached, unless
// `evenIfServed`) and adds a holder to it, in one step so that no destroy can come
// between. Null when none. *served is set when an entry exists but is served.
vLinkEntryRef sShareEntryByIdentifier(int32_t ident0, int32_t type, bool evenIfServed, bool* served);
// Adds a holder to the entry with that id; null when there is none.
vLinkEntryRef sShareEntryByID(int32_t id);

// Drops one holder. When none is left the entry is taken out of the table in the
// same step and returned through *last (the caller then tears the link down).
// Returns the remaining count, or -1 when no entry has that id.
int sReleaseEntry(int32_t id, vLinkEntryRef* last);

// The entry's link record or null.
std::shared_ptr<vLink> sGetLink(int32_t id);

// Number of entries in the table (for tests and diagnostics).
int sLinkTableSize();
