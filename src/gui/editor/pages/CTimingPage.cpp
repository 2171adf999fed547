#include "editor/pages/CTimingPage.h"

#include "editor/pages/ReadOnlyFields.h"
#include "records/WatchSettings.h"
#include "watch/ScheduleText.h"

namespace tw::gui {

CTimingPage::CTimingPage(QWidget* parent) : SheetPage(tr("更新タイミング"), parent) {}

void CTimingPage::showItem() {
    const WatchSettings& watched = item();
    showReadOnlyFields(this, {
                                 {tr("スケジュール"), shownText(describeSchedule(watched))},
                                 {QStringLiteral("Chec"), shownText(watched.schedule)},
                                 {QStringLiteral("Timi"), shownText(watched.timing)},
                                 {QStringLiteral("Date"), QString::number(watched.dateValue)},
                                 {QStringLiteral("Time"), QString::number(watched.timeValue)},
                             });
}

bool CTimingPage::onOK() {
    setConfirmed();
    return true;
}

} // namespace tw::gui
