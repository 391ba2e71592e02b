// gtest main for tests that send multicast or beacons: they run in a network
// namespace of their own so that nothing reaches the machine's real interfaces.
#include <gtest/gtest.h>

#include <cstdio>

#include "TestSupport.h"

int main(int argc, char** argv) {
    std::string why;
    if (!tandril::test::enterPrivateNetwork(why)) {
        std::fprintf(stderr, "cannot make a private network namespace: %s\n", why.c_str());
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
