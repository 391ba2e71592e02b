#include "Tandril2/common/vLogger.h"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <new>

#include "Tandril2/common/vLink.h"
#include "Tandril2/common/vPacketDebug.h"
#include "Tandril2/common/vThread.h"
#include "Tandril2/common/vTime.h"

namespace {
constexpr uint16_t kLoggerCheck = 0xDEED;
constexpr uint32_t kIdleSleepMs = 5;
} // namespace

struct vLogger {
    uint16_t check = kLoggerCheck;
    int32_t linkId = 0;
    FILE* file = nullptr;
    std::atomic<bool> run{false};
    vThread thread = nullptr;
    std::atomic<pthread_t> threadId{};
};

static bool sValid(const vLogger* logger) { return logger != nullptr && logger->check == kLoggerCheck; }

// Writes one entry; false when the log is empty (or gone with its link).
static bool sWriteEntry(vLogger* logger)
{
    // An entry's length is one byte, so this buffer takes any entry.
    uint8_t type = 0, length = UINT8_MAX, bytes[UINT8_MAX];
    if (vLink_PacketDebug_Read(logger->linkId, &type, &length, bytes) != vErrNone)
        return false;
    fprintf(logger->file, "%d %s ", length, type == vPacketLogSent ? ">" : "<");
    for (uint8_t i = 0; i < length; i++) {
        if (type == vPacketLogText) {
            if (bytes[i] != 0)
                fputc(bytes[i], logger->file);
        } else {
            fprintf(logger->file, "0x%X ", bytes[i]);
        }
    }
    fputs("\r\n", logger->file);
    return true;
}

static void* sLoggerProcess(void* argument)
{
    auto* logger = static_cast<vLogger*>(argument);
    logger->threadId.store(pthread_self());
    while (logger->run.load()) {
        if (!sWriteEntry(logger))
            vTime_MSSleep(kIdleSleepMs);
    }
    while (sWriteEntry(logger)) {
    }
    return nullptr;
}

vLogger* vLogger_Create(int32_t linkId, const char* path)
{
    if (path == nullptr)
        return nullptr;
    FILE* file = fopen(path, "a");
    if (file == nullptr)
        return nullptr;
    setvbuf(file, nullptr, _IONBF, 0);
    auto* logger = new (std::nothrow) vLogger;
    if (logger == nullptr) {
        fclose(file);
        return nullptr;
    }
    logger->linkId = linkId;
    logger->file = file;
    return logger;
}

vErr vLogger_Enable(vLogger* logger)
{
    if (!sValid(logger))
        return vErrParam;
    if (logger->thread != nullptr)
        return vErrNone;
    logger->run.store(true);
    logger->thread = vThread_Create(sLoggerProcess, logger);
    if (logger->thread == nullptr) {
        logger->run.store(false);
        return vErrResource;
    }
    return vErrNone;
}

vErr vLogger_Disable(vLogger* logger)
{
    if (!sValid(logger))
        return vErrParam;
    logger->run.store(false);
    if (logger->thread != nullptr && !pthread_equal(logger->threadId.load(), pthread_self()))
        vThread_Destroy(&logger->thread);
    return vErrNone;
}

vErr vLogger_Destroy(vLogger** logger)
{
    if (logger == nullptr || !sValid(*logger))
        return vErrParam;
    vLogger_Disable(*logger);
    fclose((*logger)->file);
    (*logger)->check = 0;
    delete *logger;
    *logger = nullptr;
    return vErrNone;
}
