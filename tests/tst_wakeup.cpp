// The bridge's wait between polls: how long it sleeps with and without a wake, and that no wake is lost
// however the waker's and the waiter's steps interleave.
#include <QtTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Wakeup.h"

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// How long a wait for `deadline` took, after `before` ran on this thread and `meanwhile` on another.
template <typename Before, typename Meanwhile>
milliseconds timedWait(mqtt::Wakeup &wakeup, milliseconds deadline, Before before, Meanwhile meanwhile) {
    before();
    std::thread other(meanwhile);
    const auto start = Clock::now();
    wakeup.waitUntil(start + deadline);
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    other.join();
    return took;
}

} // namespace

class WakeupTest : public QObject {
    Q_OBJECT

private slots:
    void waitsForTheDeadlineOrAWake_data() {
        QTest::addColumn<int>("wakesBefore"); // wake() calls on the waiting thread, before the wait
        QTest::addColumn<int>("wakeAfterMs"); // another thread wakes after this long; -1: never
        QTest::addColumn<int>("deadlineMs");  // the wait's deadline, from its start; negative: passed
        QTest::addColumn<int>("atLeastMs");   // the wait took at least this long
        QTest::addColumn<int>("lessThanMs");  // and less than this
        QTest::newRow("no wake: to the deadline") << 0 << -1 << 150 << 150 << 3000;
        QTest::newRow("a wake given before: at once") << 1 << -1 << 5000 << 0 << 2000;
        QTest::newRow("a wake from another thread: when it comes") << 0 << 150 << 5000 << 140 << 2000;
        QTest::newRow("a deadline already passed: at once") << 0 << -1 << -1000 << 0 << 2000;
    }
    void waitsForTheDeadlineOrAWake() {
        QFETCH(int, wakesBefore);
        QFETCH(int, wakeAfterMs);
        QFETCH(int, deadlineMs);
        QFETCH(int, atLeastMs);
        QFETCH(int, lessThanMs);
        mqtt::Wakeup wakeup;
        const auto took = timedWait(
            wakeup, milliseconds(deadlineMs),
            [&] {
                for (int i = 0; i < wakesBefore; ++i)
                    wakeup.wake();
            },
            [&] {
                if (wakeAfterMs < 0)
                    return;
                std::this_thread::sleep_for(milliseconds(wakeAfterMs));
                wakeup.wake();
            });
        QVERIFY2(took >= milliseconds(atLeastMs) && took < milliseconds(lessThanMs),
                 qPrintable(QString::number(took.count()) + " ms"));
    }

    // Wakes given before a wait end that one wait only: the next sleeps to its deadline.
    void wakesBeforeAWaitEndOnlyThatWait() {
        mqtt::Wakeup wakeup;
        wakeup.wake();
        wakeup.wake();
        const auto first = timedWait(
            wakeup, milliseconds(5000), [] {}, [] {});
        const auto second = timedWait(
            wakeup, milliseconds(150), [] {}, [] {});
        QVERIFY2(first < milliseconds(2000), qPrintable(QString::number(first.count()) + " ms"));
        QVERIFY2(second >= milliseconds(150), qPrintable(QString::number(second.count()) + " ms"));
    }

    // The bridge's own pattern: take what is queued, then wait. A waker that queues one item and wakes,
    // again and again, each time as soon as the last was taken: a wake lost between the take and the wait
    // would leave an item waiting for the 10 s deadline.
    void noWakeIsLostBetweenATakeAndTheWait() {
        mqtt::Wakeup wakeup;
        std::mutex mutex;
        std::condition_variable taken;
        int queued = 0;
        int takenSoFar = 0;
        constexpr int Items = 20000;
        std::atomic<bool> late{false};
        std::thread waker([&] {
            for (int i = 0; i < Items && !late; ++i) {
                {
                    std::lock_guard lock(mutex);
                    ++queued;
                }
                wakeup.wake();
                std::unique_lock lock(mutex);
                if (!taken.wait_for(lock, std::chrono::seconds(5), [&] { return takenSoFar > i; }))
                    late = true;
            }
        });
        while (!late) {
            {
                std::lock_guard lock(mutex);
                takenSoFar += queued;
                queued = 0;
            }
            taken.notify_one();
            if (takenSoFar == Items)
                break;
            wakeup.waitUntil(Clock::now() + std::chrono::seconds(10));
        }
        waker.join();
        QVERIFY2(!late,
                 qPrintable(QString("an item waited over 5 s after %1 of %2").arg(takenSoFar).arg(Items)));
        QCOMPARE(takenSoFar, Items);
    }
};

QTEST_GUILESS_MAIN(WakeupTest)
#include "tst_wakeup.moc"
