// Discovery tests rely on this network: both veth ends up, addressed, and nothing
// of the machine's own interfaces visible.
#include <gtest/gtest.h>

#include <ifaddrs.h>
#include <net/if.h>

#include <set>
#include <string>

#include "TestSupport.h"

using namespace tandril::test;

TEST(PrivateNetwork, HasOnlyLoopbackAndTheVethPair) {
    ifaddrs* list = nullptr;
    ASSERT_EQ(getifaddrs(&list), 0);
    std::set<std::string> names;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        names.insert(i->ifa_name);
        if (std::string(i->ifa_name) != "lo") {
            EXPECT_TRUE(i->ifa_flags & IFF_UP) << i->ifa_name;
        }
    }
    freeifaddrs(list);
    EXPECT_EQ(names, (std::set<std::string>{"lo", kPrivateIfA, kPrivateIfB}));
}
