#pragma once

#include "core/ports/MailProgress.h"

#include <QDialog>

#include <functional>
#include <memory>

namespace Ui {
class MailSendDialog;
}

namespace tw {
class Executor;
}

namespace tw::gui {

/// "メール送信中": a progress bar of six steps above one status line, no buttons. It shows the
/// steps of a mail dialogue that runs on any thread: calls from another thread reach the
/// dialog's own thread through the executor, so widgets are only touched there. The dialog must
/// outlive the send it watches; it closes itself with the last step and can be reused for the
/// next send.
class MailSendDialog : public QDialog, public MailProgress {
    Q_OBJECT

public:
    static constexpr int kSteps = 6;

    /// `executor` runs tasks on the dialog's thread; it must outlive the dialog.
    explicit MailSendDialog(Executor& executor, QWidget* parent = nullptr);
    ~MailSendDialog() override;

    void started(const std::string& text) override;
    void step(bool finished, const std::string& text) override;

    /// The text of the last step: empty after a delivery, else the failure text.
    QString lastMessage() const { return m_lastMessage; }

signals:
    /// The dialogue has ended and the dialog has closed.
    void mailFinished(const QString& lastMessage);

protected:
    /// The dialog has no buttons: Escape does not end it, only the last step does.
    void reject() override {}

private:
    void showStarted(const QString& text);
    void showStep(bool finished, const QString& text);
    void onOwnThread(std::function<void()> task);

    std::unique_ptr<Ui::MailSendDialog> m_ui;
    Executor& m_executor;
    QString m_lastMessage;
};

} // namespace tw::gui
