#include "core/platform/SharedLibrary.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tw {
namespace {

// What a feature that opens its library at first use sees when the library is there, when it
// lacks a function, and when it is missing: a null function and the loader's reason, never a
// crash at the call.
TEST(SharedLibrary, FunctionsMissingFunctionsAndMissingLibraries) {
    SharedLibrary c("libc.so.6");
    ASSERT_TRUE(c.isOpen()) << c.error();
    const auto length = c.symbol<decltype(&std::strlen)>("strlen");
    ASSERT_NE(length, nullptr);
    EXPECT_EQ(length("tarnwick"), 8u);
    EXPECT_TRUE(c.error().empty());
    EXPECT_EQ(c.symbol<void (*)()>("tw_no_such_function"), nullptr);
    EXPECT_NE(c.error().find("tw_no_such_function"), std::string::npos);

    SharedLibrary missing("libtw-no-such-library.so.0");
    EXPECT_FALSE(missing.isOpen());
    EXPECT_NE(missing.error().find("libtw-no-such-library.so.0"), std::string::npos);
    EXPECT_EQ(missing.symbol<void (*)()>("strlen"), nullptr);
}

} // namespace
} // namespace tw
