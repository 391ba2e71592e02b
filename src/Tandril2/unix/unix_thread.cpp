#include "Tandril2/common/vThread.h"

#include <cerrno>
#include <new>
#include <pthread.h>
#include <unistd.h>

struct vThreadRecord {
    pthread_t thread;
};

vThread vThread_Create(vThreadProcedure procedure, void* argument) {
    if (procedure == nullptr)
        return nullptr;
    auto* t = new (std::nothrow) vThreadRecord;
    if (t == nullptr)
        return nullptr;
    if (pthread_create(&t->thread, nullptr, procedure, argument) != 0) {
        delete t;
        return nullptr;
    }
    return t;
}

int vThread_Destroy(vThread* thread) {
    if (thread == nullptr || *thread == nullptr)
        return EINVAL;
    vThreadRecord* t = *thread;
    *thread = nullptr;
    int rc = pthread_join(t->thread, nullptr);
    delete t;
    return rc;
}

void vThread_Yield() { usleep(5); }
