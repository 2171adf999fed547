#include "CellTips.h"
#include "NullChecker.h"
#include "core/platform/Clock.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "gui/watch/CRenewCheckWnd.h"
#include "support/TempFolder.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <ctime>

using tw::gui::CRenewCheckWnd;
using tw::gui::ResultListModel;

namespace {

/// Today at hh:mm local time.
std::time_t today(int hour, int minute) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = 0;
    return std::mktime(&local);
}

tw::WatchSettings finished(const std::string& name, int result, int errorKind = 0,
                           const std::string& errorText = {}) {
    tw::WatchSettings item;
    item.targetUrl = "http://127.0.0.1/page.html";
    item.name = tw::jp(name);
    item.lastCheck = today(9, 5);
    item.lastResult = result;
    item.errorKind = errorKind;
    item.errorText = tw::jp(errorText);
    return item;
}

QString text(CRenewCheckWnd& list, int row, int column) {
    return list.model().index(row, column).data().toString();
}

} // namespace

class ResultListTest : public QObject {
    Q_OBJECT
private slots:
    void fourColumnsWithTheUntitledOneFourth() {
        CRenewCheckWnd list;
        list.setUp(nullptr);
        QAbstractItemModel& model = list.model();
        QCOMPARE(model.columnCount(), 4);
        QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("時刻"));
        QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("ページ"));
        QCOMPARE(model.headerData(2, Qt::Horizontal).toString(), QStringLiteral("結果"));
        QCOMPARE(model.headerData(3, Qt::Horizontal).toString(), QString());
        QCOMPARE(list.columnWidth(0), 70);
        QCOMPARE(list.columnWidth(1), 240);
        QCOMPARE(list.columnWidth(2), 140);
        // The fourth takes what the others leave (theLastColumnStretchesInsteadOfAScrollBar).
    }

    // At the window's first size the rows fit: the untitled last column takes what the others
    // leave and follows the list's width, and no scroll bar shows.
    void theLastColumnStretchesInsteadOfAScrollBar() {
        CRenewCheckWnd list;
        list.setUp(nullptr);
        // The main window leaves it about a scroll bar's width at first.
        list.resize(70 + 240 + 140 + 2 * list.frameWidth() + 30, 200);
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        QTRY_COMPARE(list.header()->length(), list.viewport()->width());
        QVERIFY(!list.horizontalScrollBar()->isVisible());
        QCOMPARE(list.columnWidth(ResultListModel::ResultColumn), 140);

        list.resize(list.width() + 200, 200);
        QTRY_COMPARE(list.header()->length(), list.viewport()->width());
        QVERIFY(!list.horizontalScrollBar()->isVisible());

        // A column widened beyond the window scrolls.
        list.header()->resizeSection(ResultListModel::ResultColumn, 900);
        QTRY_VERIFY(list.horizontalScrollBar()->isVisible());
    }

    // A result cut at the column's edge can be read whole in its tooltip, or by widening the
    // column; a cell shown whole has no tooltip.
    void aCutCellShowsItsWholeTextAsItsTooltip() {
        CRenewCheckWnd list;
        list.setUp(nullptr);
        list.resize(800, 200);
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        const QString error =
            QStringLiteral("サーバーに接続を拒否されました（127.0.0.1 の 9 番ポート）");
        list.addResult(finished("短い", -1, 2, error.toStdString()), 1);
        // A name that looks like markup is shown as it is written.
        const QString marked = QStringLiteral("<b>お知らせ</b> と、とても長いページの名前です");
        list.addResult(finished(marked.toStdString(), 2), 2);
        list.model().flush();
        ResultListModel& model = list.model();

        QCOMPARE(tw::test::tipOver(list, model.index(1, ResultListModel::ResultColumn)), error);
        QCOMPARE(tw::test::tipOver(list, model.index(1, ResultListModel::PageColumn)), QString());
        QCOMPARE(tw::test::tipOver(list, model.index(1, ResultListModel::TimeColumn)), QString());
        QCOMPARE(tw::test::tipOver(list, model.index(0, ResultListModel::ResultColumn)), QString());
        const QString tip = tw::test::tipOver(list, model.index(0, ResultListModel::PageColumn));
        QVERIFY2(tip.contains(marked.toHtmlEscaped()), qPrintable(tip));

        // Widened by the user, the result shows whole and needs no tooltip.
        tw::test::dragSectionEdge(*list.header(), ResultListModel::ResultColumn, 300);
        QCOMPARE(list.columnWidth(ResultListModel::ResultColumn), 440);
        QCOMPARE(tw::test::tipOver(list, model.index(1, ResultListModel::ResultColumn)), QString());
    }

    void finishedChecksAddRowsOnTop() {
        CRenewCheckWnd list;
        list.setUp(nullptr);
        list.addResult(finished("更新あり", 2), 1);
        list.addResult(finished("変化なし", 1), 2);
        list.addResult(finished("見つからない", -1, 404), 3);
        list.addResult(finished("認証", -1, 2, "認証が否定されました"), 4);
        tw::WatchSettings placeholder;
        placeholder.lastResult = 1;
        list.addResult(placeholder, 5);
        list.model().flush();

        QCOMPARE(list.model().rowCount(), 4);
        const struct {
            QString page;
            QString result;
            ResultListModel::State state;
            tw::CWatchList::ItemId id;
        } expected[] = {
            {QStringLiteral("認証"), QStringLiteral("認証が否定されました"),
             ResultListModel::State::Error, 4},
            {QStringLiteral("見つからない"), QStringLiteral("エラー(status=404)"),
             ResultListModel::State::Error, 3},
            {QStringLiteral("変化なし"), QStringLiteral("更新されていません"),
             ResultListModel::State::Unchanged, 2},
            {QStringLiteral("更新あり"), QStringLiteral("更新されています"),
             ResultListModel::State::Updated, 1},
        };
        for (int row = 0; row < 4; ++row) {
            QCOMPARE(text(list, row, 0), QStringLiteral("09:05"));
            QCOMPARE(text(list, row, 1), expected[row].page);
            QCOMPARE(text(list, row, 2), expected[row].result);
            QCOMPARE(list.model().rowAt(row).state, expected[row].state);
            QCOMPARE(list.model().rowAt(row).itemId, expected[row].id);
        }
        // The three states have three different images.
        const auto cacheKey = [&](int row) {
            return list.model().index(row, 0).data(Qt::DecorationRole).value<QIcon>().cacheKey();
        };
        QVERIFY(cacheKey(0) == cacheKey(1));
        QVERIFY(cacheKey(1) != cacheKey(2));
        QVERIFY(cacheKey(2) != cacheKey(3));
        QVERIFY(cacheKey(1) != cacheKey(3));

        // A page without a name shows its address.
        tw::WatchSettings unnamed = finished("", 2);
        list.addResult(unnamed, 6);
        list.model().flush();
        QCOMPARE(text(list, 0, 1), QStringLiteral("http://127.0.0.1/page.html"));
    }

    void rowsThatComeTogetherGoInTogetherNewestOnTop() {
        CRenewCheckWnd list;
        list.setUp(nullptr);
        list.show();
        ResultListModel& model = list.model();
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        list.addResult(finished("一", 1), 1);
        QTRY_COMPARE(model.rowCount(), 1);
        for (int id = 2; id <= 5; ++id) {
            list.addResult(finished(std::to_string(id), 1), id);
        }
        QCOMPARE(model.rowCount(), 1);
        QTRY_COMPARE(model.rowCount(), 5);
        // One insertion for the burst, rows 0..3, the last report on top.
        QCOMPARE(inserted.count(), 2);
        QCOMPARE(inserted.at(1).at(1).toInt(), 0);
        QCOMPARE(inserted.at(1).at(2).toInt(), 3);
        for (int row = 0; row < 5; ++row) {
            QCOMPARE(model.rowAt(row).itemId, tw::CWatchList::ItemId(5 - row));
        }

        // Clearing the log also drops rows still waiting for their turn.
        list.addResult(finished("六", 1), 6);
        list.clearRows();
        QCoreApplication::processEvents();
        QCOMPARE(model.rowCount(), 0);
    }

    void rowCommandsFollowTheItemAndIgnoreADeletedOne() {
        tw::test::TempFolder folder;
        tw::test::NullChecker checker;
        tw::CWatchList watchList(checker, tw::SystemClock::instance(), nullptr, folder.path());
        tw::WatchSettings first = finished("first", 2);
        first.destFile = "/tmp/first.html";
        tw::WatchSettings second = finished("second", 2);
        watchList.add(first);
        watchList.add(second);
        const auto firstId = watchList.idAt(0);
        const auto secondId = watchList.idAt(1);

        CRenewCheckWnd list;
        list.setUp(&watchList);
        list.addResult(first, firstId);
        list.addResult(second, secondId);
        list.model().flush();
        QSignalSpy show(&list, &CRenewCheckWnd::showSiteRequested);
        QSignalSpy file(&list, &CRenewCheckWnd::showAddressRequested);
        QSignalSpy image(&list, &CRenewCheckWnd::imageCheckRequested);
        QSignalSpy edit(&list, &CRenewCheckWnd::editRequested);
        const auto select = [&](int row) {
            list.selectionModel()->select(list.model().index(row, 0),
                                          QItemSelectionModel::ClearAndSelect |
                                              QItemSelectionModel::Rows);
        };

        // Nothing selected: nothing happens.
        list.command(CRenewCheckWnd::ShowSite);
        QCOMPARE(show.count(), 0);

        // Row 1 is the first item: its commands name it by its id.
        select(1);
        list.command(CRenewCheckWnd::EditItem);
        QCOMPARE(edit.count(), 1);
        QCOMPARE(edit.at(0).at(0).toULongLong(), firstId);
        list.command(CRenewCheckWnd::ShowFile);
        list.command(CRenewCheckWnd::ImageCheck);
        QCOMPARE(file.count(), 1);
        QCOMPARE(image.count(), 1);

        // The second item has no save file: its file commands do nothing.
        select(0);
        list.command(CRenewCheckWnd::ShowFile);
        list.command(CRenewCheckWnd::ImageCheck);
        QCOMPARE(file.count(), 1);
        QCOMPARE(image.count(), 1);

        watchList.remove(0);
        select(1);
        for (const int id : {CRenewCheckWnd::ShowSite, CRenewCheckWnd::ShowFile,
                             CRenewCheckWnd::ImageCheck, CRenewCheckWnd::EditItem}) {
            list.command(id);
        }
        QCOMPARE(show.count(), 0);
        QCOMPARE(file.count(), 1);
        QCOMPARE(image.count(), 1);
        QCOMPARE(edit.count(), 1);

        // The row of the second item still reaches it, now at position 0, also by double-click.
        select(0);
        emit list.doubleClicked(list.model().index(0, 1));
        QCOMPARE(show.count(), 1);
        QCOMPARE(show.at(0).at(0).toULongLong(), secondId);
        // So does Enter, and the context menu's action.
        QTest::keyClick(&list, Qt::Key_Return);
        QCOMPARE(show.count(), 2);
        QCOMPARE(show.at(1).at(0).toULongLong(), secondId);
        list.action(CRenewCheckWnd::ShowSite)->trigger();
        QCOMPARE(show.count(), 3);
        list.action(CRenewCheckWnd::EditItem)->trigger();
        QCOMPARE(edit.count(), 2);
        QCOMPARE(edit.at(1).at(0).toULongLong(), secondId);

        // The change view is asked for by id, also for a row whose check found nothing new.
        QSignalSpy changes(&list, &CRenewCheckWnd::changesRequested);
        QCOMPARE(list.action(CRenewCheckWnd::ShowChanges)->text(),
                 QStringLiteral("変更内容を表示(&D)"));
        list.command(CRenewCheckWnd::ShowChanges);
        QCOMPARE(changes.count(), 1);
        QCOMPARE(changes.at(0).at(0).toULongLong(), secondId);
        select(1); // the removed item's row
        list.command(CRenewCheckWnd::ShowChanges);
        QCOMPARE(changes.count(), 1);
    }
};

QTEST_MAIN(ResultListTest)
#include "ResultList_test.moc"
