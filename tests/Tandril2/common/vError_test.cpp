#include <gtest/gtest.h>

#include <set>
#include <string>

#include "Tandril2/common/vError.h"

namespace {

struct Row {
    vErr code;
    const char* name;
    const char* description;
};

// The numbers are fixed by the module protocol; the identifier is generated from the
// enumerator itself, so a row out of step with the enumeration shows here.
#define ROW(code, description) {code, #code, description}
const Row kRows[] = {
    ROW(vErrNone, "Success, no error"),
    ROW(vErrMemory, "Memory allocation"),
    ROW(vErrParam, "Invalid parameter"),
    ROW(vErrNotFound, "Not found"),
    ROW(vErrFileNameLength, "File name too long"),
    ROW(vErrBusy, "Resource busy"),
    ROW(vErrIO, "Input/Output error"),
    ROW(vErrMode, "Invalid Mode"),
    ROW(vErrWrite, "Write error"),
    ROW(vErrRead, "Read error"),
    ROW(vErrEOF, "End of file"),
    ROW(vErrNotReady, "Not ready, no bytes available"),
    ROW(vErrPermission, "Insufficient permissions"),
    ROW(vErrRange, "Value out of range"),
    ROW(vErrSize, "Invalid Size"),
    ROW(vErrOverrun, "Buffer/queue overrun"),
    ROW(vErrParse, "Parse error"),
    ROW(vErrConfiguration, "Configuration error"),
    ROW(vErrTimeout, "Timeout occurred"),
    ROW(vErrInitialization, "Initialization error"),
    ROW(vErrVersion, "Invalid version"),
    ROW(vErrUnimplemented, "Functionality unimplemented"),
    ROW(vErrDuplicate, "Duplicate request"),
    ROW(vErrCancel, "Cancellation occurred, or did not complete"),
    ROW(vErrPacket, "Packet byte invalid"),
    ROW(vErrConnection, "Connection error"),
    ROW(vErrIndexRange, "Index out of range"),
    ROW(vErrShortCommand, "Tandril command to short"),
    ROW(vErrInvalidEntity, "Invalid entity error"),
    ROW(vErrInvalidOption, "Invalid option code"),
    ROW(vErrResource, "Resource unavailable"),
    ROW(vErrMedia, "Media error"),
    ROW(vErrAsyncReturn, "Asynchronous return error"),
    ROW(vErrStreamStale, "Stream value is stale"),
    ROW(vErrUnknown, "Unknown error"),
};
#undef ROW

TEST(vError, EveryCodeHasItsNameAndDescriptionAtItsNumber) {
    ASSERT_EQ(std::size(kRows), static_cast<size_t>(vERR_COUNT));
    for (size_t i = 0; i < std::size(kRows); ++i) {
        const Row& row = kRows[i];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(static_cast<int>(row.code), static_cast<int>(i));
        EXPECT_STREQ(vError_GetErrorText(row.code), row.name);
        EXPECT_STREQ(vError_GetErrorDescription(row.code), row.description);
        EXPECT_STREQ(vErrorNames[i], row.name);
        EXPECT_STREQ(vErrorDescriptions[i], row.description);
    }
}

TEST(vError, CodesOutsideTheTableGiveTheLastRow) {
    // Modules send codes too, so any byte (or worse) may arrive.
    for (int code : {35, 255, 1000, -1, -1000}) {
        SCOPED_TRACE(code);
        EXPECT_STREQ(vError_GetErrorText(code), "vErrUnknown");
        EXPECT_STREQ(vError_GetErrorDescription(code), "Unknown error");
    }
}

} // namespace
