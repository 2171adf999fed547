#pragma once

#include "core/records/FetchSettings.h"

#include <functional>
#include <memory>
#include <optional>

namespace tw {
class CheckReceiver;
class CheckSession;
class CTarnwickApp;
class CWatchList;
class Executor;
class MailProgress;
class Prompter;
class Shell;
class Siblings;
class SoundPlayer;
} // namespace tw

namespace tw::gui {

/// The window's side of the check session: the same wiring of the core as the headless mode,
/// with the window as the checker's main window, plus the sibling programs the menus start and
/// the download helper's hand-overs. Lives on the GUI thread.
class WindowSession {
public:
    /// What the session asks of the window; all run on the executor's thread.
    struct Hooks {
        /// Bring the main window up (an item's pop-up action).
        std::function<void()> popUp;
        /// A hand-over pick-up has ended, with the record the download helper left (nothing
        /// when there was none, or its file was refused).
        std::function<void(std::optional<FetchSettings> record)> handedOver;
    };

    /// `shell` and `sound` may be null for the desktop's own (xdg-open, libcanberra).
    WindowSession(CTarnwickApp& app, Executor& executor, Prompter& prompter,
                  MailProgress& mailProgress, Shell* shell = nullptr, SoundPlayer* sound = nullptr);
    /// Shuts down if that has not happened yet.
    ~WindowSession();
    WindowSession(const WindowSession&) = delete;
    WindowSession& operator=(const WindowSession&) = delete;

    void setHooks(Hooks hooks);
    /// Loads the watch list and arms the checker; finished checks reach `results`.
    void start(CheckReceiver* results);
    /// The check session's stop: the hand-over pick-up ended, settings saved, executor closed
    /// (waiting workers let go), a running check finished without a report, the watch list saved;
    /// then the pages still queued for the browser are handed over. False when a save failed.
    bool shutdown();

    /// The one way in for edits of the watch list and for the mail settings.
    CheckSession& checks();
    /// The watch list, for reading and observing.
    CWatchList& watchList();
    Siblings& siblings();
    /// Picks up the download helper's hand-over off this thread; the result comes through
    /// Hooks::handedOver. Requests made while one is under way coalesce into one more.
    void pickUpHandOver();
    /// Shows a record in the browser through the display bridge.
    void display(const FetchSettings& record);

private:
    struct Parts;
    std::unique_ptr<Parts> m_parts;
};

} // namespace tw::gui
