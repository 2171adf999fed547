#include "gui/common/BackgroundWork.h"
#include "support/FakePrompter.h"

#include <QTest>
#include <QThread>

#include <atomic>
#include <thread>

using tw::gui::BackgroundWork;
using tw::gui::QtExecutor;

namespace {

/// Waits, without running the GUI thread's loop, until a worker is caught in a send.
void waitForSender(BackgroundWork& work) {
    const auto& executor = dynamic_cast<const QtExecutor&>(work.executor());
    while (executor.waitingSenders() < 1) {
        std::this_thread::yield();
    }
}

} // namespace

class BackgroundWorkTest : public QObject {
    Q_OBJECT
private slots:
    void stepsAndTheEndArriveOnTheGuiThreadInOrder() {
        BackgroundWork work;
        QStringList seen;
        std::atomic<bool> workerOffTheGuiThread{false};
        QVERIFY(work.start(
            [&] {
                workerOffTheGuiThread = QThread::currentThread() != qApp->thread();
                work.executor().post([&] { seen << QStringLiteral("step"); });
                bool answered = false;
                (void)work.executor().send([&] { answered = true; });
                work.executor().post([&, answered] {
                    seen << (answered ? QStringLiteral("sent") : QStringLiteral("refused"));
                });
            },
            [&] {
                QVERIFY(QThread::currentThread() == qApp->thread());
                seen << QStringLiteral("done");
            }));
        QCOMPARE(work.running(), 1);
        QTRY_COMPARE(work.running(), 0);
        QVERIFY(workerOffTheGuiThread);
        QCOMPARE(seen, (QStringList{QStringLiteral("step"), QStringLiteral("sent"),
                                    QStringLiteral("done")}));
    }

    // The owner goes away while its worker waits for an answer: closing releases the worker with
    // a refusal, and waits for it, without the GUI thread's loop running.
    void closeRefusesAWaitingSendAndJoins() {
        auto work = std::make_unique<BackgroundWork>();
        std::atomic<bool> sent{true};
        bool ran = false;
        bool done = false;
        work->start([&] { sent = work->executor().send([&] { ran = true; }); },
                    [&] { done = true; });
        waitForSender(*work);
        work->close();
        QVERIFY(!sent);
        QCOMPARE(work->running(), 0);
        QCoreApplication::processEvents();
        QVERIFY(!ran);
        QVERIFY(!done);
        // Closed: nothing starts.
        QVERIFY(!work->start([] {}));
        work.reset(); // a second close, in the destructor, is harmless
    }

    void theDestructorClosesToo() {
        std::atomic<bool> sent{true};
        {
            BackgroundWork work;
            work.start([&] { sent = work.executor().send([] {}); });
            waitForSender(work);
        }
        QVERIFY(!sent);
    }

    // A worker's questions reach the target on the GUI thread; once closed they are refused
    // without reaching it.
    void theWorkersPrompterAsksOnTheGuiThread() {
        tw::test::FakePrompter target;
        target.setNextAnswer(true);
        auto work = std::make_unique<BackgroundWork>();
        work->setPrompter(&target);
        bool answer = false;
        work->start([&] { answer = work->prompter().ask("question"); });
        QTRY_COMPARE(work->running(), 0);
        QVERIFY(answer);
        QCOMPARE(target.questions().size(), std::size_t(1));

        target.setNextAnswer(true);
        std::atomic<bool> late{true};
        work->start([&] { late = work->prompter().ask("too late"); });
        waitForSender(*work);
        work->close();
        QVERIFY(!late);
        QCOMPARE(target.questions().size(), std::size_t(1));
        // On the GUI thread the target is asked at once, closed or not.
        QVERIFY(work->prompter().ask("here"));
        QCOMPARE(target.questions().size(), std::size_t(2));
    }
};

QTEST_MAIN(BackgroundWorkTest)
#include "BackgroundWork_test.moc"
