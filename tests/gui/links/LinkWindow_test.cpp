#include "ProgramFixture.h"
#include "core/links/CLinkList.h"
#include "gui/editor/sheet/CDefineSheet.h"
#include "gui/links/CLinkUpdateDlg.h"
#include "gui/links/LinkListModel.h"

#include <QLineEdit>
#include <QTreeView>

using namespace tw;
using namespace tw::gui;
using tw::test::TempFolder;

class LinkWindowTest : public QObject {
    Q_OBJECT
private slots:
    /// "ウォッチアイテム" opens the sheet over the dialog, which waits for it and stays open;
    /// the folder the user moved to is the one kept.
    void watchItemAndFolderGoThroughTheWindow() {
        test::Program program;
        QVERIFY(program.start());
        TempFolder links;
        TempFolder other;
        {
            CLinkList list;
            list.load(links.path(), false);
            FetchSettings record;
            record.destFile = "a.zip";
            record.targetUrl = "http://127.0.0.1/a.zip";
            list.replaceAll({record});
            list.save();
        }
        program.app->linkSaveFolder = links.path();

        std::string sheetAddress;
        std::string sheetFile;
        bool dialogStayed = false;
        std::unique_ptr<QTimer> sheet;
        const auto dialog = test::whenModal<CLinkUpdateDlg>([&](CLinkUpdateDlg& open) {
            sheet = test::whenModal<CDefineSheet>([&](CDefineSheet& opened) {
                sheetAddress = opened.workingItem().targetUrl;
                sheetFile = opened.workingItem().destFile;
                opened.reject();
            });
            QTRY_VERIFY_WITH_TIMEOUT(!open.loading(), 20000);
            auto* view = open.findChild<QTreeView*>();
            view->selectionModel()->select(open.model().index(0, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
            open.newSiteFromSelected();
            dialogStayed = open.isVisible();
            auto* edit = open.findChild<QLineEdit*>(QStringLiteral("folderEdit"));
            edit->setText(QString::fromStdString(other.path()));
            QTest::keyClick(edit, Qt::Key_Return);
            open.reject();
        });
        program.window->command(CTarnwickDlg::MainMenu::FolderUpdate);
        QCOMPARE(sheetAddress, std::string("http://127.0.0.1/a.zip"));
        QCOMPARE(sheetFile, links / "a.zip");
        QVERIFY(dialogStayed);
        QCOMPARE(program.app->linkSaveFolder, other.path());
        // Saved at once: a fresh load of the settings file has it.
        program.app->linkSaveFolder.clear();
        program.app->loadSettings();
        QCOMPARE(program.app->linkSaveFolder, other.path());
    }
};

QTEST_MAIN(LinkWindowTest)
#include "LinkWindow_test.moc"
