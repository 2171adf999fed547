#include "gui/common/GuiPrompter.h"

#include "core/ports/Executor.h"
#include "gui/common/AuthDialog.h"
#include "gui/common/QtText.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QThread>

namespace tw::gui {

namespace {

GuiPrompter::Answerer* g_answerer = nullptr;

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

QMessageBox::StandardButtons boxButtons(GuiPrompter::Buttons buttons) {
    switch (buttons) {
    case GuiPrompter::Buttons::YesNo:
        return QMessageBox::Yes | QMessageBox::No;
    case GuiPrompter::Buttons::YesNoCancel:
        return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case GuiPrompter::Buttons::Ok:
        break;
    }
    return QMessageBox::Ok;
}

GuiPrompter::Answer answerOf(int button) {
    switch (button) {
    case QMessageBox::Yes:
        return GuiPrompter::Answer::Yes;
    case QMessageBox::No:
        return GuiPrompter::Answer::No;
    case QMessageBox::Ok:
        return GuiPrompter::Answer::Ok;
    default:
        return GuiPrompter::Answer::Cancel;
    }
}

QString captionOr(const QString& caption) {
    return caption.isEmpty() ? QStringLiteral("Tarnwick") : caption;
}

} // namespace

void GuiPrompter::setAnswerer(Answerer* answerer) {
    g_answerer = answerer;
}

GuiPrompter::Answerer* GuiPrompter::answerer() {
    return g_answerer;
}

QString GuiPrompter::startFolder(ChooserKind kind, const QString& start) {
    const QFileInfo info(start);
    // A relative name (a bare sound file, an address to run) has no folder of its own: taken
    // as it stands it would mean the folder the program happened to be started from.
    if (!start.isEmpty() && info.isAbsolute()) {
        const QString folder =
            kind == ChooserKind::Folder ? info.absoluteFilePath() : info.absolutePath();
        if (QFileInfo(folder).isDir()) {
            return QDir::cleanPath(folder);
        }
    }
    return QDir::homePath();
}

GuiPrompter::Answer GuiPrompter::showBox(QWidget* parent, const Box& box) {
    if (g_answerer) {
        return g_answerer->answer(box);
    }
    QMessageBox shown(boxIcon(box.icon), box.caption, box.text, boxButtons(box.buttons), parent);
    return answerOf(shown.exec());
}

QString GuiPrompter::showChooser(QWidget* parent, const Chooser& chooser) {
    if (g_answerer) {
        return g_answerer->choose(chooser);
    }
    if (chooser.kind == ChooserKind::Folder) {
        // Qt's own dialog, so that a sub-folder can be made from inside it on every desktop.
        return QFileDialog::getExistingDirectory(parent, chooser.title, chooser.folder,
                                                 QFileDialog::ShowDirsOnly |
                                                     QFileDialog::DontUseNativeDialog);
    }
    const bool forSaving = chooser.kind == ChooserKind::SaveFile;
    QFileDialog dialog(parent, chooser.title, QString(), chooser.filter);
    // Saving lets a new name be typed and asks before an existing file is taken.
    dialog.setFileMode(forSaving ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setAcceptMode(forSaving ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setDefaultSuffix(chooser.defaultSuffix);
    if (!chooser.filterSuffixes.isEmpty()) {
        const QStringList filters = chooser.filter.split(QStringLiteral(";;"));
        const auto follow = [&dialog, &chooser, filters](const QString& filter) {
            const qsizetype index = filters.indexOf(filter);
            if (index >= 0 && index < chooser.filterSuffixes.size()) {
                dialog.setDefaultSuffix(chooser.filterSuffixes.at(index));
            }
        };
        follow(filters.value(0));
        QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, follow);
    }
    dialog.setDirectory(chooser.folder);
    if (!chooser.start.isEmpty()) {
        dialog.selectFile(QFileInfo(chooser.start).fileName());
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().constFirst();
}

void GuiPrompter::tell(QWidget* parent, const QString& text, Icon icon, const QString& caption) {
    showBox(parent, {icon, captionOr(caption), text, Buttons::Ok});
}

bool GuiPrompter::askYesNo(QWidget* parent, const QString& text, const QString& caption) {
    return showBox(parent, {Icon::Question, captionOr(caption), text, Buttons::YesNo}) ==
           Answer::Yes;
}

GuiPrompter::Answer GuiPrompter::askYesNoCancel(QWidget* parent, const QString& text,
                                                const QString& caption) {
    return showBox(parent, {Icon::Question, captionOr(caption), text, Buttons::YesNoCancel});
}

QString GuiPrompter::openFileName(QWidget* parent, const QString& title, const QString& filter,
                                  const QString& start, const QString& defaultSuffix) {
    return showChooser(parent, {ChooserKind::OpenFile,
                                title,
                                filter,
                                start,
                                defaultSuffix,
                                startFolder(ChooserKind::OpenFile, start),
                                {}});
}

QString GuiPrompter::saveFileName(QWidget* parent, const QString& title, const QString& filter,
                                  const QString& start) {
    return showChooser(parent, {ChooserKind::SaveFile,
                                title,
                                filter,
                                start,
                                {},
                                startFolder(ChooserKind::SaveFile, start),
                                {}});
}

QString GuiPrompter::saveFileName(QWidget* parent, const QString& title, const QStringList& filters,
                                  const QStringList& suffixes, const QString& start) {
    Chooser chooser{ChooserKind::SaveFile,
                    title,
                    filters.join(QStringLiteral(";;")),
                    start,
                    {},
                    startFolder(ChooserKind::SaveFile, start),
                    {}};
    chooser.filterSuffixes = suffixes;
    return showChooser(parent, chooser);
}

QString GuiPrompter::folderName(QWidget* parent, const QString& title, const QString& start) {
    return showChooser(
        parent,
        {ChooserKind::Folder, title, {}, start, {}, startFolder(ChooserKind::Folder, start), {}});
}

GuiPrompter::GuiPrompter(Executor& executor) : m_executor(executor) {}

bool GuiPrompter::onGuiThread() const {
    return qApp && QThread::currentThread() == qApp->thread();
}

void GuiPrompter::showMessage(const std::string& text, Icon icon) {
    if (!m_queued && onGuiThread()) {
        tell(m_parent, fromCp932(text), icon);
        return;
    }
    m_executor.post([this, text, icon] { tell(m_parent, fromCp932(text), icon); });
}

bool GuiPrompter::ask(const std::string& text) {
    if (onGuiThread()) {
        return askYesNo(m_parent, fromCp932(text));
    }
    bool answer = false;
    if (!m_executor.send([&] { answer = askYesNo(m_parent, fromCp932(text)); })) {
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

} // namespace tw::gui
