// The yardstick for bench_WindowIdle: a window of Qt alone, with a menu bar, a Japanese label
// (so that the CJK font is loaded) and a tray icon, idle. Linked against Qt
// Widgets only, so that its figures are what Qt, the display and the fonts cost before any of
// the program's own libraries or memory.
//
// Usage: bench_BareWindow [idle ms]   (default 2000; without a display it runs on Qt's
// offscreen platform)

#include "MappingGroups.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenuBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    const int idleMs = argc > 1 ? std::atoi(argv[1]) : 2000;
    QApplication application(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Tarnwick 1.20"));
    auto* layout = new QVBoxLayout(&window);
    auto* menus = new QMenuBar(&window);
    menus->addMenu(QStringLiteral("ファイル(&F)"))->addAction(QStringLiteral("終了(&X)"));
    layout->setMenuBar(menus);
    layout->addWidget(new QLabel(QStringLiteral("監視ページの更新を確認しています。"), &window));
    QSystemTrayIcon tray(window.style()->standardIcon(QStyle::SP_ComputerIcon));
    tray.show();
    window.resize(640, 400);
    window.show();

    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < idleMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    std::printf("platform             %s\n", qPrintable(QGuiApplication::platformName()));
    std::printf("tray available       %s\n",
                QSystemTrayIcon::isSystemTrayAvailable() ? "yes" : "no");
    tw::bench::printMappingTable<1>({"bare window"}, {tw::bench::mappingFigures()});
    return 0;
}
