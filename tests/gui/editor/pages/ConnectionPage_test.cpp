#include "SheetDriver.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>

using tw::gui::CDefineSheet;
using namespace Qt::StringLiterals;

namespace {

const char* const kMsie = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0; Q312461)";
const char* const kNetscape =
    "Mozilla/5.0 (Windows; U; Windows NT 5.0; ja-JP; rv:0.9.4) Gecko/20011128 Netscape6/6.2.1";

tw::WatchSettings itemWith(const char* proxy, const char* agent) {
    tw::WatchSettings item;
    item.targetUrl = "http://127.0.0.1/";
    item.proxy = proxy;
    item.userAgent = agent;
    return item;
}

} // namespace

class ConnectionPageTest : public QObject {
    Q_OBJECT

    std::unique_ptr<tw::test::SheetDriver> m_driver;

    QLineEdit* edit(const char* name) { return m_driver->find<QLineEdit>(name); }
    void openOnPage(const tw::WatchSettings& item) {
        m_driver->open(item);
        m_driver->clickTab(CDefineSheet::ConnectionTab);
    }

private slots:
    void init() { m_driver = std::make_unique<tw::test::SheetDriver>(); }
    void cleanup() { m_driver.reset(); }

    void proxySplitAndJoin_data();
    void proxySplitAndJoin();
    void agentChoice_data();
    void agentChoice();
    void nextOpeningShowsItsOwnProxy();
    void headerBreakingProxyIsRefused();
};

void ConnectionPageTest::proxySplitAndJoin_data() {
    QTest::addColumn<QString>("proxy");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("typedHost");
    QTest::addColumn<QString>("typedPort");
    QTest::addColumn<QString>("stored");
    QTest::newRow("unchanged") << "proxy.test:8080"
                               << "proxy.test"
                               << "8080" << QString() << QString() << "proxy.test:8080";
    QTest::newRow("split at the first colon") << "a:b:c"
                                              << "a"
                                              << "b:c" << QString() << QString() << "a:b:c";
    QTest::newRow("no colon") << "lonely"
                              << ""
                              << "" << QString() << QString() << "";
    QTest::newRow("port emptied") << "proxy.test:8080"
                                  << "proxy.test"
                                  << "8080"
                                  << "proxy.test"
                                  << ""
                                  << "";
    QTest::newRow("host only typed") << ""
                                     << ""
                                     << ""
                                     << "h"
                                     << ""
                                     << "";
    QTest::newRow("both typed") << ""
                                << ""
                                << ""
                                << "127.0.0.1"
                                << "3128"
                                << "127.0.0.1:3128";
}

void ConnectionPageTest::proxySplitAndJoin() {
    QFETCH(QString, proxy);
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(QString, typedHost);
    QFETCH(QString, typedPort);
    QFETCH(QString, stored);
    openOnPage(itemWith(proxy.toStdString().c_str(), kMsie));
    QCOMPARE(edit("hostEdit")->text(), host);
    QCOMPARE(edit("portEdit")->text(), port);
    if (!typedHost.isNull()) {
        edit("hostEdit")->clear();
        tw::test::typeText(edit("hostEdit"), typedHost);
        edit("portEdit")->clear();
        tw::test::typeText(edit("portEdit"), typedPort);
    }
    m_driver->clickOk();
    QVERIFY(m_driver->handedOver());
    QCOMPARE(QString::fromStdString(m_driver->handedOver()->proxy), stored);
}

void ConnectionPageTest::agentChoice_data() {
    QTest::addColumn<QString>("agent");
    QTest::addColumn<QString>("checked");
    QTest::addColumn<QString>("stored");
    QTest::newRow("netscape") << kNetscape << "netscapeRadio" << kNetscape;
    QTest::newRow("msie") << kMsie << "msieRadio" << kMsie;
    QTest::newRow("netscape before msie") << "MSIE or Netscape"
                                          << "netscapeRadio" << kNetscape;
    QTest::newRow("other") << "Wget/1.21"
                           << "ownRadio"
                           << "Tarnwick1.20";
    QTest::newRow("empty") << ""
                           << "ownRadio"
                           << "Tarnwick1.20";
}

void ConnectionPageTest::agentChoice() {
    QFETCH(QString, agent);
    QFETCH(QString, checked);
    QFETCH(QString, stored);
    openOnPage(itemWith("", agent.toStdString().c_str()));
    const QList<QRadioButton*> radios = m_driver->sheet.findChildren<QRadioButton*>();
    QCOMPARE(radios.size(), 3);
    for (QRadioButton* radio : radios) {
        QCOMPARE(radio->isChecked(), radio->objectName() == checked);
    }
    m_driver->clickOk();
    QVERIFY(m_driver->handedOver());
    QCOMPARE(QString::fromStdString(m_driver->handedOver()->userAgent), stored);

    // A choice made with a click is what the next opening shows.
    openOnPage(itemWith("", agent.toStdString().c_str()));
    auto* msie = m_driver->find<QRadioButton>("msieRadio");
    // On the indicator: a wide button takes clicks only on its indicator and text.
    QTest::mouseClick(msie, Qt::LeftButton, {}, QPoint(6, msie->height() / 2));
    m_driver->clickOk();
    QCOMPARE(m_driver->handedOver()->userAgent, std::string(kMsie));
}

void ConnectionPageTest::nextOpeningShowsItsOwnProxy() {
    tw::WatchSettings withProxy = itemWith("proxy.test:8080", "");
    withProxy.noProxyForLocal = 0;
    openOnPage(withProxy);
    QVERIFY(!m_driver->find<QCheckBox>("bypassCheck")->isChecked());
    m_driver->sheet.reject();

    openOnPage(itemWith("", ""));
    QCOMPARE(edit("hostEdit")->text(), QString());
    QCOMPARE(edit("portEdit")->text(), QString());
    QVERIFY(m_driver->find<QCheckBox>("bypassCheck")->isChecked());
    auto* bypass = m_driver->find<QCheckBox>("bypassCheck");
    QTest::mouseClick(bypass, Qt::LeftButton, {}, QPoint(6, bypass->height() / 2));
    m_driver->clickOk();
    QCOMPARE(m_driver->handedOver()->noProxyForLocal, 0);
}

void ConnectionPageTest::headerBreakingProxyIsRefused() {
    openOnPage(itemWith("", ""));
    edit("hostEdit")->setText(u"proxy.test"_s);
    edit("portEdit")->setText(u"80\r\nX: 1"_s);
    m_driver->clickOk();
    QVERIFY(m_driver->sheet.isVisible());
    QCOMPARE(m_driver->handOvers(), 0);
    QCOMPARE(m_driver->told.size(), 1);
    QVERIFY(edit("portEdit")->hasFocus());
}

QTEST_MAIN(ConnectionPageTest)
#include "ConnectionPage_test.moc"
