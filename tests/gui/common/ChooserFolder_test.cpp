// File and folder choosers open in the folder of the file they start at, else in the user's
// home; never in the folder the program happened to be started from. The real dialogs are
// shown and read from inside their own loops.

#include "PromptScript.h"
#include "gui/common/GuiPrompter.h"
#include "gui/editor/CFolder.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

using tw::gui::GuiPrompter;
using Kind = GuiPrompter::ChooserKind;

namespace {

/// The folder and the name a chooser showed when it came up; it is cancelled at once.
struct Shown {
    QString folder;
    QStringList selected;
};

Shown whileShown(const std::function<void()>& open) {
    Shown shown;
    bool seen = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
        if (auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            poll.stop();
            seen = true;
            shown.folder = chooser->directory().absolutePath();
            shown.selected = chooser->selectedFiles();
            chooser->reject();
        }
    });
    poll.start(10);
    open();
    if (!seen) {
        shown.folder = QStringLiteral("<no chooser>");
    }
    return shown;
}

} // namespace

class ChooserFolderTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;
    QTemporaryDir m_started;
    QTemporaryDir m_files;

    QString home() const { return QDir(m_home.path()).absolutePath(); }
    QString files(const QString& name = {}) const {
        const QString folder = QDir(m_files.path()).absolutePath();
        return name.isEmpty() ? folder : folder + QLatin1Char('/') + name;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_home.isValid() && m_started.isValid() && m_files.isValid());
        qputenv("HOME", m_home.path().toUtf8());
        QVERIFY(QDir::setCurrent(m_started.path()));
        QVERIFY(QDir().mkdir(files(QStringLiteral("音"))));
    }

    void startFolderIsTheFilesFolderElseHome() {
        const QString sounds = files(QStringLiteral("音"));
        QCOMPARE(GuiPrompter::startFolder(Kind::OpenFile, sounds + QStringLiteral("/a.wav")),
                 sounds);
        QCOMPARE(GuiPrompter::startFolder(Kind::SaveFile, sounds + QStringLiteral("/new.html")),
                 sounds);
        QCOMPARE(GuiPrompter::startFolder(Kind::Folder, sounds), sounds);
        QCOMPARE(GuiPrompter::startFolder(Kind::Folder, sounds + QStringLiteral("/")), sounds);
        // Nothing yet, a bare name, an address, a folder that is gone: the home folder.
        for (const QString& start :
             {QString(), QStringLiteral("notify.wav"), QStringLiteral("http://example.test/a"),
              QStringLiteral("sub/page.html"), files(QStringLiteral("gone/a.wav"))}) {
            QCOMPARE(GuiPrompter::startFolder(Kind::OpenFile, start), home());
            QCOMPARE(GuiPrompter::startFolder(Kind::Folder, start), home());
        }
        // A file where a folder is asked for is no folder to open in.
        QCOMPARE(GuiPrompter::startFolder(Kind::Folder, QStringLiteral(__FILE__)), home());
    }

    void fileChoosersOpenThere() {
        const QString sounds = files(QStringLiteral("音"));
        Shown shown = whileShown([&] {
            GuiPrompter::openFileName(nullptr, QStringLiteral("サウンドファイルを選択"),
                                      QStringLiteral("サウンドファイル(*.wav)"),
                                      sounds + QStringLiteral("/a.wav"), QStringLiteral("wav"));
        });
        QCOMPARE(shown.folder, sounds);
        QCOMPARE(shown.selected, QStringList{sounds + QStringLiteral("/a.wav")});

        shown = whileShown([&] {
            GuiPrompter::saveFileName(nullptr, QStringLiteral("保存"), QStringLiteral("(*)"),
                                      QString());
        });
        QCOMPARE(shown.folder, home());

        shown = whileShown([&] {
            GuiPrompter::saveFileName(nullptr, QStringLiteral("保存"), QStringLiteral("(*)"),
                                      files(QStringLiteral("gone/page.html")));
        });
        QCOMPARE(shown.folder, home());
        QCOMPARE(shown.selected, QStringList{home() + QStringLiteral("/page.html")});
    }

    void folderChooserOpensThere() {
        const QString sounds = files(QStringLiteral("音"));
        QCOMPARE(whileShown([&] {
                     GuiPrompter::folderName(nullptr, QStringLiteral("どのフォルダを選びますか？"),
                                             sounds);
                 }).folder,
                 sounds);
        QCOMPARE(whileShown([&] {
                     GuiPrompter::folderName(nullptr, QStringLiteral("どのフォルダを選びますか？"),
                                             QString());
                 }).folder,
                 home());
    }

    // A test that answers the chooser sees where it would have opened.
    void answeredChooserRecordsItsFolder() {
        tw::test::PromptScript script;
        tw::gui::CFolder folder;
        folder.setText(files(QStringLiteral("gone")));
        folder.browseAction()->trigger();
        folder.setText(files(QStringLiteral("音")));
        folder.browseAction()->trigger();
        QCOMPARE(script.choosers.size(), std::size_t(2));
        QCOMPARE(script.choosers[0].folder, home());
        QCOMPARE(script.choosers[1].folder, files(QStringLiteral("音")));
    }
};

QTEST_MAIN(ChooserFolderTest)
#include "ChooserFolder_test.moc"
