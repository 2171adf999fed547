#pragma once

#include "core/util/FormData.h"
#include "gui/editor/sheet/SheetPage.h"

#include <optional>

class QTreeWidget;
class QTreeWidgetItem;

namespace tw::gui {

/// "フォーム送信データ": the form data sent with the request, as a list of name and value
/// pairs. The rows hold the record's code page 932 bytes and show them as text; only a pair
/// the user edits is converted back. The page does not confirm the sheet by itself: the page
/// data page, always shown first, does.
class CPGDetail : public SheetPage {
    Q_OBJECT
public:
    explicit CPGDetail(QWidget* parent = nullptr);
    bool onOK() override;

protected:
    void showItem() override;

private:
    void editRow();
    void deleteRows();
    void insertRow();
    /// Runs the pair dialog, filled from `shown` when given; nothing when it is cancelled.
    std::optional<FormField> askPair(const FormField* shown);

    static FormField rowField(const QTreeWidgetItem* row);
    static void setRowField(QTreeWidgetItem* row, const FormField& field);

    QTreeWidget* m_list;
};

} // namespace tw::gui
