// A transport under a test's control, for driving the link engine byte by byte:
// bytes pushed by the test come out of the stream's get, every write call is
// recorded as one block, and a small module answers the host's magic packets.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "Tandril2/common/vDefs.h"
#include "Tandril2/common/vPacket.h"
#include "Tandril2/common/vStream.h"

namespace tandril::test {

class FakeWire {
public:
    using Bytes = std::vector<uint8_t>;

    FakeWire() : assembler_(vPacket_Create()) {}
    ~FakeWire() { vPacket_Destroy(&assembler_); }

    // A stream over this wire. The wire must outlive the stream; deleting the
    // stream only marks the wire.
    vStream* makeStream()
    {
        return vStream_Create(sGet, sPut, sWrite, sDelete, this);
    }

    // Bytes the module sends.
    void push(const Bytes& bytes)
    {
        std::lock_guard lock(mutex_);
        toHost_.insert(toHost_.end(), bytes.begin(), bytes.end());
        changed_.notify_all();
    }

    // What the module does with each whole packet from the host. The default
    // answers cmdMAGIC with an empty packet from `address`.
    void onPacket(std::function<void(FakeWire&, const vPacket&)> handler)
    {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }
    std::atomic<uint8_t> address{8};
    std::atomic<bool> answerMagic{true};

    // Every get returns this code while it is not vErrNone (a broken transport).
    void failReads(vErr code)
    {
        std::lock_guard lock(mutex_);
        readFailure_ = code;
        changed_.notify_all();
    }

    // While held, write calls wait (so that packets pile up in the link's queue).
    void holdWrites(bool hold)
    {
        std::lock_guard lock(mutex_);
        holdWrites_ = hold;
        changed_.notify_all();
    }

    std::vector<Bytes> writes()
    {
        std::lock_guard lock(mutex_);
        return writes_;
    }
    void clearWrites()
    {
        std::lock_guard lock(mutex_);
        writes_.clear();
    }
    size_t writesInProgress()
    {
        std::lock_guard lock(mutex_);
        return writing_;
    }
    size_t unread()
    {
        std::lock_guard lock(mutex_);
        return toHost_.size();
    }
    unsigned magicCount()
    {
        std::lock_guard lock(mutex_);
        return magic_;
    }
    bool deleted()
    {
        std::lock_guard lock(mutex_);
        return deleted_;
    }

private:
    static vErr sGet(uint8_t* byte, void* reference)
    {
        auto* wire = static_cast<FakeWire*>(reference);
        std::unique_lock lock(wire->mutex_);
        // Like the real transports: wait a little for a byte instead of spinning.
        wire->changed_.wait_for(lock, std::chrono::milliseconds(2),
                                [wire] { return !wire->toHost_.empty() || wire->readFailure_ != vErrNone; });
        if (wire->readFailure_ != vErrNone)
            return wire->readFailure_;
        if (wire->toHost_.empty())
            return vErrNotReady;
        *byte = wire->toHost_.front();
        wire->toHost_.pop_front();
        return vErrNone;
    }
    static vErr sPut(const uint8_t* byte, void* reference) { return sWrite(byte, 1, reference); }
    static vErr sWrite(const uint8_t* data, size_t length, void* reference)
    {
        auto* wire = static_cast<FakeWire*>(reference);
        std::vector<vPacket> packets;
        std::function<void(FakeWire&, const vPacket&)> handler;
        {
            std::unique_lock lock(wire->mutex_);
            wire->writing_++;
            wire->changed_.notify_all();
            wire->changed_.wait(lock, [wire] { return !wire->holdWrites_; });
            wire->writing_--;
            wire->writes_.emplace_back(data, data + length);
            for (size_t i = 0; i < length; i++) {
                if (vPacket_AddByte(wire->assembler_, data[i]) != vErrNone) {
                    vPacket_Reset(wire->assembler_);
                    continue;
                }
                if (vPacket_IsComplete(wire->assembler_)) {
                    packets.push_back(*wire->assembler_);
                    vPacket_Reset(wire->assembler_);
                }
            }
            handler = wire->handler_;
        }
        for (const vPacket& packet : packets) {
            if (packet.address == cmdMAGIC && packet.dataSize == 0) {
                {
                    std::lock_guard lock(wire->mutex_);
                    wire->magic_++;
                }
                if (wire->answerMagic)
                    wire->push({wire->address, 0});
            } else if (handler) {
                handler(*wire, packet);
            }
        }
        return vErrNone;
    }
    static vErr sDelete(void* reference)
    {
        auto* wire = static_cast<FakeWire*>(reference);
        std::lock_guard lock(wire->mutex_);
        wire->deleted_ = true;
        return vErrNone;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<uint8_t> toHost_;
    std::vector<Bytes> writes_;
    std::function<void(FakeWire&, const vPacket&)> handler_;
    vPacket* assembler_;
    vErr readFailure_ = vErrNone;
    bool holdWrites_ = false;
    size_t writing_ = 0;
    unsigned magic_ = 0;
    bool deleted_ = false;
};

} // namespace tandril::test
