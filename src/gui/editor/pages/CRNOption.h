#pragma once

#include "editor/sheet/SheetPage.h"

namespace tw::gui {

/// "更新時オプション" (not yet editable).
class CRNOption : public SheetPage {
    Q_OBJECT
public:
    explicit CRNOption(QWidget* parent = nullptr);
    bool onOK() override;

protected:
    void showItem() override;
};

} // namespace tw::gui
