#include "gui/editor/pages/CFormDataDlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tw::gui {

CFormDataDlg::CFormDataDlg(QWidget* parent)
    : QDialog(parent), m_nameEdit(new QLineEdit(this)), m_valueEdit(new QPlainTextEdit(this)) {
    setWindowTitle(tr("フォームデータ編集"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    m_nameEdit->setObjectName(QStringLiteral("nameEdit"));
    m_valueEdit->setObjectName(QStringLiteral("valueEdit"));
    m_valueEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_valueEdit->setTabChangesFocus(true);

    auto* form = new QFormLayout;
    form->addRow(tr("名前"), m_nameEdit);
    form->addRow(tr("値"), m_valueEdit);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    ok->setText(QStringLiteral("OK"));
    ok->setDefault(true);
    buttons->button(QDialogButtonBox::Cancel)->setText(tr("キャンセル"));
    connect(buttons, &QDialogButtonBox::accepted, this, &CFormDataDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CFormDataDlg::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form, 1);
    layout->addWidget(buttons);
    m_nameEdit->setFocus(Qt::OtherFocusReason);
}

void CFormDataDlg::setName(const QString& name) {
    m_nameEdit->setText(name);
}

void CFormDataDlg::setValue(const QString& value) {
    m_valueEdit->setPlainText(value);
}

QString CFormDataDlg::name() const {
    return m_nameEdit->text();
}

QString CFormDataDlg::value() const {
    return m_valueEdit->toPlainText();
}

void CFormDataDlg::accept() {
    if (m_acceptCheck && !m_acceptCheck()) {
        return;
    }
    QDialog::accept();
}

} // namespace tw::gui
