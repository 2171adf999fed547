#include "app/GuiPrompter.h"

#include "app/QtText.h"
#include "dialogs/AuthDialog.h"
#include "ports/Executor.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

namespace tw::gui {

namespace {

QMessageBox::Icon boxIcon(Prompter::Icon icon) {
    switch (icon) {
    case Prompter::Icon::Warning:
        return QMessageBox::Warning;
    case Prompter::Icon::Error:
        return QMessageBox::Critical;
    case Prompter::Icon::Question:
        return QMessageBox::Question;
    case Prompter::Icon::Information:
        break;
    }
    return QMessageBox::Information;
}

} // namespace

GuiPrompter::GuiPrompter(Executor& executor) : m_executor(executor) {}

bool GuiPrompter::onGuiThread() const {
    return qApp && QThread::currentThread() == qApp->thread();
}

void GuiPrompter::showMessage(const std::string& text, Icon icon) {
    if (!m_queued && onGuiThread()) {
        showNow(text, icon);
        return;
    }
    m_executor.post([this, text, icon] { showNow(text, icon); });
}

bool GuiPrompter::ask(const std::string& text) {
    if (onGuiThread()) {
        return askNow(text);
    }
    bool answer = false;
    if (!m_executor.send([&] { answer = askNow(text); })) {
        return false;
    }
    return answer;
}

bool GuiPrompter::authenticate(std::string& userName, std::string& password,
                               const AuthChallenge& challenge, int autoCloseSeconds) {
    bool confirmed = false;
    const auto run = [&] {
        AuthDialog dialog(m_parent);
        confirmed = dialog.run(userName, password, challenge, autoCloseSeconds);
    };
    if (onGuiThread()) {
        run();
    } else if (!m_executor.send(run)) {
        return false;
    }
    return confirmed;
}

void GuiPrompter::showNow(const std::string& text, Icon icon) {
    QMessageBox box(boxIcon(icon), QStringLiteral("Tarnwick"), fromCp932(text), QMessageBox::Ok,
                    m_parent);
    box.exec();
}

bool GuiPrompter::askNow(const std::string& text) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Tarnwick"), fromCp932(text),
                    QMessageBox::Yes | QMessageBox::No, m_parent);
    return box.exec() == QMessageBox::Yes;
}

} // namespace tw::gui
