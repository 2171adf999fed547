#include "app/WindowSession.h"

#include "app/CHLPCall.h"
#include "app/CTarnwickApp.h"
#include "app/Siblings.h"
#include "platform/Clock.h"
#include "platform/DesktopShell.h"
#include "platform/DesktopSoundPlayer.h"
#include "ports/CheckReceiver.h"
#include "ports/Executor.h"
#include "ports/MainWindowPort.h"
#include "records/WatchSettings.h"
#include "watch/CReNew.h"

#include <optional>

namespace tw::gui {

namespace {

/// The checker's calls to the window, run on the GUI thread while the worker waits; refused
/// (and skipped) once the window is closing.
class SessionWindowPort : public MainWindowPort {
public:
    SessionWindowPort(Executor& executor, CHLPCall& bridge, const std::function<void()>& popUp)
        : m_executor(executor), m_bridge(bridge), m_popUp(popUp) {}

    void popUp() override {
        (void)m_executor.send([this] {
            if (m_popUp) {
                m_popUp();
            }
        });
    }
    void showItem(const WatchSettings& item) override {
        (void)m_executor.send([&] { m_bridge.display(item); });
    }
    void showAddress(const std::string& address) override {
        FetchSettings record;
        record.targetUrl = address;
        (void)m_executor.send([&] { m_bridge.display(record); });
    }

private:
    Executor& m_executor;
    CHLPCall& m_bridge;
    const std::function<void()>& m_popUp;
};

class SessionReceiver : public CheckReceiver {
public:
    explicit SessionReceiver(std::function<void(const WatchSettings*)> deliver)
        : m_deliver(std::move(deliver)) {}
    void checkDone(const WatchSettings& finishedCopy) override { m_deliver(&finishedCopy); }

private:
    std::function<void(const WatchSettings*)> m_deliver;
};

} // namespace

struct WindowSession::Parts {
    Parts(CTarnwickApp& app, Executor& executor, Prompter& prompter, MailProgress& mailProgress,
          Shell* shell, SoundPlayer* sound)
        : app(app), executor(executor), prompter(prompter), mailProgress(mailProgress),
          ownShell(shell ? nullptr : std::make_unique<DesktopShell>()),
          ownSound(sound ? nullptr : std::make_unique<DesktopSoundPlayer>(app.programFolder())),
          shell(shell ? *shell : *ownShell), sound(sound ? *sound : *ownSound),
          bridge(app, this->shell), siblings(app, this->shell),
          windowPort(executor, bridge, hooks.popUp),
          receiver([this](const WatchSettings* copy) { deliver(copy); }) {}

    /// The checker takes the mail settings when it is made, so it is made on first use, after
    /// the window has read the settings file.
    void build() {
        if (list) {
            return;
        }
        CheckerServices services;
        services.clock = &SystemClock::instance();
        services.prompter = &prompter;
        services.converter = app.codeConverter();
        services.programFolder = app.programFolder();
        services.actions.sound = &this->sound;
        services.actions.mainWindow = &windowPort;
        services.actions.shell = &this->shell;
        services.actions.mailServer = {app.mailServer, app.mailPort, app.mailAccount};
        services.actions.converter = app.codeConverter();
        services.actions.mailProgress = &mailProgress;
        services.actions.prompter = &prompter;
        checker.emplace(services);
        list.emplace(*checker, SystemClock::instance(), &prompter, app.programFolder());
        // Checks of unchanged pages follow each other within milliseconds; their results are
        // saved together, each at most a fifth of a second after it came in.
        list->setSaveCoalescing(std::chrono::milliseconds(200),
                                [this](std::chrono::milliseconds delay) {
                                    this->executor.postAfter(delay, [this] { list->flushSave(); });
                                });
    }

    void deliver(const WatchSettings* copy) {
        // The copy stays unchanged until the checker is armed again, which only the list does
        // once this task has handed it back.
        executor.post([this, copy] {
            if (closed) {
                return;
            }
            const int current = list->current();
            const CWatchList::ItemId id = current >= 0 ? list->idAt(current) : 0;
            if (hooks.checkDone) {
                hooks.checkDone(*copy, id);
            }
            list->checkFinished(*copy);
        });
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
    // Declared before the checker: a worker may hand pages to it until the checker is gone.
    CHLPCall bridge;
    Siblings siblings;
    SessionWindowPort windowPort;
    SessionReceiver receiver;
    std::optional<CReNew> checker;
    std::optional<CWatchList> list;
    bool started = false;
    bool closed = false;
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
    if (m_parts->started) {
        return;
    }
    m_parts->started = true;
    m_parts->build();
    m_parts->list->start(&m_parts->receiver);
}

void WindowSession::shutdown() {
    Parts& parts = *m_parts;
    if (parts.closed) {
        return;
    }
    parts.closed = true;
    if (parts.list) {
        parts.list->setClosing();
        parts.checker->waitIdleOrDone();
        if (parts.started) {
            parts.list->save();
        }
    }
    parts.bridge.stop();
}

CWatchList& WindowSession::watchList() {
    m_parts->build();
    return *m_parts->list;
}

Siblings& WindowSession::siblings() {
    return m_parts->siblings;
}

void WindowSession::display(const FetchSettings& record) {
    m_parts->bridge.display(record);
}

} // namespace tw::gui
