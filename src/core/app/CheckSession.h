#pragma once

#include "app/CHLPCall.h"
#include "platform/DesktopShell.h"
#include "platform/DesktopSoundPlayer.h"
#include "ports/CheckReceiver.h"
#include "ports/MainWindowPort.h"
#include "watch/CReNew.h"
#include "watch/CWatchList.h"

#include <functional>
#include <memory>

namespace tw {

class Clock;
class CTarnwickApp;
class Executor;
class MailProgress;
class Prompter;
class WatchSettings;
struct MailServerSettings;

/// One front end's check round: the watch list, the checker with its update actions and the
/// display bridge, wired together, and the way in for the mail settings. The front end makes it on
/// its own thread (the executor's owner), calls start(), lets its executor run, and calls stop()
/// when it closes. Everything but the checker's worker runs on the owner's thread.
class CheckSession {
public:
    /// Called on the owner's thread with each finished item copy, before the watch list takes
    /// it back.
    using ResultCallback = std::function<void(WatchSettings finishedCopy)>;

    /// `window` null: pages to show go straight to the display bridge, nothing pops up (the
    /// headless mode). The mail settings are read from `app` at each mail. `clock` null: the
    /// system clock; `shell` and `sound` null: the desktop's own (xdg-open, libcanberra).
    CheckSession(CTarnwickApp& app, Prompter& prompter, MainWindowPort* window, Executor& executor,
                 MailProgress& mailProgress, ResultCallback onResult, const Clock* clock = nullptr,
                 Shell* shell = nullptr, SoundPlayer* sound = nullptr);
    ~CheckSession();
    CheckSession(const CheckSession&) = delete;
    CheckSession& operator=(const CheckSession&) = delete;

    /// Loads the watch list and arms the checker for the first due item. False when the watch
    /// list could not be read (the session then runs on an empty list).
    bool start();
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
    /// True when no check is armed or the armed one is not due yet.
    bool idle() const;

    /// The mail server the next update mail goes through; kept in the application object and
    /// written to the settings file at once, so that a crash does not lose it. False when the
    /// save failed (told through the prompter); the settings are in effect all the same.
    bool setMailServer(const MailServerSettings& settings);
    MailServerSettings mailServer() const;

    CWatchList& watchList() { return m_list; }
    CHLPCall& bridge() { return m_bridge; }
    /// The shell pages and programs are opened with, for the front end's own launches.
    Shell& shell() { return m_shell; }

private:
    /// Posts the finished copy from the checker's worker to the owner's thread.
    class Receiver : public CheckReceiver {
    public:
        explicit Receiver(CheckSession& session) : m_session(session) {}
        void checkDone(WatchSettings finishedCopy) override;

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

    void deliver(WatchSettings finishedCopy);

    CTarnwickApp& m_app;
    Executor& m_executor;
    const Clock& m_clock;
    ResultCallback m_onResult;
    std::function<void()> m_onScheduled;
    /// Tasks posted to the executor hold a weak reference: they do nothing once we are gone.
    std::shared_ptr<CheckSession*> m_alive;

    std::unique_ptr<DesktopShell> m_ownShell;
    std::unique_ptr<DesktopSoundPlayer> m_ownSound;
    Shell& m_shell;
    SoundPlayer& m_sound;
    // Before the checker: a worker may hand pages to it until the checker is gone, and what it
    // still holds is handed over when it goes.
    CHLPCall m_bridge;
    BridgeWindowPort m_bridgeWindow;
    CReNew m_checker;
    CWatchList m_list;
    Receiver m_receiver;

    bool m_stopped = false;
    bool m_stopResult = false;
    bool m_listSaved = false;
};

} // namespace tw
