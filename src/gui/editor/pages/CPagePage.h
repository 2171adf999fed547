#pragma once

#include "editor/sheet/SheetPage.h"

namespace tw::gui {

/// "ページデータ" (not yet editable).
class CPagePage : public SheetPage {
    Q_OBJECT
public:
    explicit CPagePage(QWidget* parent = nullptr);
    bool onOK() override;

protected:
    void showItem() override;
};

} // namespace tw::gui
