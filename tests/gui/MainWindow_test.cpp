#include "NullChecker.h"
#include "ProgramFixture.h"
#include "PromptScript.h"
#include "core/app/CTarnwickApp.h"
#include "core/app/Siblings.h"
#include "core/history/HistoryStore.h"
#include "core/net/CollectingMailProgress.h"
#include "core/platform/Clock.h"
#include "core/platform/MessageBus.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "gui/app/CTarnwickDlg.h"
#include "gui/app/WindowSession.h"
#include "gui/common/GuiPrompter.h"
#include "gui/common/QtExecutor.h"
#include "gui/dialogs/CMailServerDlg.h"
#include "gui/editor/sheet/CDefineSheet.h"
#include "gui/history/ChangeView.h"
#include "gui/watch/CRenewCheckWnd.h"
#include "support/FakeDesktop.h"
#include "support/TempFolder.h"

#include <QAbstractButton>
#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <httplib.h>

#include <filesystem>
#include <thread>

using namespace tw;
using namespace tw::gui;
using tw::test::TempFolder;

using tw::test::BoxAnswerer;
using tw::test::Program;

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void titleAndInitialState() {
        Program program;
        QVERIFY(program.start());
        QCOMPARE(program.window->windowTitle(), QStringLiteral("Tarnwick 1.20"));
        QCOMPARE(program.state(), std::string("opened"));
        QCOMPARE(program.window->resultList().model().columnCount(), 4);
    }

    // At the first start the empty result list fits the window: no horizontal scroll bar, the
    // untitled fourth column taking what the others leave; nor once rows need a vertical one.
    void theResultListFitsTheWindowAtTheFirstStart() {
        Program program;
        QVERIFY(program.start());
        CRenewCheckWnd& list = program.window->resultList();
        QVERIFY(QTest::qWaitForWindowExposed(program.window.get()));
        QTRY_COMPARE(list.header()->length(), list.viewport()->width());
        QVERIFY(!list.horizontalScrollBar()->isVisible());

        WatchSettings row;
        row.targetUrl = "http://127.0.0.1/page.html";
        row.lastResult = 1;
        for (int id = 1; id <= 60; ++id) {
            list.addResult(row, static_cast<CWatchList::ItemId>(id));
        }
        list.model().flush();
        QTRY_VERIFY(list.verticalScrollBar()->isVisible());
        QTRY_COMPARE(list.header()->length(), list.viewport()->width());
        QVERIFY(!list.horizontalScrollBar()->isVisible());
    }

    // The layout lives in a form file; the menus, their mnemonics and the focus order must stay.
    void menusButtonsAndFocusOrderAreThoseOfTheWindow() {
        Program program;
        QVERIFY(program.start());
        CTarnwickDlg& window = *program.window;
        auto* bar = window.findChild<QMenuBar*>();
        QVERIFY(bar);
        QStringList menus;
        for (QAction* menu : bar->actions()) {
            QStringList items{menu->text()};
            for (QAction* item : menu->menu()->actions()) {
                items << (item->isSeparator() ? QStringLiteral("-") : item->text());
            }
            menus << items.join(QLatin1Char('|'));
        }
        QCOMPARE(menus,
                 (QStringList{
                     QStringLiteral("操作(&O)|新規サイト(&N)|ウォッチリスト(&E)|-|"
                                    "インポート(&I)...|エクスポート(&X)...|-|ログをクリア(&C)|"
                                    "環境設定(&S)|更新を通知する(&T)|ログイン時に起動する(&L)|-|"
                                    "Tarnwickを終了(&X)"),
                     QStringLiteral("ピース(&P)|Brindle(&W)|Quaylink(&D)"),
                     QStringLiteral("ﾍﾙﾌﾟ(&H)|Tarnwickのヘルプ(&H)|-|Quaylink(&D)|Brindle(&W)|"
                                    "更新チェックＱ＆Ａ(&Q)|-|Tarnwickについて(&A)..."),
                 }));
        // Each command number names the action of its menu item.
        QCOMPARE(window.action(CTarnwickDlg::MainMenu::MailSettings)->text(),
                 QStringLiteral("環境設定(&S)"));
        QCOMPARE(window.action(CTarnwickDlg::TrayMenu::Open)->text(), QStringLiteral("開く"));

        // Tab walks the three buttons, then the list.
        QStringList chain;
        QWidget* first = window.findChild<QPushButton*>(QStringLiteral("folderUpdateButton"));
        QWidget* widget = first;
        do {
            if (auto* button = qobject_cast<QPushButton*>(widget)) {
                chain << button->text();
                QVERIFY(!button->autoDefault());
            } else if (widget == &window.resultList()) {
                chain << QStringLiteral("list");
            }
            widget = widget->nextInFocusChain();
        } while (widget && widget != first && chain.size() < 4);
        QCOMPARE(chain,
                 (QStringList{QStringLiteral("フォルダ更新"), QStringLiteral("ウォッチリスト"),
                              QStringLiteral("ログのクリア"), QStringLiteral("list")}));
    }

    void cancelBeforeAMinimiseEndsAndSaves() {
        Program program;
        QVERIFY(program.start());
        program.window->show();
        QSignalSpy finished(program.window.get(), &QDialog::finished);
        QTest::keyClick(program.window.get(), Qt::Key_Escape);
        QCOMPARE(finished.count(), 1);
        QVERIFY(!program.window->isVisible());
        QVERIFY(program.executor.closed());
        QVERIFY(std::filesystem::exists(program.home / "TARNWICK.INI"));
        QVERIFY(std::filesystem::exists(program.home / "WatchList.twl"));
    }

    void aFailedFinalSaveIsToldBeforeTheProgramEnds() {
        Program program;
        QVERIFY(program.start());
        // The list's file cannot be replaced: its place is taken by a folder.
        const std::string listFile = program.home / "WatchList.twl";
        std::filesystem::remove(listFile);
        std::filesystem::create_directory(listFile);
        BoxAnswerer answerer(QMessageBox::Ok);
        QSignalSpy finished(program.window.get(), &QDialog::finished);
        QTest::keyClick(program.window.get(), Qt::Key_Escape);
        QCOMPARE(finished.count(), 1);
        // Shown while the window ends, not queued to a loop that is closing.
        QCOMPARE(answerer.texts.size(), 1);
        QVERIFY(answerer.texts.front().startsWith(
            QStringLiteral("ウォッチリストファイルを保存できませんでした。")));
    }

    void cancelAfterAMinimiseOnlyHides() {
        Program program;
        QVERIFY(program.start());
        CTarnwickDlg& window = *program.window;
        window.show();
        QSignalSpy finished(&window, &QDialog::finished);
        window.showMinimized();
        QTRY_VERIFY(window.inTray());
        QVERIFY(!window.isVisible());
        QCOMPARE(program.state(), std::string("hide"));

        window.command(CTarnwickDlg::TrayMenu::Open);
        QVERIFY(window.isVisible());
        QVERIFY(!window.isMinimized());
        QCOMPARE(program.state(), std::string("opened"));
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(!window.isVisible());
        QCOMPARE(program.state(), std::string("hide"));
        QCOMPARE(finished.count(), 0);

        // Minimised again after Show, then Exit from the tray.
        window.command(CTarnwickDlg::TrayMenu::Open);
        window.showMinimized();
        QTRY_VERIFY(!window.isVisible());
        QVERIFY(window.inTray());
        window.command(CTarnwickDlg::TrayMenu::Exit);
        QCOMPARE(finished.count(), 1);
        QVERIFY(!window.inTray());
    }

    void withoutATrayMinimiseKeepsTheWindowAndCancelEnds() {
        Program program;
        QVERIFY(program.start());
        CTarnwickDlg& window = *program.window;
        window.setTrayAvailable([] { return false; });
        window.show();
        QSignalSpy finished(&window, &QDialog::finished);
        window.showMinimized();
        QCoreApplication::processEvents();
        QVERIFY(!window.inTray());
        QVERIFY(window.isVisible());
        window.reject();
        QCOMPARE(finished.count(), 1);
    }

    // While a dialog is open the tray icon brings it back, restored when the user minimised it:
    // with the window in the tray, the icon is the only way back to the dialog.
    void aTrayClickBringsTheOpenDialogBackRestored() {
        Program program;
        QVERIFY(program.start());
        CTarnwickDlg& window = *program.window;
        window.showMinimized();
        QTRY_VERIFY(window.inTray());
        auto* tray = window.findChild<QSystemTrayIcon*>();
        QVERIFY(tray);

        bool backOnClick = false;
        bool windowStayedInTray = false;
        bool backOnDoubleClick = false;
        bool windowShown = false;
        bool menuOpened = false;
        bool bothBack = false;
        const auto sheet = test::whenModal<CDefineSheet>([&](CDefineSheet& open) {
            open.showMinimized();
            emit tray->activated(QSystemTrayIcon::Trigger);
            backOnClick = QTest::qWaitFor([&] { return !open.isMinimized(); });
            windowStayedInTray = !window.isVisible();
            // No menu follows the click once the double-click time has passed.
            QTest::qWait(QApplication::doubleClickInterval() + 50);
            menuOpened = QApplication::activePopupWidget() != nullptr;

            open.showMinimized();
            emit tray->activated(QSystemTrayIcon::Trigger);
            emit tray->activated(QSystemTrayIcon::DoubleClick);
            backOnDoubleClick = QTest::qWaitFor([&] { return !open.isMinimized(); });
            windowShown = window.isVisible();

            // A box over the sheet, both minimised: both come back.
            QMessageBox box(QMessageBox::Warning, QStringLiteral("Tarnwick"), QStringLiteral("?"),
                            QMessageBox::Ok, &open);
            const auto boxed = test::whenModal<QMessageBox>([&](QMessageBox& shown) {
                open.showMinimized();
                shown.showMinimized();
                emit tray->activated(QSystemTrayIcon::Trigger);
                bothBack =
                    QTest::qWaitFor([&] { return !open.isMinimized() && !shown.isMinimized(); });
                shown.accept();
            });
            box.exec();
            open.reject();
        });
        window.command(CTarnwickDlg::MainMenu::NewSite);
        QTRY_VERIFY(!program.window->defineSheet().isVisible());
        QVERIFY(backOnClick);
        QVERIFY(windowStayedInTray);
        QVERIFY(!menuOpened);
        QVERIFY(backOnDoubleClick);
        QVERIFY(windowShown);
        QVERIFY(bothBack);
    }

    // The window comes back from the tray where the user had moved it, not where Qt would put
    // a dialog shown anew (centred).
    void theWindowComesBackFromTheTrayWhereItWas() {
        Program program;
        QVERIFY(program.start());
        CTarnwickDlg& window = *program.window;
        // Moved as a window manager moves it, not through the widget.
        const QPoint moved = window.pos() + QPoint(37, 23);
        window.windowHandle()->setFramePosition(moved);
        QTRY_COMPARE(window.pos(), moved);

        window.showMinimized();
        QTRY_VERIFY(window.inTray());
        window.command(CTarnwickDlg::TrayMenu::Open);
        QVERIFY(window.isVisible());
        QTRY_COMPARE(window.pos(), moved);
        // The same after Escape from the tray and back.
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(!window.isVisible());
        window.command(CTarnwickDlg::TrayMenu::Open);
        QTRY_COMPARE(window.pos(), moved);
    }

    void aSecondInstanceBringsTheFirstForward() {
        Program program;
        QVERIFY(program.start());
        CTarnwickDlg& window = *program.window;
        window.show();
        window.showMinimized();
        QTRY_VERIFY(window.inTray());
        QVERIFY(!window.isVisible());

        GuiPrompter secondPrompter(program.executor);
        CTarnwickApp second(secondPrompter, program.paths());
        QCOMPARE(second.run([] { QFAIL("the second instance must not run a window"); }), 0);
        QVERIFY(second.otherInstanceRunning());
        QTRY_VERIFY(window.isVisible());
        QCOMPARE(program.state(), std::string("opened"));
    }

    void theHelpersHandOverIsPickedUpOnItsMessage() {
        Program program;
        QVERIFY(program.start());
        CTarnwickDlg& window = *program.window;
        window.showMinimized();
        QTRY_VERIFY(window.inTray());

        FetchSettings record;
        record.targetUrl = "http://127.0.0.1/handed-over.html";
        const std::string file = program.home / "FromHelper";
        TempFolder::writeFile(file, record.toText());
        QCOMPARE(program.app->quaylinkKey.writeString("Identifier", file), 0);
        QVERIFY(MessageBus::broadcast(Siblings::kHelperToTarnwick, program.paths().runtimeFolder) >
                0);

        // The new-site sheet opens on the record; the window has come up behind it.
        std::string loaded;
        bool visible = false;
        const auto sheet = test::whenModal<CDefineSheet>([&](CDefineSheet& open) {
            loaded = open.workingItem().targetUrl;
            visible = window.isVisible();
            open.reject();
        });
        QTRY_COMPARE(loaded, record.targetUrl);
        QVERIFY(visible);
        QCOMPARE(window.pendingNewSite()->targetUrl, record.targetUrl);
        QVERIFY(!std::filesystem::exists(file));
        QCOMPARE(program.app->quaylinkKey.readString("Identifier"), std::string());
    }

    void aHandOverOverTheCapIsToldAndLeftWhereItIs() {
        Program program;
        QVERIFY(program.start());
        CTarnwickDlg& window = *program.window;
        window.showMinimized();
        QTRY_VERIFY(window.inTray());

        FetchSettings record;
        record.targetUrl = "http://127.0.0.1/large.html";
        const std::string text = record.toText();
        const std::string file = program.home / "FromHelper";
        const std::string bytes = text + std::string(Siblings::kMaxHandOverBytes, 'x');
        TempFolder::writeFile(file, bytes);
        QCOMPARE(program.app->quaylinkKey.writeString("Identifier", file), 0);
        BoxAnswerer answerer(QMessageBox::Ok);
        bool sheetOpened = false;
        const auto sheet = test::whenModal<CDefineSheet>([&](CDefineSheet& open) {
            sheetOpened = true;
            open.reject();
        });
        QVERIFY(MessageBus::broadcast(Siblings::kHelperToTarnwick, program.paths().runtimeFolder) >
                0);

        QTRY_COMPARE(answerer.texts.size(), 1);
        QVERIFY(answerer.texts.front().startsWith(
            QStringLiteral("Quaylinkから渡されたファイルが大きすぎるため")));
        QTRY_VERIFY(window.isVisible());
        QVERIFY(!sheetOpened);
        QVERIFY(!window.pendingNewSite());
        QCOMPARE(TempFolder::readFile(file), bytes);
    }

    void mailSettingsConfirmedAreKeptAndSavedAtOnce() {
        Program program;
        QVERIFY(program.start());
        const auto dialog = test::whenModal<CMailServerDlg>([](CMailServerDlg& open) {
            const auto type = [&open](const char* name, const QString& text) {
                auto* edit = open.findChild<QLineEdit*>(QString::fromLatin1(name));
                edit->selectAll();
                QTest::keyClicks(edit, text);
            };
            type("hostEdit", QStringLiteral("smtp.example.jp"));
            type("portEdit", QStringLiteral("587"));
            type("accountEdit", QStringLiteral("me@example.jp"));
            QTest::keyClick(&open, Qt::Key_Return);
        });
        program.window->command(CTarnwickDlg::MainMenu::MailSettings);
        QCOMPARE(program.app->mailServer().server, std::string("smtp.example.jp"));
        QCOMPARE(program.app->mailServer().port, 587);
        QCOMPARE(program.app->mailServer().account, std::string("me@example.jp"));
        // The checker's next mail goes through them.
        QCOMPARE(program.app->mailSettings().snapshot().server, std::string("smtp.example.jp"));
        // Another program object reads them back from the file written just now.
        CTarnwickApp reader(program.prompter, program.paths());
        QVERIFY(reader.loadSettings());
        QCOMPARE(reader.mailServer().server, std::string("smtp.example.jp"));
        QCOMPARE(reader.mailServer().port, 587);
    }

    // The menu's import adds through the session (which saves) and tells the summary; its
    // export offers the three formats and writes the one whose suffix the chooser added.
    void importAndExportThroughTheMenu() {
        Program program;
        QVERIFY(program.start());
        const std::string listFile = program.home.path() + "/pages.txt";
        {
            std::FILE* file = std::fopen(listFile.c_str(), "w");
            QVERIFY(file);
            std::fputs("# mine\nhttp://127.0.0.1:9/a\nfile:///etc/passwd\nhttp://127.0.0.1:9/b\n",
                       file);
            std::fclose(file);
        }
        test::PromptScript script;
        script.setNextFileName(QString::fromStdString(listFile));
        program.window->findChild<QAction*>(QStringLiteral("actionImport"))->trigger();
        QCOMPARE(program.session->watchList().count(), 2);
        QCOMPARE(script.told().size(), 1);
        QVERIFY2(script.told().constFirst().startsWith(QStringLiteral("2 件を追加しました")),
                 qPrintable(script.told().constFirst()));
        QVERIFY(script.told().constFirst().contains(QStringLiteral("file:")));
        QVERIFY(!script.boxes.back().caption.isEmpty());
        // Saved (the list may wait for a check that runs): another reader sees both.
        const auto saved = [&program] {
            std::string bytes;
            if (std::FILE* file =
                    std::fopen((program.home.path() + "/WatchList.twl").c_str(), "rb")) {
                char buffer[4096];
                std::size_t n = 0;
                while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
                    bytes.append(buffer, n);
                }
                std::fclose(file);
            }
            return bytes;
        };
        QTRY_VERIFY(saved().find("http://127.0.0.1:9/b") != std::string::npos);

        const std::string exported = program.home.path() + "/out.opml";
        script.setNextFileName(QString::fromStdString(exported));
        program.window->findChild<QAction*>(QStringLiteral("actionExport"))->trigger();
        QCOMPARE(script.choosers.back().filter.split(QStringLiteral(";;")).size(), 3);
        // Beside the list imported, never over it.
        QCOMPARE(script.choosers.back().start,
                 QString::fromStdString(program.home.path()) + QStringLiteral("/ウォッチリスト"));
        QCOMPARE(
            script.choosers.back().filterSuffixes,
            (QStringList{QStringLiteral("txt"), QStringLiteral("opml"), QStringLiteral("yaml")}));
        std::string written;
        {
            std::FILE* file = std::fopen(exported.c_str(), "rb");
            QVERIFY(file);
            char buffer[4096];
            std::size_t n = 0;
            while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
                written.append(buffer, n);
            }
            std::fclose(file);
        }
        QVERIFY(written.find("<opml") != std::string::npos);
        QVERIFY(written.find("http://127.0.0.1:9/a") != std::string::npos);
        QVERIFY2(script.told().back().startsWith(QStringLiteral("2 件を opml 形式で")),
                 qPrintable(script.told().back()));
    }

    void imageCheckEscapesTheAddress() {
        Program program;
        QVERIFY(program.start());
        program.shell.setLaunchResult(false);
        const std::string address = "http://127.0.0.1/a\"b<c>.png?x=1&y=2\"><script>";
        QVERIFY(program.window->imageCheck(address));
        const std::string path = program.home / "imagetest.htm";
        QCOMPARE(
            TempFolder::readFile(path),
            std::string("<html><body><img src=\"http://127.0.0.1/a&quot;b&lt;c&gt;.png?x=1&amp;"
                        "y=2&quot;&gt;&lt;script&gt;\"></body></html>"));
        // Without the download helper the page goes to the desktop's browser.
        QTRY_VERIFY(!program.shell.opened().empty());
        QCOMPARE(program.shell.opened().front().target, path);

        // A file that cannot be written says so and shows nothing.
        std::filesystem::remove(path);
        std::filesystem::create_directory(path);
        BoxAnswerer answerer(QMessageBox::Ok);
        QVERIFY(!program.window->imageCheck(address));
        QTRY_COMPARE(answerer.texts, QStringList{QStringLiteral("一時ファイルが作れません。")});
        QCOMPARE(program.shell.opened().size(), std::size_t(1));
    }

    void aWorkerQuestionIsAnsweredOnTheWindowThread() {
        Program program;
        QVERIFY(program.start());
        BoxAnswerer answerer(QMessageBox::Yes);
        std::atomic<bool> answered{false};
        bool answer = false;
        std::thread worker([&] {
            answer = program.prompter.ask(jp("続けますか？"));
            answered = true;
        });
        QTRY_VERIFY(answered);
        worker.join();
        QVERIFY(answer);
        QCOMPARE(answerer.texts, QStringList{QStringLiteral("続けますか？")});
    }

    void aQuestionWaitingWhileTheWindowClosesIsANo() {
        Program program;
        QVERIFY(program.start());
        program.window->show();
        bool answer = true;
        std::thread worker([&] { answer = program.prompter.ask(jp("続けますか？")); });
        while (program.executor.waitingSenders() == 0) {
            std::this_thread::yield();
        }
        // Exit while the worker waits: it is released before the session waits for workers.
        program.window->command(CTarnwickDlg::MainMenu::Exit);
        worker.join();
        QVERIFY(!answer);
        QCoreApplication::processEvents();
        QVERIFY(QApplication::activeModalWidget() == nullptr);
    }

    void aFinishedCheckAddsItsRowAndGoesBackToTheList() {
        httplib::Server server;
        server.Get("/missing.html", [](const httplib::Request&, httplib::Response& res) {
            res.status = 404;
            res.set_content("gone", "text/html");
        });
        const int port = server.bind_to_any_port("127.0.0.1");
        QVERIFY(port > 0);
        std::thread serving([&] { server.listen_after_bind(); });

        Program program;
        {
            test::NullChecker checker;
            CWatchList list(checker, SystemClock::instance(), nullptr, program.home.path());
            WatchSettings item;
            item.name = jp("消えた頁");
            item.targetUrl = "http://127.0.0.1:" + std::to_string(port) + "/missing.html";
            item.soundMode = 0;
            item.popUp = 0;
            list.add(item);
            QVERIFY(list.save());
        }
        QVERIFY(program.start());
        ResultListModel& rows = program.window->resultList().model();
        QTRY_COMPARE_WITH_TIMEOUT(rows.rowCount(), 1, 30000);
        QCOMPARE(rows.index(0, 1).data().toString(), QStringLiteral("消えた頁"));
        QCOMPARE(rows.index(0, 2).data().toString(), QStringLiteral("エラー(status=404)"));
        QCOMPARE(rows.rowAt(0).state, ResultListModel::State::Error);
        CWatchList& list = program.session->watchList();
        QCOMPARE(rows.rowAt(0).itemId, list.idAt(0));
        QTRY_COMPARE(list.itemAt(0).lastResult, -1);

        server.stop();
        serving.join();
    }

    void oneChangeViewPerItemReadsTheItemsHistory() {
        Program program;
        {
            test::NullChecker checker;
            CWatchList list(checker, SystemClock::instance(), nullptr, program.home.path());
            WatchSettings item;
            item.name = jp("価格");
            item.targetUrl = "http://127.0.0.1:9/price.html";
            item.compareFile = program.home.path() + "/comp/temp7.htm";
            item.schedule = "once";
            list.add(item);
            QVERIFY(list.save());
            HistoryStore store(program.home.path(), {});
            HistoryEntry entry;
            entry.checkedAt = 1000;
            entry.bytes = "<p>100</p>";
            entry.codePage = 65001;
            QCOMPARE(store.record("temp7.htm", entry), std::string());
        }
        QVERIFY(program.start());
        const WatchItemId id = program.session->watchList().idAt(0);
        ChangeView* view = program.window->openChanges(id);
        QVERIFY(view != nullptr);
        QCOMPARE(view->windowTitle(), QStringLiteral("変更内容 - 価格"));
        QCOMPARE(view->versions().size(), std::size_t(1));
        QCOMPARE(program.window->openChanges(id), view);
        QPointer<ChangeView> alive(view);
        view->close();
        QTRY_VERIFY(alive.isNull());
        QVERIFY(program.window->openChanges(id) != nullptr);
        QCOMPARE(program.window->openChanges(id + 1000), nullptr);
    }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindow_test.moc"
