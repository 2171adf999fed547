// The window's part of the desktop: the "start at login" item of the operation menu and the
// start hidden in the tray (--tray).

#include "ProgramFixture.h"
#include "core/platform/Autostart.h"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTest>

#include <filesystem>

using namespace tw;
using namespace tw::gui;
using tw::test::BoxAnswerer;
using tw::test::Program;
using tw::test::TempFolder;

namespace {

QAction& autostartItem(CTarnwickDlg& window) {
    auto* item = window.findChild<QAction*>(QStringLiteral("actionAutostart"));
    Q_ASSERT(item);
    return *item;
}

QMenu& operationMenu(CTarnwickDlg& window) {
    auto* menu = window.findChild<QMenu*>(QStringLiteral("operationMenu"));
    Q_ASSERT(menu);
    return *menu;
}

/// Opens and closes the menu, as the user looking at it.
void lookAtMenu(CTarnwickDlg& window) {
    QMenu& menu = operationMenu(window);
    menu.popup(window.mapToGlobal(QPoint(0, 0)));
    QTRY_VERIFY(menu.isVisible());
    menu.close();
}

/// The program's parts made by hand, so that the window can start in the tray.
struct TrayStart : Program {
    bool build(bool trayAvailable) {
        app = std::make_unique<CTarnwickApp>(prompter, paths());
        if (!app->initInstance()) {
            return false;
        }
        session = std::make_unique<WindowSession>(*app, executor, prompter, mail, &shell, &sound);
        window = std::make_unique<CTarnwickDlg>(*app, *session, executor, prompter);
        window->setTrayAvailable([trayAvailable] { return trayAvailable; });
        return true;
    }
};

} // namespace

class DesktopStartTest : public QObject {
    Q_OBJECT
private slots:
    void theItemWritesAndRemovesTheEntryAndShowsWhatTheFileSays() {
        Program program;
        QVERIFY(program.start());
        CTarnwickDlg& window = *program.window;
        QAction& item = autostartItem(window);
        QVERIFY(item.isCheckable());
        QCOMPARE(item.text(), QStringLiteral("ログイン時に起動する(&L)"));
        QVERIFY(operationMenu(window).actions().contains(&item));
        const std::string file = autostartFile(program.config.path());
        lookAtMenu(window);
        QVERIFY(!item.isChecked());

        item.trigger();
        QVERIFY(item.isChecked());
        const std::string entry = TempFolder::readFile(file);
        QVERIFY(entry.find("Exec=\"" + runningProgram() + "\" --tray\n") != std::string::npos);
        QVERIFY(entry.find("X-GNOME-Autostart-Delay=") != std::string::npos);

        // The user turned it off elsewhere: the menu says so when it opens.
        TempFolder::writeFile(file, entry + "Hidden=true\n");
        lookAtMenu(window);
        QVERIFY(!item.isChecked());
        item.trigger(); // on again: the entry is ours once more
        QVERIFY(item.isChecked());
        QVERIFY(autostartEnabled(file));

        item.trigger();
        QVERIFY(!item.isChecked());
        QVERIFY(!std::filesystem::exists(file));
        // A hand-made entry counts as on.
        TempFolder::writeFile(file, "[Desktop Entry]\nType=Application\nExec=tarnwick\n");
        lookAtMenu(window);
        QVERIFY(item.isChecked());
    }

    void aFolderThatCannotBeMadeIsToldWithTheReason() {
        Program program;
        QVERIFY(program.start());
        CTarnwickDlg& window = *program.window;
        TempFolder::writeFile(program.config / "autostart", "a file in the folder's place");
        BoxAnswerer answerer(QMessageBox::Ok);
        autostartItem(window).trigger();
        QTRY_COMPARE(answerer.texts.size(), 1);
        QVERIFY(answerer.texts.front().startsWith(
            QStringLiteral("ログイン時に起動する設定にできませんでした。")));
        QVERIFY(answerer.texts.front().contains(QStringLiteral("理由: フォルダではありません")));
        QVERIFY(!autostartItem(window).isChecked());
    }

    void startedInTheTrayTheWindowStaysHiddenUntilOpened() {
        TrayStart program;
        QVERIFY(program.build(true));
        CTarnwickDlg& window = *program.window;
        QVERIFY(window.startInTray());
        QTRY_VERIFY(!window.quietStartPending());
        QVERIFY(!window.isVisible());
        QVERIFY(window.inTray());
        QCOMPARE(program.state(), std::string("hide"));
        auto* icon = window.findChild<QSystemTrayIcon*>();
        QVERIFY(icon && icon->isVisible());
        window.command(CTarnwickDlg::TrayMenu::Open);
        QVERIFY(window.isVisible());
        QCOMPARE(program.state(), std::string("opened"));
    }

    void withoutATrayTheWindowIsShown() {
        TrayStart program;
        QVERIFY(program.build(false));
        QVERIFY(!program.window->startInTray());
        QVERIFY(!program.window->inTray());
        // As a start without --tray: the start-up pick-up shows it.
        QTRY_VERIFY(program.window->isVisible());
    }
};

QTEST_MAIN(DesktopStartTest)
#include "DesktopStart_test.moc"
