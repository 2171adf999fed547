#pragma once

#include "editor/sheet/SheetPage.h"

namespace tw::gui {

/// "接続" (not yet editable).
class CConPage : public SheetPage {
    Q_OBJECT
public:
    explicit CConPage(QWidget* parent = nullptr);
    bool onOK() override;

protected:
    void showItem() override;
};

} // namespace tw::gui
