#include "gui/dialogs/CMailServerDlg.h"

#include "core/util/Cp932.h"
#include "core/util/FieldRules.h"
#include "gui/common/GuiPrompter.h"
#include "gui/dialogs/TestMail.h"
#include "ui_CMailServerDlg.h"

#include <QLayout>
#include <QPointer>

namespace tw::gui {

CMailServerDlg::CMailServerDlg(const MailServerSettings& settings, QWidget* parent,
                               CodeConverter* converter)
    : QDialog(parent), m_ui(std::make_unique<Ui::CMailServerDlg>()), m_values(settings),
      m_converter(converter) {
    m_ui->setupUi(this);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    m_ui->hostEdit->setText(QString::fromStdString(fromCp932(settings.server)));
    m_ui->portEdit->setText(QString::number(settings.port));
    m_ui->accountEdit->setText(QString::fromStdString(fromCp932(settings.account)));
    m_ui->includeChangesBox->setChecked(settings.includeChanges);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CMailServerDlg::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CMailServerDlg::reject);
    connect(m_ui->testButton, &QPushButton::clicked, this, &CMailServerDlg::sendTest);
}

CMailServerDlg::~CMailServerDlg() = default;

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
    MailServerSettings typed;
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
    typed.server = std::move(*host);
    typed.port = port;
    typed.account = std::move(*account);
    typed.includeChanges = m_ui->includeChangesBox->isChecked();
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
