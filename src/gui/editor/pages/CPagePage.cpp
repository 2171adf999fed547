#include "editor/pages/CPagePage.h"

namespace tw::gui {

CPagePage::CPagePage(QWidget* parent) : SheetPage(tr("ページデータ"), parent) {}

void CPagePage::showItem() {}

bool CPagePage::onOK() {
    setConfirmed();
    return true;
}

} // namespace tw::gui
