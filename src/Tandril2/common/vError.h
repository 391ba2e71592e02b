// Error codes of the device-link library. Modules send the same numbers in their error
// replies, so the values are part of the module protocol and must never be renumbered.
#pragma once

typedef enum vErr {
    vErrNone = 0,
    vErrMemory = 1,
    vErrParam = 2,
    vErrNotFound = 3,
    vErrFileNameLength = 4,
    vErrBusy = 5,
    vErrIO = 6,
    vErrMode = 7,
    vErrWrite = 8,
    vErrRead = 9,
    vErrEOF = 10,
    vErrNotReady = 11,
    vErrPermission = 12,
    vErrRange = 13,
    vErrSize = 14,
    vErrOverrun = 15,
    vErrParse = 16,
    vErrConfiguration = 17,
    vErrTimeout = 18,
    vErrInitialization = 19,
    vErrVersion = 20,
    vErrUnimplemented = 21,
    vErrDuplicate = 22,
    vErrCancel = 23,
    vErrPacket = 24,
    vErrConnection = 25,
    vErrIndexRange = 26,
    vErrShortCommand = 27,
    vErrInvalidEntity = 28,
    vErrInvalidOption = 29,
    vErrResource = 30,
    vErrMedia = 31,
    vErrAsyncReturn = 32,
    vErrStreamStale = 33,
    vErrUnknown = 34,
} vErr;

// Number of codes; the text tables have exactly this many rows.
constexpr int vERR_COUNT = 35;

// Indexed by code: the code's identifier ("vErrTimeout") and its description
// ("Timeout occurred").
extern const char* const vErrorNames[vERR_COUNT];
extern const char* const vErrorDescriptions[vERR_COUNT];

// The code's identifier. Codes outside 0..34 (a module may send anything) give
// "vErrUnknown". Never null; the text is constant.
const char* vError_GetErrorText(int code);

// The code's description; codes outside 0..34 give "Unknown error". Never null.
const char* vError_GetErrorDescription(int code);
