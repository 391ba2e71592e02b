#include "Tandril2/common/vError.h"

const char* const vErrorNames[vERR_COUNT] = {
    "vErrNone",          "vErrMemory",        "vErrParam",          "vErrNotFound",
    "vErrFileNameLength", "vErrBusy",         "vErrIO",             "vErrMode",
    "vErrWrite",         "vErrRead",          "vErrEOF",            "vErrNotReady",
    "vErrPermission",    "vErrRange",         "vErrSize",           "vErrOverrun",
    "vErrParse",         "vErrConfiguration", "vErrTimeout",        "vErrInitialization",
    "vErrVersion",       "vErrUnimplemented", "vErrDuplicate",      "vErrCancel",
    "vErrPacket",        "vErrConnection",    "vErrIndexRange",     "vErrShortCommand",
    "vErrInvalidEntity", "vErrInvalidOption", "vErrResource",       "vErrMedia",
    "vErrAsyncReturn",   "vErrStreamStale",   "vErrUnknown",
};

const char* const vErrorDescriptions[vERR_COUNT] = {
    "Success, no error",
    "Memory allocation",
    "Invalid parameter",
    "Not found",
    "File name too long",
    "Resource busy",
    "Input/Output error",
    "Invalid Mode",
    "Write error",
    "Read error",
    "End of file",
    "Not ready, no bytes available",
    "Insufficient permissions",
    "Value out of range",
    "Invalid Size",
    "Buffer/queue overrun",
    "Parse error",
    "Configuration error",
    "Timeout occurred",
    "Initialization error",
    "Invalid version",
    "Functionality unimplemented",
    "Duplicate request",
    "Cancellation occurred, or did not complete",
    "Packet byte invalid",
    "Connection error",
    "Index out of range",
    "Tandril command to short",
    "Invalid entity error",
    "Invalid option code",
    "Resource unavailable",
    "Media error",
    "Asynchronous return error",
    "Stream value is stale",
    "Unknown error",
};

// Codes come from modules too, so anything may arrive; all of it maps to a row.
static int sRow(int code) {
    return (code < 0 || code >= vERR_COUNT) ? vErrUnknown : code;
}

const char* vError_GetErrorText(int code) {
    return vErrorNames[sRow(code)];
}

const char* vError_GetErrorDescription(int code) {
    return vErrorDescriptions[sRow(code)];
}
