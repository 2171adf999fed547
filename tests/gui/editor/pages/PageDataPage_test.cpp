#include "SheetDriver.h"
#include "util/Cp932.h"

#include <QLineEdit>
#include <QSignalSpy>

using tw::gui::CDefineSheet;
using namespace Qt::StringLiterals;

namespace {

tw::WatchSettings loadedItem() {
    tw::WatchSettings item;
    item.name = tw::jp("旧名");
    item.targetUrl = "http://127.0.0.1/old";
    item.referer = "http://127.0.0.1/from";
    item.userName = "user";
    item.password = "secret";
    return item;
}

} // namespace

class PageDataPageTest : public QObject {
    Q_OBJECT

    std::unique_ptr<tw::test::SheetDriver> m_driver;

    QLineEdit* edit(const char* name) { return m_driver->find<QLineEdit>(name); }
    void retype(const char* name, const QString& text) {
        edit(name)->clear();
        tw::test::typeText(edit(name), text);
    }

private slots:
    void init() { m_driver = std::make_unique<tw::test::SheetDriver>(); }
    void cleanup() { m_driver.reset(); }

    void typedFieldsAreStoredOnOk();
    void keysCloseTheSheet();
    void leavingThePageTakesTheUrl();
    void checkButtons();
    void refusedFieldsKeepTheSheetOnThePage();
};

void PageDataPageTest::typedFieldsAreStoredOnOk() {
    m_driver->open(loadedItem(), 7);
    QCOMPARE(edit("nameEdit")->text(), u"旧名"_s);
    QCOMPARE(edit("passwordEdit")->echoMode(), QLineEdit::Password);
    retype("nameEdit", u"新しい名前"_s);
    retype("urlEdit", u"http://127.0.0.1/new"_s);
    QTest::mouseClick(m_driver->find<QPushButton>("clearButton"), Qt::LeftButton);
    retype("userEdit", u"someone"_s);
    retype("passwordEdit", u"秘密"_s);
    m_driver->clickOk();
    const tw::WatchSettings* stored = m_driver->handedOver();
    QVERIFY(stored);
    QCOMPARE(stored->name, tw::jp("新しい名前"));
    QCOMPARE(stored->targetUrl, std::string("http://127.0.0.1/new"));
    QCOMPARE(stored->referer, std::string());
    QCOMPARE(stored->userName, std::string("someone"));
    QCOMPARE(stored->password, tw::jp("秘密"));
}

void PageDataPageTest::keysCloseTheSheet() {
    m_driver->open(loadedItem());
    retype("nameEdit", u"typed"_s);
    QTest::keyClick(edit("nameEdit"), Qt::Key_Escape);
    QVERIFY(!m_driver->sheet.isVisible());
    QCOMPARE(m_driver->handOvers(), 0);

    m_driver->open(loadedItem());
    retype("userEdit", u"typed"_s);
    QTest::keyClick(edit("userEdit"), Qt::Key_Return);
    QVERIFY(!m_driver->sheet.isVisible());
    QVERIFY(m_driver->handedOver());
    QCOMPARE(m_driver->handedOver()->userName, std::string("typed"));
}

void PageDataPageTest::leavingThePageTakesTheUrl() {
    m_driver->open(loadedItem());
    retype("urlEdit", u"http://127.0.0.1/typed"_s);
    QCOMPARE(m_driver->sheet.workingItem().targetUrl, std::string("http://127.0.0.1/old"));
    m_driver->clickTab(CDefineSheet::CheckOptionTab);
    QCOMPARE(m_driver->currentTab(), int(CDefineSheet::CheckOptionTab));
    QCOMPARE(m_driver->sheet.workingItem().targetUrl, std::string("http://127.0.0.1/typed"));

    // What was typed survives the way back to the page and is stored by an OK from elsewhere.
    m_driver->clickTab(CDefineSheet::PageTab);
    QCOMPARE(edit("urlEdit")->text(), u"http://127.0.0.1/typed"_s);
    retype("nameEdit", u"n"_s);
    m_driver->clickTab(CDefineSheet::ConnectionTab);
    m_driver->clickOk();
    QVERIFY(m_driver->handedOver());
    QCOMPARE(m_driver->handedOver()->name, std::string("n"));
}

void PageDataPageTest::checkButtons() {
    QSignalSpy records(&m_driver->sheet, &CDefineSheet::displayRecordRequested);
    QSignalSpy addresses(&m_driver->sheet, &CDefineSheet::displayAddressRequested);
    m_driver->open(loadedItem());
    auto* urlCheck = m_driver->find<QPushButton>("urlCheckButton");
    auto* refererCheck = m_driver->find<QPushButton>("refererCheckButton");

    edit("urlEdit")->clear();
    QTest::mouseClick(urlCheck, Qt::LeftButton);
    QCOMPARE(records.size(), 0);
    QCOMPARE(m_driver->sheet.workingItem().targetUrl, std::string("http://127.0.0.1/old"));

    retype("urlEdit", u"http://127.0.0.1/shown"_s);
    QTest::mouseClick(urlCheck, Qt::LeftButton);
    QCOMPARE(records.size(), 1);
    QCOMPARE(m_driver->sheet.workingItem().targetUrl, std::string("http://127.0.0.1/shown"));

    edit("refererEdit")->clear();
    QTest::mouseClick(refererCheck, Qt::LeftButton);
    QCOMPARE(addresses.size(), 1);
    QCOMPARE(addresses.at(0).at(0).toString(), QString());
    retype("refererEdit", u"http://127.0.0.1/ref"_s);
    QTest::mouseClick(refererCheck, Qt::LeftButton);
    QCOMPARE(addresses.at(1).at(0).toString(), u"http://127.0.0.1/ref"_s);
}

void PageDataPageTest::refusedFieldsKeepTheSheetOnThePage() {
    // A character code page 932 cannot hold, typed on the page, then OK from another tab.
    m_driver->open(loadedItem());
    edit("nameEdit")->setText(u"名前😀"_s);
    m_driver->clickTab(CDefineSheet::ConnectionTab);
    m_driver->clickOk();
    QVERIFY(m_driver->sheet.isVisible());
    QCOMPARE(m_driver->currentTab(), int(CDefineSheet::PageTab));
    QCOMPARE(m_driver->told.size(), 1);
    QVERIFY(m_driver->told.front().contains(u"😀"_s));
    QVERIFY(edit("nameEdit")->hasFocus());
    m_driver->sheet.reject();
    QCOMPARE(m_driver->handOvers(), 0);

    // The URL is taken when the page is left, so it is refused then.
    m_driver->open(loadedItem());
    edit("urlEdit")->setText(u"http://127.0.0.1/한"_s);
    m_driver->clickTab(CDefineSheet::FormDataTab);
    QCOMPARE(m_driver->currentTab(), int(CDefineSheet::PageTab));
    QCOMPARE(m_driver->told.size(), 2);
    QCOMPARE(m_driver->sheet.workingItem().targetUrl, std::string("http://127.0.0.1/old"));

    // A referer that would end its header line.
    m_driver->told.clear();
    retype("urlEdit", u"http://127.0.0.1/"_s);
    edit("refererEdit")->setText(u"http://127.0.0.1/\r\nX-Injected: 1"_s);
    m_driver->clickOk();
    QVERIFY(m_driver->sheet.isVisible());
    QCOMPARE(m_driver->told.size(), 1);
    QVERIFY(m_driver->told.front().contains(u"リンク元ＵＲＬ"_s));
    QVERIFY(edit("refererEdit")->hasFocus());
    QCOMPARE(m_driver->handOvers(), 0);
}

QTEST_MAIN(PageDataPageTest)
#include "PageDataPage_test.moc"
