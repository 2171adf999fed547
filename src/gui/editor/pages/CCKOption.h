#pragma once

#include "editor/sheet/SheetPage.h"

namespace tw::gui {

/// "チェックオプション": shows the item's values; they cannot be changed here yet.
class CCKOption : public SheetPage {
    Q_OBJECT
public:
    explicit CCKOption(QWidget* parent = nullptr);
    bool onOK() override;

protected:
    void showItem() override;
};

} // namespace tw::gui
