#pragma once

#include "gui/editor/sheet/SheetPage.h"

#include <array>
#include <ctime>
#include <memory>
#include <optional>

class QCheckBox;
class QLabel;

namespace Ui {
class CTimingPage;
}

namespace tw {
class Clock;
}

namespace tw::gui {

class CNumEdit;
class CNumSpin;

/// "更新タイミング": on which days an item is checked (its schedule) and when on such a day
/// (its timing). Like the other pages it fills its controls from the working item only on its
/// first activation of an opening; leaving it stores what it shows into the working item, so
/// that walking the tabs and OK on any of them keep what the user set.
class CTimingPage : public SheetPage {
    Q_OBJECT
public:
    enum ScheduleIndex { Daily, Weekly, Monthly, Once };
    enum TimingIndex { AtStart, Interval, TimeOfDay };

    explicit CTimingPage(QWidget* parent = nullptr);
    ~CTimingPage() override;

    bool onKillActive() override;
    bool onOK() override;

    /// The clock that gives today's date and the current time the edits start from.
    void setClock(const Clock& clock) { m_clock = &clock; }

protected:
    void showItem() override;

private:
    /// A number edit with its arrows and its label, which are enabled together.
    struct NumberField {
        CNumEdit* edit;
        CNumSpin* spin;
        QLabel* label;
        QString name;
    };

    void scheduleChosen(int index);
    void timingChosen(int index);
    void enableForSchedule(int index);
    void enableForTiming(int index, bool initialising);
    void pickDate();
    void showDate(const std::tm& date);
    void showSpan(long long seconds, bool wholeHours);

    /// The field's number when it is digits within the edit's bounds; otherwise the user is
    /// told and nothing is returned.
    std::optional<long long> number(const NumberField& field);
    /// Every field OK would store is a number in its range, the once date exists and an
    /// interval is longer than ten seconds; else the user is told why.
    bool validate();
    std::optional<long long> span();
    /// Copies the controls into the working item; validate() has accepted them.
    void store();
    std::time_t onceDate() const;
    int weekdayBits() const;

    std::unique_ptr<Ui::CTimingPage> m_ui;
    const Clock* m_clock;
    NumberField m_year;
    NumberField m_month;
    NumberField m_day;
    NumberField m_hours;
    NumberField m_minutes;
    NumberField m_seconds;
    std::array<QCheckBox*, 7> m_weekdays{}; // Sunday first, as the weekday bits
    int m_scheduleIndex = Daily;
    int m_timingIndex = AtStart;
};

} // namespace tw::gui
