#include "app/Headless.h"

#include "app/CHLPCall.h"
#include "app/CTarnwickApp.h"
#include "app/MainLoop.h"
#include "ports/MainWindowPort.h"
#include "ports/Prompter.h"
#include "net/CollectingMailProgress.h"
#include "platform/Clock.h"
#include "platform/DesktopShell.h"
#include "platform/DesktopSoundPlayer.h"
#include "records/WatchSettings.h"
#include "util/Cp932.h"
#include "watch/CReNew.h"
#include "watch/CWatchList.h"
#include "ports/CheckReceiver.h"
#include "watch/ResultText.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <type_traits>

namespace tw {

namespace {

std::mutex g_outputMutex;

void printError(const std::string& cp932) {
    std::lock_guard lock(g_outputMutex);
    std::fprintf(stderr, "%s\n", fromCp932(cp932).c_str());
    std::fflush(stderr);
}

/// Message boxes become lines on standard error; nobody is there to answer questions.
class HeadlessPrompter : public Prompter {
public:
    void showMessage(const std::string& text, Icon) override { printError(text); }
    bool ask(const std::string& text) override {
        printError(text);
        return false;
    }
    bool authenticate(std::string&, std::string&, const std::string& address, int) override {
        printError(jp("認証が必要です: ") + address);
        return false;
    }
};

/// There is no window to bring up; pages to show go to the display bridge.
class HeadlessWindowPort : public MainWindowPort {
public:
    explicit HeadlessWindowPort(CHLPCall& bridge) : m_bridge(bridge) {}
    void popUp() override {}
    void showItem(const WatchSettings& item) override { m_bridge.display(item); }
    void showAddress(const std::string& address) override {
        FetchSettings record;
        record.targetUrl = address;
        m_bridge.display(record);
    }

private:
    CHLPCall& m_bridge;
};

class LoopReceiver : public CheckReceiver {
public:
    LoopReceiver(MainLoop& loop, CWatchList*& list, const std::function<void()>& afterRound)
        : m_loop(loop), m_list(list), m_afterRound(afterRound) {}

    void checkDone(const WatchSettings& finishedCopy) override {
        // The copy stays unchanged until the checker is armed again, which only the list does
        // after this task has run.
        const WatchSettings* copy = &finishedCopy;
        m_loop.post([this, copy] {
            if (!copy->targetUrl.empty()) {
                const ResultRow row = resultRow(*copy);
                std::lock_guard lock(g_outputMutex);
                std::printf("%s\t%s\t%s\n", row.time.c_str(), fromCp932(row.page).c_str(),
                            fromCp932(row.result).c_str());
                std::fflush(stdout);
            }
            m_list->checkFinished(*copy);
            m_afterRound();
        });
    }

private:
    MainLoop& m_loop;
    CWatchList*& m_list;
    const std::function<void()>& m_afterRound;
};

/// Turns SIGINT and SIGTERM into a quit of the loop; they are blocked in every thread.
class SignalWatcher {
public:
    explicit SignalWatcher(MainLoop& loop) : m_thread([this, &loop] { watch(loop); }) {}
    ~SignalWatcher() {
        m_stop = true;
        // Wakes the wait at once instead of after its tick; the signal is taken by the
        // watcher itself, and a quit of the loop is harmless now.
        pthread_kill(m_thread.native_handle(), SIGTERM);
        m_thread.join();
    }

private:
    void watch(MainLoop& loop) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        const timespec tick{0, 200 * 1000 * 1000};
        while (!m_stop) {
            if (sigtimedwait(&set, nullptr, &tick) > 0) {
                loop.quit();
            }
        }
    }

    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// MERGE: CWatchList::start becomes `bool start(CheckReceiver*)` (false when the list file
// could not be read, the reason in loadError()) on another branch. Until then this bridges
// both forms; once merged, call `list.start(receiver)` directly and drop this template.
template <typename List>
bool startList(List& list, CheckReceiver* receiver, std::string& error) {
    if constexpr (std::is_void_v<decltype(list.start(receiver))>) {
        list.start(receiver);
        return true;
    } else {
        if (list.start(receiver)) {
            return true;
        }
        error = list.loadError();
        return false;
    }
}

/// The check cycle; its result is the process's exit code.
int runCycle(CTarnwickApp& app, Prompter& prompter, const HeadlessOptions& options) {
    app.loadSettings();
    const Clock& clock = SystemClock::instance();
    MainLoop loop;
    SignalWatcher signals(loop);

    DesktopShell shell;
    DesktopSoundPlayer sound(app.programFolder());
    // Declared before the checker: a worker may hand pages to it until the checker is gone,
    // and what it still holds is handed over when it goes.
    CHLPCall bridge(app, shell);
    HeadlessWindowPort window(bridge);
    CollectingMailProgress mailProgress;

    CheckerServices services;
    services.clock = &clock;
    services.prompter = &prompter;
    services.converter = app.codeConverter();
    services.programFolder = app.programFolder();
    services.actions.sound = &sound;
    services.actions.mainWindow = &window;
    services.actions.shell = &shell;
    services.actions.mailServer = {app.mailServer, app.mailPort, app.mailAccount};
    services.actions.converter = app.codeConverter();
    services.actions.mailProgress = &mailProgress;
    services.actions.prompter = &prompter;

    CReNew checker(services);
    CWatchList list(checker, clock, &prompter, app.programFolder());
    CWatchList* listRef = &list;
    // Checks of unchanged pages follow each other within milliseconds; their results are
    // saved together, each at most a fifth of a second after it came in, and at the end.
    list.setSaveCoalescing(std::chrono::milliseconds(200), [&](std::chrono::milliseconds delay) {
        loop.postAfter(delay, [&] { list.flushSave(); });
    });
    std::function<void()> afterRound = [&] {
        if (!options.untilIdle) {
            return;
        }
        const int current = list.current();
        if (current == -1 || list.itemAt(current).nextCheck > clock.now()) {
            loop.quit();
        }
    };
    LoopReceiver receiver(loop, listRef, afterRound);

    bool listRead = true;
    loop.post([&] {
        std::string error;
        if (!startList(list, &receiver, error)) {
            // Nothing may be saved over a list that was not read.
            listRead = false;
            printError(error);
            loop.quit();
            return;
        }
        afterRound();
    });
    loop.run();

    if (!listRead) {
        list.setClosing();
        checker.waitIdleOrDone();
        return 1;
    }
    // Shutdown: settings first, then no further report; a running check may finish. A failed
    // save has been told through the prompter and fails the run.
    int code = app.saveSettings() ? 0 : 1;
    list.setClosing();
    checker.waitIdleOrDone();
    if (!list.save()) {
        printError(jp("ウォッチリストを保存できませんでした。\n") + toCp932(list.filePath()));
        code = 1;
    }
    return code;
}

} // namespace

int runHeadless(const HeadlessOptions& options) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    HeadlessPrompter prompter;
    CTarnwickApp app(prompter);
    int cycleCode = 0;
    const int code = app.run([&] { cycleCode = runCycle(app, prompter, options); });
    if (app.otherInstanceRunning()) {
        // Only one Tarnwick checks at a time; the running one was told to show itself.
        std::fputs("tarnwick: another instance is already running\n", stderr);
    }
    return code != 0 ? code : cycleCode;
}

} // namespace tw
