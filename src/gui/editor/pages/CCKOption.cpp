#include "editor/pages/CCKOption.h"

#include "editor/pages/ReadOnlyFields.h"
#include "records/WatchSettings.h"

namespace tw::gui {

CCKOption::CCKOption(QWidget* parent) : SheetPage(tr("チェックオプション"), parent) {}

void CCKOption::showItem() {
    const WatchSettings& watched = item();
    showReadOnlyFields(this, {
                                 {tr("キーワード"), shownText(watched.anchorKeyword)},
                                 {tr("出現回数"), QString::number(watched.anchorOccurrence)},
                                 {tr("オフセット"), QString::number(watched.areaOffset)},
                                 {tr("サイズ"), QString::number(watched.areaSize)},
                                 {tr("日本語コード"), QString::number(watched.japaneseCode)},
                             });
}

bool CCKOption::onOK() {
    setConfirmed();
    return true;
}

} // namespace tw::gui
