#include "gui/editor/sheet/SheetPage.h"

#include "core/util/Cp932.h"
#include "gui/common/QtText.h"
#include "gui/editor/sheet/CDefineSheet.h"

namespace tw::gui {

SheetPage::SheetPage(const QString& caption, QWidget* parent)
    : QWidget(parent), m_caption(caption) {}

void SheetPage::loadItem(CDefineSheet* sheet, WatchSettings* item) {
    m_sheet = sheet;
    m_item = item;
    m_activations = 0;
}

void SheetPage::onSetActive() {
    if (m_activations == 0) {
        showItem();
    }
    ++m_activations;
}

void SheetPage::setConfirmed() {
    m_sheet->setConfirmed();
}

std::optional<std::string> SheetPage::recordText(const QString& text, const QString& fieldName,
                                                 QWidget* control) {
    char32_t refused = 0;
    std::optional<std::string> cp932 = toCp932Exact(text.toStdString(), &refused);
    if (!cp932) {
        const QString character = QString::fromUcs4(&refused, 1);
        refuseField(
            tr("「%1」の文字「%2」(U+%3) は保存できません。\n別の文字に置き換えてください。")
                .arg(fieldName, character,
                     QString::number(static_cast<uint>(refused), 16)
                         .toUpper()
                         .rightJustified(4, QLatin1Char('0'))),
            control);
    }
    return cp932;
}

QString SheetPage::shownText(const std::string& cp932) {
    return fromCp932(cp932);
}

void SheetPage::refuseField(const QString& message, QWidget* control) {
    m_sheet->bringBack(this);
    m_sheet->tell(message);
    if (control) {
        control->setFocus(Qt::OtherFocusReason);
    }
}

} // namespace tw::gui
