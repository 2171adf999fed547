#pragma once

#include "core/watch/UpdateActions.h"

#include <QDialog>

#include <memory>
#include <optional>

namespace Ui {
class CMailServerDlg;
}

namespace tw {
class CodeConverter;
}

namespace tw::gui {

/// "環境設定": the one SMTP server, its port, the sender's mail account, the connection's
/// security and the login that every notification mail goes through, and a test mail to that
/// account with the typed values. The caller stores values() after exec() returned Accepted; a test
/// stores nothing.
class CMailServerDlg : public QDialog {
    Q_OBJECT

public:
    static constexpr int kMaxPort = 30000;
    explicit CMailServerDlg(const MailServerSettings& settings, QWidget* parent = nullptr,
                            CodeConverter* converter = nullptr);
    ~CMailServerDlg() override;

    /// Says where a password saved goes: the desktop's secret store, or tarnwick.conf.
    void setPasswordPlace(bool secretStore);
    /// The port each security mode uses unless the server says otherwise.
    static int defaultPort(MailServerSettings::Security security);

    /// The values accepted with OK (code page 932); before that, those the dialog was opened with.
    const MailServerSettings& values() const { return m_values; }

public slots:
    void accept() override;

private:
    /// The typed values, or nothing when one cannot be used (the user has been told why and the
    /// focus is on that box).
    std::optional<MailServerSettings> typedValues();
    std::optional<std::string> fieldText(const QString& fieldName, QWidget* box,
                                         const QString& text);
    void tell(const QString& message);
    void refuse(const QString& message, QWidget* box);
    void sendTest();
    void securityChosen(int index);
    MailServerSettings::Security typedSecurity() const;

    std::unique_ptr<Ui::CMailServerDlg> m_ui;
    MailServerSettings m_values;
    CodeConverter* m_converter;
    /// The security mode the port last followed.
    MailServerSettings::Security m_shownSecurity;
    /// Set once the user has typed a port: from then on it stays as typed.
    bool m_portTyped = false;
};

} // namespace tw::gui
