// Takes in another format than WAV: encoded from the capture as it records, listed under their
// own name at Stop with the WAV gone, never replacing a file; an encoder that fails keeps the
// WAV and says why; Config.ini's "Take Format" read and written.
#include "core/Session.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakePlayer.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;
using namespace tw::test;
using Phase = Recorder::Phase;

class TestCoreTakeFormat : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    FakeAudioLibraries audio;
    FakePlayer player;
    std::unique_ptr<Session> session;

    QString path(const QString& name) const { return dir->path() + "/" + name; }
    Recorder& recorder() { return session->recorder; }
    void start(const QByteArray& extra) {
        session = startSession(dir->path(), configFor(path("Rec.wav")) + extra, audio, player);
        QVERIFY(session);
    }
    // A take whose capture holds `seconds`, as the engine writes it while it records.
    void record(double seconds) {
        QVERIFY(writeWav(path("capture.wav"), seconds));
        audio.status.capture = path("capture.wav");
        audio.savedSeconds = seconds;
        recorder().record();
        QTRY_COMPARE(recorder().phase(), Phase::Recording);
    }
    void stop() {
        recorder().stopAndSave();
        QTRY_COMPARE_WITH_TIMEOUT(recorder().phase(), Phase::Idle, 15000);
    }
    void recordAndStop(double seconds) {
        record(seconds);
        stop();
    }
    // Files in the folder of the takes but the capture and Config.ini, hidden ones too.
    QStringList takeFiles() const {
        QStringList files = QDir(dir->path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
        files.removeAll("capture.wav");
        files.removeAll("Config.ini");
        return files;
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        // The encoder lists its unfinished file in the cache folder: the test's own.
        qputenv("XDG_CACHE_HOME", path("cache").toLocal8Bit());
        audio = FakeAudioLibraries();
        saveWritesTheTake(audio);
    }
    void cleanup() {
        session.reset();
        dir.reset();
    }

    void theKeyIsReadAndAnUnknownValueIsWavAndSaid() {
        start("");
        QCOMPARE(session->settings.takeFormat, TakeFormat::Wav);
        session.reset();
        start("Take Format=flac\n");
        QCOMPARE(session->settings.takeFormat, TakeFormat::Flac);
        QVERIFY(session->settings.writeTakeFormat(TakeFormat::Vorbis));
        QCOMPARE(session->settings.takeFormatFromFile(), TakeFormat::Vorbis);
        QVERIFY(readFile(path("Config.ini")).contains("Take Format=Vorbis"));
        session.reset();
        start("Take Format=AIFF\n");
        QCOMPARE(session->settings.takeFormat, TakeFormat::Wav);
        QVERIFY2(session->status.text().contains("\"AIFF\"") &&
                     session->status.text().contains("saved as WAV"),
                 qPrintable(session->status.text()));
        QCOMPARE(session->status.colour(), kRed);
    }

    // The encoded take takes the first number free in both formats, so neither an earlier
    // FLAC nor a WAV of that number is replaced; its WAV goes once it is listed.
    void anEncodedTakeIsListedAndItsWavRemoved() {
        start("Take Format=FLAC\n");
        QVERIFY(writeFile(path("Rec.flac"), "an earlier take"));
        QSignalSpy saved(&recorder(), &Recorder::takeSaved);
        recordAndStop(2.0);
        QCOMPARE(saved.size(), 1);
        QCOMPARE(saved.first(), QVariantList({path("Rec_1.flac"), 2, QString()}));
        QCOMPARE(lines(session->takes), QStringList{"01     00:02     " + path("Rec_1.flac")});
        QCOMPARE(readFile(path("Rec.flac")), QByteArray("an earlier take"));
        QCOMPARE(takeFiles(), QStringList({"Rec.flac", "Rec_1.flac"}));
        QCOMPARE(session->status.text(),
                 QString("Recording is over,Wave file has saved in appointed path"));
        QCOMPARE(recorder().takeCounter(), 2);

        // The next take skips a number whose WAV exists, and an MP3 take needs no conversion.
        QVERIFY(writeFile(path("Rec_2.wav"), "not ours"));
        session->settings.takeFormat = TakeFormat::Mp3;
        session->settings.AutoMp3 = 1;
        QVERIFY(writeFile(path("lame"), "#!/bin/sh\nexec lame \"$@\"\n"));
        QFile(path("lame")).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        recordAndStop(1.0);
        QCOMPARE(saved.last().at(0).toString(), path("Rec_3.mp3"));
        QVERIFY(!session->converter().busy());
        QCOMPARE(takeFiles(),
                 QStringList({"Rec.flac", "Rec_1.flac", "Rec_2.wav", "Rec_3.mp3", "lame"}));
    }

    // A take cut short by a lost server: the encoded file holds what the WAV holds, and the
    // warning names it.
    void aTakeCutShortIsEncodedAsFarAsItGoes() {
        start("Take Format=Vorbis\n");
        audio.onWavelark = [this](const QByteArray& file, int32_t mode, int32_t, int32_t, int32_t,
                                  int32_t) -> int32_t {
            if (mode != 0)
                return 0;
            audio.status.problems = EngineStatus::ServerLost;
            return writeWav(QString::fromLocal8Bit(file), audio.savedSeconds) ? -5 : -4;
        };
        QSignalSpy saved(&recorder(), &Recorder::takeSaved);
        recordAndStop(1.5);
        QCOMPARE(saved.size(), 1);
        QCOMPARE(saved.first().at(0).toString(), path("Rec.ogg"));
        const QString warning = saved.first().at(2).toString();
        QVERIFY2(warning.startsWith("Saved as " + path("Rec.ogg") +
                                    ", but the recording was cut short: ") &&
                     warning.contains("It holds 1.5 s"),
                 qPrintable(warning));
        QCOMPARE(takeFiles(), QStringList{"Rec.ogg"});
    }

    // An encoder that gives up halfway: the take is its WAV, said in red, and nothing of the
    // encoder's is left.
    void aFailingEncoderKeepsTheWavAndSaysWhy() {
        QVERIFY(writeFile(path("lame"),
                          "#!/bin/sh\nhead -c 100 >/dev/null\necho 'no space' >&2\nexit 5\n"));
        QFile(path("lame")).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        start("Take Format=MP3\n");
        QSignalSpy saved(&recorder(), &Recorder::takeSaved);
        // More than the pipe holds, so that lame's end shows before the take's.
        record(10.0);
        // Said while the take goes on, not only at its end.
        QTRY_VERIFY2(session->status.text().startsWith(
                         "The MP3 file cannot be made (lame stopped reading: ended with status 5"),
                     qPrintable(session->status.text()));
        QCOMPARE(recorder().phase(), Phase::Recording);
        stop();
        QCOMPARE(saved.size(), 1);
        QCOMPARE(saved.first().at(0).toString(), path("Rec.wav"));
        const QString warning = saved.first().at(2).toString();
        QVERIFY2(warning.startsWith("Saved as " + path("Rec.wav") +
                                    ", as WAV: the MP3 file could not be made (") &&
                     warning.contains("status 5") && warning.contains("no space"),
                 qPrintable(warning));
        QCOMPARE(session->status.text(), warning);
        QCOMPARE(session->status.colour(), kRed);
        QCOMPARE(takeFiles(), QStringList({"Rec.wav", "lame"}));
    }
};

QTEST_GUILESS_MAIN(TestCoreTakeFormat)
#include "test_core_take_format.moc"
