#pragma once

#include "core/app/CHLPCall.h"
#include "core/app/ChangeNotices.h"
#include "core/history/HistoryStore.h"
#include "core/platform/DesktopShell.h"
#include "core/platform/DesktopSoundPlayer.h"
#include "core/platform/WakeWatch.h"
#include "core/ports/CheckReceiver.h"
#include "core/ports/MainWindowPort.h"
#include "core/watch/CReNew.h"
#include "core/watch/CWatchList.h"
#include "core/watch/FailureAlerts.h"
#include "core/watch/HostPacing.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace tw {

class Clock;
class CTarnwickApp;
class Executor;
class MailProgress;
class Prompter;
class WatchSettings;
struct MailServerSettings;

/// One front end's check round: the watch list, the checker with its update actions and the
/// display bridge, wired together, and the one way in for what the user changes: items and the
/// mail settings. The front end makes it on its own thread (the executor's owner), calls
/// start(), lets its executor run, and calls stop() when it closes. Everything but the
/// checker's worker runs on the owner's thread.
class CheckSession {
public:
    /// `window` null: pages to show go straight to the display bridge, nothing pops up (the
    /// headless mode). The mail settings are read from `app` at each mail. `clock` null: the
    /// system clock; `shell` and `sound` null: the desktop's own (xdg-open, libcanberra).
    CheckSession(CTarnwickApp& app, Prompter& prompter, MainWindowPort* window, Executor& executor,
                 MailProgress& mailProgress, const Clock* clock = nullptr, Shell* shell = nullptr,
                 SoundPlayer* sound = nullptr);
    ~CheckSession();
    CheckSession(const CheckSession&) = delete;
    CheckSession& operator=(const CheckSession&) = delete;

    /// Loads the watch list and arms the checker for the first due item. Each finished check
    /// reaches `receiver` (may be null) on the owner's thread, named by its item's id, before
    /// the watch list takes the copy back. False when the watch list could not be read (the
    /// session then runs on an empty list).
    bool start(CheckReceiver* receiver);
    /// Shutdown: saves the settings, closes the executor (a worker waiting in a send is let
    /// go), lets a running check finish without reporting, then saves the watch list. True
    /// when both saves succeeded. Only the first call acts; later ones repeat its result.
    bool stop();
    /// After stop(): whether the watch list's final save succeeded (it is refused for a list
    /// that could not be read).
    bool watchListSaved() const { return m_listSaved; }

    /// Called on the owner's thread after start() and after each finished item, once the list
    /// has scheduled its next check.
    void setScheduledCallback(std::function<void()> onScheduled) {
        m_onScheduled = std::move(onScheduled);
    }
    /// Where the notices of finished checks go (null: nowhere); it must outlive the session or
    /// be taken away first. The failure counts are kept either way.
    void setNotifier(Notifier* notifier) { m_notifier = notifier; }
    /// True when no check is armed or the armed one is not due yet, and no check that failed
    /// just after a wake-up waits for its second try (see deliver()).
    bool idle() const;

    // What the user changes. The list saves itself after each edit; an edit made while a check
    // runs is queued by the list and applied when the check is done.

    /// Takes an item the user defined: scheduled on this session's clock, then added when `id`
    /// is 0, else put in place of item `id`. When that item has been deleted meanwhile, the
    /// settings are added as a new item and the list's observers hear editedItemWasGone().
    /// An item without an address is dropped. Returns the id the settings went to; 0 when
    /// dropped.
    WatchItemId defineItem(const WatchSettings& item, WatchItemId id);
    /// False when no such item is in the list.
    bool removeItem(WatchItemId id);
    /// Makes item `id` due now (after a check that runs); its schedule goes on after it. False
    /// when no such item is in the list.
    bool checkNow(WatchItemId id);
    /// Called on the owner's thread with each checked item's id once the list holds its outcome.
    void setCheckedCallback(std::function<void(WatchItemId)> onChecked) {
        m_onChecked = std::move(onChecked);
    }
    /// A copy of item `id`; nothing when it is not (or not yet) in the list.
    std::optional<WatchSettings> item(WatchItemId id) const;
    /// The mail server the next update mail goes through; kept in the application object and
    /// written to the settings file at once, so that a crash does not lose it. False when the
    /// save failed (told through the prompter); the settings are in effect all the same.
    bool setMailServer(const MailServerSettings& settings);
    MailServerSettings mailServer() const;

    /// For reading and observing; edits go through the calls above.
    CWatchList& watchList() { return m_list; }
    const CWatchList& watchList() const { return m_list; }
    CHLPCall& bridge() { return m_bridge; }
    /// The items' kept versions ([history] of tarnwick.conf); the checker writes them, a
    /// deleted item's go with it.
    HistoryStore& history() { return m_history; }
    /// Each item's failed checks in a row ([notify] failures).
    FailureAlerts& failureAlerts() { return m_failures; }
    /// The shell pages and programs are opened with, for the front end's own launches.
    Shell& shell() { return m_shell; }
    /// Each host's turn and the hosts that asked to be left alone ([net] host_gap_ms).
    HostPacing& pacing() { return m_pacing; }
    /// When the machine last woke from a suspend. The session samples the clocks itself; a
    /// front end that hears of wake-ups from the system (logind) tells it wokeUp().
    WakeWatch& wake() { return m_wake; }

    /// A check that fails less than this long after a wake-up is made once more...
    static constexpr std::chrono::seconds kWakeWindow{60};
    /// ...this many seconds later, and only the outcome of that second try counts.
    static constexpr std::time_t kWakeRetrySeconds = 30;

private:
    /// Takes the checker's report from its worker to the owner's thread.
    class WorkerReceiver : public CheckReceiver {
    public:
        explicit WorkerReceiver(CheckSession& session) : m_session(session) {}
        void checkDone(WatchSettings finishedCopy, WatchItemId itemId) override;

    private:
        CheckSession& m_session;
    };

    /// Pages to show go to the display bridge; there is no window to bring up.
    class BridgeWindowPort : public MainWindowPort {
    public:
        explicit BridgeWindowPort(CHLPCall& bridge) : m_bridge(bridge) {}
        void popUp() override {}
        void showItem(const WatchSettings& item) override;
        void showAddress(const std::string& address) override;

    private:
        CHLPCall& m_bridge;
    };

    void deliver(WatchSettings finishedCopy, WatchItemId itemId, std::vector<Notice> notices);

    CTarnwickApp& m_app;
    Prompter& m_prompter;
    Executor& m_executor;
    const Clock& m_clock;
    CheckReceiver* m_frontEnd = nullptr;
    std::function<void()> m_onScheduled;
    std::function<void(WatchItemId)> m_onChecked;
    /// Tasks posted to the executor hold a weak reference: they do nothing once we are gone.
    std::shared_ptr<CheckSession*> m_alive;

    std::unique_ptr<DesktopShell> m_ownShell;
    std::unique_ptr<DesktopSoundPlayer> m_ownSound;
    Shell& m_shell;
    SoundPlayer& m_sound;
    HistoryStore m_history;
    FailureAlerts m_failures;
    ChangeNotices m_notices;
    std::atomic<Notifier*> m_notifier{nullptr};
    // Before the checker, which samples it.
    WakeWatch m_wake;
    // Before the checker and the list, which share it.
    HostPacing m_pacing;
    // Before the checker: a worker may hand pages to it until the checker is gone, and what it
    // still holds is handed over when it goes.
    CHLPCall m_bridge;
    BridgeWindowPort m_bridgeWindow;
    CReNew m_checker;
    CWatchList m_list;
    WorkerReceiver m_workerReceiver;

    bool m_stopped = false;
    bool m_stopResult = false;
    bool m_listSaved = false;
};

} // namespace tw
