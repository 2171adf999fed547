#pragma once

namespace tw {

struct HeadlessOptions {
    /// End once no item is due any more, instead of waiting for SIGINT or SIGTERM.
    bool untilIdle = false;
};

/// Runs the check cycle without any window: the same start-up and shutdown as the window,
/// one line per finished check on standard output (UTF-8, tab-separated time, page and
/// result), messages on standard error. Returns the process's exit code.
int runHeadless(const HeadlessOptions& options);

} // namespace tw
