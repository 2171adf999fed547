#include "gui/editor/pages/CTimingPage.h"

#include "core/platform/Clock.h"
#include "core/records/WatchSettings.h"
#include "core/watch/Schedule.h"
#include "gui/editor/CNumEdit.h"
#include "gui/editor/CNumSpin.h"
#include "gui/editor/sheet/CDefineSheet.h"

#include "ui_CTimingPage.h"

#include <QCalendarWidget>
#include <QCheckBox>
#include <QDate>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>

namespace tw::gui {

namespace {

constexpr const char* kScheduleWords[] = {"daily", "weekly", "monthly", "once"};
constexpr const char* kTimingWords[] = {"open", "inter", "define"};
// The most whole hours an interval can hold: the record keeps it as a 32-bit count of seconds.
constexpr long long kMaxIntervalHours = INT_MAX / 3600;
// The year edit holds two digits; times are 64-bit, so the whole century is open.
constexpr int kCentury = 2000;

std::optional<std::tm> localDate(std::time_t moment) {
    std::tm date{};
    if (!localtime_r(&moment, &date)) {
        return std::nullopt;
    }
    return date;
}

QString twoDigits(long long value) {
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

// The edit's number when it holds one within [low, high], without telling anyone.
std::optional<int> quietNumber(const CNumEdit* edit, int low, int high) {
    bool ok = false;
    const int value = edit->text().toInt(&ok);
    if (!ok || !CNumEdit::isDigits(edit->text()) || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

} // namespace

CTimingPage::CTimingPage(QWidget* parent)
    : SheetPage(tr("更新タイミング"), parent), m_ui(std::make_unique<Ui::CTimingPage>()),
      m_clock(&SystemClock::instance()) {
    m_ui->setupUi(this);
    auto field = [this](CNumEdit* edit, QHBoxLayout* layout, QLabel* label, const QString& name,
                        const char* upper) {
        auto* spin = new CNumSpin(edit, this);
        layout->insertWidget(layout->indexOf(edit) + 1, spin);
        // The arrows stand beside the edit, no taller than it.
        spin->setFixedHeight(edit->sizeHint().height());
        layout->addStretch(1);
        edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(QStringLiteral("00000")));
        edit->setAlignment(Qt::AlignRight);
        edit->setUpper(QString::fromLatin1(upper));
        return NumberField{edit, spin, label, name};
    };
    m_year = field(m_ui->yearEdit, m_ui->yearLayout, m_ui->yearLabel, tr("年"), "99");
    m_month = field(m_ui->monthEdit, m_ui->monthLayout, m_ui->monthLabel, tr("月"), "12");
    m_day = field(m_ui->dayEdit, m_ui->dayLayout, m_ui->dayLabel, tr("日"), "31");
    m_hours = field(m_ui->hoursEdit, m_ui->hoursLayout, m_ui->hoursLabel, tr("時（間）"), "23");
    m_minutes = field(m_ui->minutesEdit, m_ui->minutesLayout, m_ui->minutesLabel, tr("分"), "59");
    m_seconds = field(m_ui->secondsEdit, m_ui->secondsLayout, m_ui->secondsLabel, tr("秒"), "59");
    m_month.edit->setLower(QStringLiteral("1"));
    m_day.edit->setLower(QStringLiteral("1"));
    m_weekdays = {m_ui->sundayBox,   m_ui->mondayBox, m_ui->tuesdayBox, m_ui->wednesdayBox,
                  m_ui->thursdayBox, m_ui->fridayBox, m_ui->saturdayBox};

    // Only the user's choices count as changes; the page's own filling does not.
    connect(m_ui->scheduleBox, &QComboBox::activated, this, &CTimingPage::scheduleChosen);
    connect(m_ui->timingBox, &QComboBox::activated, this, &CTimingPage::timingChosen);
    connect(m_ui->calendarButton, &QPushButton::clicked, this, &CTimingPage::pickDate);
}

CTimingPage::~CTimingPage() = default;

void CTimingPage::showItem() {
    const WatchSettings& watched = item();
    const std::tm now = localDate(m_clock->now()).value_or(std::tm{});

    // A word found in the middle of a column still selects that column; one not found (-1)
    // selects the first.
    m_scheduleIndex = std::clamp(watched.schedulePosition() / 8, 0, 3);
    m_timingIndex = std::clamp(watched.timingPosition() / 8, 0, 2);
    m_ui->scheduleBox->setCurrentIndex(m_scheduleIndex);
    m_ui->timingBox->setCurrentIndex(m_timingIndex);
    for (int day = 0; day < 7; ++day) {
        m_weekdays[day]->setChecked(
            m_scheduleIndex == Weekly ? ((watched.dateValue >> day) & 1) != 0 : day == now.tm_wday);
    }

    showDate(now);
    showSpan(now.tm_hour * 3600LL + now.tm_min * 60LL + now.tm_sec, false);
    if (m_scheduleIndex == Monthly) {
        m_day.edit->setText(twoDigits(watched.dateValue));
    } else if (m_scheduleIndex == Once) {
        // A date the two-digit year cannot show would be stored in another century: today's
        // date stands there instead, so what OK stores is what the page shows.
        if (const auto date = localDate(watched.dateValue);
            date && date->tm_year + 1900 >= kCentury && date->tm_year + 1900 < kCentury + 100) {
            showDate(*date);
        }
    }
    if (m_timingIndex != AtStart) {
        // An interval keeps its whole hours: one of a day or more must survive OK unchanged.
        showSpan(std::max(watched.timeValue, 0), m_timingIndex == Interval);
    }
    enableForSchedule(m_scheduleIndex);
    enableForTiming(m_timingIndex, true);
}

void CTimingPage::showDate(const std::tm& date) {
    m_year.edit->setText(twoDigits((date.tm_year + 1900) % 100));
    m_month.edit->setText(twoDigits(date.tm_mon + 1));
    m_day.edit->setText(twoDigits(date.tm_mday));
}

void CTimingPage::showSpan(long long seconds, bool wholeHours) {
    const long long hours = seconds / 3600;
    m_hours.edit->setText(twoDigits(wholeHours ? hours : hours % 24));
    m_minutes.edit->setText(twoDigits(seconds / 60 % 60));
    m_seconds.edit->setText(twoDigits(seconds % 60));
}

void CTimingPage::scheduleChosen(int index) {
    if (index == m_scheduleIndex) {
        return;
    }
    m_scheduleIndex = index;
    enableForSchedule(index);
}

void CTimingPage::timingChosen(int index) {
    if (index == m_timingIndex) {
        return;
    }
    if (m_scheduleIndex == Once && index == Interval) {
        sheet().tell(tr("絶対日付を選んでいるときは間隔は選べません"));
        index = AtStart;
        m_ui->timingBox->setCurrentIndex(index);
    }
    m_timingIndex = index;
    enableForTiming(index, false);
}

void CTimingPage::enableForSchedule(int index) {
    auto enable = [](const NumberField& field, bool on) {
        field.edit->setEnabled(on);
        field.spin->setEnabled(on);
        field.label->setEnabled(on);
    };
    enable(m_year, index == Once);
    enable(m_month, index == Once);
    enable(m_day, index == Monthly || index == Once);
    m_ui->calendarButton->setEnabled(index == Once);
    for (QCheckBox* box : m_weekdays) {
        box->setEnabled(index == Weekly);
    }
}

void CTimingPage::enableForTiming(int index, bool initialising) {
    const bool on = index != AtStart;
    for (const NumberField* field : {&m_hours, &m_minutes, &m_seconds}) {
        field->edit->setEnabled(on);
        field->spin->setEnabled(on);
        field->label->setEnabled(on);
    }
    m_hours.edit->setUpper(index == Interval ? QString::number(kMaxIntervalHours)
                                             : QStringLiteral("23"));
    if (index == Interval && !initialising) {
        for (const NumberField* field : {&m_hours, &m_minutes, &m_seconds}) {
            field->edit->setText(QStringLiteral("00"));
        }
    }
}

void CTimingPage::pickDate() {
    QDate selected;
    const auto year = quietNumber(m_year.edit, 0, 99);
    const auto month = quietNumber(m_month.edit, 1, 12);
    const auto day = quietNumber(m_day.edit, 1, 31);
    // Through the local midnight, as the date is stored: a day past the month's end carries.
    const auto date = year && month && day
                          ? localDate(localMidnight(kCentury + *year, *month, *day))
                          : localDate(m_clock->now());
    if (date) {
        selected = QDate(date->tm_year + 1900, date->tm_mon + 1, date->tm_mday);
    }

    QDialog dialog(this);
    dialog.setObjectName(QStringLiteral("calendarDialog"));
    dialog.setWindowTitle(tr("カレンダー"));
    auto* calendar = new QCalendarWidget(&dialog);
    calendar->setLocale(QLocale(QLocale::Japanese, QLocale::Japan));
    calendar->setFirstDayOfWeek(Qt::Sunday);
    calendar->setSelectionMode(QCalendarWidget::SingleSelection);
    calendar->setVerticalHeaderFormat(QCalendarWidget::NoVerticalHeader);
    calendar->setDateRange(QDate(kCentury, 1, 1), QDate(kCentury + 99, 12, 31));
    if (selected.isValid()) {
        calendar->setSelectedDate(
            std::clamp(selected, calendar->minimumDate(), calendar->maximumDate()));
    }
    auto* buttons = new QDialogButtonBox(&dialog);
    buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    buttons->addButton(tr("ｷｬﾝｾﾙ"), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    connect(calendar, &QCalendarWidget::activated, &dialog, &QDialog::accept);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(calendar);
    layout->addWidget(buttons);

    if (dialog.exec() != QDialog::Accepted || !calendar->selectedDate().isValid()) {
        return;
    }
    const QDate picked = calendar->selectedDate();
    m_year.edit->setText(twoDigits(picked.year() % 100));
    m_month.edit->setText(twoDigits(picked.month()));
    m_day.edit->setText(twoDigits(picked.day()));
}

std::optional<long long> CTimingPage::number(const NumberField& field) {
    const QString text = field.edit->text();
    const QString& lower = field.edit->lower();
    const QString& upper = field.edit->upper();
    if (text.isEmpty() || !CNumEdit::isDigits(text) || CNumEdit::compare(text, lower) < 0 ||
        (!upper.isEmpty() && CNumEdit::compare(text, upper) > 0)) {
        refuseField(tr("「%1」には%2から%3までの数を入れてください。")
                        .arg(field.name, QString::number(lower.toLongLong()),
                             QString::number(upper.toLongLong())),
                    field.edit);
        return std::nullopt;
    }
    return field.edit->text().toLongLong();
}

std::optional<long long> CTimingPage::span() {
    const auto hours = number(m_hours);
    const auto minutes = hours ? number(m_minutes) : std::nullopt;
    const auto seconds = minutes ? number(m_seconds) : std::nullopt;
    if (!seconds) {
        return std::nullopt;
    }
    const long long total = *hours * 3600 + *minutes * 60 + *seconds;
    if (total > INT_MAX) {
        refuseField(tr("間隔が長すぎます（%1秒まで）。").arg(INT_MAX), m_hours.edit);
        return std::nullopt;
    }
    return total;
}

bool CTimingPage::validate() {
    if (m_scheduleIndex == Monthly && !number(m_day)) {
        return false;
    }
    if (m_scheduleIndex == Once) {
        const auto year = number(m_year);
        const auto month = year ? number(m_month) : std::nullopt;
        const auto day = month ? number(m_day) : std::nullopt;
        if (!day) {
            return false;
        }
        if (!QDate(kCentury + static_cast<int>(*year), static_cast<int>(*month),
                   static_cast<int>(*day))
                 .isValid()) {
            refuseField(tr("%1年%2月%3日という日はありません。")
                            .arg(kCentury + *year)
                            .arg(*month)
                            .arg(*day),
                        m_day.edit);
            return false;
        }
    }
    if (m_timingIndex != AtStart) {
        const auto total = span();
        if (!total) {
            return false;
        }
        if (m_timingIndex == Interval && *total < 10) {
            refuseField(tr("10秒以下の間隔は受け付けられません"), m_hours.edit);
            return false;
        }
    }
    return true;
}

bool CTimingPage::onKillActive() {
    if (!validate()) {
        return false;
    }
    // The working item holds what the page shows from now on, whichever page OK is pressed on.
    store();
    return true;
}

int CTimingPage::weekdayBits() const {
    int bits = 0;
    for (int day = 0; day < 7; ++day) {
        if (m_weekdays[day]->isChecked()) {
            bits |= 1 << day;
        }
    }
    return bits;
}

std::time_t CTimingPage::onceDate() const {
    return localMidnight(kCentury + m_year.edit->text().toInt(), m_month.edit->text().toInt(),
                         m_day.edit->text().toInt());
}

bool CTimingPage::onOK() {
    if (!validate()) {
        return false;
    }
    store();
    setConfirmed();
    return true;
}

void CTimingPage::store() {
    WatchSettings& target = item();
    target.schedule = kScheduleWords[m_scheduleIndex];
    switch (m_scheduleIndex) {
    case Weekly:
        target.dateValue = weekdayBits();
        break;
    case Monthly:
        target.dateValue = m_day.edit->text().toInt();
        break;
    case Once:
        target.dateValue = onceDate();
        break;
    default:
        break; // daily does not read the date
    }
    target.timing = kTimingWords[m_timingIndex];
    if (m_timingIndex != AtStart) {
        target.timeValue = static_cast<int>(m_hours.edit->text().toLongLong() * 3600 +
                                            m_minutes.edit->text().toLongLong() * 60 +
                                            m_seconds.edit->text().toLongLong());
    }
}

} // namespace tw::gui
