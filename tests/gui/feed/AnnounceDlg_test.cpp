#include "AnnounceServer.h"
#include "ProgramFixture.h"
#include "core/feed/CAnnounceFeed.h"
#include "core/platform/RegistryKey.h"
#include "gui/feed/CAnnounceDlg.h"

#include <QPushButton>

#include <optional>
#include <thread>

using tw::CAnnounceFeed;
using tw::gui::CAnnounceDlg;

namespace {

struct Run {
    int asked = 0;
    std::optional<std::string> url;
    std::string annId;
};

} // namespace

class AnnounceDlgTest : public QObject {
    Q_OBJECT

private:
    /// One start of the feed on this (the GUI) thread; `answer` acts on the dialog once shown.
    Run offer(int id, std::function<void(CAnnounceDlg&)> answer) {
        m_server.id = id;
        Run run;
        bool arrived = false;
        tw::gui::QtExecutor executor;
        CAnnounceFeed feed({executor, m_data.path(), m_config.path(), nullptr,
                            [&] {
                                ++run.asked;
                                CAnnounceDlg dialog;
                                return dialog.ask();
                            },
                            [&](const std::string* url) {
                                if (url) {
                                    run.url = *url;
                                }
                                arrived = true;
                            }});
        tw::RegistryKey key(std::string(CAnnounceFeed::kKeyPrefix) + "\\Tarnwick", false, nullptr,
                            m_config.path());
        key.writeString("Location", m_server.address());
        feed.create("Tarnwick", "");
        auto answering = tw::test::whenModal<CAnnounceDlg>(std::move(answer));
        feed.start(0, 120, "free");
        if (!QTest::qWaitFor([&] { return arrived; }, 60000)) {
            qWarning("no result from the feed");
        }
        feed.destroy();
        run.annId = key.readString("AnnID");
        return run;
    }

    tw::test::TempFolder m_data;
    tw::test::TempFolder m_config;
    tw::test::AnnounceServer m_server;

private slots:
    void yesGivesTheAddressAndRemembersTheId() {
        // Enter: "はい" is the default button.
        Run run = offer(3, [](CAnnounceDlg& d) { QTest::keyClick(&d, Qt::Key_Return); });
        QCOMPARE(run.asked, 1);
        QCOMPARE(run.url.value_or("-"), std::string("http://news.example/3.html"));
        QCOMPARE(run.annId, std::string("3"));
        // Answered: the same announcement is not offered again.
        QCOMPARE(offer(3, [](CAnnounceDlg& d) { d.done(QDialog::Accepted); }).asked, 0);
    }

    void declineRemembersWithoutAddress() {
        Run run =
            offer(5, [](CAnnounceDlg& d) { QTest::mouseClick(d.declineButton(), Qt::LeftButton); });
        QCOMPARE(run.asked, 1);
        QVERIFY(!run.url);
        QCOMPARE(run.annId, std::string("5"));
    }

    void escapeCountsAsDecline() {
        Run run = offer(6, [](CAnnounceDlg& d) { QTest::keyClick(&d, Qt::Key_Escape); });
        QCOMPARE(run.asked, 1);
        QVERIFY(!run.url);
        QCOMPARE(run.annId, std::string("6"));
    }

    void anotherTimeLeavesTheIdAndAsksAgain() {
        const auto later = [](CAnnounceDlg& d) {
            QTest::mouseClick(d.laterButton(), Qt::LeftButton);
        };
        Run first = offer(7, later);
        QCOMPARE(first.asked, 1);
        QVERIFY(!first.url);
        QCOMPARE(first.annId, std::string("6"));
        QCOMPARE(offer(7, later).asked, 1);
    }
};

QTEST_MAIN(AnnounceDlgTest)
#include "AnnounceDlg_test.moc"
