#include "PromptScript.h"
#include "core/records/WatchSettings.h"
#include "gui/editor/CNumEdit.h"
#include "gui/editor/pages/CTimingPage.h"
#include "gui/editor/sheet/CDefineSheet.h"
#include "support/FakeClock.h"
#include "support/LocalTime.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCalendarWidget>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <memory>

using tw::gui::CDefineSheet;
using tw::gui::CNumEdit;
using tw::test::localTime;

class CTimingPageTest : public QObject {
    Q_OBJECT

    tw::test::FakeClock m_clock;
    std::unique_ptr<CDefineSheet> m_sheet;
    tw::test::PromptScript m_boxes;
    tw::WatchSettings m_stored;

    void open(const tw::WatchSettings& item) {
        m_sheet->loadItem(item, 0);
        m_sheet->show();
        clickTab(CDefineSheet::TimingTab);
    }
    void clickTab(int tab) {
        QTabBar* bar = m_sheet->findChild<QTabWidget*>()->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(tab).center());
    }
    bool onTimingTab() { return m_sheet->currentPage() == m_sheet->page(CDefineSheet::TimingTab); }
    template <typename Widget = CNumEdit>
    Widget* find(const char* name) {
        auto* widget = m_sheet->findChild<Widget*>(QString::fromLatin1(name));
        Q_ASSERT(widget);
        return widget;
    }
    // Picks an entry from the open list and confirms it with Enter, as from the keyboard.
    void choose(const char* box, int index) {
        auto* combo = find<QComboBox>(box);
        combo->showPopup();
        combo->view()->setCurrentIndex(combo->model()->index(index, 0));
        QTest::keyClick(combo->view(), Qt::Key_Return);
    }
    void type(const char* edit, const char* text) {
        CNumEdit* field = find(edit);
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(field, QString::fromLatin1(text));
    }
    QString date() {
        return find("yearEdit")->text() + u'/' + find("monthEdit")->text() + u'/' +
               find("dayEdit")->text();
    }
    QString time() {
        return find("hoursEdit")->text() + u':' + find("minutesEdit")->text() + u':' +
               find("secondsEdit")->text();
    }
    QString stored() {
        return QStringLiteral("%1 %2 %3 %4")
            .arg(QString::fromStdString(m_stored.schedule), QString::fromStdString(m_stored.timing))
            .arg(m_stored.dateValue)
            .arg(m_stored.timeValue);
    }
    // OK as the user presses it; true when the sheet closed with the item handed over.
    bool pressOK() {
        QTest::mouseClick(m_sheet->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok),
                          Qt::LeftButton);
        return !m_sheet->isVisible();
    }

private slots:
    void initTestCase() { tw::test::ZoneGuard::use("Asia/Tokyo"); }

    void init() {
        m_clock.set(localTime(2025, 3, 5, 14, 7, 9)); // a Wednesday
        m_boxes.texts.clear();
        m_sheet = std::make_unique<CDefineSheet>();
        m_sheet->page<tw::gui::CTimingPage>()->setClock(m_clock);
        connect(m_sheet.get(), &CDefineSheet::siteDefined,
                [this](const tw::WatchSettings& item) { m_stored = item; });
    }

    void aNewItemIsCheckedDailyAtStartFromNow() {
        open(tw::WatchSettings{});
        QCOMPARE(find<QComboBox>("scheduleBox")->currentText(), QStringLiteral("毎日"));
        QCOMPARE(find<QComboBox>("timingBox")->currentText(), QStringLiteral("起動時"));
        QVERIFY(find<QCheckBox>("wednesdayBox")->isChecked());
        QVERIFY(!find<QCheckBox>("mondayBox")->isChecked());
        QCOMPARE(date(), QStringLiteral("25/03/05"));
        QCOMPARE(time(), QStringLiteral("14:07:09"));
        for (const char* name : {"yearEdit", "dayEdit", "hoursEdit", "secondsEdit"})
            QVERIFY2(!find(name)->isEnabled(), name);
        QVERIFY(!find<QPushButton>("calendarButton")->isEnabled());
        QVERIFY(!find<QCheckBox>("wednesdayBox")->isEnabled());
        QVERIFY(pressOK());
        QCOMPARE(stored(), QStringLiteral("daily open 0 0"));
    }

    // Leaving the page stores what it shows into the working item, and coming back shows that
    // again, not the item as it was loaded. A day of 31 is kept.
    void comingBackShowsWhatWasSet() {
        tw::WatchSettings weekly;
        weekly.schedule = "weekly";
        weekly.dateValue = 34;
        weekly.timing = "define";
        weekly.timeValue = 8 * 3600 + 30 * 60;
        open(weekly);
        QVERIFY(find<QCheckBox>("mondayBox")->isChecked() &&
                find<QCheckBox>("fridayBox")->isChecked());
        QVERIFY(!find<QCheckBox>("wednesdayBox")->isChecked());
        choose("scheduleBox", 2);
        QVERIFY(find("dayEdit")->isEnabled());
        type("dayEdit", "31");
        clickTab(CDefineSheet::PageTab);
        QCOMPARE(m_sheet->workingItem().schedule, std::string("monthly"));
        QCOMPARE(m_sheet->workingItem().dateValue, std::time_t{31});
        clickTab(CDefineSheet::TimingTab);
        QCOMPARE(find<QComboBox>("scheduleBox")->currentText(), QStringLiteral("毎月"));
        QVERIFY(find("dayEdit")->isEnabled());
        QCOMPARE(find("dayEdit")->text(), QStringLiteral("31"));
        QCOMPARE(time(), QStringLiteral("08:30:00"));

        clickTab(CDefineSheet::PageTab);
        QVERIFY(pressOK());
        QCOMPARE(stored(), QStringLiteral("monthly define 31 30600"));
        open(m_stored);
        QCOMPARE(find("dayEdit")->text(), QStringLiteral("31"));
    }

    // Set on the page, walked through every tab with the keyboard back to it, confirmed with
    // Enter: what the user set is stored, not the item as it was loaded.
    void walkingEveryTabKeepsWhatWasSet() {
        open(tw::WatchSettings{});
        QVERIFY(QTest::qWaitForWindowActive(m_sheet.get()));
        choose("scheduleBox", 1);
        QTest::mouseClick(find<QCheckBox>("mondayBox"), Qt::LeftButton);
        choose("timingBox", 2);
        type("hoursEdit", "08");
        type("minutesEdit", "30");
        type("secondsEdit", "15");
        for (int step = 1; step <= m_sheet->pageCount(); ++step) {
            QWidget* focus = QApplication::focusWidget();
            QVERIFY(focus);
            QTest::keyClick(focus, Qt::Key_Tab, Qt::ControlModifier);
            QCOMPARE(m_sheet->currentPage(),
                     m_sheet->page((CDefineSheet::TimingTab + step) % m_sheet->pageCount()));
        }
        QCOMPARE(find<QComboBox>("scheduleBox")->currentText(), QStringLiteral("毎週"));
        QCOMPARE(find<QComboBox>("timingBox")->currentText(), QStringLiteral("時刻指定"));
        QVERIFY(find<QCheckBox>("mondayBox")->isChecked() &&
                find<QCheckBox>("wednesdayBox")->isChecked());
        QCOMPARE(time(), QStringLiteral("08:30:15"));
        QVERIFY(find("hoursEdit")->isEnabled());

        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QVERIFY(!m_sheet->isVisible());
        QCOMPARE(stored(), QStringLiteral("weekly define 10 30615"));
        QVERIFY(m_boxes.texts.isEmpty());
    }

    void anIntervalOfTenSecondsOrLessIsRefused() {
        open(tw::WatchSettings{});
        choose("timingBox", 1);
        QCOMPARE(time(), QStringLiteral("00:00:00"));
        QVERIFY(find("secondsEdit")->isEnabled());
        clickTab(CDefineSheet::PageTab);
        QVERIFY(onTimingTab());
        QCOMPARE(m_boxes.texts, QStringList{QStringLiteral("10秒以下の間隔は受け付けられません")});
        type("secondsEdit", "9");
        QVERIFY(!pressOK());
        QCOMPARE(m_boxes.texts.size(), 2);
        type("secondsEdit", "10");
        QVERIFY(pressOK());
        QCOMPARE(stored(), QStringLiteral("daily inter 0 10"));
    }

    // Refilling the time edits must not wrap the hours of an interval at 24.
    void anIntervalOfADayOrMoreSurvivesOK() {
        tw::WatchSettings item;
        item.timing = "inter";
        item.timeValue = 25 * 3600 + 61;
        open(item);
        QCOMPARE(time(), QStringLiteral("25:01:01"));
        QVERIFY(pressOK());
        QCOMPARE(stored(), QStringLiteral("daily inter 0 90061"));
        QVERIFY(m_boxes.texts.isEmpty());
    }

    void weekdaysAreStoredAsBits() {
        open(tw::WatchSettings{});
        choose("scheduleBox", 1);
        for (const char* day : {"wednesdayBox", "mondayBox", "fridayBox"})
            QTest::mouseClick(find<QCheckBox>(day), Qt::LeftButton);
        QVERIFY(pressOK());
        QCOMPARE(stored(), QStringLiteral("weekly open 34 0"));
    }

    // A once date is stored as its local midnight (Tokyo is nine hours off UTC) and shown
    // back; the two-digit year reaches past 2037, and a day the month lacks is refused.
    void aOnceDateIsItsLocalMidnight() {
        open(tw::WatchSettings{});
        choose("scheduleBox", 3);
        type("yearEdit", "25");
        type("monthEdit", "3");
        type("dayEdit", "3");
        QVERIFY(pressOK());
        QCOMPARE(stored(), QStringLiteral("once open %1 0").arg(localTime(2025, 3, 3)));
        QCOMPARE(m_stored.dateValue % 86400, std::time_t{15 * 3600});
        open(m_stored);
        QCOMPARE(date(), QStringLiteral("25/03/03"));

        QDate shown;
        QTimer::singleShot(0, [&] {
            QWidget* dialog = QApplication::activeModalWidget();
            auto* calendar = dialog->findChild<QCalendarWidget*>();
            shown = calendar->selectedDate();
            calendar->setSelectedDate(QDate(2060, 2, 29));
            QTest::mouseClick(dialog->findChild<QDialogButtonBox*>()->buttons().at(0),
                              Qt::LeftButton);
        });
        QTest::mouseClick(find<QPushButton>("calendarButton"), Qt::LeftButton);
        QCOMPARE(shown, QDate(2025, 3, 3));
        QCOMPARE(date(), QStringLiteral("60/02/29"));
        type("dayEdit", "30");
        QVERIFY(!pressOK());
        type("monthEdit", "13");
        QVERIFY(!pressOK());
        QCOMPARE(m_boxes.texts,
                 (QStringList{QStringLiteral("2060年2月30日という日はありません。"),
                              QStringLiteral("「月」には1から12までの数を入れてください。")}));
        type("monthEdit", "2");
        type("dayEdit", "29");
        QVERIFY(pressOK());
        QCOMPARE(stored(), QStringLiteral("once open %1 0").arg(localTime(2060, 2, 29)));
        open(m_stored);
        QCOMPARE(date(), QStringLiteral("60/02/29"));

        // A date the two-digit year cannot show is not moved into this century: today stands.
        m_stored.dateValue = localTime(1999, 12, 31);
        open(m_stored);
        QCOMPARE(date(), QStringLiteral("25/03/05"));
    }

    void aOnceDateRefusesAnInterval() {
        open(tw::WatchSettings{});
        choose("scheduleBox", 3);
        choose("timingBox", 1);
        QCOMPARE(m_boxes.texts,
                 QStringList{QStringLiteral("絶対日付を選んでいるときは間隔は選べません")});
        QCOMPARE(find<QComboBox>("timingBox")->currentIndex(), 0);
        QVERIFY(!find("hoursEdit")->isEnabled());

        // The other way round is not refused.
        open(tw::WatchSettings{});
        choose("timingBox", 1);
        type("minutesEdit", "5");
        choose("scheduleBox", 3);
        QVERIFY(pressOK());
        QCOMPARE(stored().section(u' ', 0, 1), QStringLiteral("once inter"));
        QCOMPARE(m_stored.timeValue, 300);
    }
};

QTEST_MAIN(CTimingPageTest)
#include "CTimingPage_test.moc"
