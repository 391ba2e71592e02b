#include "Tandril2/common/packetfifo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

struct vPacketDeleter {
    void operator()(vPacket* packet) const { vPacket_Destroy(&packet); }
};
using PacketOwner = std::unique_ptr<vPacket, vPacketDeleter>;

// A queued packet with its place in the FIFO's sequence of puts.
class SerialPacket {
public:
    SerialPacket(int64_t id, PacketOwner packet) : id_(id), packet_(std::move(packet)) {}
    int64_t getId() const { return id_; }
    const vPacket* getPacket() const { return packet_.get(); }

private:
    int64_t id_;
    PacketOwner packet_;
};

// Ids grow by one per put, so the queue is always in id order and `windowStart` (the
// front's id, or nextId when empty) tells a filtered waiter which packets it has not
// shown to its filter yet.
class packetFifo {
public:
    using Queue = std::deque<SerialPacket>;

    Queue packets;
    std::condition_variable condition;
    std::mutex mutex;
    std::atomic<bool> alive{true};
    std::atomic<int64_t> windowStart{0};
    std::atomic<int64_t> nextId{0};

    // All of these run with `mutex` held.
    void syncWindow() { windowStart = packets.empty() ? nextId.load() : packets.front().getId(); }
    void clearAndSyncWindow() {
        packets.clear();
        syncWindow();
    }
    void eraseAndSyncWindow(Queue::iterator position) {
        packets.erase(position);
        syncWindow();
    }
    void eraseAndSyncWindow(Queue::iterator first, Queue::iterator last) {
        packets.erase(first, last);
        syncWindow();
    }
};

using FifoShare = std::shared_ptr<packetFifo>;

// Never destroyed: link threads may still look FIFOs up while the process exits.
struct Registry {
    std::mutex gpPacketFifoDictionaryMutex;
    std::map<vPacketFifoRef, FifoShare> gpPacketFifoDictionary;
    vPacketFifoRef gpSequentialId = 1;
};

Registry& sRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

// The FIFO, shared for the caller's whole operation so that a concurrent destruction
// cannot free it underneath; null when unknown.
FifoShare sLookUp(vPacketFifoRef reference) {
    Registry& registry = sRegistry();
    std::lock_guard<std::mutex> lock(registry.gpPacketFifoDictionaryMutex);
    auto found = registry.gpPacketFifoDictionary.find(reference);
    return found == registry.gpPacketFifoDictionary.end() ? nullptr : found->second;
}

std::chrono::steady_clock::time_point sDeadline(uint32_t timeoutMs) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

// Hands out a copy of the packet at `position` and removes it; with `mutex` held. When
// no copy can be made the packet stays queued and the caller gets null.
vPacket* _stealPacketFromFifo(packetFifo& fifo, packetFifo::Queue::iterator position) {
    vPacket* copy = vPacket_Copy(position->getPacket());
    if (copy != nullptr) {
        fifo.eraseAndSyncWindow(position);
    }
    return copy;
}

} // namespace

// Nothing leaves the library as an exception: a failed allocation or lock, or a filter
// that throws, ends the operation with its failure result.

vPacketFifoRef vPacketFifo_Create(void) {
    try {
        auto fifo = std::make_shared<packetFifo>();
        Registry& registry = sRegistry();
        std::lock_guard<std::mutex> lock(registry.gpPacketFifoDictionaryMutex);
        vPacketFifoRef reference;
        // 0 names no FIFO; after the counter wraps, numbers still in use are skipped too.
        do {
            reference = registry.gpSequentialId++;
        } while (reference == 0 || registry.gpPacketFifoDictionary.count(reference) != 0);
        registry.gpPacketFifoDictionary.emplace(reference, std::move(fifo));
        return reference;
    } catch (...) {
        return 0;
    }
}

vErr vPacketFifo_Destroy(vPacketFifoRef* reference) {
    if (reference == nullptr) {
        return vErrParam;
    }
    try {
        FifoShare fifo;
        {
            Registry& registry = sRegistry();
            std::lock_guard<std::mutex> lock(registry.gpPacketFifoDictionaryMutex);
            auto found = registry.gpPacketFifoDictionary.find(*reference);
            if (found == registry.gpPacketFifoDictionary.end()) {
                return vErrNotFound;
            }
            fifo = std::move(found->second);
            registry.gpPacketFifoDictionary.erase(found);
        }
        {
            std::lock_guard<std::mutex> lock(fifo->mutex);
            fifo->clearAndSyncWindow();
            fifo->alive = false;
            fifo->condition.notify_all();
        }
        *reference = 0;
        return vErrNone;
    } catch (...) {
        return vErrUnknown;
    }
}

size_t vPacketFifo_GetLength(vPacketFifoRef reference) try {
    FifoShare fifo = sLookUp(reference);
    if (!fifo) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(fifo->mutex);
    return fifo->packets.size();
} catch (...) {
    return 0;
}

vErr vPacketFifo_Put(vPacketFifoRef reference, const vPacket* packet) try {
    FifoShare fifo = sLookUp(reference);
    if (!fifo || !vVALIDPACKET(packet)) {
        return vErrParam;
    }
    std::lock_guard<std::mutex> lock(fifo->mutex);
    if (!fifo->alive) {
        return vErrParam; // destroyed after the look-up: as good as unknown
    }
    const int64_t id = fifo->nextId++;
    PacketOwner copy(vPacket_Copy(packet));
    if (!copy) {
        return vErrParam;
    }
    try {
        // The owner is moved only once the element is built, so a failed append still
        // destroys the copy.
        fifo->packets.emplace_back(id, std::move(copy));
    } catch (...) {
        fifo->syncWindow();
        return vErrResource;
    }
    if (fifo->packets.size() > vPACKETFIFO_CAPACITY) {
        // Nobody is reading (a module streaming to a host that never takes its values):
        // give up the oldest packet, not the new one a waiter may be about to ask for.
        fifo->eraseAndSyncWindow(fifo->packets.begin());
    } else {
        fifo->syncWindow();
    }
    fifo->condition.notify_all();
    return vErrNone;
} catch (...) {
    return vErrResource;
}

vPacket* vPacketFifo_Get(vPacketFifoRef reference) try {
    FifoShare fifo = sLookUp(reference);
    if (!fifo) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(fifo->mutex);
    return fifo->packets.empty() ? nullptr : _stealPacketFromFifo(*fifo, fifo->packets.begin());
} catch (...) {
    return nullptr;
}

vPacket* vPacketFifo_Await(vPacketFifoRef reference, uint32_t timeoutMs) try {
    const auto deadline = sDeadline(timeoutMs);
    FifoShare fifo = sLookUp(reference);
    if (!fifo) {
        return nullptr;
    }
    std::unique_lock<std::mutex> lock(fifo->mutex);
    // _waitUntilNotEmpty: tested before the first wait and once more at the deadline.
    fifo->condition.wait_until(lock, deadline,
                               [&] { return !fifo->packets.empty() || !fifo->alive; });
    return fifo->packets.empty() ? nullptr : _stealPacketFromFifo(*fifo, fifo->packets.begin());
} catch (...) {
    return nullptr;
}

vPacket* vPacketFifo_GetFirst(vPacketFifoRef reference, vPacketFifoFilter filter, void* filterReference) try {
    FifoShare fifo = sLookUp(reference);
    if (!fifo || filter == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(fifo->mutex);
    for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it) {
        if (filter(it->getPacket(), filterReference) != 0) {
            return _stealPacketFromFifo(*fifo, it);
        }
    }
    return nullptr;
} catch (...) {
    return nullptr;
}

vPacket* vPacketFifo_AwaitFirst(vPacketFifoRef reference, vPacketFifoFilter filter, void* filterReference,
                                uint32_t timeoutMs) try {
    const auto deadline = sDeadline(timeoutMs);
    FifoShare fifo = sLookUp(reference);
    if (!fifo || filter == nullptr) {
        return nullptr;
    }
    std::unique_lock<std::mutex> lock(fifo->mutex);
    // Filters may have side effects (copying a reply into their reference), so each
    // packet is shown once per call: everything up to lastSeen has been shown already.
    int64_t lastSeen = fifo->windowStart - 1;
    bool accepted = false;
    auto found = fifo->packets.end();
    auto _waitUntilProcIsSatisfied = [&] {
        for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it) {
            if (it->getId() <= lastSeen) {
                continue;
            }
            lastSeen = it->getId();
            if (filter(it->getPacket(), filterReference) != 0) {
                found = it;
                accepted = true;
                return true;
            }
        }
        return !fifo->alive;
    };
    fifo->condition.wait_until(lock, deadline, _waitUntilProcIsSatisfied);
    return accepted ? _stealPacketFromFifo(*fifo, found) : nullptr;
} catch (...) {
    return nullptr;
}

size_t vPacketFifo_DrainPackets(vPacketFifoRef reference, vPacketFifoFilter filter, void* filterReference) try {
    FifoShare fifo = sLookUp(reference);
    if (!fifo || filter == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(fifo->mutex);
    const size_t before = fifo->packets.size();
    // Every packet is shown to the filter once, before anything moves, so that a filter
    // that throws leaves the queue as it was.
    std::vector<bool> accepted;
    accepted.reserve(before);
    for (const SerialPacket& p : fifo->packets) {
        accepted.push_back(filter(p.getPacket(), filterReference) != 0);
    }
    // Close the gaps, keeping the order of the rest; an accepted packet is destroyed when
    // a kept one is moved over it, or with the tail erased below.
    size_t kept = 0;
    for (size_t i = 0; i < before; ++i) {
        if (!accepted[i]) {
            if (kept != i) {
                fifo->packets[kept] = std::move(fifo->packets[i]);
            }
            ++kept;
        }
    }
    fifo->eraseAndSyncWindow(fifo->packets.begin() + static_cast<std::ptrdiff_t>(kept),
                             fifo->packets.end());
    return before - fifo->packets.size();
} catch (...) {
    return 0;
}
