#include "gui/dialogs/TestMail.h"

#include "core/net/MailSender.h"
#include "core/platform/CodeConverter.h"
#include "core/ports/MailProgress.h"
#include "core/util/CancelSignal.h"
#include "core/util/Cp932.h"
#include "core/watch/UpdateActions.h"
#include "gui/common/BackgroundWork.h"
#include "gui/dialogs/MailSendDialog.h"

#include <QPointer>

#include <memory>

namespace tw::gui {

namespace {

/// Hands the worker's steps to the progress dialog through the work's executor. The dialog may
/// be gone by the time a step arrives (its parent closed), and the step is then dropped.
class ProgressRelay : public MailProgress {
public:
    ProgressRelay(Executor& executor, QPointer<MailSendDialog> dialog)
        : m_executor(executor), m_dialog(std::move(dialog)) {}

    void started(const std::string& text, const std::shared_ptr<CancelSignal>& cancel) override {
        m_executor.post([dialog = m_dialog, text, cancel] {
            if (dialog) {
                dialog->started(text, cancel);
            }
        });
    }
    void step(bool finished, const std::string& text) override {
        m_executor.post([dialog = m_dialog, finished, text] {
            if (dialog) {
                dialog->step(finished, text);
            }
        });
    }

private:
    Executor& m_executor;
    QPointer<MailSendDialog> m_dialog;
};

} // namespace

QString sendTestMail(QWidget* parent, const MailServerSettings& server,
                     const std::string& recipient, const std::string& subject,
                     const std::string& body, CodeConverter* converter) {
    std::unique_ptr<CodeConverter> ownConverter;
    if (!converter) {
        ownConverter = createCodeConverter();
        converter = ownConverter.get();
    }
    BackgroundWork work;
    // On the heap and watched: a parent that closes meanwhile deletes it.
    QPointer<MailSendDialog> dialog = new MailSendDialog(work.executor(), parent);
    ProgressRelay relay(work.executor(), dialog);
    std::string result;
    const auto cancel = std::make_shared<CancelSignal>();
    work.start(
        [&] {
            result = sendMail(server.server, server.port, server.account, recipient, subject, body,
                              converter, relay, {}, cancel, mailSecurityOf(server));
        },
        [dialog] {
            // A dialogue ends with its last step, which has closed the dialog already.
            if (dialog && dialog->isVisible()) {
                dialog->done(QDialog::Accepted);
            }
        });
    // The dialog's own modal loop keeps the window painting and the user's input away. It ends
    // when the worker has ended, when the user cancels, or when a parent that closes takes the
    // dialog with it; in the last two the sender is stopped at once, so the wait for the worker
    // below is short.
    dialog->exec();
    // However the dialog ended, the sender stops now (after its last step this changes nothing).
    cancel->raise();
    work.close();
    delete dialog.data();
    return QString::fromStdString(fromCp932(result));
}

} // namespace tw::gui
