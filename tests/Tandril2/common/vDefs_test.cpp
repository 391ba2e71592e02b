#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "Tandril2/common/vDefs.h"

namespace {

TEST(vDefs, EveryModelHasAShortUniqueNameFoundByItsCode) {
    ASSERT_GT(vDefsModelCount, 0u);
    std::set<std::string> names;
    for (size_t i = 0; i < vDefsModelCount; ++i) {
        const vDefsModel& row = vDefsModelTable[i];
        SCOPED_TRACE(row.name);
        if (i > 0) {
            EXPECT_LT(vDefsModelTable[i - 1].code, row.code) << "codes ascending, no repeats";
        }
        EXPECT_GT(strlen(row.name), 0u);
        EXPECT_LE(strlen(row.name), vDEFS_MODEL_NAME_MAX) << "fits the listing's column";
        EXPECT_STRNE(row.name, "Unknown");
        EXPECT_TRUE(names.insert(row.name).second) << "name used twice";
        EXPECT_STREQ(vDefs_GetModelName(row.code), row.name);
    }
}

TEST(vDefs, CodesOutsideTheTableAreUnknown) {
    std::set<int> known;
    for (size_t i = 0; i < vDefsModelCount; ++i) {
        known.insert(vDefsModelTable[i].code);
    }
    for (int code = 0; code < 256; ++code) {
        if (known.count(code) == 0) {
            EXPECT_STREQ(vDefs_GetModelName(static_cast<uint8_t>(code)), "Unknown") << code;
        }
    }
}

} // namespace
