#include "editor/pages/CConPage.h"

namespace tw::gui {

CConPage::CConPage(QWidget* parent) : SheetPage(tr("接続"), parent) {}

void CConPage::showItem() {}

bool CConPage::onOK() {
    setConfirmed();
    return true;
}

} // namespace tw::gui
