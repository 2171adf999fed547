#include "core/app/Headless.h"

#include "core/app/CTarnwickApp.h"
#include "core/app/CheckSession.h"
#include "core/app/ListCommandRun.h"
#include "core/app/MainLoop.h"
#include "core/net/CollectingMailProgress.h"
#include "core/ports/Notifier.h"
#include "core/ports/Prompter.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/watch/ResultText.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
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

/// Messages become lines on standard error. Nobody is there to answer questions: they are
/// printed on the loop's thread like the dialog they stand for and answered "no".
class HeadlessPrompter : public Prompter {
public:
    /// Questions go through `executor` from now on; null detaches it again, once the questions
    /// on their way through it have come back (the executor is closed by then, so they do soon).
    void attach(Executor* executor) {
        std::unique_lock lock(m_mutex);
        m_executor = executor;
        m_idle.wait(lock, [this] { return m_inFlight == 0; });
    }

    void showMessage(const std::string& text, Icon) override { printError(text); }
    bool ask(const std::string& text) override {
        question(text);
        return false;
    }
    bool authenticate(std::string&, std::string&, const AuthChallenge& challenge, int) override {
        std::string text = jp("認証が必要です: ") + challenge.origin;
        if (!challenge.realm.empty()) {
            text += jp("（") + challenge.realm + jp("）");
        }
        question(text);
        return false;
    }

private:
    void question(const std::string& text) {
        Executor* executor = nullptr;
        {
            std::lock_guard lock(m_mutex);
            executor = m_executor;
            m_inFlight += executor ? 1 : 0;
        }
        // Refused while closing: the answer is "no" all the same, the line is still printed.
        const bool printed = executor && executor->send([&] { printError(text); });
        if (!printed) {
            printError(text);
        }
        if (executor) {
            std::lock_guard lock(m_mutex);
            --m_inFlight;
            m_idle.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_idle;
    Executor* m_executor = nullptr;
    int m_inFlight = 0;
};

/// Detaches the prompter before the loop goes; made before the session, so it outlives the
/// session's workers.
class PrompterAttachment {
public:
    PrompterAttachment(HeadlessPrompter& prompter, Executor& executor) : m_prompter(prompter) {
        m_prompter.attach(&executor);
    }
    ~PrompterAttachment() { m_prompter.attach(nullptr); }
    PrompterAttachment(const PrompterAttachment&) = delete;
    PrompterAttachment& operator=(const PrompterAttachment&) = delete;

private:
    HeadlessPrompter& m_prompter;
};

/// Turns SIGINT and SIGTERM into a quit of the loop; they are blocked in every thread.
class SignalWatcher {
public:
    explicit SignalWatcher(MainLoop& loop) : m_thread([this, &loop] { watch(loop); }) {}
    ~SignalWatcher() {
        m_stop = true;
        // Wakes the wait at once instead of after its tick; the signal is taken by the
        // watcher itself, and a quit of the loop is harmless now.
        // NOLINTNEXTLINE(bugprone-bad-signal-to-kill-thread): blocked here, taken by sigtimedwait
        pthread_kill(m_thread.native_handle(), SIGTERM);
        m_thread.join();
    }

private:
    void watch(MainLoop& loop) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        const timespec tick{0, 200'000'000L};
        while (!m_stop) {
            if (sigtimedwait(&set, nullptr, &tick) > 0) {
                loop.quit();
            }
        }
    }

    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

/// One line per finished check on standard output.
class RowPrinter : public CheckReceiver {
public:
    void checkDone(WatchSettings finished, WatchItemId) override {
        if (finished.targetUrl.empty()) {
            return;
        }
        const ResultRow row = resultRow(finished);
        std::lock_guard lock(g_outputMutex);
        std::printf("%s\t%s\t%s\n", row.time.c_str(), fromCp932(row.page).c_str(),
                    fromCp932(row.result).c_str());
        std::fflush(stdout);
    }
};

/// The check cycle; its result is the process's exit code.
int runCycle(CTarnwickApp& app, HeadlessPrompter& prompter, const HeadlessOptions& options) {
    app.loadSettings();
    MainLoop loop;
    SignalWatcher signals(loop);
    PrompterAttachment attachment(prompter, loop);
    CollectingMailProgress mailProgress;
    RowPrinter printer;
    const std::unique_ptr<Notifier> notifier =
        options.makeNotifier ? options.makeNotifier() : nullptr;
    CheckSession session(app, prompter, nullptr, loop, mailProgress);
    if (notifier) {
        session.setNotifier(notifier.get());
        // No window: "show" hands the page to the display bridge, as a change would.
        notifier->setActionHandler([&loop, &session](WatchItemId id, Notifier::Action action) {
            if (action != Notifier::Action::Show) {
                return;
            }
            loop.post([&session, id] {
                if (const std::optional<WatchSettings> item = session.item(id)) {
                    session.bridge().display(*item);
                }
            });
        });
    }
    session.setScheduledCallback([&] {
        if (options.untilIdle && session.idle()) {
            loop.quit();
        }
    });

    // An unreadable watch list has been told by the list itself; nothing is checked and
    // nothing may be saved over it, and the run fails.
    bool listRead = true;
    // List commands of the shell are applied here, the one writer of the list.
    std::optional<SessionListCommands> commands;
    loop.post([&] {
        if (!session.start(&printer)) {
            listRead = false;
            loop.quit();
            return;
        }
        commands.emplace(session, app.messageBus(), loop, app.programFolder());
        // Requests left while this program started.
        commands->serve();
    });
    loop.run();
    commands.reset();
    if (notifier) {
        notifier->setActionHandler({});
        session.setNotifier(nullptr);
    }
    // A failed save has been told through the prompter and fails the run.
    const bool saved = session.stop();
    if (!listRead) {
        return 1;
    }
    if (!session.watchListSaved()) {
        printError(jp("ウォッチリストを保存できませんでした。\n") +
                   toCp932(session.watchList().filePath()));
    }
    return saved ? 0 : 1;
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
