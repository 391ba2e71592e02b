#include "Tandril2/common/vTransferErrors.h"

vErr vTransfer_FilterResult(vErr result, uint32_t* consecutiveIoErrors, bool* failed) {
    if (consecutiveIoErrors == nullptr || failed == nullptr)
        return vErrParam;
    if (result != vErrIO) {
        *consecutiveIoErrors = 0;
        return result;
    }
    uint32_t before = (*consecutiveIoErrors)++;
    if (before < vTRANSFER_TOLERATED_IO_ERRORS)
        return vErrNone;
    *failed = true;
    return vErrIO;
}
