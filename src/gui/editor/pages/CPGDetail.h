#pragma once

#include "editor/sheet/SheetPage.h"

namespace tw::gui {

/// "フォーム送信データ" (not yet editable).
class CPGDetail : public SheetPage {
    Q_OBJECT
public:
    explicit CPGDetail(QWidget* parent = nullptr);
    bool onOK() override;

protected:
    void showItem() override;
};

} // namespace tw::gui
