// The link update dialog on a list of the largest accepted size (64 MiB, about 760,000 links):
// how long until its rows are there, how long the window's loop waited at most meanwhile (it
// stays responsive while the list is read), the time of a paint at the end of the list and of
// a sort by name and of deleting every row, and the process's peak memory.
//
// Usage: bench_LinkDialog [MiB]   (default: the cap). Without a display it runs on Qt's
// offscreen platform.

#include "core/links/CLinkList.h"
#include "gui/links/CLinkUpdateDlg.h"
#include "gui/links/LinkListModel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

/// A line of /proc/self/status in kB ("VmRSS", "VmHWM": the peak).
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

void writeList(const std::string& folder, std::int64_t bytes) {
    std::ofstream out(folder + "/brl.hlk", std::ios::binary | std::ios::trunc);
    std::int64_t size = 0;
    char text[160];
    for (int i = 0;; ++i) {
        const int length =
            std::snprintf(text, sizeof text,
                          "\t//{{TOP\r\nDest: f%06d.zip\r\nTarg: http://dl.invalid/f%06d.zip\r\n"
                          "Name: n%06d\r\n\tEND}}//\r\n",
                          i, i, i);
        if (size + length > bytes) {
            return;
        }
        out.write(text, length);
        size += length;
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::int64_t bytes = argc > 1 ? std::atoll(argv[1]) << 20 : tw::CLinkList::kMaxListBytes;
    if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    char pattern[] = "/tmp/tw-bench-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    writeList(folder, bytes);

    QApplication application(argc, argv);
    const long bareKb = statusKilobytes("VmRSS");
    {
        tw::gui::CLinkUpdateDlg dialog(folder, nullptr, 0);
        dialog.show();
        QCoreApplication::processEvents();

        // The loop's longest wait between two turns while the list is read.
        QElapsedTimer gap;
        double longestGapMs = 0;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            longestGapMs = std::max(longestGapMs, gap.nsecsElapsed() / 1e6);
            gap.restart();
        });
        QElapsedTimer total;
        total.start();
        if (!dialog.start()) {
            std::fputs("bench: the list was not taken\n", stderr);
            return 1;
        }
        const double startMs = total.nsecsElapsed() / 1e6;
        gap.start();
        tick.start(5);
        while (dialog.loading()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
        const double readMs = total.nsecsElapsed() / 1e6;
        QCoreApplication::processEvents(); // the first rows are painted
        const double loadedMs = total.nsecsElapsed() / 1e6;
        QCoreApplication::processEvents();
        tick.stop();

        auto* view = dialog.findChild<QTreeView*>();
        QElapsedTimer step;
        step.start();
        view->scrollToBottom();
        QCoreApplication::processEvents();
        const double bottomMs = step.nsecsElapsed() / 1e6;
        step.restart();
        dialog.sortByColumn(tw::gui::LinkListModel::NameColumn);
        QCoreApplication::processEvents();
        const double sortMs = step.nsecsElapsed() / 1e6;
        const int rows = dialog.model().rowCount();
        step.restart();
        view->selectAll();
        dialog.removeSelected(false);
        QCoreApplication::processEvents();
        const double removeMs = step.nsecsElapsed() / 1e6;

        std::printf("platform              %s\n", qPrintable(QGuiApplication::platformName()));
        std::printf("list file             %.1f MiB, %d links\n",
                    std::filesystem::file_size(folder + "/brl.hlk") / 1048576.0, rows);
        std::printf("start() returned      %.1f ms\n", startMs);
        std::printf("list read after       %.1f ms\n", readMs);
        std::printf("rows shown after      %.1f ms (the view's first layout on the loop)\n",
                    loadedMs);
        std::printf("longest loop wait     %.1f ms while loading and showing the rows\n",
                    longestGapMs);
        std::printf("scroll to the end     %.1f ms\n", bottomMs);
        std::printf("sort by name          %.1f ms\n", sortMs);
        std::printf("select all, delete    %.1f ms\n", removeMs);
        std::printf("RSS bare QApplication %ld kB\n", bareKb);
        std::printf("RSS with the rows     %ld kB\n", statusKilobytes("VmRSS"));
        std::printf("peak RSS (VmHWM)      %ld kB\n", statusKilobytes("VmHWM"));
        dialog.reject();
    }
    std::filesystem::remove_all(folder);
    return 0;
}
