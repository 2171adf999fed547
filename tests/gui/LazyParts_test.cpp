#include "ProgramFixture.h"
#include "core/watch/CWatchList.h"
#include "gui/common/ProgramIcon.h"
#include "gui/editor/sheet/CDefineSheet.h"

#include <QLineEdit>
#include <QTest>

using namespace tw;
using namespace tw::gui;
using tw::test::Program;
using tw::test::whenModal;

/// What the window makes only when it is first needed, and then keeps.
class LazyPartsTest : public QObject {
    Q_OBJECT
private slots:
    // The sheet's six pages cost megabytes of widgets and fonts: a window that only watches
    // never makes it. The first opening makes it with its connections; later ones reuse it.
    void theSheetIsMadeAtItsFirstOpeningAndKept() {
        Program program;
        QVERIFY(program.start());
        QVERIFY(!program.window->findChild<CDefineSheet*>());

        CDefineSheet* first = nullptr;
        {
            const auto sheet = whenModal<CDefineSheet>([&](CDefineSheet& open) {
                first = &open;
                auto* url = open.findChild<QLineEdit*>(QStringLiteral("urlEdit"));
                QVERIFY(url);
                QTest::keyClicks(url, QStringLiteral("http://127.0.0.1/first.html"));
                open.accept();
            });
            program.window->command(CTarnwickDlg::MainMenu::NewSite);
        }
        QVERIFY(first);
        QTRY_COMPARE(program.session->watchList().count(), 1);
        QCOMPARE(program.session->watchList().itemAt(0).targetUrl,
                 std::string("http://127.0.0.1/first.html"));

        CDefineSheet* second = nullptr;
        {
            const auto sheet = whenModal<CDefineSheet>([&](CDefineSheet& open) {
                second = &open;
                open.reject();
            });
            program.window->editItem(program.session->watchList().idAt(0));
        }
        QCOMPARE(second, first);
        QCOMPARE(program.window->findChildren<CDefineSheet*>().size(), 1);
    }

    // The icon decodes the image of the size asked for and keeps none: a window icon's six
    // sizes, sent once to the window manager, held 350 kB for the rest of the run.
    void theProgramIconKeepsNoDecodedImage() {
        const QIcon icon = programIcon();
        QCOMPARE(icon.availableSizes().size(), 6);
        QCOMPARE(icon.pixmap(256, 256).size(), QSize(256, 256));
        QVERIFY(icon.pixmap(256, 256).cacheKey() != icon.pixmap(256, 256).cacheKey());
        // Between the drawn sizes the next larger image is scaled down; never scaled up.
        QCOMPARE(icon.pixmap(40, 40).size(), QSize(40, 40));
        QCOMPARE(icon.actualSize(QSize(300, 300)), QSize(256, 256));
        QCOMPARE(icon.pixmap(300, 300).size(), QSize(256, 256));
        QCOMPARE(icon.pixmap(32, 24).size(), QSize(24, 24));
        // The disabled look is the style's, as for any icon.
        QVERIFY(icon.pixmap(QSize(32, 32), QIcon::Disabled).toImage() !=
                icon.pixmap(32, 32).toImage());
    }
};

QTEST_MAIN(LazyPartsTest)
#include "LazyParts_test.moc"
