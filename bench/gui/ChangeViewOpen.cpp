// The change view opened on an item whose page is 5 MB of HTML and whose last check changed 1%
// of its entries: the time to the window's first paint (the goal is under 300 ms), the time
// until the change is on screen (the diff runs on a thread of its own), the loop's longest wait
// meanwhile, and the peak memory.
//
// Usage: bench_ChangeViewOpen [MB]   (default 5). Without a display it runs on Qt's offscreen
// platform.

#include "core/history/HistoryStore.h"
#include "gui/history/ChangeView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

long statusKilobytes(const char* field) {
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

std::string shopPage(std::size_t bytes, bool changed) {
    std::string html = "<html><head><meta charset=\"UTF-8\"><title>特売</title></head><body>";
    for (int i = 0; html.size() < bytes; ++i) {
        const int price = changed && i % 100 == 37 ? 2480 + i : 1980 + i;
        html += "<div class=\"item\"><h3>商品" + std::to_string(i) + "</h3><p>国産の新米五キロを" +
                std::to_string(price) + "円でご用意しました。</p></div>\n";
    }
    return html + "</body></html>";
}

/// Notes the first paint of a widget.
class FirstPaint : public QObject {
public:
    explicit FirstPaint(QElapsedTimer& clock) : m_clock(clock) {}
    double ms = -1;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && ms < 0) {
            ms = m_clock.nsecsElapsed() / 1e6;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QElapsedTimer& m_clock;
};

} // namespace

int main(int argc, char** argv) {
    const std::size_t bytes = (argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 5) * 1000 * 1000;
    if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    char pattern[] = "/tmp/tw-bench-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    {
        tw::HistoryStore store(folder, {});
        for (const bool changed : {false, true}) {
            const std::string page = shopPage(bytes, changed);
            tw::HistoryEntry entry;
            entry.checkedAt = changed ? 2000 : 1000;
            entry.bytes = page;
            entry.codePage = 65001;
            entry.contentType = "text/html";
            if (const std::string error = store.record("shop.htm", entry); !error.empty()) {
                std::fputs("bench: the history was not written\n", stderr);
                return 1;
            }
        }
    }

    QApplication application(argc, argv);
    const long bareKb = statusKilobytes("VmRSS");
    QElapsedTimer clock;
    FirstPaint painted(clock);
    double shownMs = -1;
    double longestGapMs = 0;
    {
        clock.start();
        tw::gui::ChangeView view(folder, "shop.htm", QStringLiteral("特売"));
        view.installEventFilter(&painted);
        QObject::connect(&view, &tw::gui::ChangeView::changeShown,
                         [&] { shownMs = clock.nsecsElapsed() / 1e6; });
        view.show();
        QElapsedTimer gap;
        gap.start();
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            longestGapMs = std::max(longestGapMs, gap.nsecsElapsed() / 1e6);
            gap.restart();
        });
        tick.start(5);
        while (shownMs < 0 || painted.ms < 0) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
        // The change painted.
        QCoreApplication::processEvents();
        const double paintedChangeMs = clock.nsecsElapsed() / 1e6;
        tick.stop();

        std::printf("platform               %s\n", qPrintable(QGuiApplication::platformName()));
        std::printf("page                   %.1f MB of HTML, 1%% of its entries changed\n",
                    bytes / 1e6);
        std::printf("first paint            %.1f ms\n", painted.ms);
        std::printf("change on screen       %.1f ms (%zu changes)\n", shownMs,
                    view.changeBlocks().size());
        std::printf("change painted         %.1f ms\n", paintedChangeMs);
        std::printf("longest loop wait      %.1f ms while the diff ran\n", longestGapMs);
        std::printf("RSS bare QApplication  %ld kB\n", bareKb);
        std::printf("peak RSS (VmHWM)       %ld kB\n", statusKilobytes("VmHWM"));
    }
    std::filesystem::remove_all(folder);
    return 0;
}
