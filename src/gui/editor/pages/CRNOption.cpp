#include "editor/pages/CRNOption.h"

namespace tw::gui {

CRNOption::CRNOption(QWidget* parent) : SheetPage(tr("更新時オプション"), parent) {}

void CRNOption::showItem() {}

bool CRNOption::onOK() {
    setConfirmed();
    return true;
}

} // namespace tw::gui
