// A real take encoded while it records, on the private sound server: each format, with a pause
// in the middle, decodes back to the WAV's length, the format's rate and the server's 440 Hz
// tone.
#include "engine/exports.h"
#include "engine/take_encoder.h"
#include "pulse_support.h"

#include <QTemporaryDir>
#include <QThread>

using namespace pulsetest;
using tw::encode::Codec;
using tw::encode::TakeEncoder;

class TestPulseLiveEncoding : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        QVERIFY2(serverIsUp(), "needs the private sound server of scripts/test");
        const int tone = engineIndexOf("micsink.monitor");
        QVERIFY(tone >= 0);
        QCOMPARE(Wavelark("", 5, 0, 0, 0, tone), 0);
    }

    void aTakeWithAPauseInEachFormat_data() {
        QTest::addColumn<int>("codec");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("decodedRate");
        QTest::newRow("flac") << int(Codec::Flac) << 2 << 44100 << 16 << 44100;
        QTest::newRow("opus") << int(Codec::Opus) << 1 << 22050 << 16 << 24000;
        QTest::newRow("vorbis") << int(Codec::Vorbis) << 2 << 48000 << 16 << 48000;
        QTest::newRow("mp3") << int(Codec::Mp3) << 1 << 11025 << 8 << 11025;
    }
    void aTakeWithAPauseInEachFormat() {
        QFETCH(int, codec);
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(int, bits);
        QFETCH(int, decodedRate);
        QTemporaryDir dir;
        QCOMPARE(Wavelark("", 1, channels, rate, bits, 0), 0);
        WavelarkStatusInfo info{};
        QCOMPARE(WavelarkStatus(&info), 0);
        tw::encode::Job job;
        job.codec = Codec(codec);
        job.source = info.capture;
        job.target = dir.filePath("take.out").toStdString();
        job.tags = {"take", "2026-12-09", "test"};
        TakeEncoder encoder(job);
        QVERIFY2(encoder.start(), encoder.error().c_str());

        QThread::msleep(1200);
        QCOMPARE(Wavelark("", 2, 0, 0, 0, 0), 0);
        QThread::msleep(800);
        QCOMPARE(Wavelark("", 3, 0, 0, 0, 0), 0);
        QThread::msleep(1200);
        const QString wav = dir.filePath("take.wav");
        QCOMPARE(Wavelark(wav.toUtf8().constData(), 0, 0, 0, 0, 0), 0);
        encoder.sourceComplete();
        encoder.wait();
        QVERIFY2(encoder.state() == TakeEncoder::State::Done, encoder.error().c_str());

        const Audio master = readAudio(wav);
        const Audio encoded = readAudio(dir.filePath("take.out"));
        QVERIFY(master.opened && encoded.opened);
        // The pause is left out of both.
        QVERIFY2(master.seconds() > 2.1 && master.seconds() < 2.7,
                 qPrintable(QString::number(master.seconds())));
        // An MP3 at 11025 Hz has no room for lame's tag: its reader keeps the encoder's delay
        // and padding, three frames of 576 at most.
        const double tolerance = TakeEncoder::kLengthTolerance +
                                 (Codec(codec) == Codec::Mp3 ? 3.0 * 576 / decodedRate : 0);
        QVERIFY2(std::abs(encoded.seconds() - master.seconds()) <= tolerance,
                 qPrintable(QString("%1 vs %2").arg(encoded.seconds()).arg(master.seconds())));
        QCOMPARE(encoded.info.samplerate, decodedRate);
        QCOMPARE(encoded.info.channels, channels);
        QCOMPARE(dominantFrequency(encoded.channels[0], decodedRate), 440.0);
    }
};

QTEST_GUILESS_MAIN(TestPulseLiveEncoding)
#include "test_pulse_live_encoding.moc"
