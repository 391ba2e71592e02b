#include "Tandril2/common/vStream.h"

#include <poll.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Tandril2/common/vFile.h"

namespace {

constexpr size_t kRingStep = 512;

// Scratch space for a read: on the stack for the usual small reads, else the heap.
// Never throws; ok() is false when memory runs out.
class Scratch {
public:
    explicit Scratch(size_t n) : data_(n <= sizeof(local_) ? local_ : static_cast<uint8_t*>(std::malloc(n))) {}
    ~Scratch() {
        if (data_ != local_)
            std::free(data_);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    bool ok() const { return data_ != nullptr; }
    uint8_t* get() { return data_; }

private:
    uint8_t local_[64];
    uint8_t* data_;
};

// Makes room for one more byte: grows the ring by kRingStep keeping the order.
vErr sStreamReserve(vStream* stream) {
    if (stream->pushBack == nullptr) {
        stream->pushBack = static_cast<uint8_t*>(std::malloc(kRingStep));
        if (stream->pushBack == nullptr)
            return vErrMemory;
        stream->capacity = kRingStep;
        stream->count = 0;
        stream->readIndex = 0;
        stream->writeIndex = 0;
        return vErrNone;
    }
    if (stream->count < stream->capacity - 1)
        return vErrNone;
    const size_t capacity = stream->capacity + kRingStep;
    auto* ring = static_cast<uint8_t*>(std::malloc(capacity));
    if (ring == nullptr)
        return vErrMemory;
    for (size_t i = 0; i < stream->count; ++i)
        ring[i] = stream->pushBack[(stream->readIndex + i) % stream->capacity];
    std::free(stream->pushBack);
    stream->pushBack = ring;
    stream->capacity = capacity;
    stream->readIndex = 0;
    stream->writeIndex = stream->count;
    return vErrNone;
}

bool sStreamGetBufferedChar(vStream* stream, uint8_t* byte) {
    if (stream->count == 0)
        return false;
    *byte = stream->pushBack[stream->readIndex];
    stream->readIndex = (stream->readIndex + 1) % stream->capacity;
    --stream->count;
    return true;
}

// Gives back bytes in front of whatever the ring holds, so that they are read
// again first and in their order.
vErr sStreamUnread(vStream* stream, const uint8_t* bytes, size_t n) {
    for (size_t i = n; i-- > 0;) {
        if (vErr err = sStreamReserve(stream); err != vErrNone)
            return err;
        stream->readIndex = (stream->readIndex + stream->capacity - 1) % stream->capacity;
        stream->pushBack[stream->readIndex] = bytes[i];
        ++stream->count;
    }
    return vErrNone;
}

} // namespace

short vStream_WaitReadable(int descriptor, int milliseconds) {
    pollfd entry{descriptor, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, milliseconds);
    } while (ready < 0 && errno == EINTR);
    // A failing poll is left for the following read to report.
    return ready < 0 ? POLLERR : entry.revents;
}

bool vStream_IsValid(const vStream* stream) { return stream != nullptr && stream->tag == kStreamTag; }

vStream* vStream_Create(vStreamGetProc get, vStreamPutProc put, vStreamWriteProc write,
                        vStreamDeleteProc destroy, void* reference) {
    auto* stream = static_cast<vStream*>(std::calloc(1, sizeof(vStream)));
    if (stream == nullptr)
        return nullptr;
    stream->get = get;
    stream->put = put;
    stream->write = write;
    stream->destroy = destroy;
    stream->reference = reference;
    stream->tag = kStreamTag;
    return stream;
}

vErr vStream_Destroy(vStream** stream) {
    if (stream == nullptr)
        return vErrParam;
    vStream* s = *stream;
    *stream = nullptr;
    if (!vStream_IsValid(s))
        return vErrParam;
    vErr result = vErrNone;
    if (s->destroy != nullptr)
        result = s->destroy(s->reference);
    std::free(s->pushBack);
    s->tag = 0;
    std::free(s);
    return result;
}

vErr vStreamBufferChar(vStream* stream, uint8_t byte) {
    if (!vStream_IsValid(stream))
        return vErrParam;
    if (vErr err = sStreamReserve(stream); err != vErrNone)
        return err;
    stream->pushBack[stream->writeIndex] = byte;
    stream->writeIndex = (stream->writeIndex + 1) % stream->capacity;
    ++stream->count;
    return vErrNone;
}

vErr vStream_Read(vStream* stream, uint8_t* destination, size_t n) {
    if (!vStream_IsValid(stream) || destination == nullptr)
        return vErrParam;
    if (stream->get == nullptr)
        return vErrMode;
    if (n == 0)
        return vErrNone;
    Scratch taken(n);
    if (!taken.ok())
        return vErrResource;
    size_t count = 0;
    vErr result = vErrNone;
    while (count < n) {
        if (sStreamGetBufferedChar(stream, &taken.get()[count])) {
            ++count;
            continue;
        }
        result = stream->get(&taken.get()[count], stream->reference);
        if (result != vErrNone)
            break;
        ++count;
    }
    if (result == vErrNotReady) {
        // The ring was empty when get ran dry, so what was taken goes back in order.
        if (sStreamUnread(stream, taken.get(), count) != vErrNone)
            return vErrResource;
        return vErrNotReady;
    }
    if (result == vErrNone || result == vErrEOF)
        std::memcpy(destination, taken.get(), count);
    return result;
}

vErr vStream_Write(vStream* stream, const uint8_t* data, size_t n) {
    if (!vStream_IsValid(stream) || data == nullptr)
        return vErrParam;
    if (stream->write == nullptr && stream->put == nullptr)
        return vErrMode;
    if (stream->write != nullptr && (n > 1 || stream->put == nullptr))
        return stream->write(data, n, stream->reference);
    for (size_t i = 0; i < n; ++i) {
        if (vErr err = stream->put(&data[i], stream->reference); err != vErrNone)
            return err;
    }
    return vErrNone;
}

vErr vStream_ReadRecord(vStream* stream, uint8_t* destination, size_t* length, size_t size,
                        const uint8_t* terminator, size_t terminatorLength) {
    if (!vStream_IsValid(stream) || destination == nullptr || terminator == nullptr || terminatorLength == 0)
        return vErrParam;
    Scratch stored(size > 0 ? size : 1);
    if (!stored.ok())
        return vErrResource;
    Scratch pending(terminatorLength); // terminator bytes matched so far
    if (!pending.ok())
        return vErrResource;
    size_t count = 0;
    size_t matched = 0;
    bool done = size == 0;
    while (!done) {
        uint8_t byte = 0;
        const vErr err = vStream_Read(stream, &byte, 1);
        if (err == vErrEOF) {
            // An unfinished terminator at the end was data after all.
            for (size_t i = 0; i < matched && count < size; ++i)
                stored.get()[count++] = pending.get()[i];
            if (count == 0)
                return vErrEOF;
            break;
        }
        if (err == vErrNotReady) {
            // Give everything back, the partly matched terminator included, so that
            // the next call sees the same bytes and can still match it.
            if (sStreamUnread(stream, pending.get(), matched) != vErrNone ||
                sStreamUnread(stream, stored.get(), count) != vErrNone)
                return vErrResource;
            return vErrNotReady;
        }
        if (err != vErrNone)
            return err;
        if (byte == terminator[matched]) {
            pending.get()[matched++] = byte;
            done = matched == terminatorLength;
            continue;
        }
        // Mismatch: of the matched bytes plus this one, keep the longest tail that
        // still begins the terminator; the rest is data.
        pending.get()[matched] = byte;
        const size_t candidate = matched + 1;
        size_t keep = matched;
        while (keep > 0 && std::memcmp(pending.get() + candidate - keep, terminator, keep) != 0)
            --keep;
        const size_t data = candidate - keep;
        size_t i = 0;
        for (; i < data && count < size; ++i)
            stored.get()[count++] = pending.get()[i];
        if (count == size) {
            // Full: what this record did not take is read again by the next one.
            if (sStreamUnread(stream, pending.get() + i, candidate - i) != vErrNone)
                return vErrResource;
            break;
        }
        std::memmove(pending.get(), pending.get() + data, keep);
        matched = keep;
    }
    std::memcpy(destination, stored.get(), count);
    if (length != nullptr)
        *length = count;
    return vErrNone;
}

vErr vStream_WriteRecord(vStream* stream, const uint8_t* data, size_t n, const uint8_t* terminator,
                         size_t terminatorLength) {
    if (vErr err = vStream_Write(stream, data, n); err != vErrNone)
        return err;
    if (terminator == nullptr)
        return vErrParam;
    return vStream_Write(stream, terminator, terminatorLength);
}

vErr vStream_ReadCStringRecord(vStream* stream, char* destination, size_t size, const char* terminator) {
    if (destination == nullptr || size == 0 || terminator == nullptr)
        return vErrParam;
    size_t length = 0;
    const vErr err = vStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(destination), &length, size - 1,
                                        reinterpret_cast<const uint8_t*>(terminator), std::strlen(terminator));
    if (err == vErrNone)
        destination[length] = '\0';
    return err;
}

vErr vStream_ReadCString(vStream* stream, char* destination, size_t size) {
    static const uint8_t kNul = 0;
    if (destination == nullptr || size == 0)
        return vErrParam;
    size_t length = 0;
    const vErr err = vStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(destination), &length, size - 1, &kNul, 1);
    if (err == vErrNone)
        destination[length] = '\0';
    return err;
}

vErr vStream_WriteCString(vStream* stream, const char* string) {
    if (string == nullptr)
        return vErrParam;
    return vStream_Write(stream, reinterpret_cast<const uint8_t*>(string), std::strlen(string) + 1);
}

vErr vStream_WriteCStringRecord(vStream* stream, const char* string, const char* terminator) {
    if (string == nullptr || terminator == nullptr)
        return vErrParam;
    return vStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(string), std::strlen(string),
                               reinterpret_cast<const uint8_t*>(terminator), std::strlen(terminator) + 1);
}

vErr vStream_Flush(vStream* in, vStream* out) {
    if (!vStream_IsValid(in) || !vStream_IsValid(out))
        return vErrParam;
    if (in->get == nullptr || out->put == nullptr)
        return vErrMode;
    for (;;) {
        uint8_t byte = 0;
        const vErr err = in->get(&byte, in->reference);
        if (err == vErrEOF)
            return vErrNone;
        if (err != vErrNone)
            return err;
        if (vErr put = out->put(&byte, out->reference); put != vErrNone)
            return put;
    }
}

// File streams: the reference data is the file handle itself.
namespace {

vErr sFileGet(uint8_t* byte, void* reference) {
    return vFile_Read(static_cast<vFile>(reference), byte, 1, nullptr);
}

vErr sFilePut(const uint8_t* byte, void* reference) {
    return vFile_Write(static_cast<vFile>(reference), byte, 1, nullptr);
}

vErr sFileWrite(const uint8_t* data, size_t length, void* reference) {
    return vFile_Write(static_cast<vFile>(reference), data, length, nullptr);
}

vErr sFileDelete(void* reference) {
    vFile file = static_cast<vFile>(reference);
    return vFile_Close(&file);
}

vErr sCreateFileStream(const char* path, uint32_t mode, vStream** stream) {
    if (stream == nullptr)
        return vErrResource;
    *stream = nullptr;
    if (path == nullptr)
        return vErrResource;
    vFile file = vFile_Open(path, mode);
    if (file == nullptr)
        return vErrResource;
    *stream = mode == vFileModeRead ? vStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                                    : vStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
    if (*stream == nullptr) {
        vFile_Close(&file);
        return vErrResource;
    }
    return vErrNone;
}

} // namespace

vErr vStream_CreateFileInput(const char* path, vStream** stream) {
    return sCreateFileStream(path, vFileModeRead, stream);
}

vErr vStream_CreateFileOutput(const char* path, vStream** stream) {
    return sCreateFileStream(path, vFileModeWrite, stream);
}
