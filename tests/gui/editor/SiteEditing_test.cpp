#include "ProgramFixture.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/watch/CWatchList.h"
#include "gui/editor/sheet/CDefineSheet.h"
#include "gui/editor/watchlist/WatchListDialog.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>

using namespace tw;
using namespace tw::gui;
using tw::test::BoxAnswerer;
using tw::test::Program;
using tw::test::whenModal;

namespace {

WatchSettings item(const std::string& name) {
    WatchSettings settings;
    settings.name = name;
    settings.targetUrl = "http://127.0.0.1/" + name + ".html";
    return settings;
}

/// Replaces the text of the sheet's edit `name` as a user would.
void typeInto(CDefineSheet& sheet, const char* name, const QString& text) {
    auto* edit = sheet.findChild<QLineEdit*>(QString::fromLatin1(name));
    QVERIFY(edit);
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
}

} // namespace

/// Opening the sheet from the window and taking its result back into the watch list.
class SiteEditingTest : public QObject {
    Q_OBJECT
private slots:
    void anEditLandsOnItsItemWhateverHappenedToTheList() {
        Program program;
        QVERIFY(program.start());
        CWatchList& list = program.session->watchList();
        const WatchItemId a = list.add(item("a"));
        const WatchItemId b = list.add(item("b"));
        const WatchItemId c = list.add(item("c"));

        // The 1st item goes while the 2nd is in the sheet.
        WatchItemId opened = 0;
        const auto sheet = whenModal<CDefineSheet>([&](CDefineSheet& open) {
            opened = open.itemId();
            list.removeById(a);
            typeInto(open, "nameEdit", QStringLiteral("b2"));
            open.accept();
        });
        program.window->editItem(b);
        QCOMPARE(opened, b);
        // Edits made while the checker holds an item arrive when its check is done.
        QTRY_COMPARE(list.pendingEditCount(), std::size_t(0));
        QCOMPARE(list.count(), 2);
        QCOMPARE(list.itemAt(list.positionOf(b)).name, std::string("b2"));
        QCOMPARE(list.itemAt(list.positionOf(c)).name, std::string("c"));

        // The edited item itself goes: the edit is kept as a new item, and the user told.
        BoxAnswerer boxes(QMessageBox::Ok);
        const auto again = whenModal<CDefineSheet>([&](CDefineSheet& open) {
            list.removeById(c);
            typeInto(open, "nameEdit", QStringLiteral("c2"));
            open.accept();
        });
        program.window->editItem(c);
        QTRY_COMPARE(list.pendingEditCount(), std::size_t(0));
        QCOMPARE(list.count(), 2);
        QCOMPARE(list.itemAt(1).name, std::string("c2"));
        QTRY_COMPARE(boxes.texts.size(), 1);
        QVERIFY(boxes.texts.front().contains(QStringLiteral("新しいアイテムとして追加")));
    }

    void aNewItemIsSavedAndOneWithoutAddressOrCancelledIsNot() {
        Program program;
        QVERIFY(program.start());
        CWatchList& list = program.session->watchList();
        const auto confirmWith = [](const std::string& url, bool ok) {
            return whenModal<CDefineSheet>([url, ok](CDefineSheet& open) {
                typeInto(open, "urlEdit", QString::fromStdString(url));
                ok ? open.accept() : open.reject();
            });
        };
        {
            const auto sheet = confirmWith("", true);
            program.window->command(CTarnwickDlg::MainMenu::NewSite);
        }
        QCOMPARE(list.count(), 0);
        {
            const auto sheet = confirmWith("http://127.0.0.1/cancelled.html", false);
            program.window->command(CTarnwickDlg::MainMenu::NewSite);
        }
        QCOMPARE(list.count(), 0);
        {
            const auto sheet = confirmWith("http://127.0.0.1/new.html", true);
            program.window->command(CTarnwickDlg::MainMenu::NewSite);
        }
        QTRY_COMPARE(list.count(), 1);
        QTRY_VERIFY(test::TempFolder::readFile(program.home / "WatchList.twl")
                        .find("http://127.0.0.1/new.html") != std::string::npos);
    }

    void aRequestWhileTheSheetIsOpenWaitsForItToClose() {
        Program program;
        QVERIFY(program.start());
        CWatchList& list = program.session->watchList();
        const WatchItemId a = list.add(item("a"));
        FetchSettings handedOver;
        handedOver.targetUrl = "http://127.0.0.1/handed-over.html";

        std::string typedStillThere;
        const auto first = whenModal<CDefineSheet>([&](CDefineSheet& open) {
            typeInto(open, "nameEdit", QStringLiteral("typed"));
            // What a sibling's hand-over does while the user edits.
            program.window->newSite(&handedOver);
            typedStillThere =
                open.findChild<QLineEdit*>(QStringLiteral("nameEdit"))->text().toStdString();
            QCOMPARE(open.itemId(), a);
            open.accept();
        });
        program.window->editItem(a);
        QCOMPARE(typedStillThere, std::string("typed"));

        std::string loaded;
        WatchItemId loadedId = 1;
        const auto second = whenModal<CDefineSheet>([&](CDefineSheet& open) {
            loaded = open.workingItem().targetUrl;
            loadedId = open.itemId();
            open.reject();
        });
        // Nothing may run the loop before this watcher is in place: the held sheet opens from it.
        QTRY_COMPARE(loaded, handedOver.targetUrl);
        QCOMPARE(loadedId, WatchItemId(0));
        QTRY_COMPARE(list.pendingEditCount(), std::size_t(0));
        QCOMPARE(list.count(), 1);
        QCOMPARE(list.itemAt(0).name, std::string("typed"));
        // The order and look-up of held requests: SheetQueue_test.
    }

    void ctrlTabWalksEveryTabFromWhereverTheFocusIs() {
        CDefineSheet sheet;
        WatchSettings loaded = item("a");
        sheet.loadItem(loaded, 0);
        sheet.show();
        QVERIFY(QTest::qWaitForWindowActive(&sheet));
        for (int tab = 1; tab <= sheet.pageCount(); ++tab) {
            QWidget* focus = QApplication::focusWidget();
            QVERIFY(focus);
            QTest::keyClick(focus, Qt::Key_Tab, Qt::ControlModifier);
            QVERIFY2(sheet.currentPage() == sheet.page(tab % sheet.pageCount()),
                     qPrintable(QStringLiteral("tab %1, focus on %2")
                                    .arg(tab)
                                    .arg(QString::fromLatin1(focus->metaObject()->className()))));
        }
    }

    void editFromTheListDialogOpensTheSheetAfterTheDialogHasGone() {
        Program program;
        QVERIFY(program.start());
        CWatchList& list = program.session->watchList();
        list.add(item("a"));
        const WatchItemId b = list.add(item("b"));

        const auto dialog = whenModal<WatchListDialog>([](WatchListDialog& open) {
            auto* view = open.findChild<QTableView*>();
            view->selectRow(1);
            QTest::mouseClick(open.findChild<QPushButton*>(QStringLiteral("editButton")),
                              Qt::LeftButton);
        });
        WatchItemId opened = 0;
        bool listGone = false;
        const auto sheet = whenModal<CDefineSheet>([&](CDefineSheet& open) {
            opened = open.itemId();
            listGone = program.window->watchListDialog() == nullptr;
            open.reject();
        });
        program.window->command(CTarnwickDlg::MainMenu::WatchList);
        QTRY_COMPARE(opened, b);
        QVERIFY(listGone);
    }
};

QTEST_MAIN(SiteEditingTest)
#include "SiteEditing_test.moc"
