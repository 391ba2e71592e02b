#include "Tandril2/common/vMutex.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <pthread.h>

namespace {
constexpr uint16_t kMutexValid = 0xDEAF;
}

struct vMutexRecord {
    uint16_t check;
    pthread_mutex_t mutex;
    char name[vMUTEX_MAX_NAME + 1];
};

namespace {
bool valid(const vMutexRecord* m) { return m != nullptr && m->check == kMutexValid; }
} // namespace

vMutex vMutex_Create(const char* name) {
    if (name == nullptr)
        name = "";
    size_t length = strnlen(name, vMUTEX_MAX_NAME + 1);
    if (length > vMUTEX_MAX_NAME)
        return nullptr;
    auto* m = new (std::nothrow) vMutexRecord;
    if (m == nullptr)
        return nullptr;
    if (pthread_mutex_init(&m->mutex, nullptr) != 0) {
        delete m;
        return nullptr;
    }
    std::memcpy(m->name, name, length);
    m->name[length] = '\0';
    m->check = kMutexValid;
    return m;
}

const char* vMutex_Identifier(vMutex mutex) { return valid(mutex) ? mutex->name : ""; }

vErr vMutex_Destroy(vMutex* mutex) {
    if (mutex == nullptr || !valid(*mutex))
        return vErrParam;
    vMutexRecord* m = *mutex;
    *mutex = nullptr;
    int rc = pthread_mutex_destroy(&m->mutex);
    m->check = 0;
    delete m;
    switch (rc) {
    case 0:
        return vErrNone;
    case EAGAIN:
    case ENOMEM:
        return vErrResource;
    case EBUSY:
        return vErrBusy;
    default:
        return vErrUnknown;
    }
}

vErr vMutex_Lock(vMutex mutex) {
    if (!valid(mutex))
        return vErrParam;
    switch (pthread_mutex_lock(&mutex->mutex)) {
    case 0:
        return vErrNone;
    case EDEADLK:
        return vErrDuplicate;
    case EINVAL:
        return vErrParam;
    default:
        return vErrUnknown;
    }
}

vErr vMutex_TryLock(vMutex mutex) {
    if (!valid(mutex))
        return vErrParam;
    switch (pthread_mutex_trylock(&mutex->mutex)) {
    case 0:
        return vErrNone;
    case EBUSY:
        return vErrBusy;
    case EINVAL:
        return vErrParam;
    default:
        return vErrUnknown;
    }
}

vErr vMutex_Unlock(vMutex mutex) {
    if (!valid(mutex))
        return vErrParam;
    switch (pthread_mutex_unlock(&mutex->mutex)) {
    case 0:
        return vErrNone;
    case EPERM:
        return vErrPermission;
    case EINVAL:
        return vErrParam;
    default:
        return vErrUnknown;
    }
}
