#pragma once

#include "core/ports/Prompter.h"

#include <QDialog>
#include <QTimer>

#include <memory>
#include <string>

namespace Ui {
class AuthDialog;
}

namespace tw::gui {

/// "インターネット認証": asks for the user ID and password of a page that demands Basic
/// authentication, naming the server that asked (its origin) and the realm it gave, and saying
/// so when that server is not the watched page's own. Runs on the GUI thread; a worker reaches
/// it through the prompter.
class AuthDialog : public QDialog {
    Q_OBJECT

public:
    explicit AuthDialog(QWidget* parent = nullptr);
    ~AuthDialog() override;

    /// Shows the dialog modally for `challenge` with `user` and `password` filled in (all code
    /// page 932). On OK the typed values replace them and the result is true; Cancel, closing
    /// and the automatic close after `autoCloseSeconds` (0: never) give false and leave them.
    bool run(std::string& user, std::string& password, const Prompter::AuthChallenge& challenge,
             int autoCloseSeconds);

public slots:
    void accept() override;

private:
    void showAddress(const QString& address);

    std::unique_ptr<Ui::AuthDialog> m_ui;
    QTimer m_autoClose;
    std::string m_user;
    std::string m_password;
};

} // namespace tw::gui
