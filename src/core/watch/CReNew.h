#pragma once

#include "core/net/HttpConnections.h"
#include "core/platform/Event.h"
#include "core/records/WatchSettings.h"
#include "core/watch/ItemChecker.h"
#include "core/watch/ItemFiles.h"
#include "core/watch/UpdateActions.h"
#include "core/watch/Validators.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

namespace tw {

class Clock;
class CodeConverter;
class FetchRequest;
class HistoryStore;
class HostPacing;
class Prompter;
class WakeWatch;

/// What a check needs from the rest of the program.
struct CheckerServices {
    const Clock* clock = nullptr;
    /// Credentials prompts of the fetch engine.
    Prompter* prompter = nullptr;
    /// Page conversion for check areas; null makes every check-area page count as changed.
    CodeConverter* converter = nullptr;
    UpdateActionContext actions;
    /// The data folder; temporary downloads and stored copies go to its "comp" folder.
    std::string programFolder;
    /// Where the compared text of each change is kept; null keeps none.
    HistoryStore* history = nullptr;
    /// Compares the two clocks while the worker waits, so that a wake-up from a suspend is seen
    /// within a second; null: not watched.
    WakeWatch* wake = nullptr;
    /// Spaces the requests to each host and keeps the hosts that asked to be left alone;
    /// null: no spacing.
    HostPacing* pacing = nullptr;
    /// Fetch time-outs, shorter in tests.
    int connectTimeoutSeconds = 30;
    int stallTimeoutSeconds = 60;
};

/// The one item checker: waits on its worker thread for the armed item's due moment, fetches
/// the page, decides whether it changed, runs the update actions and reports the finished copy.
/// The worker is started by the first arm() and serves every later one until the checker goes.
class CReNew : public ItemChecker {
public:
    explicit CReNew(CheckerServices services);
    ~CReNew() override;
    CReNew(const CReNew&) = delete;
    CReNew& operator=(const CReNew&) = delete;

    void setReceiver(CheckReceiver* receiver) override { m_receiver = receiver; }
    void arm(const WatchSettings& item) override;
    void stop() override;
    bool isBusy() const override;
    /// Also cancels a running transfer, so that a check in progress ends within about a second.
    void setClosing() override;
    void setIdle() override { m_idleEvent.set(); }

    /// How long the armed worker waits before checking.
    std::chrono::milliseconds waitTime() const { return m_wait; }
    /// Blocks until the armed item's check (or wait) has ended (for tests and shutdown).
    void waitDone() { m_doneEvent.wait(); }
    /// Blocks while a check runs; returns at once when waiting or after a report.
    void waitIdleOrDone() { waitAny({&m_idleEvent, &m_doneEvent}); }

    /// One check of the armed copy.
    CheckOutcome check();

private:
    void worker();
    /// One armed item: its due wait, then its check.
    void serve();
    void run();
    /// Waits the rest of the armed item's host's gap; false when stopped meanwhile.
    bool awaitTurn();
    /// Before the check's first request: a failure naming the time the host's wait ends when
    /// it asked to be left alone (Retry-After); else none, and the request is noted.
    std::optional<CheckOutcome> awaitHost();
    /// After a failed download: a busy server's Retry-After holds its host.
    void holdHost(const FetchRequest& request);
    /// Settles the check from the page's time alone; none when the page must be read.
    std::optional<CheckOutcome> preCheck(FetchRequest& request);
    /// destFile resolved against the data folder; empty when a relative name leaves it.
    std::string destPath() const;
    /// Where the stored copy lives, always inside comp; empty when it needs a fresh name.
    std::string storedCopyPath() const;
    CheckOutcome fail(const std::string& text);
    /// With history on, fetches and keeps the page whose change the time alone decided.
    void keepPageOfTimeShortcut(FetchRequest& request, const std::string& fingerprint);
    /// Renames the history when the stored copy got a new name (its key was `keyBefore`).
    void followStoredCopy(const std::string& keyBefore);
    /// Keeps what this check compared in the item's history: after a change always, after an
    /// unchanged page only while nothing is kept, so that the first change has something to be
    /// compared with. `page` is the whole page's file (empty for a check area). Never fails the
    /// check; a failure is told once until a write succeeds again.
    void keepHistory(bool changed, const std::string& page, const std::string& contentType);
    /// Validators of the stored copy for a conditional request; none when there is no copy
    /// for them to describe.
    ValidatorStore::Validators storedValidators(const std::string& fingerprint) const;
    /// Keeps the validators of the response now held as the stored copy (or as what it
    /// compares equal to).
    void keepValidators(const FetchRequest& request, const std::string& fingerprint);

    CheckerServices m_services;
    ValidatorStore m_validators;
    /// The connections of every check; used only inside check(), on the worker.
    HttpConnections m_connections;
    std::thread m_thread;
    std::atomic<bool> m_closing{false};
    /// Polled by the fetch engine; set by setClosing() and stop().
    std::atomic<bool> m_cancel{false};
    WatchSettings m_item;
    /// The armed item's due moment, readable by the busy test while the worker runs.
    std::atomic<std::time_t> m_nextCheck{0};
    std::chrono::milliseconds m_wait{0};
    CheckReceiver* m_receiver = nullptr;
    Event m_wakeEvent{false, false};
    /// An item was armed, or (with m_quit) the worker is to end.
    Event m_armedEvent{false, false};
    std::atomic<bool> m_quit{false};
    Event m_stopEvent{false, false};
    Event m_doneEvent{true, true};
    Event m_idleEvent{true, true};
    /// A failed history write was told; the next failure is told only after a success.
    bool m_historyFailureTold = false;
};

} // namespace tw
