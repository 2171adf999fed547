#pragma once

#include <string>

namespace tw {

class WatchSettings;

/// What the checker and other workers ask of the main window. Every call waits until the main
/// window has handled it, like a sent window message; the GUI implements it with a
/// blocking-queued call, the headless mode and tests with their own.
class MainWindowPort {
public:
    virtual ~MainWindowPort() = default;
    /// Bring the main window up (its "open" command).
    virtual void popUp() = 0;
    /// Show this item's page through the display bridge.
    virtual void showItem(const WatchSettings& item) = 0;
    /// Show this address.
    virtual void showAddress(const std::string& address) = 0;
};

} // namespace tw
