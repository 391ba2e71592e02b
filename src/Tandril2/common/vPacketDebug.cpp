#include "Tandril2/common/vPacketDebug.h"

#include <deque>
#include <mutex>
#include <new>

namespace {
constexpr uint16_t kPacketLogCheck = 0xD0C5;
constexpr size_t kEntryHeader = 2; // type, length
} // namespace

struct vPacketLog {
    uint16_t check = kPacketLogCheck;
    size_t capacity = 0;
    std::mutex mutex;
    std::deque<uint8_t> bytes; // entries back to back, oldest first
    uint32_t entries = 0;
};

static bool sValid(const vPacketLog* log) { return log != nullptr && log->check == kPacketLogCheck; }

const char* vPacketLogType_Name(uint8_t type)
{
    switch (type) {
    case vPacketLogSent: return "sent";
    case vPacketLogReceived: return "received";
    case vPacketLogText: return "text";
    default: return "unknown";
    }
}

vPacketLog* vPacketLog_Create(uint32_t capacity)
{
    if (capacity > vPACKETLOG_MAX_SIZE)
        return nullptr;
    auto* log = new (std::nothrow) vPacketLog;
    if (log != nullptr)
        log->capacity = capacity == 0 ? vPACKETLOG_DEFAULT_SIZE : capacity;
    return log;
}

vErr vPacketLog_Destroy(vPacketLog** log)
{
    if (log == nullptr || !sValid(*log))
        return vErrParam;
    (*log)->check = 0;
    delete *log;
    *log = nullptr;
    return vErrNone;
}

static void sDropOldest(vPacketLog* log)
{
    size_t size = kEntryHeader + log->bytes[1];
    log->bytes.erase(log->bytes.begin(), log->bytes.begin() + static_cast<std::ptrdiff_t>(size));
    log->entries--;
}

vErr vPacketLog_Put(vPacketLog* log, uint8_t type, uint8_t length, const uint8_t* bytes)
{
    if (!sValid(log) || (bytes == nullptr && length > 0))
        return vErrParam;
    size_t need = kEntryHeader + length;
    std::lock_guard lock(log->mutex);
    if (need >= log->capacity)
        return vErrOverrun;
    while (log->bytes.size() + need >= log->capacity)
        sDropOldest(log);
    log->bytes.push_back(type);
    log->bytes.push_back(length);
    log->bytes.insert(log->bytes.end(), bytes, bytes + length);
    log->entries++;
    return vErrNone;
}

vErr vPacketLog_Get(vPacketLog* log, uint8_t* type, uint8_t* length, uint8_t* buffer)
{
    if (!sValid(log) || type == nullptr || length == nullptr || buffer == nullptr)
        return vErrParam;
    std::lock_guard lock(log->mutex);
    if (log->entries == 0)
        return vErrNotFound;
    uint8_t size = log->bytes[1];
    if (*length < size) {
        *length = size;
        return vErrOverrun;
    }
    *type = log->bytes[0];
    *length = size;
    for (size_t i = 0; i < size; i++)
        buffer[i] = log->bytes[kEntryHeader + i];
    sDropOldest(log);
    return vErrNone;
}

uint32_t vPacketLog_Count(vPacketLog* log)
{
    if (!sValid(log))
        return 0;
    std::lock_guard lock(log->mutex);
    return log->entries;
}
