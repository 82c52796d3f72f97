// Record, wait, Stop through the main window with the real engine on the private
// PulseAudio server: the take is a WAV in the configured format with its list line.
#include "app/Form1.h"
#include "core/Session.h"
#include "platform/AudioLibraries.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakePlayer.h"
#include "skins/SkinControls.h"
#include "tests/support/WindowRig.h"

#include <QFile>
#include <QLineEdit>
#include <QListView>
#include <QTemporaryDir>
#include <QtTest>
#include <sndfile.h>

using namespace tw;
using namespace tw::test;

class TestPulseRecording : public QObject {
    Q_OBJECT
  private slots:
    void recordStopGivesTheConfiguredWav() {
        QVERIFY2(qEnvironmentVariableIsSet("XDG_RUNTIME_DIR"),
                 "needs the private PulseAudio server of scripts/test");
        QTemporaryDir dir;
        const QString take = dir.path() + "/Take.wav";
        QFile ini(dir.path() + "/Config.ini");
        QVERIFY(ini.open(QIODevice::WriteOnly));
        // Source 2 is the monitor of the sink fed by a steady tone (microphones come first,
        // then monitors by name: sine_input, micsink.monitor, speakers.monitor).
        ini.write("[Config]\nRecording Source=2\nChannels=1\nBitsPerSample=8\n"
                  "SamplesPerSec=22050\nSave Position=" +
                  take.toUtf8() + "\n");
        ini.close();

        AudioLibraries audio(qEnvironmentVariable("TW_APPDIR"));
        FakeHotkeys hotkeys;
        FakePlayer player;
        RiggedForm1 form(Services{dir.path(), audio, hotkeys, player});
        form.Form_Load();
        Recorder& recorder = form.session().recorder;
        QTRY_VERIFY(!form.session().engine.busy());
        QVERIFY2(audio.loadError().isEmpty(), qPrintable(audio.loadError()));

        form.SkinButton1->click();
        QTRY_VERIFY(recorder.phase() != Recorder::Phase::Starting);
        QVERIFY2(recorder.phase() == Recorder::Phase::Recording, qPrintable(form.Text1->text()));
        QTest::qWait(2500);
        form.SkinButton2->click();
        QTRY_COMPARE_WITH_TIMEOUT(recorder.phase(), Recorder::Phase::Idle, 10000);

        QVERIFY2(QFile::exists(take), qPrintable(form.Text1->text()));
        SF_INFO info{};
        SNDFILE* file = sf_open(take.toLocal8Bit().constData(), SFM_READ, &info);
        QVERIFY(file);
        sf_close(file);
        // Plain PCM WAV: a 44-byte header, then the samples.
        QCOMPARE(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_WAV);
        QCOMPARE(QFileInfo(take).size(), 44 + info.frames + (info.frames & 1));
        QFile raw(take);
        QVERIFY(raw.open(QIODevice::ReadOnly));
        const QByteArray head = raw.read(12);
        QCOMPARE(head.left(4), QByteArray("RIFF"));
        QCOMPARE(head.mid(8, 4), QByteArray("WAVE"));
        QCOMPARE(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_U8);
        QCOMPARE(info.channels, 1);
        QCOMPARE(info.samplerate, 22050);
        const double seconds = double(info.frames) / info.samplerate;
        QVERIFY2(seconds > 2.2 && seconds < 2.8, qPrintable(QString::number(seconds)));

        QCOMPARE(form.List1->model()->rowCount(), 1);
        const QString line = form.List1->model()->index(0, 0).data().toString();
        QVERIFY2(line == "01     00:01     " + take || line == "01     00:02     " + take,
                 qPrintable(line));
    }
};

QTEST_MAIN(TestPulseRecording)
#include "test_pulse_recording.moc"
