// The mixer through its C export, checked against what pactl reports on the private server.
#include "engine/exports.h"
#include "pulse_support.h"

#include <QElapsedTimer>

using namespace pulsetest;

class TestPulseMixer : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        QVERIFY2(serverIsUp(), "the private PulseAudio server of scripts/test is not running");
    }

    // The recording tests want every source back at full level.
    void cleanupTestCase() {
        for (const QString& name : sourcesInEngineOrder())
            run("pactl", {"set-source-volume", name, "100%"});
    }

    // Every source, numbered as the engine numbers them, gets its own level on every channel.
    void setsEachSourceByItsNumber() {
        const QStringList names = sourcesInEngineOrder();
        QVERIFY(names.size() >= 3);
        for (int i = 0; i < names.size(); ++i) {
            int32_t range[2] = {-7, -7};
            QElapsedTimer answer;
            answer.start();
            QCOMPARE(Volume(i, 10000 + 9000 * i, range), 0);
            // A server that answers is not waited on until the call's deadline.
            QVERIFY(answer.elapsed() < 500);
            QCOMPARE(range[0], 0);
            QCOMPARE(range[1], 65536);
        }
        for (int i = 0; i < names.size(); ++i) {
            const QList<int> levels = sourceVolumes(names[i]);
            QVERIFY2(!levels.isEmpty(), qPrintable(names[i]));
            for (int level : levels)
                QCOMPARE(level, 10000 + 9000 * i);
        }
    }

    void clampsToTheRange_data() {
        QTest::addColumn<int>("asked");
        QTest::addColumn<int>("expected");
        QTest::newRow("muted") << 0 << 0;
        QTest::newRow("middle") << 32768 << 32768;
        QTest::newRow("full") << 65536 << 65536;
        QTest::newRow("above the range") << 200000 << 65536;
        QTest::newRow("below the range") << -5 << 0;
    }

    void clampsToTheRange() {
        QFETCH(int, asked);
        QFETCH(int, expected);
        const int index = engineIndexOf("micsink.monitor");
        int32_t range[2] = {};
        QCOMPARE(Volume(index, asked, range), 0);
        for (int level : sourceVolumes("micsink.monitor"))
            QCOMPARE(level, expected);
    }

    // The -2 of a missing key, or a number past the last source: the range is still given,
    // and no source changes.
    void unknownSourceChangesNothing_data() {
        QTest::addColumn<int>("source");
        QTest::newRow("missing key") << -2;
        QTest::newRow("past the last") << int(sourcesInEngineOrder().size());
    }

    void unknownSourceChangesNothing() {
        QFETCH(int, source);
        const QStringList names = sourcesInEngineOrder();
        for (int i = 0; i < names.size(); ++i)
            QCOMPARE(Volume(i, 20000, nullptr), 0);
        int32_t range[2] = {-7, -7};
        QVERIFY(Volume(source, 50000, range) < 0);
        QCOMPARE(range[0], 0);
        QCOMPARE(range[1], 65536);
        for (const QString& name : names)
            for (int level : sourceVolumes(name))
                QCOMPARE(level, 20000);
    }
};

QTEST_GUILESS_MAIN(TestPulseMixer)
#include "test_pulse_mixer.moc"
