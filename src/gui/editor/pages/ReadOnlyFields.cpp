#include "editor/pages/ReadOnlyFields.h"

#include <QFormLayout>
#include <QLabel>
#include <QLayoutItem>
#include <QLineEdit>
#include <QWidget>

namespace tw::gui {

void showReadOnlyFields(QWidget* page, const std::vector<std::pair<QString, QString>>& fields) {
    auto* layout = qobject_cast<QFormLayout*>(page->layout());
    if (!layout) {
        layout = new QFormLayout(page);
    }
    while (layout->rowCount() > 0) {
        layout->removeRow(0);
    }
    for (const auto& [label, value] : fields) {
        auto* edit = new QLineEdit(value, page);
        edit->setReadOnly(true);
        layout->addRow(label, edit);
    }
}

} // namespace tw::gui
