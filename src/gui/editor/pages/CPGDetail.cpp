#include "editor/pages/CPGDetail.h"

namespace tw::gui {

CPGDetail::CPGDetail(QWidget* parent) : SheetPage(tr("フォーム送信データ"), parent) {}

void CPGDetail::showItem() {}

bool CPGDetail::onOK() {
    return true;
}

} // namespace tw::gui
