#include "gui/editor/pages/CPagePage.h"

#include "core/records/WatchSettings.h"
#include "core/util/FieldRules.h"
#include "gui/editor/pages/PageText.h"
#include "gui/editor/sheet/CDefineSheet.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tw::gui {

namespace {

QLineEdit* lineEdit(const char* name, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    return edit;
}

QPushButton* button(const QString& text, const char* name, QWidget* parent) {
    auto* pushButton = new QPushButton(text, parent);
    pushButton->setObjectName(QString::fromLatin1(name));
    return pushButton;
}

} // namespace

CPagePage::CPagePage(QWidget* parent) : SheetPage(tr("ページデータ"), parent) {
    m_name.label = tr("名前");
    m_url.label = tr("ＵＲＬ");
    m_referer.label = tr("リンク元ＵＲＬ");
    m_user.label = tr("ユーザー名");
    m_password.label = tr("パスワード");

    // Created in the order of the layout, which is the tab order.
    auto* grid = new QGridLayout;
    auto addLabel = [&](Field& field, int row) {
        auto* label = new QLabel(field.label, this);
        label->setBuddy(field.edit);
        grid->addWidget(label, row, 0);
    };

    m_name.edit = lineEdit("nameEdit", this);
    addLabel(m_name, 0);
    grid->addWidget(m_name.edit, 0, 1);
    grid->addWidget(new QLabel(tr("（オプション）"), this), 0, 2);

    m_url.edit = lineEdit("urlEdit", this);
    addLabel(m_url, 1);
    grid->addWidget(m_url.edit, 1, 1);
    QPushButton* urlCheck = button(tr("チェック"), "urlCheckButton", this);
    grid->addWidget(urlCheck, 1, 2);

    auto* rule = new QFrame(this);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);
    grid->addWidget(rule, 2, 0, 1, 3);

    QPushButton* clear = button(tr("クリア"), "clearButton", this);
    m_referer.edit = lineEdit("refererEdit", this);
    addLabel(m_referer, 3);
    auto* refererRow = new QHBoxLayout;
    refererRow->addWidget(clear);
    refererRow->addWidget(m_referer.edit, 1);
    grid->addLayout(refererRow, 3, 1);
    QPushButton* refererCheck = button(tr("チェック"), "refererCheckButton", this);
    grid->addWidget(refererCheck, 3, 2);

    m_user.edit = lineEdit("userEdit", this);
    addLabel(m_user, 4);
    grid->addWidget(m_user.edit, 4, 1);

    m_password.edit = lineEdit("passwordEdit", this);
    m_password.edit->setEchoMode(QLineEdit::Password);
    addLabel(m_password, 5);
    grid->addWidget(m_password.edit, 5, 1);

    grid->setColumnStretch(1, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addStretch(1);

    connect(urlCheck, &QPushButton::clicked, this, &CPagePage::checkUrl);
    connect(clear, &QPushButton::clicked, m_referer.edit, &QLineEdit::clear);
    connect(refererCheck, &QPushButton::clicked, this, &CPagePage::checkReferer);
}

void CPagePage::loadItem(CDefineSheet* sheet, WatchSettings* item) {
    SheetPage::loadItem(sheet, item);
    auto take = [](Field& field, const std::string& stored) {
        field.stored = stored;
        field.text = shownText(stored);
    };
    take(m_name, item->name);
    take(m_url, item->targetUrl);
    take(m_referer, item->referer);
    take(m_user, item->userName);
    take(m_password, item->password);
}

void CPagePage::showItem() {
    for (Field* field : {&m_name, &m_url, &m_referer, &m_user, &m_password}) {
        field->edit->setText(field->text);
    }
}

std::optional<std::string> CPagePage::recordField(const Field& field) {
    if (shownUnchanged(field.text, field.stored)) {
        return field.stored;
    }
    return recordText(field.text, field.label, field.edit);
}

bool CPagePage::onKillActive() {
    const Field typed{m_url.edit->text(), m_url.stored, m_url.edit, m_url.label};
    const std::optional<std::string> url = recordField(typed);
    if (!url) {
        return false;
    }
    item().targetUrl = *url;
    for (Field* field : {&m_name, &m_url, &m_referer, &m_user, &m_password}) {
        field->text = field->edit->text();
    }
    return true;
}

bool CPagePage::onOK() {
    const std::optional<std::string> referer = recordField(m_referer);
    if (!referer) {
        return false;
    }
    if (breaksHeaderLine(*referer)) {
        refuseField(headerLineRefusal(m_referer.label), m_referer.edit);
        return false;
    }
    const std::optional<std::string> url = recordField(m_url);
    const std::optional<std::string> name = url ? recordField(m_name) : std::nullopt;
    const std::optional<std::string> user = name ? recordField(m_user) : std::nullopt;
    const std::optional<std::string> password = user ? recordField(m_password) : std::nullopt;
    if (!password) {
        return false;
    }
    item().referer = *referer;
    item().targetUrl = *url;
    item().name = *name;
    item().userName = *user;
    item().password = *password;
    setConfirmed();
    return true;
}

void CPagePage::checkUrl() {
    const QString text = m_url.edit->text();
    if (text.isEmpty()) {
        return;
    }
    const std::optional<std::string> url =
        recordField(Field{text, m_url.stored, m_url.edit, m_url.label});
    if (!url) {
        return;
    }
    item().targetUrl = *url;
    emit sheet().displayRecordRequested(item());
}

void CPagePage::checkReferer() {
    emit sheet().displayAddressRequested(m_referer.edit->text());
}

} // namespace tw::gui
