#include "core/util/TestHooks.h"

#include <cstdlib>

namespace tw {

// Only this file differs between a build with the tests and one without: src/core/CMakeLists.txt
// defines TARNWICK_WITH_TEST_HOOKS for it alone, and the program reads the variables nowhere else.
#ifdef TARNWICK_WITH_TEST_HOOKS

namespace {

const char* variableOf(TestHook hook) {
    switch (hook) {
    case TestHook::LowSpeedSeconds:
        return "TARNWICK_TEST_LOW_SPEED_SECONDS";
    case TestHook::LowSpeedBytes:
        return "TARNWICK_TEST_LOW_SPEED_BYTES";
    case TestHook::MaxBodyBytes:
        return "TARNWICK_TEST_MAX_BODY_BYTES";
    case TestHook::MaxDownloadSeconds:
        return "TARNWICK_TEST_MAX_DOWNLOAD_SECONDS";
    case TestHook::AnnounceDelayMs:
        return "TARNWICK_TEST_ANNOUNCE_DELAY_MS";
    case TestHook::AnnounceAnswer:
        return "TARNWICK_TEST_ANNOUNCE_ANSWER";
    }
    return nullptr;
}

} // namespace

std::optional<std::string> testHook(TestHook hook) {
    const char* name = variableOf(hook);
    const char* value = name ? std::getenv(name) : nullptr;
    if (!value || !*value) {
        return std::nullopt;
    }
    return std::string(value);
}

#else

std::optional<std::string> testHook(TestHook) {
    return std::nullopt;
}

#endif

} // namespace tw
