// The program as it starts: Qt's own texts (the standard buttons, the file chooser) follow the
// user's locale, the program's own texts stay as they are, and a box without a title of its own
// carries the program's name. The test runs the real start-up (runWindow) on folders of its
// own; a probe that starts with the application acts from inside the window's loop.
//
//   gui_StartUpLocale_test [LANG]   (default ja_JP.UTF-8; also de_DE.UTF-8, C)
//
// Qt reads LANG from the environment itself, so the machine needs no generated locale for it.

#include "gui/app/CTarnwickDlg.h"
#include "gui/app/WindowMain.h"
#include "gui/common/GuiPrompter.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLibraryInfo>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

/// What the probe saw; checked once the program has ended.
struct Seen {
    bool windowShown = false;
    QString displayName;
    QString windowTitle;
    QString firstMenu;
    QString boxTitle;
    QString yes;
    QString no;
    bool chooserShown = false;
    QString chooserFolder;
    QString fileNameLabel;
    QString chooserCancel;
    QString chooserAccept;
};

Seen g_seen;
bool g_asked = false;

tw::gui::CTarnwickDlg* shownWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<tw::gui::CTarnwickDlg*>(widget);
            window && window->isVisible()) {
            return window;
        }
    }
    return nullptr;
}

void readBox(QMessageBox& box) {
    g_seen.boxTitle = box.windowTitle();
    g_seen.yes = box.button(QMessageBox::Yes)->text();
    g_seen.no = box.button(QMessageBox::No)->text();
    box.button(QMessageBox::No)->click();
}

void readChooser(QFileDialog& chooser) {
    g_seen.chooserShown = true;
    g_seen.chooserFolder = chooser.directory().absolutePath();
    if (auto* label = chooser.findChild<QLabel*>(QStringLiteral("fileNameLabel"))) {
        g_seen.fileNameLabel = label->text();
    }
    if (auto* buttons = chooser.findChild<QDialogButtonBox*>()) {
        if (QPushButton* cancel = buttons->button(QDialogButtonBox::Cancel)) {
            g_seen.chooserCancel = cancel->text();
        }
        if (QPushButton* accept = buttons->button(QDialogButtonBox::Open)) {
            g_seen.chooserAccept = accept->text();
        }
    }
    chooser.reject();
}

/// Reads and closes a box or chooser from inside its own loop.
void answer() {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        readBox(*box);
    } else if (auto* chooser = qobject_cast<QFileDialog*>(modal)) {
        readChooser(*chooser);
    }
}

/// Runs from the window's loop: once the window is up, a question and a file chooser are shown
/// the program's way (answer() reads them); then the program is told to exit.
void drive() {
    tw::gui::CTarnwickDlg* window = shownWindow();
    if (!window || g_asked) {
        return;
    }
    g_asked = true;
    g_seen.windowShown = true;
    g_seen.displayName = QGuiApplication::applicationDisplayName();
    g_seen.windowTitle = window->windowTitle();
    if (auto* bar = window->findChild<QMenuBar*>(); bar && !bar->actions().isEmpty()) {
        g_seen.firstMenu = bar->actions().constFirst()->text();
    }
    tw::gui::GuiPrompter::askYesNo(window, QStringLiteral("続けますか？"));
    tw::gui::GuiPrompter::openFileName(window, QStringLiteral("サウンドファイルを選択"),
                                       QStringLiteral("サウンドファイル(*.wav)"), QString());
    window->exit();
}

/// Started from inside QApplication's constructor, before runWindow() goes on. Two timers: Qt
/// does not fire a timer again while its own slot runs a box's loop.
void startProbe() {
    for (void (*step)() : {drive, answer}) {
        auto* timer = new QTimer(QCoreApplication::instance());
        QObject::connect(timer, &QTimer::timeout, timer, step);
        timer->start(20);
    }
}

int g_failures = 0;

/// A button's or label's text without its mnemonic marks.
QString plain(QString text) {
    return text.remove(QLatin1Char('&'));
}

void expect(bool holds, const char* what, const QString& seen) {
    if (!holds) {
        ++g_failures;
        std::fprintf(stderr, "FAIL: %s (seen: \"%s\")\n", what, seen.toUtf8().constData());
    }
}

struct Expected {
    QString yes;
    QString no;
    QString fileName;
    QString cancel;
    QString open;
};

Expected expectedFor(const std::string& locale) {
    if (locale.rfind("ja", 0) == 0) {
        return {QStringLiteral("はい"), QStringLiteral("いいえ"), QStringLiteral("ファイル名"),
                QStringLiteral("キャンセル"), QStringLiteral("開く")};
    }
    if (locale.rfind("de", 0) == 0) {
        return {QStringLiteral("Ja"), QStringLiteral("Nein"), QStringLiteral("Dateiname"),
                QStringLiteral("Abbrechen"), QStringLiteral("Öffnen")};
    }
    return {QStringLiteral("Yes"), QStringLiteral("No"), QStringLiteral("File name"),
            QStringLiteral("Cancel"), QStringLiteral("Open")};
}

std::string makeFolder(const std::string& path, mode_t mode = 0700) {
    std::filesystem::create_directories(path);
    ::chmod(path.c_str(), mode);
    return path;
}

} // namespace

int main(int argc, char** argv) {
    const std::string locale = argc > 1 ? argv[1] : "ja_JP.UTF-8";
    char pattern[] = "/tmp/tw-startup-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (!made) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string base = made;
    // Everything the program writes stays below `base`; the home folder is not the folder it
    // is started from, so a chooser that opens in the latter shows.
    ::setenv("TARNWICK_HOME", makeFolder(base + "/data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", makeFolder(base + "/config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", makeFolder(base + "/share").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", makeFolder(base + "/run").c_str(), 1);
    const std::string home = makeFolder(base + "/home");
    ::setenv("HOME", home.c_str(), 1);
    if (::chdir(makeFolder(base + "/started").c_str()) != 0) {
        std::perror("chdir");
        return 2;
    }
    // LANG decides only while nothing above it is set.
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANGUAGE"}) {
        ::unsetenv(name);
    }
    ::setenv("LANG", locale.c_str(), 1);

    qAddPreRoutine(startProbe);
    int programArgc = 1;
    char* programArgv[] = {argv[0], nullptr};
    const int code = tw::gui::runWindow(programArgc, programArgv);
    std::filesystem::remove_all(base);

    const Expected expected = expectedFor(locale);
    const Seen& seen = g_seen;
    expect(code == 0, "the program ends with 0", QString::number(code));
    expect(seen.windowShown, "the main window showed", QString());
    // The program's own texts, whatever the locale.
    expect(seen.windowTitle == QStringLiteral("Tarnwick 1.20"), "window title", seen.windowTitle);
    expect(seen.firstMenu == QStringLiteral("操作(&O)"), "first menu", seen.firstMenu);
    expect(seen.displayName == QStringLiteral("Tarnwick"), "application's display name",
           seen.displayName);
    expect(seen.boxTitle == QStringLiteral("Tarnwick"), "question's title", seen.boxTitle);
    // Qt's own texts, in the locale's language.
    expect(plain(seen.yes).contains(expected.yes), "Yes button", seen.yes);
    expect(plain(seen.no).contains(expected.no), "No button", seen.no);
    expect(seen.chooserShown, "the file chooser showed", QString());
    expect(plain(seen.fileNameLabel).contains(expected.fileName), "chooser's file name label",
           seen.fileNameLabel);
    expect(plain(seen.chooserCancel).contains(expected.cancel), "chooser's cancel button",
           seen.chooserCancel);
    expect(plain(seen.chooserAccept).contains(expected.open), "chooser's open button",
           seen.chooserAccept);
    expect(seen.chooserFolder == QDir(QString::fromStdString(home)).absolutePath(),
           "chooser opens in the home folder", seen.chooserFolder);
    const QString catalogue = QLibraryInfo::path(QLibraryInfo::TranslationsPath) +
                              QStringLiteral("/qtbase_") +
                              QString::fromStdString(locale.substr(0, 2)) + QStringLiteral(".qm");
    if (g_failures != 0 && locale != "C" && !QFile::exists(catalogue)) {
        std::fprintf(stderr, "%s is missing: qt6-translations-l10n (scripts/install-deps.sh)\n",
                     catalogue.toUtf8().constData());
    }
    if (g_failures == 0) {
        std::printf("PASS: start-up under LANG=%s\n", locale.c_str());
    }
    return g_failures == 0 ? 0 : 1;
}
