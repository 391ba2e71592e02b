#include "Tandril2/common/vDefs.h"

#include <algorithm>
#include <iterator>

// Codes ascending, so that a look-up can search the table.
const vDefsModel vDefsModelTable[] = {
    {0x02, "TD-Core"},     {0x04, "TD-Router"},   {0x05, "TD-Hub4"},    {0x06, "TD-Hub8"},
    {0x10, "TD-Relay8"},   {0x11, "TD-Analog16"}, {0x12, "TD-Digit32"}, {0x13, "TD-Motor2"},
    {0x14, "TD-Servo4"},   {0x15, "TD-Thermo8"},  {0x16, "TD-Strain4"}, {0x20, "TD-Ether"},
    {0x21, "TD-Serial"},   {0x22, "TD-Radio"},    {0x30, "TD-Power"},   {0x31, "TD-Battery"},
};
const size_t vDefsModelCount = std::size(vDefsModelTable);

const char* vDefs_GetModelName(uint8_t model) {
    const vDefsModel* end = vDefsModelTable + vDefsModelCount;
    const vDefsModel* row = std::lower_bound(
        vDefsModelTable, end, model, [](const vDefsModel& r, uint8_t code) { return r.code < code; });
    return (row != end && row->code == model) ? row->name : "Unknown";
}
