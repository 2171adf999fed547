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

/// "メール送信中": a progress bar of six steps above one status line, and "キャンセル". It shows
/// the steps of a mail dialogue that runs on any thread: calls from another thread reach the
/// dialog's own thread through the executor, so widgets are only touched there. The dialog must
/// outlive the send it watches; it closes itself with the last step and can be reused for the
/// next send.
///
/// Escape, the close box and "キャンセル" end the dialogue at once: the sender is told to stop
/// (it closes its connection at its next step, a wait for the server included), the dialog
/// closes with the result "送信を中止しました", and what the sender still reports of that
/// dialogue is dropped. A dialog destroyed during a dialogue stops it the same way.
class MailSendDialog : public QDialog, public MailProgress {
    Q_OBJECT

public:
    static constexpr int kSteps = 6;

    /// `executor` runs tasks on the dialog's thread; it must outlive the dialog.
    explicit MailSendDialog(Executor& executor, QWidget* parent = nullptr);
    ~MailSendDialog() override;

    void started(const std::string& text, const std::shared_ptr<CancelSignal>& cancel) override;
    void step(bool finished, const std::string& text) override;

    /// The text of the last step: empty after a delivery, else the failure text.
    QString lastMessage() const { return m_lastMessage; }
    /// A dialogue is shown and has not ended.
    bool sending() const { return m_sending; }

signals:
    /// The dialogue has ended (or was cancelled) and the dialog has closed.
    void mailFinished(const QString& lastMessage);

protected:
    /// Escape and the close box: cancel.
    void reject() override;

private:
    void showStarted(const QString& text, const std::shared_ptr<CancelSignal>& cancel);
    void showStep(bool finished, const QString& text);
    void cancel();
    void onOwnThread(std::function<void()> task);

    std::unique_ptr<Ui::MailSendDialog> m_ui;
    Executor& m_executor;
    QString m_lastMessage;
    std::shared_ptr<CancelSignal> m_cancel;
    bool m_sending = false;
};

} // namespace tw::gui
