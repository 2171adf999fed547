#pragma once

#include "editor/sheet/SheetPage.h"

namespace tw::gui {

/// "更新タイミング": shows the item's values; they cannot be changed here yet.
class CTimingPage : public SheetPage {
    Q_OBJECT
public:
    explicit CTimingPage(QWidget* parent = nullptr);
    bool onOK() override;

protected:
    void showItem() override;
};

} // namespace tw::gui
