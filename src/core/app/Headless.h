#pragma once

#include <functional>
#include <memory>

namespace tw {

class Notifier;

struct HeadlessOptions {
    /// End once no item is due any more, instead of waiting for SIGINT or SIGTERM.
    bool untilIdle = false;
    /// Makes where the notices of changes and failures go (the desktop's notification service
    /// of a desktop user's session); none when empty or when it gives null. Called once the
    /// signals are blocked, so that threads it starts leave SIGINT and SIGTERM to the mode.
    std::function<std::unique_ptr<Notifier>()> makeNotifier;
};

/// Runs the check cycle without any window: the same start-up and shutdown as the window,
/// one line per finished check on standard output (UTF-8, tab-separated time, page and
/// result), messages on standard error. Returns the process's exit code.
int runHeadless(const HeadlessOptions& options);

} // namespace tw
