#include "gui/dialogs/MailSendDialog.h"

#include "core/ports/Executor.h"
#include "core/util/Cp932.h"
#include "ui_MailSendDialog.h"

#include <QCoreApplication>
#include <QLayout>
#include <QPointer>
#include <QThread>

#include <algorithm>

namespace tw::gui {

MailSendDialog::MailSendDialog(Executor& executor, QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::MailSendDialog>()), m_executor(executor) {
    m_ui->setupUi(this);
    m_ui->progressBar->setRange(0, kSteps);
    setModal(true);
    // No close button either: the dialogue's end closes the dialog.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

MailSendDialog::~MailSendDialog() = default;

void MailSendDialog::started(const std::string& text) {
    onOwnThread([this, shown = QString::fromStdString(fromCp932(text))] { showStarted(shown); });
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

void MailSendDialog::showStarted(const QString& text) {
    m_lastMessage.clear();
    m_ui->progressBar->setValue(0);
    m_ui->statusLabel->setText(text);
    show();
    raise();
    activateWindow();
}

void MailSendDialog::showStep(bool finished, const QString& text) {
    m_lastMessage = text;
    if (!text.isEmpty()) {
        m_ui->statusLabel->setText(text);
    }
    if (finished) {
        done(QDialog::Accepted);
        emit mailFinished(m_lastMessage);
        return;
    }
    // A delivery reports more steps than the bar has; it stays full rather than start over.
    m_ui->progressBar->setValue(std::min(m_ui->progressBar->value() + 1, kSteps));
}

} // namespace tw::gui
