#include "app/WindowSession.h"

#include "app/CTarnwickApp.h"
#include "app/CheckSession.h"
#include "app/HandOverPickUp.h"
#include "app/Siblings.h"
#include "platform/DesktopShell.h"
#include "platform/DesktopSoundPlayer.h"
#include "ports/Executor.h"
#include "ports/MainWindowPort.h"
#include "records/WatchSettings.h"

#include <optional>

namespace tw::gui {

namespace {

/// The checker's calls to the window. Bringing the window up runs on the GUI thread while the
/// worker waits, and is skipped once the window is closing; pages go to the display bridge,
/// which takes them from any thread.
class SessionWindowPort : public MainWindowPort {
public:
    SessionWindowPort(Executor& executor, const std::function<void()>& popUp,
                      std::optional<CheckSession>& session)
        : m_executor(executor), m_popUp(popUp), m_session(session) {}

    void popUp() override {
        (void)m_executor.send([this] {
            if (m_popUp) {
                m_popUp();
            }
        });
    }
    void showItem(const WatchSettings& item) override { bridge().display(item); }
    void showAddress(const std::string& address) override {
        FetchSettings record;
        record.targetUrl = address;
        bridge().display(record);
    }

private:
    // The checker that calls this exists only inside the session.
    CHLPCall& bridge() { return m_session->bridge(); }

    Executor& m_executor;
    const std::function<void()>& m_popUp;
    std::optional<CheckSession>& m_session;
};

} // namespace

struct WindowSession::Parts {
    Parts(CTarnwickApp& app, Executor& executor, Prompter& prompter, MailProgress& mailProgress,
          Shell* shell, SoundPlayer* sound)
        : app(app), executor(executor), prompter(prompter), mailProgress(mailProgress),
          ownShell(shell ? nullptr : std::make_unique<DesktopShell>()),
          ownSound(sound ? nullptr : std::make_unique<DesktopSoundPlayer>(app.programFolder())),
          shell(shell ? *shell : *ownShell), sound(sound ? *sound : *ownSound),
          siblings(app, this->shell), windowPort(executor, hooks.popUp, session),
          handOver(siblings, executor, [this](std::optional<FetchSettings> record) {
              if (hooks.handedOver) {
                  hooks.handedOver(std::move(record));
              }
          }) {}

    /// The check session takes the mail settings when it is made, so it is made on first use,
    /// after the window has read the settings file.
    CheckSession& build() {
        if (!session) {
            session.emplace(
                app, prompter, &windowPort, executor, mailProgress,
                [this](const WatchSettings& finished) { report(finished); }, nullptr, &shell,
                &sound);
        }
        return *session;
    }

    void report(const WatchSettings& finished) {
        if (!hooks.checkDone) {
            return;
        }
        // Still the checked item: the list moves on only once it takes the copy back.
        const CWatchList& list = session->watchList();
        const int current = list.current();
        hooks.checkDone(finished, current >= 0 ? list.idAt(current) : 0);
    }

    CTarnwickApp& app;
    Executor& executor;
    Prompter& prompter;
    MailProgress& mailProgress;
    Hooks hooks;
    std::unique_ptr<Shell> ownShell;
    std::unique_ptr<SoundPlayer> ownSound;
    Shell& shell;
    SoundPlayer& sound;
    Siblings siblings;
    SessionWindowPort windowPort;
    HandOverPickUp handOver;
    // Last: its checker calls the port, and its bridge hands pages over until it is gone.
    std::optional<CheckSession> session;
    bool started = false;
    bool closed = false;
    bool stopResult = true;
};

WindowSession::WindowSession(CTarnwickApp& app, Executor& executor, Prompter& prompter,
                             MailProgress& mailProgress, Shell* shell, SoundPlayer* sound)
    : m_parts(std::make_unique<Parts>(app, executor, prompter, mailProgress, shell, sound)) {}

WindowSession::~WindowSession() {
    shutdown();
}

void WindowSession::setHooks(Hooks hooks) {
    m_parts->hooks = std::move(hooks);
}

void WindowSession::start() {
    if (m_parts->started || m_parts->closed) {
        return;
    }
    m_parts->started = true;
    m_parts->build().start();
}

bool WindowSession::shutdown() {
    Parts& parts = *m_parts;
    if (parts.closed) {
        return parts.stopResult;
    }
    parts.closed = true;
    parts.handOver.stop();
    if (!parts.started) {
        // Nothing was read, so nothing is written over; workers are let go all the same.
        parts.executor.close();
        return parts.stopResult;
    }
    parts.stopResult = parts.session->stop();
    // Pages still queued go to the browser now, while no worker can wait on this thread.
    parts.session->bridge().stop();
    return parts.stopResult;
}

CWatchList& WindowSession::watchList() {
    return m_parts->build().watchList();
}

Siblings& WindowSession::siblings() {
    return m_parts->siblings;
}

void WindowSession::pickUpHandOver() {
    if (!m_parts->closed) {
        m_parts->handOver.request();
    }
}

void WindowSession::display(const FetchSettings& record) {
    m_parts->build().bridge().display(record);
}

void WindowSession::setMailServer(const MailServerSettings& settings) {
    m_parts->build().setMailServer(settings);
}

} // namespace tw::gui
