#include "gui/editor/pages/PageText.h"

#include "gui/common/QtText.h"

#include <QCoreApplication>

namespace tw::gui {

bool shownUnchanged(const QString& text, const std::string& stored) {
    return text == fromCp932(stored);
}

QString headerLineRefusal(const QString& fieldName) {
    return QCoreApplication::translate(
               "SheetPage", "「%1」に改行や NUL 文字は使えません。\n取り除いてください。")
        .arg(fieldName);
}

} // namespace tw::gui
