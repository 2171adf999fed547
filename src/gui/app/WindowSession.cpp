#include "gui/app/WindowSession.h"

#include "core/app/CTarnwickApp.h"
#include "core/app/CheckSession.h"
#include "core/app/HandOverPickUp.h"
#include "core/app/ListCommandRun.h"
#include "core/app/Siblings.h"
#include "core/platform/DesktopShell.h"
#include "core/platform/DesktopSoundPlayer.h"
#include "core/ports/Executor.h"
#include "core/ports/MainWindowPort.h"
#include "core/records/WatchSettings.h"
#include "gui/app/SleepWatch.h"

#include <optional>

namespace tw::gui {

namespace {

/// The checker's calls to the window. Bringing the window up runs on the GUI thread while the
/// worker waits, and is skipped once the window is closing; pages go to the display bridge,
/// which takes them from any thread.
class SessionWindowPort : public MainWindowPort {
public:
    SessionWindowPort(Executor& executor, const std::function<void()>& popUp)
        : m_executor(executor), m_popUp(popUp) {}

    /// The session whose bridge shows the pages; it is made after this port, which it calls.
    void setBridge(CHLPCall* bridge) { m_bridge = bridge; }

    void popUp() override {
        (void)m_executor.send([this] {
            if (m_popUp) {
                m_popUp();
            }
        });
    }
    void showItem(const WatchSettings& item) override { m_bridge->display(item); }
    void showAddress(const std::string& address) override {
        FetchSettings record;
        record.targetUrl = address;
        m_bridge->display(record);
    }

private:
    Executor& m_executor;
    const std::function<void()>& m_popUp;
    CHLPCall* m_bridge = nullptr;
};

} // namespace

struct WindowSession::Parts {
    Parts(CTarnwickApp& app, Executor& executor, Prompter& prompter, MailProgress& mailProgress,
          Shell* shell, SoundPlayer* sound)
        : app(app), executor(executor),
          ownShell(shell ? nullptr : std::make_unique<DesktopShell>()),
          ownSound(sound ? nullptr : std::make_unique<DesktopSoundPlayer>(app.programFolder())),
          shell(shell ? *shell : *ownShell), sound(sound ? *sound : *ownSound),
          siblings(app, this->shell), windowPort(executor, hooks.popUp),
          handOver(siblings, executor,
                   [this](std::optional<FetchSettings> record) {
                       if (hooks.handedOver) {
                           hooks.handedOver(std::move(record));
                       }
                   }),
          session(app, prompter, &windowPort, executor, mailProgress, nullptr, &this->shell,
                  &this->sound) {
        windowPort.setBridge(&session.bridge());
    }

    /// logind's word of a wake-up, for the retry of a check that fails just after it.
    void watchSleep() {
        sleep = std::make_unique<SleepWatch>([this] { session.wake().wokeUp(); });
    }

    CTarnwickApp& app;
    Executor& executor;
    Hooks hooks;
    std::unique_ptr<Shell> ownShell;
    std::unique_ptr<SoundPlayer> ownSound;
    Shell& shell;
    SoundPlayer& sound;
    Siblings siblings;
    SessionWindowPort windowPort;
    HandOverPickUp handOver;
    // Last: its checker calls the port, and its bridge hands pages over until it is gone.
    CheckSession session;
    std::unique_ptr<SleepWatch> sleep;
    /// The shell's list commands, applied to this session while it runs.
    std::unique_ptr<SessionListCommands> commands;
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

void WindowSession::start(CheckReceiver* results) {
    if (m_parts->started || m_parts->closed) {
        return;
    }
    m_parts->started = true;
    m_parts->watchSleep();
    if (m_parts->session.start(results)) {
        m_parts->commands =
            std::make_unique<SessionListCommands>(m_parts->session, m_parts->app.messageBus(),
                                                  m_parts->executor, m_parts->app.programFolder());
        // Requests left while the window started.
        m_parts->commands->serve();
    }
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
    parts.commands.reset();
    parts.stopResult = parts.session.stop();
    // Pages still queued go to the browser now, while no worker can wait on this thread.
    parts.session.bridge().stop();
    return parts.stopResult;
}

CheckSession& WindowSession::checks() {
    return m_parts->session;
}

CWatchList& WindowSession::watchList() {
    return m_parts->session.watchList();
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
    m_parts->session.bridge().display(record);
}

} // namespace tw::gui
