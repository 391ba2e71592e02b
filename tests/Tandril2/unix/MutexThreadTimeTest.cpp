// Mutexes, threads and time: name limits, contention between threads, joining,
// sleeps that last at least as asked, and the tolerance of USB transfer errors.
#include <atomic>
#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "Tandril2/common/vMutex.h"
#include "Tandril2/common/vThread.h"
#include "Tandril2/common/vTime.h"
#include "Tandril2/common/vTransferErrors.h"

namespace {

TEST(Mutex, NameLimits) {
    std::string longest(vMUTEX_MAX_NAME, 'n');
    vMutex m = vMutex_Create(longest.c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(vMutex_Identifier(m), longest);
    EXPECT_EQ(vMutex_Destroy(&m), vErrNone);
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(vMutex_Create(std::string(vMUTEX_MAX_NAME + 1, 'n').c_str()), nullptr);
    vMutex unnamed = vMutex_Create(nullptr);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(vMutex_Identifier(unnamed), "");
    vMutex_Destroy(&unnamed);
}

TEST(Mutex, NullIsRefused) {
    vMutex none = nullptr;
    EXPECT_EQ(vMutex_Lock(nullptr), vErrParam);
    EXPECT_EQ(vMutex_TryLock(nullptr), vErrParam);
    EXPECT_EQ(vMutex_Unlock(nullptr), vErrParam);
    EXPECT_EQ(vMutex_Destroy(&none), vErrParam);
    EXPECT_EQ(vMutex_Destroy(nullptr), vErrParam);
}

struct Shared {
    vMutex mutex;
    vErr tryResult = vErrNone;
    long counter = 0;
};

TEST(Mutex, HeldElsewhereIsBusyAndExcludes) {
    Shared s;
    s.mutex = vMutex_Create("contention");
    ASSERT_EQ(vMutex_Lock(s.mutex), vErrNone);
    vThread t = vThread_Create(
        [](void* arg) -> void* {
            auto* s = static_cast<Shared*>(arg);
            s->tryResult = vMutex_TryLock(s->mutex);
            return nullptr;
        },
        &s);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(vThread_Destroy(&t), 0);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(s.tryResult, vErrBusy);
    ASSERT_EQ(vMutex_Unlock(s.mutex), vErrNone);

    auto add = [](void* arg) -> void* {
        auto* s = static_cast<Shared*>(arg);
        for (int i = 0; i < 20000; ++i) {
            vMutex_Lock(s->mutex);
            ++s->counter;
            vMutex_Unlock(s->mutex);
        }
        return nullptr;
    };
    vThread a = vThread_Create(add, &s);
    vThread b = vThread_Create(add, &s);
    EXPECT_EQ(vThread_Destroy(&a), 0);
    EXPECT_EQ(vThread_Destroy(&b), 0);
    EXPECT_EQ(s.counter, 40000);
    EXPECT_EQ(vMutex_Destroy(&s.mutex), vErrNone);
}

TEST(Thread, RunsWithItsArgumentAndJoins) {
    std::atomic<int> value{0};
    vThread t = vThread_Create(
        [](void* arg) -> void* {
            vThread_Yield();
            static_cast<std::atomic<int>*>(arg)->store(42);
            return nullptr;
        },
        &value);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(vThread_Destroy(&t), 0);
    EXPECT_EQ(value.load(), 42); // joined: the store is visible
    EXPECT_EQ(vThread_Create(nullptr, nullptr), nullptr);
    EXPECT_EQ(vThread_Destroy(&t), EINVAL);
}

TEST(Time, SleepsAtLeastAsLongAsAsked) {
    for (uint32_t ms : {0u, 5u, 1100u}) {
        uint64_t start = vTime_GetMSTicks();
        ASSERT_NE(start, 0u);
        EXPECT_EQ(vTime_MSSleep(ms), vErrNone);
        EXPECT_GE(vTime_GetMSTicks() - start, ms) << ms;
    }
}

TEST(TransferErrors, FourInARowTolerated) {
    struct Step {
        vErr in;
        vErr out;
        bool failed;
    };
    const Step steps[] = {
        {vErrIO, vErrNone, false},   {vErrIO, vErrNone, false},   {vErrIO, vErrNone, false},
        {vErrNone, vErrNone, false}, // a success starts the count again
        {vErrIO, vErrNone, false},   {vErrIO, vErrNone, false},   {vErrIO, vErrNone, false},
        {vErrIO, vErrNone, false},   {vErrIO, vErrIO, true},       {vErrIO, vErrIO, true},
        {vErrTimeout, vErrTimeout, true}, // other errors pass unchanged; failure stays recorded
        {vErrIO, vErrNone, true},
    };
    uint32_t count = 0;
    bool failed = false;
    int i = 0;
    for (const Step& s : steps) {
        EXPECT_EQ(vTransfer_FilterResult(s.in, &count, &failed), s.out) << "step " << i;
        EXPECT_EQ(failed, s.failed) << "step " << i;
        ++i;
    }
    EXPECT_EQ(vTransfer_FilterResult(vErrIO, nullptr, &failed), vErrParam);
}

} // namespace
