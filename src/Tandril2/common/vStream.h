// Byte streams: the one abstraction through which the library moves bytes.
//
// A stream holds up to four operations and the reference data they all receive.
// Every transport (file, TCP socket, serial port, COBS-framed serial port, USB
// module, shared-device server) is a stream. On top of the operations the stream
// keeps a push-back ring, so a reader can give back bytes it took but cannot use yet.
//
// Threads: the core holds no lock. One thread may read (get, vStream_Read...) while
// another writes (write, put); the push-back ring belongs to the reading side.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Tandril2/common/vError.h"

// Delivers one byte: vErrNone with *byte set; vErrNotReady when nothing is waiting
// now (poll again); vErrEOF at the end of the data; anything else is a failure.
// Returns within a few milliseconds.
typedef vErr (*vStreamGetProc)(uint8_t* byte, void* reference);
// Sends one byte.
typedef vErr (*vStreamPutProc)(const uint8_t* byte, void* reference);
// Sends a block.
typedef vErr (*vStreamWriteProc)(const uint8_t* data, size_t length, void* reference);
// Closes the transport and releases the reference data.
typedef vErr (*vStreamDeleteProc)(void* reference);

constexpr uint16_t kStreamTag = 0x4321;

struct vStream {
    vStreamGetProc get;        // any of the four may be null
    vStreamPutProc put;
    vStreamWriteProc write;
    vStreamDeleteProc destroy;
    void* reference;           // owned by the stream, released by destroy
    uint8_t* pushBack;         // ring of given-back bytes, null until first used
    uint32_t count;            // bytes held in the ring
    size_t capacity;
    size_t readIndex;
    size_t writeIndex;
    uint16_t tag;              // kStreamTag while valid, 0 once destroyed
};

// True for a non-null stream whose tag is intact.
bool vStream_IsValid(const vStream* stream);

// A new valid stream around the operations (not checked), or null when memory is short.
vStream* vStream_Create(vStreamGetProc get, vStreamPutProc put, vStreamWriteProc write,
                        vStreamDeleteProc destroy, void* reference);
// Runs destroy (its result is the result), frees the stream and nulls *stream.
// vErrParam for a null or already destroyed stream (the pointer is nulled all the same).
vErr vStream_Destroy(vStream** stream);

// Reads exactly n bytes. All or nothing when the transport runs dry: vErrNotReady
// leaves `destination` untouched and keeps the bytes for the next read. vErrEOF
// delivers the bytes that came before the end. Other failures drop what was taken.
// vErrParam (invalid stream, null destination), vErrMode (no get), vErrResource.
vErr vStream_Read(vStream* stream, uint8_t* destination, size_t n);
// Writes n bytes: one write call for a block, put per byte otherwise.
// vErrParam (invalid stream, null data), vErrMode (neither write nor put), or the transport's code.
vErr vStream_Write(vStream* stream, const uint8_t* data, size_t n);

// Reads up to (and consumes) the terminator, or until `size` bytes are stored, or to
// the end of the data when at least one byte came. *length (when not null) receives
// the count. A multi-byte terminator restarts matching when another byte interrupts it.
// vErrParam, vErrResource, vErrNotReady (stored bytes kept for the next call), vErrEOF.
vErr vStream_ReadRecord(vStream* stream, uint8_t* destination, size_t* length, size_t size,
                        const uint8_t* terminator, size_t terminatorLength);
// Writes the data, then the terminator.
vErr vStream_WriteRecord(vStream* stream, const uint8_t* data, size_t n, const uint8_t* terminator,
                         size_t terminatorLength);
// Reads up to a 0x00 byte into a NUL-terminated string of at most size-1 characters.
vErr vStream_ReadCString(vStream* stream, char* destination, size_t size);
// Writes the characters and one 0x00 byte.
vErr vStream_WriteCString(vStream* stream, const char* string);
// Like vStream_ReadCString with `terminator` (without its NUL) as the terminator sequence.
vErr vStream_ReadCStringRecord(vStream* stream, char* destination, size_t size, const char* terminator);
// Writes the string's characters, then the terminator string with its NUL.
vErr vStream_WriteCStringRecord(vStream* stream, const char* string, const char* terminator);
// Copies bytes from `in` (operations only, not its push-back ring) to `out` until `in`
// reports the end. vErrParam, vErrMode (in without get, out without put), or the failing code.
vErr vStream_Flush(vStream* in, vStream* out);

// How long a get waits for its descriptor before it answers vErrNotReady. Long enough
// that an idle reader, which calls get again at once, costs next to nothing; short
// enough that a byte that arrives is handed out at once and a stopping reader ends soon.
constexpr int kStreamIdleWaitMs = 10;
// Waits up to `milliseconds` for `descriptor` to become readable or to report an
// error or hang-up. Returns poll's events (POLLIN, POLLHUP, ...), 0 on time-out.
short vStream_WaitReadable(int descriptor, int milliseconds);

// Push-back ring. Appends one byte (vErrParam, vErrMemory).
vErr vStreamBufferChar(vStream* stream, uint8_t byte);

// File streams. vErrResource for every failure (null arguments, a file that cannot be
// opened, no memory); *stream is null then and nothing is left open.
vErr vStream_CreateFileInput(const char* path, vStream** stream);
vErr vStream_CreateFileOutput(const char* path, vStream** stream);
