#include "gui/dialogs/CMailServerDlg.h"

#include "core/util/Cp932.h"
#include "core/util/FieldRules.h"
#include "gui/common/GuiPrompter.h"
#include "gui/dialogs/TestMail.h"
#include "ui_CMailServerDlg.h"

#include <QComboBox>
#include <QLayout>
#include <QPointer>

namespace tw::gui {

CMailServerDlg::CMailServerDlg(const MailServerSettings& settings, QWidget* parent,
                               CodeConverter* converter)
    : QDialog(parent), m_ui(std::make_unique<Ui::CMailServerDlg>()), m_values(settings),
      m_converter(converter), m_shownSecurity(settings.security) {
    m_ui->setupUi(this);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    m_ui->hostEdit->setText(QString::fromStdString(fromCp932(settings.server)));
    m_ui->portEdit->setText(QString::number(settings.port));
    m_ui->accountEdit->setText(QString::fromStdString(fromCp932(settings.account)));
    m_ui->includeChangesBox->setChecked(settings.includeChanges);
    m_ui->securityBox->setCurrentIndex(static_cast<int>(settings.security));
    m_ui->userEdit->setText(QString::fromStdString(fromCp932(settings.user)));
    m_ui->passwordEdit->setText(QString::fromStdString(fromCp932(settings.password)));
    setPasswordPlace(false);
    connect(m_ui->portEdit, &QLineEdit::textEdited, this, [this] { m_portTyped = true; });
    connect(m_ui->securityBox, &QComboBox::currentIndexChanged, this,
            &CMailServerDlg::securityChosen);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CMailServerDlg::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CMailServerDlg::reject);
    connect(m_ui->testButton, &QPushButton::clicked, this, &CMailServerDlg::sendTest);
}

CMailServerDlg::~CMailServerDlg() = default;

int CMailServerDlg::defaultPort(MailServerSettings::Security security) {
    switch (security) {
    case MailServerSettings::Security::StartTls:
        return 587;
    case MailServerSettings::Security::Tls:
        return 465;
    case MailServerSettings::Security::None:
        break;
    }
    return 25;
}

void CMailServerDlg::setPasswordPlace(bool secretStore) {
    m_ui->passwordPlaceLabel->setText(
        secretStore ? tr("パスワードの保管先：デスクトップのキーリング")
                    : tr("パスワードの保管先：tarnwick.conf（本人だけが読めるファイル）"));
}

MailServerSettings::Security CMailServerDlg::typedSecurity() const {
    return static_cast<MailServerSettings::Security>(m_ui->securityBox->currentIndex());
}

void CMailServerDlg::securityChosen(int) {
    const MailServerSettings::Security security = typedSecurity();
    // A port the user typed stays; one that only followed the mode, or none, follows it on.
    const QString port = m_ui->portEdit->text().trimmed();
    if (!m_portTyped && (port.isEmpty() || port == QString::number(defaultPort(m_shownSecurity)))) {
        m_ui->portEdit->setText(QString::number(defaultPort(security)));
    }
    m_shownSecurity = security;
}

void CMailServerDlg::accept() {
    if (std::optional<MailServerSettings> typed = typedValues()) {
        m_values = std::move(*typed);
        QDialog::accept();
    }
}

void CMailServerDlg::sendTest() {
    std::optional<MailServerSettings> typed = typedValues();
    if (!typed) {
        return;
    }
    // The server this dialog sets: sent without one, the mail would fail as if the network
    // were down.
    if (mailServerMissing(*typed)) {
        refuse(tr("テスト送信するメールサーバーを入力してください。"), m_ui->hostEdit);
        return;
    }
    const std::string subject = toCp932(tr("Tarnwickからの通知").toStdString());
    const std::string body = toCp932(tr("サーバー設定がうまく行きました。").toStdString());
    QPointer<CMailServerDlg> self(this);
    const QString failure = sendTestMail(this, *typed, typed->account, subject, body, m_converter);
    if (self && !failure.isEmpty()) {
        tell(failure);
    }
}

std::optional<MailServerSettings> CMailServerDlg::typedValues() {
    // What the dialog does not show (the extra certificate) goes on as it was.
    MailServerSettings typed = m_values;
    std::optional<std::string> host =
        fieldText(tr("メールサーバー"), m_ui->hostEdit, m_ui->hostEdit->text());
    if (!host) {
        return std::nullopt;
    }
    if (breaksHeaderLine(*host)) {
        refuse(tr("メールサーバーに改行などの使えない文字が含まれています。"), m_ui->hostEdit);
        return std::nullopt;
    }
    bool number = false;
    const int port = m_ui->portEdit->text().trimmed().toInt(&number);
    if (!number || port < 0 || port > kMaxPort) {
        refuse(tr("0 から %1 までの整数を入力してください。").arg(kMaxPort), m_ui->portEdit);
        m_ui->portEdit->selectAll();
        return std::nullopt;
    }
    std::optional<std::string> account =
        fieldText(tr("メールアカウント"), m_ui->accountEdit, m_ui->accountEdit->text());
    if (!account) {
        return std::nullopt;
    }
    if (breaksMailAddress(*account)) {
        refuse(tr("メールアカウントに使えない文字（<、>、空白、制御文字）が含まれています。"),
               m_ui->accountEdit);
        return std::nullopt;
    }
    const MailServerSettings::Security security = typedSecurity();
    std::optional<std::string> user =
        fieldText(tr("ユーザー名"), m_ui->userEdit, m_ui->userEdit->text());
    if (!user) {
        return std::nullopt;
    }
    if (breaksHeaderLine(*user)) {
        refuse(tr("ユーザー名に改行などの使えない文字が含まれています。"), m_ui->userEdit);
        return std::nullopt;
    }
    std::optional<std::string> password =
        fieldText(tr("パスワード"), m_ui->passwordEdit, m_ui->passwordEdit->text());
    if (!password) {
        return std::nullopt;
    }
    if (breaksHeaderLine(*password)) {
        refuse(tr("パスワードに改行などの使えない文字が含まれています。"), m_ui->passwordEdit);
        return std::nullopt;
    }
    if (!user->empty() && security == MailServerSettings::Security::None) {
        refuse(tr("ユーザー名を使うときは、暗号化に STARTTLS か SSL/TLS を選んでください。\n"
                  "パスワードを暗号化せずに送ることはしません。"),
               m_ui->securityBox);
        return std::nullopt;
    }
    if (user->empty() && !password->empty()) {
        refuse(tr("パスワードを使うときは、ユーザー名も入力してください。"), m_ui->userEdit);
        return std::nullopt;
    }
    typed.server = std::move(*host);
    typed.port = port;
    typed.account = std::move(*account);
    typed.includeChanges = m_ui->includeChangesBox->isChecked();
    typed.security = security;
    typed.user = std::move(*user);
    typed.password = std::move(*password);
    return typed;
}

std::optional<std::string> CMailServerDlg::fieldText(const QString& fieldName, QWidget* box,
                                                     const QString& text) {
    char32_t refused = 0;
    std::optional<std::string> cp932 = toCp932Exact(text.toStdString(), &refused);
    if (!cp932) {
        refuse(tr("「%1」の文字「%2」(U+%3) は保存できません。\n別の文字に置き換えてください。")
                   .arg(fieldName, QString::fromUcs4(&refused, 1),
                        QString::number(static_cast<uint>(refused), 16)
                            .toUpper()
                            .rightJustified(4, QLatin1Char('0'))),
               box);
    }
    return cp932;
}

void CMailServerDlg::tell(const QString& message) {
    GuiPrompter::tell(this, message, Prompter::Icon::Warning, windowTitle());
}

void CMailServerDlg::refuse(const QString& message, QWidget* box) {
    tell(message);
    box->setFocus(Qt::OtherFocusReason);
}

} // namespace tw::gui
