#include "server_client/UpdateServerRequest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Parts = std::vector<std::string>;
using Sorted = std::vector<std::pair<std::string, std::string>>;

TEST(SplitTandrilVersion, KeepsOnlyThreePartVersions) {
    const struct {
        const char* version;
        Parts parts;
    } cases[] = {
        {"2.10.4", {"2", "10", "4"}},
        {"0.0.0", {"0", "0", "0"}},
        {"a.b.c", {"a", "b", "c"}},
        {"1..2", {"1", "", "2"}},
        {"", {}},
        {"2", {}},
        {"2.10", {}},
        {"2.10.4.1", {}},
        {"2.10.4.", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(UpdateServerRequest::SplitTandrilVersion(c.version), c.parts) << c.version;
}

TEST(SortBuildsByVersion, OrdersNewestVersionFirst) {
    const struct {
        const char* name;
        std::map<std::string, std::string> builds;
        Sorted sorted;
    } cases[] = {
        {"numbers compare as numbers, not text",
         {{"100", "2.1.0"}, {"99", "2.10.0"}},
         {{"99", "2.10.0"}, {"100", "2.1.0"}}},
        {"major, then minor, then patch",
         {{"1", "1.9.9"}, {"2", "2.0.0"}, {"3", "2.0.1"}, {"4", "1.10.0"}},
         {{"3", "2.0.1"}, {"2", "2.0.0"}, {"4", "1.10.0"}, {"1", "1.9.9"}}},
        {"a part of 256 compares like 0; equal versions keep the build order",
         {{"5", "1.0.256"}, {"6", "1.0.0"}, {"7", "1.0.1"}},
         {{"7", "1.0.1"}, {"5", "1.0.256"}, {"6", "1.0.0"}}},
        {"an unreadable version between two readable ones does not block their ordering",
         {{"1", "2.0.0"}, {"2", "bad"}, {"3", "3.0.0"}},
         {{"3", "3.0.0"}, {"1", "2.0.0"}, {"2", "bad"}}},
        {"unreadable versions go last, in build order",
         {{"10", ""}, {"11", "2.0"}, {"12", "x.y.z"}, {"13", "1.2.3.4"}, {"14", "1.0.0"}, {"15", "99999999999.0.0"}},
         {{"14", "1.0.0"}, {"10", ""}, {"11", "2.0"}, {"12", "x.y.z"}, {"13", "1.2.3.4"}, {"15", "99999999999.0.0"}}},
        {"nothing readable keeps the build order",
         {{"3", "c"}, {"1", "a"}, {"2", "b"}},
         {{"1", "a"}, {"2", "b"}, {"3", "c"}}},
        {"empty", {}, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(UpdateServerRequest::SortBuildsByVersion(c.builds), c.sorted) << c.name;
}

// A long list with readable and unreadable versions interleaved: sorting must neither
// misbehave (an inconsistent comparison may crash or scramble std::sort) nor leave
// any readable version behind an older one.
TEST(SortBuildsByVersion, LongMixedListIsFullyOrdered) {
    std::map<std::string, std::string> builds;
    for (int i = 0; i < 500; ++i) {
        const std::string version = i % 3 == 0 ? "broken" + std::to_string(i)
                                               : std::to_string(i % 7) + "." + std::to_string(i % 11) + "." +
                                                     std::to_string(i % 5);
        builds.emplace(std::to_string(1000 + i), version);
    }
    const Sorted sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    ASSERT_EQ(sorted.size(), builds.size());
    auto key = [](const std::string& v) {
        const auto p = UpdateServerRequest::SplitTandrilVersion(v);
        return p.empty() || p[0].rfind("broken", 0) == 0
                   ? std::vector<int>{}
                   : std::vector<int>{std::stoi(p[0]), std::stoi(p[1]), std::stoi(p[2])};
    };
    for (size_t i = 1; i < sorted.size(); ++i) {
        const auto a = key(sorted[i - 1].second), b = key(sorted[i].second);
        if (b.empty()) continue;
        ASSERT_FALSE(a.empty()) << "readable " << sorted[i].second << " after an unreadable one at " << i;
        ASSERT_GE(a, b) << sorted[i - 1].second << " before " << sorted[i].second;
        if (a == b) {
            ASSERT_LT(sorted[i - 1].first, sorted[i].first) << "equal versions out of build order";
        }
    }
}

} // namespace
