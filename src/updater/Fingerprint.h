// The four identifier words a processor's boot ROM reports during recovery.
#pragma once

#include <cstdint>

struct Fingerprint {
    uint32_t word[4] = {0, 0, 0, 0};
};
