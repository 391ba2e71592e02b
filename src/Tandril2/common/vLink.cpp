#include "Tandril2/common/vLink.h"

#include <sys/prctl.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>

#include "Tandril2/common/discover.h"
#include "Tandril2/common/vDefs.h"
#include "Tandril2/common/vLinkManagerInternal.h"
#include "Tandril2/common/vStreamsocket.h"
#include "Tandril2/common/vTime.h"
#include "Tandril2/unix/unix_streamserial.h"
#include "Tandril2/unix/unix_streamusb.h"

bool vTandrilDebuggingEnable = false;
uint32_t vTandrilDebuggingLevel = 0;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kMagicBurst = 6;           // magic packets per synchronisation attempt
constexpr int kStartPolls = 2000;        // vLink_Start and vLink_Sync wait 2 s in 1 ms steps
constexpr uint32_t kWriterWaitMs = 1000; // the writer re-checks `running` at least this often
constexpr size_t kPoolSize = 4096;
constexpr size_t kPoolTakeLimit = kPoolSize - vPACKET_MAX_SERIAL; // 4066: room for one more packet
constexpr int kResetAttempts = 20;
constexpr uint32_t kResetPauseMs = 100;
constexpr uint32_t kSyncSettleMs = 100;
// The transports' reads never block, so the reader tells a silent module by time:
// a synchronisation that got no answer this long is sent again, and a packet that
// stops arriving half-way this long is given up (the framing is then unknown).
constexpr auto kResyncQuiet = 250ms;
constexpr auto kStallQuiet = 250ms;
constexpr auto kIOErrorPause = 100ms;
// Between polls of a stream that does not wait by itself the reader sleeps a quarter of the time since the
// last traffic, within these bounds: answers that follow a write are picked up within
// a fraction of their own delay, while an idle link wakes only 100 times a second.
constexpr auto kPollMin = 20us;
constexpr auto kHotSpin = 100us;
constexpr auto kIdleAfter = 200ms;
constexpr auto kIdlePause = 50ms;
constexpr auto kSlowMiss = 1ms;
constexpr int kQuickMissLimit = 64;
constexpr auto kPollMax = 10ms;

__attribute__((format(printf, 2, 3))) void sTrace(uint32_t level, const char* format, ...)
{
    if (!vTandrilDebuggingEnable || (vTandrilDebuggingLevel & level) == 0)
        return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

void sTracePacket(const char* where, int32_t id, const vPacket* packet)
{
    if (!vTandrilDebuggingEnable || (vTandrilDebuggingLevel & vTRACE_PACKETS) == 0)
        return;
    std::string data;
    char hex[4];
    for (uint8_t i = 0; i < packet->dataSize; i++) {
        snprintf(hex, sizeof hex, i ? " %02X" : "%02X", packet->data[i]);
        data += hex;
    }
    sTrace(vTRACE_PACKETS, " %s(%d) ADDR:%02X, LEN:%02X, [%s]\n", where, id, packet->address,
           packet->dataSize, data.c_str());
}

int64_t sNow() { return Clock::now().time_since_epoch().count(); }

void sNoteActivity(vLink* link) { link->lastActivity.store(sNow(), std::memory_order_relaxed); }

void sWakeReader(vLink* link)
{
    {
        std::lock_guard lock(link->wakeMutex);
        link->woken = true;
    }
    link->wake.notify_one();
}

// Sleeps the reader for at most `pause`; returns early when woken or stopped.
void sReaderPause(vLink* link, Clock::duration pause)
{
    std::unique_lock lock(link->wakeMutex);
    link->wake.wait_for(lock, pause, [link] { return link->woken || !link->running.load(); });
    link->woken = false;
}

void sAwaitInput(vLink* link)
{
    Clock::duration quiet{sNow() - link->lastActivity.load(std::memory_order_relaxed)};
    Clock::duration pause = std::clamp<Clock::duration>(quiet / 4, kPollMin, kPollMax);
    sReaderPause(link, pause);
}

// A link with no traffic for a while is idle: the reader then sleeps between polls
// of the stream instead of going straight back to it, and the writer wakes it when it
// sends (answers come after requests). Bytes the module sends on its own wait at most
// one pause.
void sIdlePause(vLink* link)
{
    Clock::duration quiet{sNow() - link->lastActivity.load(std::memory_order_relaxed)};
    if (quiet >= kIdleAfter)
        sReaderPause(link, kIdlePause);
}

bool sUsable(const vLink* link) { return link != nullptr && link->check.load() == vLINK_CHECK; }

void sLog(vLink* link, uint8_t type, const vPacket* packet)
{
    if (!link->logEnabled.load(std::memory_order_relaxed))
        return;
    uint8_t bytes[vPACKET_MAX_SERIAL];
    size_t length = 0;
    if (vPacket_GetBytes(packet, bytes, sizeof bytes, &length) != vErrNone)
        return;
    std::lock_guard lock(link->logMutex);
    if (link->log != nullptr)
        vPacketLog_Put(link->log, type, static_cast<uint8_t>(length), bytes);
}

vErr sQueue(vLink* link, uint8_t address, uint8_t size, const uint8_t* data)
{
    static const uint8_t kNoData = 0;
    vPacket* packet = vPacket_CreateWithData(address, size, size ? data : &kNoData);
    if (packet == nullptr)
        return vErrMemory;
    vErr result = vPacketFifo_Put(link->outFifo.load(), packet);
    vPacket_Destroy(&packet);
    return result;
}

vErr sQueueForceRoute(vLink* link, uint8_t value) { return sQueue(link, cmdFORCEROUTE, 1, &value); }

// ---- Reader ----

void sStartSync(vLink* link)
{
    sTrace(vTRACE_LINK, " sInPipeProcess(%d) -- syncing\nsyncStart\n", link->id);
    link->status.store(vLinkStatusSyncing);
    link->syncState = kSyncStateStart;
    link->syncStarted = Clock::now();
    vPacket_Reset(link->packet);
    bool queued = true;
    for (int i = 0; i < kMagicBurst; i++)
        queued = sQueue(link, cmdMAGIC, 0, nullptr) == vErrNone && queued;
    if (queued)
        link->syncState = kSyncStateByte1;
}

// The answer to the magic packets is A 0x00 A 0x00 for the module address A.
void sSyncByte(vLink* link, uint8_t byte)
{
    switch (link->syncState) {
    case kSyncStateByte1:
        if (byte != 0 && (byte & 1) == 0) {
            link->syncAddress = byte;
            link->syncState = kSyncStateByte2;
        } else {
            sStartSync(link);
        }
        break;
    case kSyncStateByte2:
        link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
        break;
    case kSyncStateByte3:
        link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
        break;
    case kSyncStateByte4:
        if (byte == 0) {
            link->syncState = kSyncStateNone;
            link->status.store(vLinkStatusRunning);
            sTrace(vTRACE_LINK, "synced\n");
        } else {
            link->syncState = kSyncStateStart;
        }
        break;
    default: // kSyncStateStart or no synchronisation under way: begin anew
        sStartSync(link);
        break;
    }
}

// A heartbeat A 0x02 0x00 S (S: 0 up, 1 down) is answered with S + 2 and not queued.
bool sHandleHBBackChannel(vLink* link, const vPacket* packet)
{
    if (packet->dataSize != 2 || packet->data[0] != cmdHEARTBEAT)
        return false;
    uint8_t status = packet->data[1];
    if (status <= 1) {
        sTrace(vTRACE_PACKETS, " sHandleHBBackChannel(%d) %s\n", link->id,
               status == 0 ? "sending HB UP" : "sending HB DOWN");
        const uint8_t answer[2] = {cmdHEARTBEAT, static_cast<uint8_t>(status + 2)};
        sQueue(link, packet->address, 2, answer);
    }
    return true;
}

vErr sHandlePacket(vLink* link)
{
    vPacket* packet = link->packet;
    sTracePacket("sHandlePacket", link->id, packet);
    sLog(link, vPacketLogReceived, packet);
    bool consumed = false;
    {
        std::lock_guard lock(link->userFilterMutex);
        if (link->userFilter != nullptr)
            consumed = link->userFilter(packet, link->userFilterRef) == 1;
    }
    vErr result = vErrNone;
    if (!consumed && !sHandleHBBackChannel(link, packet))
        result = vPacketFifo_Put(link->inFifo.load(), packet);
    vPacket_Reset(packet);
    return result;
}

void* sInPipeProcess(void* argument)
{
    auto* link = static_cast<vLink*>(argument);
    // Short pauses between polls only help when the kernel keeps them short.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    link->syncState = kSyncStateNone;
    link->syncAddress = 1;
    link->status.store(vLinkStatusRunning);
    link->readerReady.store(true);
    Clock::time_point lastByte = Clock::now();
    int quickMisses = 0;
    while (link->running.load()) {
        uint8_t byte = 0;
        auto before = Clock::now();
        vErr read = vStream_Read(link->stream, &byte, 1);
        if (read == vErrNotReady) {
            int status = link->status.load();
            auto now = Clock::now();
            if (status == vLinkStatusIOError) {
                sStartSync(link);
            } else if (status == vLinkStatusSyncing) {
                if (link->syncState == kSyncStateNone || now - link->syncStarted >= kResyncQuiet)
                    sStartSync(link);
            } else if (link->packet->received > 0 && now - lastByte >= kStallQuiet) {
                sTrace(vTRACE_LINK, " sInPipeProcess(%d) packet stalled\n", link->id);
                sStartSync(link);
            }
            // Socket and serial gets wait for their descriptor, so the loop can go on
            // at once; a transport that answers "not ready" without waiting gets the
            // reader's own pauses (a framed stream answers so for every byte it
            // collects, hence the allowance before pausing).
            if (now - before < kSlowMiss) {
                if (++quickMisses >= kQuickMissLimit)
                    sAwaitInput(link);
            } else {
                quickMisses = 0;
                sIdlePause(link);
            }
            continue;
        }
        quickMisses = 0;
        if (read == vErrPacket) {
            // A framed transport dropped a damaged frame: the data are lost, the
            // transport is fine.
            sStartSync(link);
            continue;
        }
        if (read != vErrNone) {
            if (link->status.load() != vLinkStatusIOError)
                sTrace(vTRACE_LINK, " sInPipeProcess(%d) IO_ERROR [vStream_Read()==>%d]\n", link->id, read);
            link->status.store(vLinkStatusIOError);
            sReaderPause(link, kIOErrorPause);
            continue;
        }
        lastByte = Clock::now();
        sNoteActivity(link);
        if (link->status.load() == vLinkStatusSyncing) {
            sSyncByte(link, byte);
            continue;
        }
        if (vPacket_AddByte(link->packet, byte) != vErrNone || (link->packet->address & 1) != 0) {
            sTrace(vTRACE_LINK, " sInPipeProcess(%d) Out of sync\n", link->id);
            sStartSync(link);
            continue;
        }
        if (vPacket_IsComplete(link->packet) && sHandlePacket(link) != vErrNone)
            link->status.store(vLinkStatusFifoError);
    }
    return nullptr;
}

// ---- Writer ----

void sWritten(vLink* link)
{
    sNoteActivity(link);
    sWakeReader(link);
}

void sWriteOne(vLink* link, vPacket* packet)
{
    uint8_t bytes[vPACKET_MAX_SERIAL];
    size_t length = 0;
    if (vPacket_GetBytes(packet, bytes, sizeof bytes, &length) == vErrNone) {
        sTracePacket("sOutPipeProcess", link->id, packet);
        // Logged before it leaves, so its answer can never be logged ahead of it.
        sLog(link, vPacketLogSent, packet);
        vErr result = vStream_Write(link->stream, bytes, length);
        if (result != vErrNone)
            sTrace(vTRACE_LINK, "sOutPipeProcess error writing: %d\n", result);
        sWritten(link);
    }
    vPacket_Destroy(&packet);
}

// Packs the packet and whatever else is queued into one stream write.
void sWritePooled(vLink* link, vPacket* first)
{
    uint8_t buffer[kPoolSize] = {};
    size_t total = 0;
    vPacket* packet = first;
    while (packet != nullptr) {
        size_t length = 0;
        if (vPacket_GetBytes(packet, buffer + total, kPoolSize - total, &length) == vErrNone) {
            sTracePacket("sOutPipeProcess", link->id, packet);
            sLog(link, vPacketLogSent, packet);
            total += length;
        }
        vPacket_Destroy(&packet);
        if (total <= kPoolTakeLimit)
            packet = vPacketFifo_Get(link->outFifo.load());
    }
    if (total == 0)
        return;
    vErr result = vStream_Write(link->stream, buffer, total);
    if (result != vErrNone)
        sTrace(vTRACE_LINK, "sOutPipeProcess error writing pooled: %d\n", result);
    sWritten(link);
}

// A caller that waits for an answer usually gets it within a round trip. While the
// receive queue is empty, watching it a little while before blocking spares the
// reader the cost of waking a sleeping caller. Only an empty queue is watched, so the
// filter still sees each packet once.
void sAwaitSoon(vLink* link)
{
    vPacketFifoRef fifo = link->inFifo.load();
    auto until = Clock::now() + kHotSpin;
    while (vPacketFifo_GetLength(fifo) == 0 && Clock::now() < until && link->running.load())
        std::this_thread::yield();
}

void* sOutPipeProcess(void* argument)
{
    auto* link = static_cast<vLink*>(argument);
    link->writerReady.store(true);
    while (link->running.load()) {
        vPacket* packet = vPacketFifo_Await(link->outFifo.load(), kWriterWaitMs);
        if (packet == nullptr)
            continue;
        if (link->pooled.load())
            sWritePooled(link, packet);
        else
            sWriteOne(link, packet);
    }
    while (vPacket* packet = vPacketFifo_Get(link->outFifo.load()))
        sWriteOne(link, packet);
    return nullptr;
}

// ---- Creation helpers ----

uint8_t sAcceptAll(const vPacket*, void*) { return 1; }

void sDrainAll(vPacketFifoRef fifo) { vPacketFifo_DrainPackets(fifo, sAcceptAll, nullptr); }

vErr sTearDown(const vLinkEntryRef& entry)
{
    std::shared_ptr<vLink> link = entry->link;
    if (!link)
        return vErrUnknown;
    {
        std::lock_guard lock(link->userFilterMutex);
        link->userFilter = nullptr;
        link->userFilterRef = nullptr;
    }
    vLink_Stop(link.get());
    if (entry->linkedId != 0) {
        int32_t linked = entry->linkedId;
        vLink_Destroy(&linked);
    }
    link->check.store(0);
    vPacketFifoRef fifo = link->inFifo.exchange(0);
    if (fifo != 0)
        vPacketFifo_Destroy(&fifo);
    fifo = link->outFifo.exchange(0);
    if (fifo != 0)
        vPacketFifo_Destroy(&fifo);
    if (link->packet != nullptr)
        vPacket_Destroy(&link->packet);
    {
        std::lock_guard lock(link->logMutex);
        link->logEnabled.store(false);
        if (link->log != nullptr)
            vPacketLog_Destroy(&link->log);
    }
    if (link->stream != nullptr)
        vStream_Destroy(&link->stream);
    return vErrNone;
}

// Initialises and starts a new entry's link over `stream` (which the link then owns),
// with a synchronisation for transports that need one. On failure the entry is
// destroyed and 0 returned.
int32_t sFinishCreate(const vLinkEntryRef& entry, vStream* stream, vErr made, bool sync)
{
    int32_t id = entry->id;
    vErr result = made;
    if (result == vErrNone && vLink_Init(id, stream) != id) {
        vStream_Destroy(&stream);
        result = vErrConnection;
    }
    if (result == vErrNone) {
        sChangeUseCount(entry.get(), 1);
        result = vLink_Start(id);
        if (result == vErrNone && sync)
            result = vLink_Sync(id);
    }
    if (result != vErrNone) {
        sTrace(vTRACE_LINK, "link %d could not be made: %s\n", id, vError_GetErrorText(result));
        vLink_Destroy(&id);
        return 0;
    }
    return id;
}

// The existing link to that module with one holder more, or 0.
int32_t sShare(uint32_t serialNumber, uint32_t type, bool evenIfServed, bool* served)
{
    vLinkEntryRef entry =
        sShareEntryByIdentifier(static_cast<int32_t>(serialNumber), static_cast<int32_t>(type), evenIfServed, served);
    return entry ? entry->id : 0;
}

// A new transport for an entry, as vLink_Reset rebuilds it.
vErr sMakeStream(const vLinkEntry& entry, vStream** stream)
{
    switch (entry.type) {
    case USB:
        return vStream_CreateUSB(static_cast<uint32_t>(entry.ident0), stream);
    case TCPIP:
        return vStream_CreateSocket(static_cast<uint32_t>(entry.ident1), static_cast<uint16_t>(entry.ident2), stream);
    default:
        return vErrParam;
    }
}

} // namespace

const char* vLinkStatus_Name(int status)
{
    switch (status) {
    case vLinkStatusStopped: return "Stopped";
    case vLinkStatusStarting: return "Starting";
    case vLinkStatusRunning: return "Running";
    case vLinkStatusStopping: return "Stopping";
    case vLinkStatusSyncing: return "Syncing";
    case vLinkStatusInvalid: return "Invalid";
    case vLinkStatusIOError: return "IOError";
    case vLinkStatusFifoError: return "FifoError";
    default: return "Unknown";
    }
}

int32_t vLink_CreateUSB(uint32_t serialNumber)
{
    bool served = false;
    if (int32_t id = sShare(serialNumber, USB, false, &served))
        return id;
    if (served) {
        sTrace(vTRACE_LINK, "This device is already being used as a \"SERVER\". \nYou must connect by \"CLIENT\" ");
        return 0;
    }
    vLinkEntryRef entry = sCreate(static_cast<int32_t>(serialNumber), 0, USB);
    if (!entry)
        return 0;
    vStream* stream = nullptr;
    vErr made = vStream_CreateUSB(serialNumber, &stream);
    return sFinishCreate(entry, stream, made, true);
}

int32_t vLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port)
{
    bool served = false;
    if (int32_t id = sShare(serialNumber, TCPIP, false, &served))
        return id;
    if (served)
        return 0;
    vLinkEntryRef entry = sCreate2(static_cast<int32_t>(serialNumber), static_cast<int32_t>(address), port, TCPIP);
    if (!entry)
        return 0;
    vStream* stream = nullptr;
    vErr made = vStream_CreateSocket(address, port, &stream);
    return sFinishCreate(entry, stream, made, false);
}

int32_t vLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate)
{
    int speed = vSerial_SpeedIndex(baudRate);
    if (speed < 0 || portName == nullptr)
        return 0;
    if (int32_t id = sShare(serialNumber, SERIAL, true, nullptr))
        return id;
    vLinkEntryRef entry = sCreate(static_cast<int32_t>(serialNumber), 0, SERIAL);
    if (!entry)
        return 0;
    vStream* stream = nullptr;
    vErr made = vStream_CreateSerial_Packetized(portName, static_cast<uint32_t>(speed), 0, 0, 0, &stream);
    return sFinishCreate(entry, stream, made, false);
}

int32_t vLink_CreateClient(uint32_t address, uint16_t port, int32_t ref)
{
    sTrace(vTRACE_LINK, "vLink_CreateClient(%08X, %u, %d): serving is not available in this build\n", address, port,
           ref);
    return 0;
}

int32_t vLink_CreateServer(int32_t deviceId, uint16_t* port, uint32_t* interfaceAddress, uint8_t localOnly)
{
    (void)port;
    (void)interfaceAddress;
    sTrace(vTRACE_LINK, "vLink_CreateServer(%d, %u): serving is not available in this build\n", deviceId, localOnly);
    return 0;
}

int32_t vLink_Create(vStream* stream)
{
    if (!vStream_IsValid(stream))
        return 0;
    vLinkEntryRef entry = sCreate(-1, 0, 0);
    if (!entry) {
        vStream_Destroy(&stream);
        return 0;
    }
    return sFinishCreate(entry, stream, vErrNone, false);
}

int32_t vLink_Init(int32_t id, vStream* stream)
{
    vLinkEntryRef entry = sLookupEntryByID(id);
    if (!entry || !entry->link)
        return 0;
    sTrace(vTRACE_LINK, "vLink_Init(%d, %p)\n", id, static_cast<void*>(stream));
    vLink* link = entry->link.get();
    link->id = id;
    link->running.store(false);
    link->stream = stream;
    link->status.store(stream != nullptr ? vLinkStatusStopped : vLinkStatusInvalid);
    link->readerThread = nullptr;
    link->writerThread = nullptr;
    link->inFifo.store(vPacketFifo_Create());
    link->outFifo.store(vPacketFifo_Create());
    link->readerReady.store(false);
    link->writerReady.store(false);
    if (link->packet == nullptr)
        link->packet = vPacket_Create();
    else
        vPacket_Reset(link->packet);
    link->pooled.store(false);
    {
        std::lock_guard lock(link->userFilterMutex);
        link->userFilter = nullptr;
        link->userFilterRef = nullptr;
    }
    if (link->inFifo.load() == 0 || link->outFifo.load() == 0 || link->packet == nullptr)
        return 0;
    link->check.store(vLINK_CHECK);
    return id;
}

vErr vLink_Destroy(int32_t* id)
{
    if (id == nullptr)
        return vErrParam;
    vLinkEntryRef last;
    int remaining = sReleaseEntry(*id, &last);
    *id = 0;
    if (remaining < 0)
        return vErrParam;
    sTrace(vTRACE_LINK, "vLink_Destroy use_count: %d\n", remaining);
    if (remaining > 0)
        return vErrNone;
    return sTearDown(last);
}

vErr vLink_Start(int32_t id)
{
    std::shared_ptr<vLink> link = sGetLink(id);
    if (!sUsable(link.get()) || link->stream == nullptr)
        return vErrParam;
    if (link->readerThread != nullptr || link->writerThread != nullptr)
        return vErrNone;
    sTrace(vTRACE_LINK, " vLink_Start(%d)\n", id);
    link->running.store(true);
    link->status.store(vLinkStatusStarting);
    link->readerReady.store(false);
    link->writerReady.store(false);
    link->readerThread = vThread_Create(sInPipeProcess, link.get());
    if (link->readerThread != nullptr)
        link->writerThread = vThread_Create(sOutPipeProcess, link.get());
    if (link->writerThread == nullptr) {
        vLink_Stop(link.get());
        return vErrResource;
    }
    for (int poll = 0;; poll++) {
        if (link->readerReady.load() && link->writerReady.load() && link->status.load() == vLinkStatusRunning)
            break;
        if (poll == kStartPolls)
            return vErrIndexRange;
        vTime_MSSleep(1);
    }
    return vLink_ForceRoute(id, 1);
}

vErr vLink_Stop(vLink* link)
{
    if (link == nullptr)
        return vErrParam;
    int status = link->status.load();
    if (status == vLinkStatusStopping || status == vLinkStatusStopped)
        return vErrNone;
    link->status.store(vLinkStatusStopping);
    vErr result = vErrNone;
    bool both = link->readerThread != nullptr && link->writerThread != nullptr;
    // `running` goes first, so that the writer, woken by the route packet, sends it
    // and leaves instead of waiting for more.
    link->running.store(false);
    if (both)
        result = sQueueForceRoute(link, 0);
    sWakeReader(link);
    if (link->readerThread != nullptr && vThread_Destroy(&link->readerThread) != 0)
        result = vErrUnknown;
    if (link->writerThread != nullptr && vThread_Destroy(&link->writerThread) != 0)
        result = vErrUnknown;
    link->readerReady.store(false);
    link->writerReady.store(false);
    if (link->packet != nullptr)
        vPacket_Reset(link->packet);
    link->status.store(vLinkStatusStopped);
    return result;
}

vErr vLink_Sync(int32_t id)
{
    std::shared_ptr<vLink> link = sGetLink(id);
    if (!sUsable(link.get()))
        return vErrParam;
    link->status.store(vLinkStatusSyncing);
    sWakeReader(link.get());
    vErr result = vErrNotReady;
    for (int poll = 0; poll <= kStartPolls; poll++) {
        if (link->status.load() == vLinkStatusRunning) {
            result = vErrNone;
            break;
        }
        vTime_MSSleep(1);
    }
    // Surplus magic packets and their answers, and anything from before the
    // synchronisation, mean nothing to the callers.
    sDrainAll(link->outFifo.load());
    vTime_MSSleep(kSyncSettleMs);
    sDrainAll(link->inFifo.load());
    return result;
}

vErr vLink_Reset(int32_t id)
{
    vLinkEntryRef entry = sLookupEntryByID(id);
    if (!entry || !sUsable(entry->link.get()))
        return vErrParam;
    // A transport that cannot be made again is left as it is.
    if (entry->type != USB && entry->type != TCPIP)
        return vErrParam;
    vLink* link = entry->link.get();
    vLink_Stop(link);
    vPacketFifoRef fifo = link->inFifo.exchange(0);
    vPacketFifo_Destroy(&fifo);
    fifo = link->outFifo.exchange(0);
    vPacketFifo_Destroy(&fifo);
    vStream_Destroy(&link->stream);
    vStream* stream = nullptr;
    for (int attempt = 0; attempt < kResetAttempts; attempt++) {
        if (attempt > 0)
            vTime_MSSleep(kResetPauseMs);
        if (sMakeStream(*entry, &stream) == vErrNone)
            break;
    }
    if (vLink_Init(id, stream) != id)
        return vErrConnection;
    if (stream == nullptr)
        return vErrConnection;
    return vLink_Start(id);
}

vLinkStatus vLink_GetStatus(int32_t id)
{
    std::shared_ptr<vLink> link = sGetLink(id);
    if (!sUsable(link.get()))
        return vLinkStatusInvalid;
    return static_cast<vLinkStatus>(link->status.load());
}

vErr vLink_PutPacket(int32_t id, const vPacket* packet)
{
    std::shared_ptr<vLink> link = sGetLink(id);
    if (!sUsable(link.get()))
        return vErrParam;
    return vPacketFifo_Put(link->outFifo.load(), packet);
}

vPacket* vLink_GetPacket(int32_t id)
{
    std::shared_ptr<vLink> link = sGetLink(id);
    return sUsable(link.get()) ? vPacketFifo_Get(link->inFifo.load()) : nullptr;
}

vPacket* vLink_AwaitPacket(int32_t id, uint32_t timeoutMs)
{
    std::shared_ptr<vLink> link = sGetLink(id);
    return sUsable(link.get()) ? vPacketFifo_Await(link->inFifo.load(), timeoutMs) : nullptr;
}

vPacket* vLink_GetFirst(int32_t id, vPacketFifoFilter filter, void* reference)
{
    std::shared_ptr<vLink> link = sGetLink(id);
    return sUsable(link.get()) ? vPacketFifo_GetFirst(link->inFifo.load(), filter, reference) : nullptr;
}

vPacket* vLink_AwaitFirst(int32_t id, vPacketFifoFilter filter, void* reference, uint32_t timeoutMs)
{
    std::shared_ptr<vLink> link = sGetLink(id);
    if (!sUsable(link.get()))
        return nullptr;
    // A link that is down is not waited on, but what it received before going down
    // is still handed out.
    if (!link->running.load() || link->status.load() != vLinkStatusRunning)
        return vPacketFifo_GetFirst(link->inFifo.load(), filter, reference);
    uint64_t start = vTime_GetMSTicks();
    sAwaitSoon(link.get());
    while (link->running.load() && link->status.load() == vLinkStatusRunning) {
        uint64_t elapsed = vTime_GetMSTicks() - start;
        if (elapsed > timeoutMs)
            break;
        vPacketFifoRef fifo = link->inFifo.load();
        if (vPacket* packet = vPacketFifo_AwaitFirst(fifo, filter, reference, timeoutMs - static_cast<uint32_t>(elapsed)))
            return packet;
        // Back before the deadline only when the queue went away: the link is being
        // stopped, reset or destroyed, which the loop's test then sees.
        if (vTime_GetMSTicks() - start >= timeoutMs)
            break;
        if (fifo == link->inFifo.load())
            vTime_MSSleep(1);
    }
    return vPacketFifo_GetFirst(link->inFifo.load(), filter, reference);
}

int vLink_DrainPackets(int32_t id, vPacketFifoFilter filter, void* reference)
{
    std::shared_ptr<vLink> link = sGetLink(id);
    if (!sUsable(link.get()))
        return 0;
    return static_cast<int>(vPacketFifo_DrainPackets(link->inFifo.load(), filter, reference));
}

vErr vLink_InstallUserPacketFilter(int32_t id, vPacketFifoFilter filter, void* reference)
{
    std::shared_ptr<vLink> link = sGetLink(id);
    if (!sUsable(link.get()))
        return vErrParam;
    std::lock_guard lock(link->userFilterMutex);
    link->userFilter = filter;
    link->userFilterRef = filter != nullptr ? reference : nullptr;
    return vErrNone;
}

vErr vLink_EnablePooledPackets(int32_t id, bool enable)
{
    std::shared_ptr<vLink> link = sGetLink(id);
    if (!sUsable(link.get()))
        return vErrParam;
    link->pooled.store(enable);
    return vErrNone;
}

vErr vLink_ForceRoute(int32_t id, uint8_t value)
{
    vLinkEntryRef entry = sLookupEntryByID(id);
    if (!entry)
        return vErrNotFound;
    if (!sUsable(entry->link.get()))
        return vErrParam;
    return sQueueForceRoute(entry->link.get(), value);
}

vErr vLink_PacketDebug_SetLogSize(int32_t id, int64_t bytes)
{
    std::shared_ptr<vLink> link = sGetLink(id);
    if (!sUsable(link.get()) || bytes > static_cast<int64_t>(vPACKETLOG_MAX_SIZE))
        return vErrParam;
    std::lock_guard lock(link->logMutex);
    if (link->log != nullptr)
        return vErrBusy;
    link->logSize = bytes < 0 ? 0 : static_cast<uint32_t>(bytes);
    return vErrNone;
}

vErr vLink_PacketDebug_Enable(int32_t id)
{
    std::shared_ptr<vLink> link = sGetLink(id);
    if (!sUsable(link.get()))
        return vErrParam;
    std::lock_guard lock(link->logMutex);
    if (link->log == nullptr)
        link->log = vPacketLog_Create(link->logSize);
    if (link->log == nullptr)
        return vErrResource;
    link->logEnabled.store(true);
    return vErrNone;
}

namespace {

// Runs `use` on the link's existing log under the log's lock. vErrParam for an
// unknown id, vErrNotReady when the link has no log.
template <typename F>
vErr sWithLog(int32_t id, F&& use)
{
    std::shared_ptr<vLink> link = sGetLink(id);
    if (!sUsable(link.get()))
        return vErrParam;
    std::lock_guard lock(link->logMutex);
    if (link->log == nullptr)
        return vErrNotReady;
    return use(*link);
}

} // namespace

vErr vLink_PacketDebug_Disable(int32_t id)
{
    return sWithLog(id, [](vLink& link) {
        link.logEnabled.store(false);
        return vErrNone;
    });
}

vErr vLink_PacketDebug_Read(int32_t id, uint8_t* type, uint8_t* length, uint8_t* buffer)
{
    return sWithLog(id, [&](vLink& link) { return vPacketLog_Get(link.log, type, length, buffer); });
}

vErr vLink_PacketDebug_Write(int32_t id, uint8_t type, uint8_t length, const uint8_t* bytes)
{
    return sWithLog(id, [&](vLink& link) { return vPacketLog_Put(link.log, type, length, bytes); });
}
