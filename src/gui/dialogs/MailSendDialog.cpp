#include "gui/dialogs/MailSendDialog.h"

#include "core/net/SmtpClient.h"
#include "core/ports/Executor.h"
#include "core/util/CancelSignal.h"
#include "core/util/Cp932.h"
#include "ui_MailSendDialog.h"

#include <QCoreApplication>
#include <QLayout>
#include <QPointer>
#include <QPushButton>
#include <QThread>

#include <algorithm>

namespace tw::gui {

MailSendDialog::MailSendDialog(Executor& executor, QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::MailSendDialog>()), m_executor(executor) {
    m_ui->setupUi(this);
    m_ui->progressBar->setRange(0, kSteps);
    QPushButton* cancelButton = m_ui->buttons->button(QDialogButtonBox::Cancel);
    cancelButton->setText(tr("キャンセル"));
    // The dialog comes up by itself when a watched page changes: Enter typed for another
    // window must not stop the mail. Escape, a click or Space on the button do.
    cancelButton->setAutoDefault(false);
    connect(m_ui->buttons, &QDialogButtonBox::rejected, this, &MailSendDialog::cancel);
    setModal(true);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

MailSendDialog::~MailSendDialog() {
    // Nobody is left to show the dialogue or to stop it.
    if (m_sending && m_cancel) {
        m_cancel->raise();
    }
}

void MailSendDialog::started(const std::string& text, const std::shared_ptr<CancelSignal>& cancel) {
    onOwnThread([this, shown = QString::fromStdString(fromCp932(text)), cancel] {
        showStarted(shown, cancel);
    });
}

void MailSendDialog::step(bool finished, const std::string& text) {
    onOwnThread([this, finished, shown = QString::fromStdString(fromCp932(text))] {
        showStep(finished, shown);
    });
}

void MailSendDialog::onOwnThread(std::function<void()> task) {
    if (QThread::currentThread() != thread()) {
        // Dropped if the dialog is gone by then.
        m_executor.post([self = QPointer<MailSendDialog>(this), task = std::move(task)] {
            if (self) {
                task();
            }
        });
        return;
    }
    task();
    // A send on the GUI thread blocks its event loop until the dialogue ends; let the dialog
    // paint between the steps. User input stays queued, so nothing else starts meanwhile.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void MailSendDialog::showStarted(const QString& text, const std::shared_ptr<CancelSignal>& cancel) {
    m_cancel = cancel;
    m_sending = true;
    m_lastMessage.clear();
    m_ui->progressBar->setValue(0);
    m_ui->statusLabel->setText(text);
    show();
    raise();
    activateWindow();
}

void MailSendDialog::showStep(bool finished, const QString& text) {
    // Steps of a dialogue the user cancelled still come until the sender has noticed.
    if (!m_sending) {
        return;
    }
    m_lastMessage = text;
    if (!text.isEmpty()) {
        m_ui->statusLabel->setText(text);
    }
    if (finished) {
        m_sending = false;
        m_cancel.reset();
        done(QDialog::Accepted);
        emit mailFinished(m_lastMessage);
        return;
    }
    // A delivery reports more steps than the bar has; it stays full rather than start over.
    m_ui->progressBar->setValue(std::min(m_ui->progressBar->value() + 1, kSteps));
}

void MailSendDialog::reject() {
    cancel();
}

void MailSendDialog::cancel() {
    // Also when shown before the sender's first step has arrived.
    if (!m_sending && !isVisible()) {
        return;
    }
    m_sending = false;
    if (m_cancel) {
        m_cancel->raise();
        m_cancel.reset();
    }
    m_lastMessage = QString::fromStdString(fromCp932(CSmtpClient::cancelledText()));
    m_ui->statusLabel->setText(m_lastMessage);
    done(QDialog::Rejected);
    emit mailFinished(m_lastMessage);
}

} // namespace tw::gui
