#include "gui/common/AuthDialog.h"

#include "core/util/Cp932.h"
#include "ui_AuthDialog.h"

#include <QFontMetrics>
#include <QLayout>

#include <algorithm>
#include <climits>

namespace tw::gui {

namespace {

QString fromRecord(const std::string& cp932) {
    return QString::fromStdString(fromCp932(cp932));
}

/// False when the text holds a character that code page 932 cannot store.
bool toRecord(const QString& text, std::string& cp932) {
    bool lossless = true;
    cp932 = toCp932(text.toStdString(), &lossless);
    return lossless;
}

} // namespace

AuthDialog::AuthDialog(QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::AuthDialog>()) {
    m_ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    m_autoClose.setSingleShot(true);
    // Behaves exactly like the user pressing Cancel.
    connect(&m_autoClose, &QTimer::timeout, this, &QDialog::reject);
    connect(this, &QDialog::finished, &m_autoClose, &QTimer::stop);
}

AuthDialog::~AuthDialog() = default;

bool AuthDialog::run(std::string& user, std::string& password,
                     const Prompter::AuthChallenge& challenge, int autoCloseSeconds) {
    showAddress(fromRecord(challenge.origin));
    m_ui->realmLabel->setText(tr("認証の領域: %1").arg(fromRecord(challenge.realm)));
    m_ui->realmLabel->setVisible(!challenge.realm.empty());
    m_ui->otherServerLabel->setVisible(!challenge.itemOrigin);
    m_ui->userEdit->setText(fromRecord(user));
    m_ui->passwordEdit->setText(fromRecord(password));
    m_ui->errorLabel->hide();
    m_ui->userEdit->selectAll();
    m_ui->userEdit->setFocus();
    if (autoCloseSeconds > 0) {
        m_autoClose.start(std::min(autoCloseSeconds, INT_MAX / 1000) * 1000);
    }
    if (exec() != QDialog::Accepted) {
        return false;
    }
    user = m_user;
    password = m_password;
    return true;
}

void AuthDialog::accept() {
    // A typed character that the record cannot hold would silently turn into "?" and the login
    // would fail for no visible reason: say so and let the user correct it.
    QLineEdit* refused = nullptr;
    if (!toRecord(m_ui->userEdit->text(), m_user)) {
        refused = m_ui->userEdit;
    } else if (!toRecord(m_ui->passwordEdit->text(), m_password)) {
        refused = m_ui->passwordEdit;
    }
    if (refused) {
        m_ui->errorLabel->setText(refused == m_ui->userEdit
                                      ? tr("ユーザーＩＤに使用できない文字が含まれています。")
                                      : tr("パスワードに使用できない文字が含まれています。"));
        m_ui->errorLabel->show();
        refused->setFocus();
        return;
    }
    QDialog::accept();
}

void AuthDialog::showAddress(const QString& address) {
    // Long addresses are shortened in the middle so that the dialog keeps its width.
    const QFontMetrics metrics(m_ui->addressLabel->font());
    const int width = metrics.averageCharWidth() * 56;
    m_ui->addressLabel->setText(metrics.elidedText(address, Qt::ElideMiddle, width));
    m_ui->addressLabel->setToolTip(address);
}

} // namespace tw::gui
