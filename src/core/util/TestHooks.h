#pragma once

#include <optional>
#include <string>

namespace tw {

/// Values that a test build reads from the environment, so that a test can shorten a limit or a
/// wait, or answer a dialog, in the program it starts. The program users run is built without
/// the tests (TARNWICK_TESTS=OFF): there every hook is unset, and the binary does not hold the
/// variables' names.
enum class TestHook {
    LowSpeedSeconds,    ///< TARNWICK_TEST_LOW_SPEED_SECONDS: the fetch's low-speed window
    LowSpeedBytes,      ///< TARNWICK_TEST_LOW_SPEED_BYTES: the fetch's low-speed rate
    MaxBodyBytes,       ///< TARNWICK_TEST_MAX_BODY_BYTES: lowers the largest body
    MaxDownloadSeconds, ///< TARNWICK_TEST_MAX_DOWNLOAD_SECONDS: lowers a call's time limit
    AnnounceDelayMs,    ///< TARNWICK_TEST_ANNOUNCE_DELAY_MS: the wait before the feed's fetch
    AnnounceAnswer,     ///< TARNWICK_TEST_ANNOUNCE_ANSWER: "yes" answers the dialog by itself
};

/// The hook's value; nothing when it is unset or empty, and always nothing in a build without
/// the tests.
std::optional<std::string> testHook(TestHook hook);

} // namespace tw
