#include "AnnounceServer.h"
#include "ProgramFixture.h"
#include "core/app/CHLPCall.h"
#include "core/platform/RegistryKey.h"
#include "gui/feed/AnnounceFlow.h"
#include "gui/feed/CAnnounceDlg.h"
#include "support/FakePrompter.h"

#include <QPushButton>

#include <mutex>
#include <vector>

using tw::CAnnounceFeed;
using tw::FetchSettings;
using tw::gui::AnnounceFlow;
using tw::gui::CAnnounceDlg;

namespace {

/// What the display bridge handed over, read back from its hand-over files.
class ShownPages {
public:
    int take(const std::string& path) {
        FetchSettings record;
        const bool read = record.fromText(tw::test::TempFolder::readFile(path)) == 1;
        std::remove(path.c_str());
        std::lock_guard lock(m_mutex);
        if (read) {
            m_records.push_back(record);
        }
        return 0;
    }
    std::vector<FetchSettings> records() const {
        std::lock_guard lock(m_mutex);
        return m_records;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<FetchSettings> m_records;
};

} // namespace

/// The window's announcement flow: the feed, the question and the page it leads to.
class AnnounceFlowTest : public QObject {
    Q_OBJECT

    tw::test::TempFolder m_data;
    tw::test::TempFolder m_config;
    tw::test::AnnounceServer m_server;
    tw::test::FakePrompter m_prompter;
    /// As in the program, executors outlive the feed's worker, which a question open while
    /// its owner ends leaves to finish on its own.
    std::vector<std::unique_ptr<tw::gui::QtExecutor>> m_executors;

    tw::gui::QtExecutor& newExecutor() {
        return *m_executors.emplace_back(std::make_unique<tw::gui::QtExecutor>());
    }

    std::string annId() {
        tw::RegistryKey key(std::string(CAnnounceFeed::kKeyPrefix) + "\\Tarnwick", false, nullptr,
                            m_config.path());
        return key.readString("AnnID");
    }

private slots:
    void init() {
        // Nothing announced has been answered yet.
        tw::RegistryKey key(std::string(CAnnounceFeed::kKeyPrefix) + "\\Tarnwick", false, nullptr,
                            m_config.path());
        key.writeString("AnnID", "0");
    }

    void yesShowsTheAnnouncedPageTaggedAndTheFeedGoes() {
        m_server.id = 4;
        tw::gui::QtExecutor& executor = newExecutor();
        ShownPages shown;
        tw::CHLPCall bridge(
            m_data.path(), [&](const std::string& path) { return shown.take(path); }, m_prompter);
        AnnounceFlow flow({executor, m_data.path(), m_config.path(), &m_prompter, bridge, nullptr});
        bool asked = false;
        const auto answer = tw::test::whenModal<CAnnounceDlg>([&](CAnnounceDlg& dialog) {
            asked = flow.question() == &dialog;
            QTest::mouseClick(dialog.yesButton(), Qt::LeftButton);
        });
        flow.start("Tarnwick", m_server.address(), 0, 120, "free");
        QVERIFY(flow.running());
        QTRY_VERIFY_WITH_TIMEOUT(!flow.running(), 30000);
        QVERIFY(asked);
        QVERIFY(!flow.question());
        QTRY_COMPARE(shown.records().size(), std::size_t(1));
        QCOMPARE(shown.records()[0].targetUrl, std::string("http://news.example/4.html"));
        QCOMPARE(shown.records()[0].itemTag, std::string(AnnounceFlow::kItemTag));
        QCOMPARE(annId(), std::string("4"));
    }

    void declineShowsNothing() {
        m_server.id = 5;
        tw::gui::QtExecutor& executor = newExecutor();
        ShownPages shown;
        tw::CHLPCall bridge(
            m_data.path(), [&](const std::string& path) { return shown.take(path); }, m_prompter);
        AnnounceFlow flow({executor, m_data.path(), m_config.path(), &m_prompter, bridge, nullptr});
        const auto answer = tw::test::whenModal<CAnnounceDlg>([](CAnnounceDlg& dialog) {
            QTest::mouseClick(dialog.declineButton(), Qt::LeftButton);
        });
        flow.start("Tarnwick", m_server.address(), 0, 120, "free");
        QTRY_VERIFY_WITH_TIMEOUT(!flow.running(), 30000);
        bridge.stop();
        QVERIFY(shown.records().empty());
        QCOMPARE(annId(), std::string("5"));
    }

    // The window ends while the question is open: it is closed as "another time", nothing is
    // shown, and the same announcement is offered at the next start.
    void aQuestionOpenWhenTheOwnerEndsCountsAsAnotherTime() {
        m_server.id = 6;
        tw::gui::QtExecutor& executor = newExecutor();
        ShownPages shown;
        tw::CHLPCall bridge(
            m_data.path(), [&](const std::string& path) { return shown.take(path); }, m_prompter);
        AnnounceFlow flow({executor, m_data.path(), m_config.path(), &m_prompter, bridge, nullptr});
        bool closed = false;
        const auto owner = tw::test::whenModal<CAnnounceDlg>([&](CAnnounceDlg& dialog) {
            QPointer<CAnnounceDlg> question(&dialog);
            flow.closeQuestion();
            closed = true;
            // As the window does: the executor closes, then the feed goes.
            executor.close();
            flow.end();
            QVERIFY(!flow.running());
            // The dialog returns once this handler has; it is not answered.
            QVERIFY(question);
        });
        flow.start("Tarnwick", m_server.address(), 0, 120, "free");
        QTRY_VERIFY_WITH_TIMEOUT(closed, 30000);
        QTRY_VERIFY(!flow.question());
        bridge.stop();
        QVERIFY(shown.records().empty());
        QCOMPARE(annId(), std::string("0"));
    }
};

QTEST_MAIN(AnnounceFlowTest)
#include "AnnounceFlow_test.moc"
