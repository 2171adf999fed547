// Every window and box of the program carries a title: its dialog's own, else the program's
// name "Tarnwick". An empty title would let the window manager show the executable's name in
// lower case.

#include "PromptScript.h"
#include "core/watch/UpdateActions.h"
#include "gui/common/AuthDialog.h"
#include "gui/common/GuiPrompter.h"
#include "gui/common/QtExecutor.h"
#include "gui/dialogs/AboutDialog.h"
#include "gui/dialogs/CMailServerDlg.h"
#include "gui/dialogs/MailSendDialog.h"
#include "gui/editor/pages/CFormDataDlg.h"
#include "gui/editor/sheet/CDefineSheet.h"
#include "gui/feed/CAnnounceDlg.h"
#include "gui/links/CLinkEditDlg.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <memory>
#include <utility>
#include <vector>

using namespace tw::gui;

namespace {

/// What a title must never be: empty, or the executable's lower-case name.
bool isProgramsOwnTitle(const QString& title) {
    return !title.trimmed().isEmpty() && !title.startsWith(QStringLiteral("tarnwick"));
}

} // namespace

class TitlesTest : public QObject {
    Q_OBJECT

private slots:
    void everyDialogCarriesItsTitle() {
        QtExecutor executor;
        std::vector<std::pair<std::unique_ptr<QWidget>, QString>> dialogs;
        dialogs.emplace_back(std::make_unique<CAnnounceDlg>(), QStringLiteral("Tarnwick"));
        dialogs.emplace_back(std::make_unique<AboutDialog>(),
                             QStringLiteral("Tarnwickのﾊﾞｰｼﾞｮﾝ情報"));
        dialogs.emplace_back(std::make_unique<CMailServerDlg>(tw::MailServerSettings{}),
                             QStringLiteral("環境設定"));
        dialogs.emplace_back(std::make_unique<MailSendDialog>(executor),
                             QStringLiteral("メール送信中"));
        dialogs.emplace_back(std::make_unique<AuthDialog>(), QStringLiteral("インターネット認証"));
        dialogs.emplace_back(std::make_unique<CLinkEditDlg>(CLinkEditDlg::Texts{}),
                             QStringLiteral("リンクアイテムの編集"));
        dialogs.emplace_back(std::make_unique<CFormDataDlg>(),
                             QStringLiteral("フォームデータ編集"));
        dialogs.emplace_back(std::make_unique<CDefineSheet>(), QStringLiteral("サイトの定義"));
        for (const auto& [dialog, title] : dialogs) {
            const QString shown = dialog->windowTitle();
            QVERIFY2(isProgramsOwnTitle(shown), dialog->metaObject()->className());
            QCOMPARE(shown, title);
        }
    }

    void boxesCarryTheirDialogsTitleElseTheProgramsName() {
        tw::test::PromptScript script;
        QtExecutor executor;
        GuiPrompter prompter(executor);
        // The core's messages and questions.
        prompter.showMessage("x");
        prompter.ask("x");
        // The window's own, with no title of their own.
        GuiPrompter::tell(nullptr, QStringLiteral("x"));
        GuiPrompter::askYesNo(nullptr, QStringLiteral("x"), QString());
        GuiPrompter::askYesNoCancel(nullptr, QStringLiteral("x"));
        // A dialog's boxes are titled as the dialog.
        CMailServerDlg settings(tw::MailServerSettings{});
        settings.show();
        settings.findChild<QLineEdit*>(QStringLiteral("portEdit"))->setText(QStringLiteral("x"));
        QTest::mouseClick(settings.findChild<QPushButton*>(QStringLiteral("okButton")),
                          Qt::LeftButton);
        CDefineSheet sheet;
        sheet.tell(QStringLiteral("x"));

        const QStringList expected{QStringLiteral("Tarnwick"),    QStringLiteral("Tarnwick"),
                                   QStringLiteral("Tarnwick"),    QStringLiteral("Tarnwick"),
                                   QStringLiteral("Tarnwick"),    QStringLiteral("環境設定"),
                                   QStringLiteral("サイトの定義")};
        QStringList captions;
        for (const GuiPrompter::Box& box : script.boxes) {
            QVERIFY2(isProgramsOwnTitle(box.caption), qPrintable(box.text));
            captions << box.caption;
        }
        QCOMPARE(captions, expected);
    }
};

QTEST_MAIN(TitlesTest)
#include "Titles_test.moc"
