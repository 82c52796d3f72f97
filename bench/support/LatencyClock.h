// What the latency benches share: the clock their stamps are taken on, and a wait that
// runs the event loop finely enough not to add to what it measures.
#pragma once

#include <QEventLoop>
#include <QTimer>
#include <ctime>
#include <functional>

namespace tw::bench {

// CLOCK_MONOTONIC, the clock the other side of a measurement (a fake portal backend, a
// writer thread) stamps with too.
inline qint64 nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Runs the event loop until `done`, polling every millisecond. Not QTest::qWaitFor: it
// sleeps 10 ms between rounds of events, which would be counted in every figure.
inline bool waitUntil(const std::function<bool()>& done, int ms = 5000) {
    QEventLoop loop;
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    poll.start(1);
    if (!done())
        loop.exec();
    return done();
}

} // namespace tw::bench
