#include "core/util/TestHooks.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace tw;

// The tests are a build with the hooks; the program users run has none
// (scripts/check-test-hooks.sh looks at its binary).
TEST(TestHooks, ATestBuildReadsTheVariableAndTakesEmptyAsUnset) {
    ::unsetenv("TARNWICK_TEST_ANNOUNCE_ANSWER");
    EXPECT_EQ(testHook(TestHook::AnnounceAnswer), std::nullopt);
    ::setenv("TARNWICK_TEST_ANNOUNCE_ANSWER", "", 1);
    EXPECT_EQ(testHook(TestHook::AnnounceAnswer), std::nullopt);
    ::setenv("TARNWICK_TEST_ANNOUNCE_ANSWER", "yes", 1);
    EXPECT_EQ(testHook(TestHook::AnnounceAnswer), "yes");
    ::unsetenv("TARNWICK_TEST_ANNOUNCE_ANSWER");

    ::setenv("TARNWICK_TEST_MAX_BODY_BYTES", "4096", 1);
    EXPECT_EQ(testHook(TestHook::MaxBodyBytes), "4096");
    EXPECT_EQ(testHook(TestHook::MaxDownloadSeconds), std::nullopt);
    ::unsetenv("TARNWICK_TEST_MAX_BODY_BYTES");
}
