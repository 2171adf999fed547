#include "core/app/CheckSession.h"

#include "core/app/CTarnwickApp.h"
#include "core/platform/Clock.h"
#include "core/ports/Executor.h"
#include "core/records/WatchSettings.h"
#include "core/watch/Schedule.h"

#include <chrono>

namespace tw {

namespace {

CheckerServices checkerServices(CTarnwickApp& app, Prompter& prompter, const Clock& clock,
                                MainWindowPort& window, Shell& shell, SoundPlayer& sound,
                                MailProgress& mailProgress, const MailSettingsStore& mail,
                                HistoryStore& history, WakeWatch& wake, HostPacing& pacing) {
    CheckerServices services;
    services.wake = &wake;
    services.pacing = &pacing;
    services.history = &history;
    services.clock = &clock;
    services.prompter = &prompter;
    services.converter = app.codeConverter();
    services.programFolder = app.programFolder();
    services.actions.sound = &sound;
    services.actions.mainWindow = &window;
    services.actions.shell = &shell;
    services.actions.mailSettings = &mail;
    services.actions.converter = app.codeConverter();
    services.actions.mailProgress = &mailProgress;
    services.actions.prompter = &prompter;
    services.actions.history = &history;
    return services;
}

} // namespace

CheckSession::CheckSession(CTarnwickApp& app, Prompter& prompter, MainWindowPort* window,
                           Executor& executor, MailProgress& mailProgress, const Clock* clock,
                           Shell* shell, SoundPlayer* sound)
    : m_app(app), m_prompter(prompter), m_executor(executor),
      m_clock(clock ? *clock : SystemClock::instance()),
      m_alive(std::make_shared<CheckSession*>(this)),
      m_ownShell(shell ? nullptr : std::make_unique<DesktopShell>()),
      m_ownSound(sound ? nullptr : std::make_unique<DesktopSoundPlayer>(app.programFolder())),
      m_shell(shell ? *shell : *m_ownShell), m_sound(sound ? *sound : *m_ownSound),
      m_history(app.programFolder(), app.historyLimits()), m_failures(app.programFolder()),
      m_notices(app, m_history, m_failures), m_wake(m_clock),
      m_pacing(m_clock, app.programFolder()), m_bridge(app, m_shell), m_bridgeWindow(m_bridge),
      m_checker(checkerServices(app, prompter, m_clock, window ? *window : m_bridgeWindow, m_shell,
                                m_sound, mailProgress, app.mailSettings(), m_history, m_wake,
                                m_pacing)),
      m_list(m_checker, m_clock, &prompter, app.programFolder()), m_workerReceiver(*this) {
    m_pacing.setGap(app.hostGap());
    m_pacing.load();
    m_list.setPacing(&m_pacing);
    m_list.setHistory(&m_history);
    m_list.setFailureAlerts(&m_failures);
    // Checks of unchanged pages follow each other within milliseconds; their results are
    // saved together, each at most a fifth of a second after it came in, and at the end.
    m_list.setSaveCoalescing(std::chrono::milliseconds(200),
                             [this](std::chrono::milliseconds delay) {
                                 std::weak_ptr<CheckSession*> alive = m_alive;
                                 m_executor.postAfter(delay, [alive] {
                                     if (const auto session = alive.lock()) {
                                         (*session)->m_list.flushSave();
                                     }
                                 });
                             });
}

CheckSession::~CheckSession() = default;

bool CheckSession::start(CheckReceiver* receiver) {
    m_frontEnd = receiver;
    const bool loaded = m_list.start(&m_workerReceiver);
    if (m_onScheduled) {
        m_onScheduled();
    }
    return loaded;
}

bool CheckSession::stop() {
    if (m_stopped) {
        return m_stopResult;
    }
    m_stopped = true;
    // Settings first, then no further report; a running check may finish.
    const bool settingsSaved = m_app.saveSettings();
    m_executor.close();
    m_list.setClosing();
    m_checker.waitIdleOrDone();
    m_listSaved = m_list.save();
    m_stopResult = settingsSaved && m_listSaved;
    return m_stopResult;
}

bool CheckSession::idle() const {
    if (m_list.anyRetryPending()) {
        return false;
    }
    const int current = m_list.current();
    return current == -1 || m_list.itemAt(current).nextCheck > m_clock.now();
}

WatchItemId CheckSession::defineItem(const WatchSettings& item, WatchItemId id) {
    if (item.targetUrl.empty()) {
        return 0;
    }
    WatchSettings prepared = item;
    computeNextCheck(prepared, false, m_clock, &m_prompter);
    return m_list.define(prepared, id);
}

bool CheckSession::removeItem(WatchItemId id) {
    return m_list.removeById(id);
}

bool CheckSession::checkNow(WatchItemId id) {
    std::optional<WatchSettings> due = item(id);
    if (!due) {
        return false;
    }
    due->nextCheck = WatchSettings::kDueNow;
    return m_list.replaceById(id, *due);
}

std::optional<WatchSettings> CheckSession::item(WatchItemId id) const {
    const int position = m_list.positionOf(id);
    if (position < 0) {
        return std::nullopt;
    }
    return m_list.itemAt(position);
}

bool CheckSession::setMailServer(const MailServerSettings& settings) {
    const bool confSaved = m_app.setMailServer(settings);
    return m_app.saveSettings() && confSaved;
}

MailServerSettings CheckSession::mailServer() const {
    return m_app.mailServer();
}

void CheckSession::WorkerReceiver::checkDone(WatchSettings finishedCopy, WatchItemId itemId) {
    // Here on the worker: the diff of a large page never holds up the owner's thread. A
    // failure is counted by deliver(), which first decides whether it counts at all.
    std::vector<Notice> notices;
    if (finishedCopy.outcome() != CheckOutcome::Failed) {
        notices = m_session.m_notices.prepare(finishedCopy, m_session.m_notifier != nullptr);
    }
    // The task owns its item whatever the checker does next.
    std::weak_ptr<CheckSession*> alive = m_session.m_alive;
    m_session.m_executor.post(
        [alive, copy = std::move(finishedCopy), itemId, notices = std::move(notices)]() mutable {
            if (const auto session = alive.lock()) {
                (*session)->deliver(std::move(copy), itemId, std::move(notices));
            }
        });
}

void CheckSession::deliver(WatchSettings finishedCopy, WatchItemId itemId,
                           std::vector<Notice> notices) {
    // Still the checked item: the list moves on only once it takes the copy back.
    const WatchItemId id = itemId == CheckReceiver::kArmedItem ? m_list.currentId() : itemId;
    // Just after a wake-up the network is often not up yet. A check that fails then is made
    // once more a little later, and neither the front end (its result list), the failure count
    // nor the list's file hears of the first failure: whoever receives checks sees only the
    // outcome that counts. The wake-ups come from m_wake (see WakeWatch).
    m_wake.sample();
    // A check whose server asked to be left alone (Retry-After) failed on purpose: it is shown
    // with the time it will be made again, and neither counts as a failure nor is retried
    // before then.
    const std::time_t heldUntil = finishedCopy.outcome() == CheckOutcome::Failed
                                      ? m_pacing.heldUntil(finishedCopy.targetUrl)
                                      : 0;
    if (finishedCopy.outcome() == CheckOutcome::Failed && heldUntil == 0 && id != 0 &&
        !m_list.retryPending(id) && m_wake.wokeWithin(kWakeWindow)) {
        m_list.retryLater(m_clock.now() + kWakeRetrySeconds);
        if (m_onScheduled) {
            m_onScheduled();
        }
        return;
    }
    // A failure is counted only now that it counts (cheap: no diff, one small file).
    if (finishedCopy.outcome() == CheckOutcome::Failed && heldUntil == 0) {
        notices = m_notices.prepare(finishedCopy, m_notifier != nullptr);
    }
    if (Notifier* notifier = m_notifier; notifier != nullptr) {
        for (Notice& notice : notices) {
            notice.item = id;
            notifier->notify(notice);
        }
    }
    if (m_frontEnd) {
        m_frontEnd->checkDone(finishedCopy, id);
    }
    m_list.checkFinished(std::move(finishedCopy), heldUntil);
    if (m_onChecked && id != 0) {
        m_onChecked(id);
    }
    if (m_onScheduled) {
        m_onScheduled();
    }
}

void CheckSession::BridgeWindowPort::showItem(const WatchSettings& item) {
    m_bridge.display(item);
}

void CheckSession::BridgeWindowPort::showAddress(const std::string& address) {
    FetchSettings record;
    record.targetUrl = address;
    m_bridge.display(record);
}

} // namespace tw
