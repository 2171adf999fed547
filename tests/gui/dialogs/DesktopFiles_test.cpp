#include "gui/common/ProgramIcon.h"
#include "gui/dialogs/AboutDialog.h"
#include "gui/dialogs/HelpPage.h"

#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QMovie>
#include <QTest>

/// The files other parts of the program name by path or alias: a wrong alias or a missing
/// section only shows as an empty icon or a help link that lands nowhere.
class DesktopFilesTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { tw::gui::programIcon(); } // registers the compiled-in resources

    void helpPageExistsWithTheSectionsTheMenuOpens() {
        const QString path = tw::gui::helpPagePath();
        QVERIFY2(QFileInfo(path).isFile(), qPrintable(path));
        QFile page(path);
        QVERIFY(page.open(QIODevice::ReadOnly));
        const QByteArray html = page.readAll();
        for (const char* id : {"news", "support", "homepage", "quaylink", "brindle", "questions",
                               "tray", "headless"}) {
            QVERIFY2(html.contains(QByteArray("id=\"") + id + '"'), id);
        }
        QCOMPARE(tw::gui::helpPageUrl(QStringLiteral("news")).fragment(), QStringLiteral("news"));
        QVERIFY(tw::gui::helpPageUrl().isLocalFile());
    }

    void iconsAndAnimationsLoadUnderTheirAliases() {
        QCOMPARE(QImage(QStringLiteral(":/icons/tarnwick-32.png")).size(), QSize(32, 32));
        QVERIFY(QFile::exists(QStringLiteral(":/icons/tarnwick.svg")));
        for (const char* state : {"updated", "unchanged", "error"}) {
            const QImage icon(QStringLiteral(":/icons/state-%1.png").arg(QLatin1String(state)));
            QCOMPARE(icon.size(), QSize(16, 16));
        }
        const QList<QSize> sizes = tw::gui::programIcon().availableSizes();
        for (const int size : {16, 32, 48, 64, 128, 256}) {
            QVERIFY(sizes.contains(QSize(size, size)));
        }
        for (const char* name : {"searching", "downloading"}) {
            QMovie movie(QStringLiteral(":/anim/%1.gif").arg(QLatin1String(name)));
            QVERIFY2(movie.isValid(), name);
            QVERIFY(movie.frameCount() > 1);
        }
    }

    void aboutBoxNamesTheVersion() {
        tw::gui::AboutDialog about;
        QCOMPARE(about.windowTitle(), QStringLiteral("Tarnwickのﾊﾞｰｼﾞｮﾝ情報"));
        auto* version = about.findChild<QLabel*>(QStringLiteral("versionLabel"));
        QCOMPARE(version->text(), QStringLiteral("Tarnwick Version 1.20"));
        QVERIFY(!about.findChild<QLabel*>(QStringLiteral("iconLabel"))->pixmap().isNull());
    }
};

QTEST_MAIN(DesktopFilesTest)
#include "DesktopFiles_test.moc"
