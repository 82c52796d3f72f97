// The wizard with the real engine, mixer and player on the private PulseAudio server: the
// test of the speakers' monitor hears the chime, and "heard" and "Done" set the program up.
#include "app/Form1.h"
#include "core/Session.h"
#include "platform/AudioLibraries.h"
#include "platform/FakeHotkeys.h"
#include "platform/PulsePlayer.h"
#include "settings/Form2.h"
#include "skins/SkinControls.h"
#include "tests/support/WindowRig.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>
#include <sndfile.h>
#include <vector>

using namespace tw;
using namespace tw::test;

namespace {
// Root mean square of a WAV file's samples, full scale 1.0; -1 when it cannot be read.
double rms(const QString& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.toLocal8Bit().constData(), SFM_READ, &info);
    if (!file)
        return -1;
    std::vector<float> samples(size_t(info.frames) * info.channels);
    const sf_count_t got = sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    double sum = 0;
    for (sf_count_t i = 0; i < got * info.channels; ++i)
        sum += double(samples[i]) * samples[i];
    return got > 0 ? std::sqrt(sum / double(got * info.channels)) : 0;
}
} // namespace

class TestPulseWizard : public QObject {
    Q_OBJECT
    QProcess keepAwake;

  private slots:
    void initTestCase() {
        QVERIFY2(qEnvironmentVariableIsSet("XDG_RUNTIME_DIR"),
                 "needs the private PulseAudio server of scripts/test");
        // An idle null sink renders ahead of time; a reader on its monitor keeps it on time.
        keepAwake.start("parec", {"--latency-msec=20", "-d", "speakers.monitor", "/dev/null"});
        QVERIFY(keepAwake.waitForStarted());
        QTest::qWait(1500);
    }
    void cleanupTestCase() {
        keepAwake.kill();
        keepAwake.waitForFinished();
    }

    void theSpeakersMonitorHearsTheChime() {
        const QString appDir = qEnvironmentVariable("TW_APPDIR");
        QTemporaryDir dir;
        QVERIFY(QFile::copy(appDir + "/test.wav", dir.path() + "/test.wav"));
        QDir().mkpath(dir.path() + "/skin");
        QFile::copy(appDir + "/skin/green.skn", dir.path() + "/skin/green.skn");

        AudioLibraries audio(appDir);
        FakeHotkeys hotkeys;
        PulsePlayer player;
        RiggedForm1 form(Services{dir.path(), audio, hotkeys, player});
        form.Form_Load();
        Form2* window = form.form2();
        SoundCardWizard& wizard = form.session().wizard;
        const QString testRecording = wizard.testRecordingPath();
        // Each step runs in the background (a test records for the chime's length); the
        // next click waits for it.
        auto next = [&] {
            window->SkinButton1_Click();
            return QTest::qWaitFor([&] { return !wizard.busy(); }, 20000);
        };

        // Sources: sine_input, micsink.monitor, speakers.monitor (microphones first, then
        // monitors by name). The speakers' monitor, No.3, hears what the player plays.
        QVERIFY(next());
        QCOMPARE(wizard.sourceCount(), 3);
        QVERIFY(next()); // announce No.1
        for (int source = 1; source <= 2; ++source) {
            QVERIFY(next()); // record
            QVERIFY(next()); // play back
            QVERIFY(next()); // not heard: announce the next one
        }
        QVERIFY(next()); // record No.3 while the chime plays
        QCOMPARE(wizard.testNumber(), 3);
        QVERIFY(QFile::exists(testRecording));
        const double chime = rms(testRecording);
        QVERIFY2(player.lastError().isEmpty(), qPrintable(player.lastError()));

        // The same source with nothing playing; the wizard's engine calls have all answered.
        QCOMPARE(audio.Wavelark("", 1, 1, 22050, 8, 0), 0);
        QTest::qWait(1200);
        const QString silentPath = dir.path() + "/silent.wav";
        QCOMPARE(audio.Wavelark(silentPath.toLocal8Bit(), 0, 0, 0, 0, 0), 0);
        const double silence = rms(silentPath);
        QVERIFY2(chime > 0.01 && chime > 20 * silence,
                 qPrintable(QString("chime %1, silence %2").arg(chime).arg(silence)));

        QVERIFY(next()); // play the test recording back
        QVERIFY(window->SkinButton2->isVisible());
        window->SkinButton2_Click(); // heard
        window->SkinButton2_Click(); // Done
        QFile ini(dir.path() + "/Config.ini");
        QVERIFY(ini.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(ini.readAll()),
                 "[Config]\nRecording Source=3\nSave Position=" + dir.path() +
                     "/Larktake.wav\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\n");
        QVERIFY(form.isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(form.SkinScrollBar1->position(), 32768, 10000);
        QProcess pactl;
        pactl.start("pactl", {"get-source-volume", "speakers.monitor"});
        QVERIFY(pactl.waitForFinished());
        const QString volume = QString::fromUtf8(pactl.readAllStandardOutput());
        // The middle of the slider is half the amplitude.
        QVERIFY2(volume.contains("-6.02 dB"), qPrintable(volume));
    }
};

QTEST_MAIN(TestPulseWizard)
#include "test_pulse_wizard.moc"
