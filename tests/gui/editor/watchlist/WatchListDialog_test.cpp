#include "CellTips.h"
#include "NullChecker.h"
#include "core/platform/Clock.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/watch/CWatchList.h"
#include "gui/editor/watchlist/WatchListDialog.h"
#include "gui/editor/watchlist/WatchListModel.h"
#include "support/TempFolder.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>

#include <memory>

using tw::gui::WatchListDialog;
using tw::gui::WatchListModel;

namespace {

/// Busy while the test says so: edits made then are queued by the list.
class SwitchedChecker : public tw::test::NullChecker {
public:
    bool busy = false;
    bool isBusy() const override { return busy; }
};

tw::WatchSettings item(const char* name, const char* schedule, const char* timing, std::time_t date,
                       int time) {
    tw::WatchSettings settings;
    settings.name = tw::jp(name);
    settings.targetUrl = std::string("http://127.0.0.1/") + schedule + "/" + timing;
    settings.schedule = schedule;
    settings.timing = timing;
    settings.dateValue = date;
    settings.timeValue = time;
    return settings;
}

} // namespace

class WatchListDialogTest : public QObject {
    Q_OBJECT

    tw::test::TempFolder m_folder;
    SwitchedChecker m_checker;
    std::unique_ptr<tw::CWatchList> m_list;
    QList<tw::WatchItemId> m_ids;

    QTableView* view(WatchListDialog& dialog) { return dialog.findChild<QTableView*>(); }
    QPushButton* button(WatchListDialog& dialog, const char* name) {
        return dialog.findChild<QPushButton*>(QString::fromLatin1(name));
    }
    void select(WatchListDialog& dialog, std::initializer_list<int> rows) {
        auto* selection = view(dialog)->selectionModel();
        selection->clearSelection();
        for (const int row : rows)
            selection->select(dialog.model().index(row, 0),
                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    /// The window takes the dialog's removals to the list (through the check session).
    void removeFromTheList(WatchListDialog& dialog) {
        connect(&dialog, &WatchListDialog::removeRequested, this,
                [this](tw::WatchItemId id) { m_list->removeById(id); });
    }
    QStringList names(const WatchListModel& model) {
        QStringList texts;
        for (int row = 0; row < model.rowCount(); ++row)
            texts << model.index(row, WatchListModel::NameColumn).data().toString();
        return texts;
    }

private slots:
    void init() {
        m_checker.busy = false;
        m_list = std::make_unique<tw::CWatchList>(m_checker, tw::SystemClock::instance(), nullptr,
                                                  m_folder.path());
        m_ids.clear();
        m_ids << m_list->add(item("一", "daily", "inter", 0, 5400))
              << m_list->add(item("二", "weekly", "defined", 0x0a, 8 * 3600 + 30 * 60))
              << m_list->add(item("三", "monthly", "open", 15, 0))
              << m_list->add(item("四", "daily", "inter", 0, 86400))
              << m_list->add(item("五", "", "", 0, 0));
    }
    void cleanup() { m_list.reset(); }

    void rowsShowScheduleNameAndAddress() {
        WatchListDialog dialog(*m_list);
        const WatchListModel& model = dialog.model();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("ウォッチリスト"));
        QCOMPARE(model.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(),
                 QStringLiteral("スケジュール"));
        QCOMPARE(model.headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(),
                 QStringLiteral("名前"));
        QCOMPARE(model.headerData(2, Qt::Horizontal, Qt::DisplayRole).toString(),
                 QStringLiteral("リンク先ＵＲＬ"));
        const QStringList schedules{QStringLiteral("毎日01時間30分間隔"),
                                    QStringLiteral("毎週[月水]08時30分00秒"),
                                    QStringLiteral("毎月15日起動時"), QStringLiteral("毎日間隔"),
                                    QStringLiteral("毎日起動時")};
        QCOMPARE(model.rowCount(), 5);
        for (int row = 0; row < 5; ++row) {
            QCOMPARE(model.index(row, WatchListModel::ScheduleColumn).data().toString(),
                     schedules.at(row));
            QCOMPARE(model.idAt(row), m_ids.at(row));
        }
        QCOMPARE(names(model),
                 (QStringList{QStringLiteral("一"), QStringLiteral("二"), QStringLiteral("三"),
                              QStringLiteral("四"), QStringLiteral("五")}));
        QCOMPARE(model.index(1, WatchListModel::AddressColumn).data().toString(),
                 QStringLiteral("http://127.0.0.1/weekly/defined"));

        // Changes made elsewhere reach the rows: a replaced item, an added one.
        m_list->replaceById(m_ids.at(2), item("参", "once", "inter", 0, 61));
        QCOMPARE(model.index(2, WatchListModel::NameColumn).data().toString(),
                 QStringLiteral("参"));
        QVERIFY(model.index(2, WatchListModel::ScheduleColumn)
                    .data()
                    .toString()
                    .endsWith(QStringLiteral("01分01秒間隔")));
        const auto added = m_list->add(item("六", "weekly", "open", 1, 0));
        QCOMPARE(model.rowCount(), 6);
        QCOMPARE(model.idAt(5), added);
        QCOMPARE(model.index(5, 0).data().toString(), QStringLiteral("毎週[日]起動時"));
    }

    // A name cut at the column's edge shows whole in its tooltip; one shown whole has none.
    void onlyACutCellHasATooltip() {
        const QString longName = QStringLiteral("とても長い名前のサイトで列に収まりません");
        m_list->add(item(longName.toUtf8().constData(), "daily", "open", 0, 0));
        WatchListDialog dialog(*m_list);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QTableView& table = *view(dialog);
        const WatchListModel& model = dialog.model();
        QCOMPARE(tw::test::tipOver(table, model.index(5, WatchListModel::NameColumn)), longName);
        QCOMPARE(tw::test::tipOver(table, model.index(0, WatchListModel::NameColumn)), QString());
        QCOMPARE(tw::test::tipOver(table, model.index(0, WatchListModel::AddressColumn)),
                 QString());

        tw::test::dragSectionEdge(*table.horizontalHeader(), WatchListModel::NameColumn, 250);
        QCOMPARE(table.columnWidth(WatchListModel::NameColumn), 390);
        QCOMPARE(tw::test::tipOver(table, model.index(5, WatchListModel::NameColumn)), QString());
    }

    void deletesEverySelectedRowWithoutAsking() {
        WatchListDialog dialog(*m_list);
        removeFromTheList(dialog);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));

        // None selected: nothing goes.
        select(dialog, {});
        QTest::mouseClick(button(dialog, "deleteButton"), Qt::LeftButton);
        QCOMPARE(m_list->count(), 5);
        QCOMPARE(dialog.model().rowCount(), 5);

        select(dialog, {0, 2, 4});
        QTest::mouseClick(button(dialog, "deleteButton"), Qt::LeftButton);
        QVERIFY(dialog.isVisible());
        QCOMPARE(m_list->count(), 2);
        QCOMPARE(m_list->idAt(0), m_ids.at(1));
        QCOMPARE(m_list->idAt(1), m_ids.at(3));
        QCOMPARE(dialog.model().rowCount(), 2);
        QCOMPARE(dialog.model().idAt(0), m_ids.at(1));
        QCOMPARE(dialog.model().idAt(1), m_ids.at(3));
        QCOMPARE(names(dialog.model()), (QStringList{QStringLiteral("二"), QStringLiteral("四")}));
    }

    // During a check the list queues the removals: the rows stay until the list applies them,
    // and then exactly the chosen ones go.
    void deletesQueuedDuringACheckFollowWhenApplied() {
        WatchListDialog dialog(*m_list);
        removeFromTheList(dialog);
        m_checker.busy = true;
        select(dialog, {1, 3});
        dialog.deleteSelected();
        QCOMPARE(dialog.model().rowCount(), 5);
        m_list->add(item("六", "daily", "open", 0, 0));
        m_checker.busy = false;
        m_list->checkFinished(m_list->itemAt(0));
        QCOMPARE(names(dialog.model()), (QStringList{QStringLiteral("一"), QStringLiteral("三"),
                                                     QStringLiteral("五"), QStringLiteral("六")}));
        for (int row = 0; row < m_list->count(); ++row)
            QCOMPARE(dialog.model().idAt(row), m_list->idAt(row));
    }

    void editAndNewCloseTheDialogBeforeAsking() {
        WatchListDialog dialog(*m_list);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QList<bool> visibleWhenAsked;
        QList<tw::WatchItemId> edited;
        connect(&dialog, &WatchListDialog::editRequested, this, [&](tw::WatchItemId id) {
            visibleWhenAsked << dialog.isVisible();
            edited << id;
        });
        QSignalSpy created(&dialog, &WatchListDialog::newRequested);

        // Double-click edits the row under the pointer.
        QTableView* table = view(dialog);
        const QPoint centre = table->visualRect(dialog.model().index(3, 1)).center();
        // The press that starts a double-click comes first, as from a real mouse.
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, centre);
        QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, centre);
        QCOMPARE(edited, QList<tw::WatchItemId>{m_ids.at(3)});
        QCOMPARE(visibleWhenAsked, QList<bool>{false});
        QCOMPARE(dialog.result(), int(QDialog::Rejected));

        // Edit takes the topmost selected row; with none it does nothing and stays open.
        dialog.show();
        select(dialog, {});
        QTest::mouseClick(button(dialog, "editButton"), Qt::LeftButton);
        QCOMPARE(edited.size(), 1);
        QVERIFY(dialog.isVisible());
        select(dialog, {4, 1, 2});
        QTest::mouseClick(button(dialog, "editButton"), Qt::LeftButton);
        QCOMPARE(edited, (QList<tw::WatchItemId>{m_ids.at(3), m_ids.at(1)}));
        QCOMPARE(visibleWhenAsked, (QList<bool>{false, false}));

        dialog.show();
        QTest::mouseClick(button(dialog, "newButton"), Qt::LeftButton);
        QCOMPARE(created.count(), 1);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(edited.size(), 2);
    }

    void changesAsksForTheTopSelectedItemAndStaysOpen() {
        WatchListDialog dialog(*m_list);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QSignalSpy changes(&dialog, &WatchListDialog::changesRequested);
        select(dialog, {});
        QTest::mouseClick(button(dialog, "changesButton"), Qt::LeftButton);
        QCOMPARE(changes.count(), 0);
        select(dialog, {4, 2});
        QTest::mouseClick(button(dialog, "changesButton"), Qt::LeftButton);
        QCOMPARE(changes.count(), 1);
        QCOMPARE(changes.at(0).at(0).toULongLong(), m_ids.at(2));
        QVERIFY(dialog.isVisible());
        QVERIFY(button(dialog, "changesButton")->text().startsWith(QStringLiteral("変更内容")));
    }

    // The list outlives the dialog and must not call a model that is gone.
    void theListForgetsAClosedDialog() {
        { WatchListDialog dialog(*m_list); }
        m_list->add(item("六", "daily", "open", 0, 0));
        m_list->removeById(m_ids.at(0));
        QCOMPARE(m_list->count(), 5);
    }
};

QTEST_MAIN(WatchListDialogTest)
#include "WatchListDialog_test.moc"
