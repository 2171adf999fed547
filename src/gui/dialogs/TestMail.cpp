#include "dialogs/TestMail.h"

#include "dialogs/MailSendDialog.h"
#include "net/MailSender.h"
#include "platform/CodeConverter.h"
#include "ports/MailProgress.h"
#include "util/Cp932.h"

#include <QEventLoop>
#include <QPointer>

#include <memory>
#include <thread>

namespace tw::gui {

namespace {

/// Hands the worker's steps to the progress dialog on the GUI thread. The worker only ever
/// touches this object, which outlives it; the dialog may be gone by the time a step arrives
/// (its parent closed), and the step is then dropped.
class ProgressRelay : public MailProgress {
public:
    ProgressRelay(QObject* context, QPointer<MailSendDialog> dialog)
        : m_context(context), m_dialog(std::move(dialog)) {}

    void started(const std::string& text) override {
        post([dialog = m_dialog, text] {
            if (dialog) {
                dialog->started(text);
            }
        });
    }
    void step(bool finished, const std::string& text) override {
        post([dialog = m_dialog, finished, text] {
            if (dialog) {
                dialog->step(finished, text);
            }
        });
    }

private:
    template <typename Task>
    void post(Task task) {
        QMetaObject::invokeMethod(m_context, std::move(task), Qt::QueuedConnection);
    }

    QObject* m_context;
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
    // On the heap and watched: a parent that closes meanwhile deletes it.
    QPointer<MailSendDialog> dialog = new MailSendDialog(parent);
    QObject context;
    QEventLoop loop;
    ProgressRelay relay(&context, dialog);

    std::string result;
    std::thread worker([&] {
        result = sendMail(server.server, server.port, server.account, recipient, subject, body,
                          converter, relay);
        QMetaObject::invokeMethod(
            &context, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    // Only queued calls reach the loop (the dialog's modality keeps the user's input away), so
    // nothing else starts meanwhile. The worker never waits for this thread, and ends within
    // the sender's time-outs even when the loop was left early because the program quits.
    loop.exec();
    worker.join();
    delete dialog.data();
    return QString::fromStdString(fromCp932(result));
}

} // namespace tw::gui
