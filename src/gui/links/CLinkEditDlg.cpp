#include "gui/links/CLinkEditDlg.h"

#include "core/util/Cp932.h"
#include "gui/common/GuiPrompter.h"
#include "gui/common/QtText.h"
#include "ui_CLinkEditDlg.h"

#include <QPushButton>

namespace tw::gui {

CLinkEditDlg::CLinkEditDlg(const Texts& texts, QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::CLinkEditDlg>()), m_texts(texts) {
    m_ui->setupUi(this);
    m_ui->buttons->button(QDialogButtonBox::Cancel)->setText(tr("ｷｬﾝｾﾙ"));
    m_ui->fileEdit->setText(fromCp932(texts[FileName]));
    m_ui->nameEdit->setText(fromCp932(texts[LinkName]));
    m_ui->urlEdit->setText(fromCp932(texts[Address]));
}

CLinkEditDlg::~CLinkEditDlg() = default;

void CLinkEditDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    setMinimumWidth(width());
}

void CLinkEditDlg::accept() {
    const std::pair<QLineEdit*, QLabel*> fields[FieldCount] = {
        {m_ui->fileEdit, m_ui->fileLabel},
        {m_ui->nameEdit, m_ui->nameLabel},
        {m_ui->urlEdit, m_ui->urlLabel},
    };
    Texts taken;
    for (int field = 0; field < FieldCount; ++field) {
        char32_t refused = 0;
        std::optional<std::string> cp932 =
            toCp932Exact(fields[field].first->text().toStdString(), &refused);
        if (!cp932) {
            // Titled as the link update dialog's own messages are.
            GuiPrompter::tell(this,
                              tr("「%1」の文字「%2」(U+%3) "
                                 "は保存できません。\n別の文字に置き換えてください。")
                                  .arg(fields[field].second->text(), QString::fromUcs4(&refused, 1),
                                       QString::number(static_cast<uint>(refused), 16)
                                           .toUpper()
                                           .rightJustified(4, QLatin1Char('0'))),
                              Prompter::Icon::Warning,
                              parentWidget() ? parentWidget()->windowTitle() : QString());
            fields[field].first->setFocus(Qt::OtherFocusReason);
            return;
        }
        taken[field] = std::move(*cp932);
    }
    m_texts = std::move(taken);
    QDialog::accept();
}

} // namespace tw::gui
