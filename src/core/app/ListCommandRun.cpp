#include "core/app/ListCommandRun.h"

#include "core/app/CTarnwickApp.h"
#include "core/app/CheckSession.h"
#include "core/history/HistoryStore.h"
#include "core/net/CFetch.h"
#include "core/net/CollectingMailProgress.h"
#include "core/platform/Clock.h"
#include "core/platform/CodeConverter.h"
#include "core/platform/DesktopShell.h"
#include "core/platform/DesktopSoundPlayer.h"
#include "core/platform/InstanceLock.h"
#include "core/platform/MessageBus.h"
#include "core/platform/RuntimeFolder.h"
#include "core/platform/WakeWatch.h"
#include "core/ports/CheckReceiver.h"
#include "core/ports/Executor.h"
#include "core/ports/MainWindowPort.h"
#include "core/ports/Prompter.h"
#include "core/util/ConfFile.h"
#include "core/util/Cp932.h"
#include "core/util/ErrorText.h"
#include "core/util/SystemPath.h"
#include "core/util/TextUtil.h"
#include "core/watch/CReNew.h"
#include "core/watch/CWatchList.h"
#include "core/watch/FailureAlerts.h"
#include "core/watch/HostPacing.h"
#include "core/watch/ItemChecker.h"
#include "core/watch/Schedule.h"

#include <cerrno>
#include <condition_variable>
#include <mutex>

namespace tw {

namespace {

/// The watch list's messages become lines on standard error; nobody answers questions.
class ErrorPrompter : public Prompter {
public:
    explicit ErrorPrompter(std::FILE* err) : m_err(err) {}
    void showMessage(const std::string& text, Icon) override {
        std::fprintf(m_err, "%s\n", fromCp932(text).c_str());
    }
    bool ask(const std::string& text) override {
        showMessage(text, Icon::Question);
        return false;
    }
    bool authenticate(std::string&, std::string&, const AuthChallenge&, int) override {
        return false;
    }

private:
    std::FILE* m_err;
};

/// Nothing is checked while a command edits the list on its own.
class NoChecker : public ItemChecker {
public:
    void setReceiver(CheckReceiver*) override {}
    void arm(const WatchSettings&) override {}
    void stop() override {}
    bool isBusy() const override { return false; }
    void setClosing() override {}
    void setIdle() override {}
};

class FileListHolder : public ListHolder {
public:
    explicit FileListHolder(CWatchList& list) : m_list(list) {}
    std::vector<WatchSettings> items() const override {
        std::vector<WatchSettings> all;
        all.reserve(static_cast<std::size_t>(m_list.count()));
        for (int i = 0; i < m_list.count(); ++i) {
            all.push_back(m_list.itemAt(i));
        }
        return all;
    }
    WatchItemId idAt(int position) const override { return m_list.idAt(position); }
    int positionOf(WatchItemId id) const override { return m_list.positionOf(id); }
    WatchItemId add(const WatchSettings& item) override { return m_list.add(item); }
    bool remove(WatchItemId id) override { return m_list.removeById(id); }
    bool commit(std::string& why) override {
        if (m_list.save()) {
            return true;
        }
        why = "ウォッチリストを保存できません: " + fromCp932(m_list.filePath());
        return false;
    }

private:
    CWatchList& m_list;
};

class SessionListHolder : public ListHolder {
public:
    explicit SessionListHolder(CheckSession& session) : m_session(session) {}
    // While a check runs, edits wait for its end: the list is shown as it will be then, so
    // that an item just added is listed and numbered.
    std::vector<WatchSettings> items() const override {
        std::vector<WatchSettings> all;
        for (auto& [id, item] : m_session.watchList().itemsAfterEdits()) {
            all.push_back(std::move(item));
        }
        return all;
    }
    WatchItemId idAt(int position) const override {
        const auto items = m_session.watchList().itemsAfterEdits();
        return position >= 0 && static_cast<std::size_t>(position) < items.size()
                   ? items[static_cast<std::size_t>(position)].first
                   : 0;
    }
    int positionOf(WatchItemId id) const override {
        const auto items = m_session.watchList().itemsAfterEdits();
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (items[i].first == id) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    WatchItemId add(const WatchSettings& item) override { return m_session.defineItem(item, 0); }
    bool remove(WatchItemId id) override { return m_session.removeItem(id); }
    // The list saves itself after each edit and tells a failure through the program's prompter.
    bool commit(std::string&) override { return true; }

private:
    CheckSession& m_session;
};

/// With no window, a page to show goes nowhere: the command prints the outcome instead.
class NoWindow : public MainWindowPort {
public:
    void popUp() override {}
    void showItem(const WatchSettings&) override {}
    void showAddress(const std::string&) override {}
};

/// Takes the checker's one report from its worker.
class OneCheck : public CheckReceiver {
public:
    void checkDone(WatchSettings finishedCopy, WatchItemId) override {
        {
            std::lock_guard lock(m_mutex);
            m_finished = std::move(finishedCopy);
        }
        m_done.notify_all();
    }
    std::optional<WatchSettings> wait(std::chrono::seconds bound) {
        std::unique_lock lock(m_mutex);
        m_done.wait_for(lock, bound, [this] { return m_finished.has_value(); });
        return m_finished;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    std::optional<WatchSettings> m_finished;
};

/// Checks item `position` (0-based) of `list` here, with the checker and the update actions a
/// session has, and keeps the outcome in the list. Only this item is checked: others that are
/// due wait for the program's next start.
ListAnswer checkHere(CWatchList& list, int position, const std::string& dataFolder,
                     Prompter& prompter) {
    CTarnwickApp app(prompter, AppPaths{dataFolder, configFolder(), runtimeFolderPath()});
    app.loadConf();
    app.loadSettings();
    const Clock& clock = SystemClock::instance();
    const std::unique_ptr<CodeConverter> converter = createCodeConverter();
    HistoryStore history(dataFolder, app.historyLimits());
    WakeWatch wake(clock);
    HostPacing pacing(clock, dataFolder);
    pacing.setGap(app.hostGap());
    pacing.load();
    DesktopShell shell;
    DesktopSoundPlayer sound(dataFolder);
    CollectingMailProgress mailProgress;
    NoWindow window;
    CheckerServices services;
    services.wake = &wake;
    services.pacing = &pacing;
    services.history = &history;
    services.clock = &clock;
    services.prompter = &prompter;
    services.converter = converter.get();
    services.programFolder = dataFolder;
    services.actions.sound = &sound;
    services.actions.mainWindow = &window;
    services.actions.shell = &shell;
    services.actions.mailSettings = &app.mailSettings();
    services.actions.converter = converter.get();
    services.actions.mailProgress = &mailProgress;
    services.actions.prompter = &prompter;
    services.actions.history = &history;
    OneCheck receiver;
    std::optional<WatchSettings> finished;
    {
        CReNew checker(services);
        checker.setReceiver(&receiver);
        WatchSettings due = list.itemAt(position);
        due.nextCheck = WatchSettings::kDueNow;
        checker.arm(due);
        finished = receiver.wait(std::chrono::seconds(CFetch::maxDownloadSeconds() + 30));
        if (!finished) {
            checker.setClosing();
        }
    }
    if (!finished) {
        return ListAnswer::failed("時間内に確認が終わりませんでした");
    }
    computeNextCheck(*finished, true, clock, &prompter);
    const WatchItemId id = list.idAt(position);
    if (!list.replaceById(id, *finished) || !list.save()) {
        return ListAnswer::failed("確認の結果を保存できません: " + fromCp932(list.filePath()));
    }
    return {0, listRow(position, *finished), {}};
}

/// How long a running program may take to answer: a check waits for its fetch (and for one
/// that runs before it), the rest is done at once.
std::chrono::milliseconds answerBound(const ListRequest& request, const std::string& dataFolder) {
    if (request.kind != ListRequest::Kind::Check) {
        return std::chrono::seconds(30);
    }
    ConfFile conf;
    conf.load(dataFolder + "/" + CTarnwickApp::kConfFileName);
    const long long limit = conf.number("net", "max_download_s", CFetch::kDefaultMaxDownloadSeconds,
                                        1, 365LL * 24 * 3600);
    return std::chrono::seconds(2 * limit + 30);
}

int print(const ListAnswer& answer, std::FILE* out, std::FILE* err) {
    std::fputs(answer.out.c_str(), out);
    std::fputs(answer.err.c_str(), err);
    std::fflush(out);
    return answer.code == 0 ? 0 : 1;
}

} // namespace

int runListCommand(const ListRequest& given, const std::string& dataFolder,
                   const std::string& busFolder, std::FILE* out, std::FILE* err) {
    ListRequest request = given;
    if (request.kind == ListRequest::Kind::Add && request.name.empty() &&
        checkImportAddress(request.address).empty()) {
        // Fetched here, before the list is touched: nobody waits on it meanwhile. A title the
        // list cannot hold leaves the address as the name.
        std::string title = fetchPageTitle(request.address);
        std::string fault;
        if (!title.empty() && (checkImportName(title, fault), fault.empty())) {
            request.name = std::move(title);
        }
    }
    InstanceLock lock;
    const InstanceLock::Result locked =
        lock.acquire(CTarnwickApp::kDataLockName, systemPath(dataFolder));
    if (locked == InstanceLock::Result::HeldElsewhere) {
        std::string why;
        const std::optional<ListAnswer> answer =
            handOverRequest(dataFolder, busFolder, request, std::chrono::seconds(5),
                            answerBound(request, dataFolder), why);
        if (!answer) {
            std::fprintf(err, "tarnwick: %s\n", why.c_str());
            return 1;
        }
        return print(*answer, out, err);
    }
    const bool edits =
        request.kind != ListRequest::Kind::List && request.kind != ListRequest::Kind::Export;
    if (locked == InstanceLock::Result::Failed && edits) {
        std::fprintf(err, "tarnwick: データフォルダをロックできません: %s: %s\n",
                     textPath(lock.path()).c_str(), systemErrorText(lock.error()).c_str());
        return 1;
    }
    ErrorPrompter prompter(err);
    NoChecker checker;
    CWatchList list(checker, SystemClock::instance(), &prompter, dataFolder);
    // A removed item's history, failure count and validators go with it, as in the window.
    HistoryStore history(dataFolder, HistoryLimits{});
    FailureAlerts failures(dataFolder);
    list.setHistory(&history);
    list.setFailureAlerts(&failures);
    list.load();
    if (!list.loadError().empty()) {
        // Told by the list itself; nothing may be saved over a file that was not read.
        return 1;
    }
    if (request.kind == ListRequest::Kind::Check) {
        if (request.position < 1 || request.position > list.count()) {
            return print(ListAnswer::failed("項目 " + std::to_string(request.position) +
                                            " はありません（" + std::to_string(list.count()) +
                                            " 件）"),
                         out, err);
        }
        return print(checkHere(list, request.position - 1, dataFolder, prompter), out, err);
    }
    FileListHolder holder(list);
    return print(applyListRequest(request, holder), out, err);
}

ListAnswer applyToSession(const ListRequest& request, CheckSession& session) {
    SessionListHolder holder(session);
    return applyListRequest(request, holder);
}

SessionListCommands::SessionListCommands(CheckSession& session, MessageBus& bus, Executor& executor,
                                         const std::string& dataFolder)
    : m_session(session), m_bus(bus),
      m_server(dataFolder,
               [this](const ListRequest& request, const ListRequestServer::Reply& reply) {
                   handle(request, reply);
               }) {
    m_session.setCheckedCallback([this](WatchItemId id) { checked(id); });
    m_alive = std::make_shared<SessionListCommands*>(this);
    const std::weak_ptr<SessionListCommands*> alive = m_alive;
    m_bus.registerPosted(kListRequestMessage, executor, [alive] {
        if (const std::shared_ptr<SessionListCommands*> self = alive.lock()) {
            (*self)->serve();
        }
    });
}

SessionListCommands::~SessionListCommands() {
    m_bus.registerMessage(kListRequestMessage, {});
    m_session.setCheckedCallback({});
    for (const Waiting& waiting : m_checks) {
        waiting.reply(ListAnswer::failed("確認の途中で Tarnwick が終了しました"));
    }
}

void SessionListCommands::serve() {
    m_server.serve();
}

void SessionListCommands::handle(const ListRequest& request,
                                 const ListRequestServer::Reply& reply) {
    if (request.kind != ListRequest::Kind::Check) {
        reply(applyToSession(request, m_session));
        return;
    }
    const SessionListHolder holder(m_session);
    const std::size_t count = holder.items().size();
    if (request.position < 1 || static_cast<std::size_t>(request.position) > count) {
        reply(ListAnswer::failed("項目 " + std::to_string(request.position) + " はありません（" +
                                 std::to_string(count) + " 件）"));
        return;
    }
    const WatchItemId id = holder.idAt(request.position - 1);
    if (!m_session.checkNow(id)) {
        reply(ListAnswer::failed("確認できません"));
        return;
    }
    m_checks.push_back({id, reply});
}

void SessionListCommands::checked(WatchItemId id) {
    std::vector<Waiting> done;
    std::erase_if(m_checks, [&](Waiting& waiting) {
        if (waiting.id != id) {
            return false;
        }
        done.push_back(std::move(waiting));
        return true;
    });
    const CWatchList& list = m_session.watchList();
    const int position = list.positionOf(id);
    for (const Waiting& waiting : done) {
        ListAnswer answer;
        if (position < 0) {
            answer = ListAnswer::failed("確認した項目はもうありません");
        } else {
            answer.out = listRow(position, list.itemAt(position));
        }
        waiting.reply(answer);
    }
}

} // namespace tw
