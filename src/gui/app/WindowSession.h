#pragma once

#include "watch/CWatchList.h"

#include <functional>
#include <memory>

namespace tw {
class CTarnwickApp;
class Executor;
class FetchSettings;
class MailProgress;
class Prompter;
class Shell;
class Siblings;
class SoundPlayer;
class WatchSettings;
} // namespace tw

namespace tw::gui {

/// The core behind the window: watch list, item checker, display bridge, update actions and
/// the sibling protocol, wired to the window only through the executor, the prompter and the
/// hooks below. Lives on the GUI thread.
class WindowSession {
public:
    /// What the session asks of the window; both run on the executor's thread.
    struct Hooks {
        /// Bring the main window up (an item's pop-up action).
        std::function<void()> popUp;
        /// A finished check, before the watch list takes the copy back. `itemId` is the item
        /// the check was about (0 when the list had no current item).
        std::function<void(const WatchSettings& finished, CWatchList::ItemId itemId)> checkDone;
    };

    /// `shell` and `sound` may be null for the desktop's own (xdg-open, libcanberra).
    WindowSession(CTarnwickApp& app, Executor& executor, Prompter& prompter,
                  MailProgress& mailProgress, Shell* shell = nullptr, SoundPlayer* sound = nullptr);
    /// Shuts down if that has not happened yet.
    ~WindowSession();
    WindowSession(const WindowSession&) = delete;
    WindowSession& operator=(const WindowSession&) = delete;

    void setHooks(Hooks hooks);
    /// Loads the watch list and arms the checker; results arrive through Hooks::checkDone.
    void start();
    /// No further result is reported; a running check may finish (its questions are refused
    /// once the executor is closed, which the caller does first); the list is saved and the
    /// pages still queued for the browser are handed over.
    void shutdown();

    /// The watch list; made (with the checker) on first use, so call it after the settings
    /// file has been read.
    CWatchList& watchList();
    Siblings& siblings();
    /// Shows a record in the browser through the display bridge.
    void display(const FetchSettings& record);

private:
    struct Parts;
    std::unique_ptr<Parts> m_parts;
};

} // namespace tw::gui
