// Memory of the window at idle with a long watch list and result list, and the time the
// result list takes to take 10,000 rows as checks report them (one queued call each).
//
// Usage: bench_WindowIdle [items] [rows] [batch]   (defaults 1000, 10000 and 10: the view
// repaints after every 10 rows; a batch of 10000 queues them all at once). Without a display
// it runs on Qt's offscreen platform; on a desktop with a tray (scripts/screenshots.sh) the
// figures are those a user sees. The resident memory is shown by mapping group (MappingGroups.h)
// with the window shown and idle, and again idle once the rows are in; bench_BareWindow gives
// the same table for a window of Qt alone. The goal (the exit code) is the idle window's
// figure with 1,000 items; the 10,000 rows are the result list's own cost, shown beside it.

#include "core/app/CTarnwickApp.h"
#include "core/net/CollectingMailProgress.h"
#include "core/platform/Clock.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/watch/CWatchList.h"
#include "core/watch/ItemChecker.h"
#include "gui/app/CTarnwickDlg.h"
#include "gui/app/WindowSession.h"
#include "gui/common/GuiPrompter.h"
#include "gui/common/QtExecutor.h"
#include "gui/watch/CRenewCheckWnd.h"

#include "MappingGroups.h"

#include <QApplication>
#include <QElapsedTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

class NoChecker : public tw::ItemChecker {
public:
    void setReceiver(tw::CheckReceiver*) override {}
    void arm(const tw::WatchSettings&) override {}
    void stop() override {}
    bool isBusy() const override { return false; }
    void setClosing() override {}
    void setIdle() override {}
};

/// A line of /proc/self/status in kB: "VmRSS" (all resident), "RssAnon" (the process's own
/// memory), "RssFile" (mapped files such as libraries and fonts, shared with other programs).
long statusKilobytes(const char* field = "VmRSS") {
    std::ifstream status("/proc/self/status");
    const std::string prefix = std::string(field) + ":";
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) {
            return std::atol(line.c_str() + prefix.size());
        }
    }
    return -1;
}

/// Proportional set size: shared pages count by the share of each process mapping them.
long proportionalKilobytes() {
    std::ifstream rollup("/proc/self/smaps_rollup");
    std::string line;
    while (std::getline(rollup, line)) {
        if (line.rfind("Pss:", 0) == 0) {
            return std::atol(line.c_str() + 4);
        }
    }
    return -1;
}

long residentKilobytes() {
    return statusKilobytes();
}

void idle(int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
}

tw::WatchSettings item(int index) {
    tw::WatchSettings settings;
    settings.name = tw::jp("監視ページ ") + std::to_string(index);
    settings.targetUrl = "http://127.0.0.1:9/page" + std::to_string(index) + ".html";
    // One date long past: never due, so the bench makes no request.
    settings.schedule = "once";
    settings.dateValue = 86400 * 400;
    settings.timing = "defined";
    settings.soundMode = 0;
    return settings;
}

} // namespace

int main(int argc, char** argv) {
    const int items = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rows = argc > 2 ? std::atoi(argv[2]) : 10000;
    // Reports queued before the window's loop turns again; the view repaints between batches.
    const int batch = std::max(1, argc > 3 ? std::atoi(argv[3]) : 10);
    if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    char pattern[] = "/tmp/tw-bench-XXXXXX";
    const std::string root = mkdtemp(pattern);
    const tw::AppPaths paths{root + "/home", root + "/config", root + "/run"};
    std::filesystem::create_directories(paths.programFolder);
    {
        NoChecker checker;
        tw::CWatchList list(checker, tw::SystemClock::instance(), nullptr, paths.programFolder);
        for (int i = 0; i < items; ++i) {
            list.add(item(i));
        }
        list.save();
    }

    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const long bareKb = residentKilobytes();
    long windowKb = 0;
    long idleKb = 0;
    double addMs = 0;
    double longestMs = 0;
    {
        tw::gui::QtExecutor executor;
        tw::gui::GuiPrompter prompter(executor);
        tw::CTarnwickApp app(prompter, paths);
        if (!app.initInstance()) {
            std::fputs("bench: start-up failed\n", stderr);
            return 1;
        }
        const long startedKb = residentKilobytes();
        tw::CollectingMailProgress mail;
        tw::gui::WindowSession session(app, executor, prompter, mail);
        session.watchList();
        const long listKb = residentKilobytes();
        tw::gui::CTarnwickDlg window(app, session, executor, prompter);
        const long builtKb = residentKilobytes();
        window.show();
        idle(2000);
        windowKb = residentKilobytes();
        const tw::bench::MappingFigures shownFigures = tw::bench::mappingFigures();

        // Rows arrive as checks report them: one queued call each.
        tw::gui::CRenewCheckWnd& list = window.resultList();
        tw::WatchSettings finished = item(0);
        finished.lastCheck = std::time(nullptr);
        QElapsedTimer total;
        QElapsedTimer step;
        total.start();
        step.start();
        int added = 0;
        // Checks report one after the other: `batch` queued reports at a time.
        for (int i = 0; i < rows; ++i) {
            executor.post([&, i] {
                finished.lastResult = i % 3 == 0 ? 2 : 1;
                list.addResult(finished, session.watchList().idAt(i % items));
                ++added;
                longestMs = std::max(longestMs, step.nsecsElapsed() / 1e6);
                step.restart();
            });
            if (i % batch == batch - 1) {
                while (added <= i) {
                    QCoreApplication::processEvents();
                }
            }
        }
        // Until every row is in the list, not only reported: the list takes floods in steps.
        while (added < rows || list.model().rowCount() < rows) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        }
        QCoreApplication::processEvents(); // the view catches up and paints
        addMs = total.nsecsElapsed() / 1e6;

        idle(2000);
        idleKb = residentKilobytes();
        const tw::bench::MappingFigures rowsFigures = tw::bench::mappingFigures();
        std::printf("platform             %s\n", qPrintable(QGuiApplication::platformName()));
        std::printf("watch items          %d\n", session.watchList().count());
        std::printf("result rows          %d\n", list.model().rowCount());
        std::printf("RSS bare QApplication %ld kB\n", bareKb);
        std::printf("RSS after start-up    %ld kB\n", startedKb);
        std::printf("RSS session made      %ld kB\n", listKb);
        std::printf("RSS window built      %ld kB\n", builtKb);
        std::printf("RSS window idle       %ld kB (goal <= 40960 kB with 1000 items)\n", windowKb);
        std::printf("RSS idle with rows    %ld kB\n", idleKb);
        std::printf("  of which own memory %ld kB, mapped files %ld kB; PSS %ld kB\n",
                    statusKilobytes("RssAnon"), statusKilobytes("RssFile"),
                    proportionalKilobytes());
        std::printf("\n");
        tw::bench::printMappingTable<2>({"window idle", "with rows"}, {shownFigures, rowsFigures});
        std::printf("\nadd %d rows, %d a turn %.1f ms (goal < 1000 ms)\n", rows, batch, addMs);
        std::printf("longest single step   %.2f ms\n", longestMs);
        window.command(tw::gui::CTarnwickDlg::MainMenu::Exit);
        app.exitInstance();
    }
    std::filesystem::remove_all(root);
    return windowKb <= 40 * 1024 && addMs < 1000 ? 0 : 1;
}
