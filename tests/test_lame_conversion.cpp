// One conversion with the system's encoder, through the launcher the build writes into the
// application directory: what the user gets is a playable MP3 of the right length, progress
// on the status line while lame works, and the MP3's line in the list.
#include "app/Form1.h"
#include "core/Session.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeFileDialogs.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakeMessageBox.h"
#include "platform/FakePlayer.h"
#include "skins/SkinControls.h"
#include "tests/support/WindowRig.h"

#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QListView>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>
#include <memory>
#include <sndfile.h>
#include <vector>

using namespace tw;
using namespace tw::test;

namespace {

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using Sndfile = std::unique_ptr<SNDFILE, SndfileCloser>;

constexpr int kRate = 44100;
constexpr int kSeconds = 3;
// Different tones on the two channels, so that a swapped or mixed-down result shows.
constexpr double kLeftHz = 440.0;
constexpr double kRightHz = 660.0;
constexpr double kAmplitude = 0.5;

// Sign changes per second of one channel; a pure tone of f Hz has 2 f of them.
double crossingsPerSecond(const std::vector<float>& frames, int channel, sf_count_t from,
                          sf_count_t count) {
    int crossings = 0;
    for (sf_count_t i = from + 1; i < from + count; ++i) {
        const float a = frames[size_t(2 * (i - 1) + channel)];
        const float b = frames[size_t(2 * i + channel)];
        if ((a < 0) != (b < 0))
            ++crossings;
    }
    return crossings * double(kRate) / double(count);
}

double rms(const std::vector<float>& frames, int channel, sf_count_t from, sf_count_t count) {
    double sum = 0;
    for (sf_count_t i = from; i < from + count; ++i) {
        const double v = frames[size_t(2 * i + channel)];
        sum += v * v;
    }
    return std::sqrt(sum / double(count));
}

} // namespace

class TestLameConversion : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    FakeAudioLibraries audio;
    FakeHotkeys hotkeys;
    FakePlayer player;
    FakeMessageBox messages;
    FakeFileDialogs dialogs;
    std::unique_ptr<Form1> form;

    QString path(const QString& name) const { return dir->path() + "/" + name; }

    static void writeTone(const QString& wavPath) {
        SF_INFO info{};
        info.samplerate = kRate;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        Sndfile file(sf_open(QFile::encodeName(wavPath).constData(), SFM_WRITE, &info));
        QVERIFY2(file, sf_strerror(nullptr));
        std::vector<short> samples(size_t(2 * kRate * kSeconds));
        for (size_t i = 0; i < samples.size() / 2; ++i) {
            const double t = double(i) / kRate;
            samples[2 * i] =
                short(std::lround(kAmplitude * 32767 * std::sin(2 * M_PI * kLeftHz * t)));
            samples[2 * i + 1] =
                short(std::lround(kAmplitude * 32767 * std::sin(2 * M_PI * kRightHz * t)));
        }
        QCOMPARE(sf_writef_short(file.get(), samples.data(), kRate * kSeconds),
                 sf_count_t(kRate * kSeconds));
    }

  private slots:
    void initTestCase() {
        const QString appDir = qEnvironmentVariable("TW_APPDIR");
        QVERIFY2(!appDir.isEmpty(), "TW_APPDIR is not set; run this test through ctest");
        QVERIFY2(QFileInfo(appDir + "/lame").isExecutable(),
                 qPrintable(appDir + "/lame is missing: the build writes it only when the "
                                     "system has lame (apt-get install lame)"));
    }

    void init() {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        messages = FakeMessageBox();
        QVERIFY(QFile::copy(qEnvironmentVariable("TW_APPDIR") + "/lame", path("lame")));
        QFile config(path("Config.ini"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(
            "[Config]\nRecording Source=1\nChannels=2\nBitsPerSample=16\nSamplesPerSec=44100\n"
            "Save Position=" +
            path("take.wav").toUtf8() + "\n");
        config.close();
        form = std::make_unique<RiggedForm1>(
            Services{dir->path(), audio, hotkeys, player, &messages, nullptr, &dialogs});
        form->Form_Load();
    }
    void cleanup() { form.reset(); }

    void convertARecordingWithLame() {
        // A blank in the name: the path must reach lame as one argument.
        const QString wav = path("Take 01.wav");
        const QString mp3 = path("Take 01.mp3");
        writeTone(wav);
        Session& session = form->session();
        session.takes.add(wav, 3, Takes::Kind::Wav);
        form->List1->setCurrentIndex(session.takes.index(0));

        QStringList shown;
        connect(form->Text1, &QLineEdit::textChanged, this,
                [&](const QString& text) { shown << text; });
        form->Convert_Click();
        QTRY_VERIFY_WITH_TIMEOUT(!session.converter().busy(), 30000);

        QVERIFY2(messages.texts.isEmpty(), qPrintable(messages.texts.join('\n')));
        QVERIFY(form->SkinButton1->isEnabled());

        // Progress came from lame's own output, and only in the listener's shape.
        static const QRegularExpression progress("^Encoding in progress\\.\\.\\.  Status=.{2}%$");
        const QStringList progressTexts =
            shown.filter(QRegularExpression("^Encoding in progress\\.\\.\\.  Status="));
        QVERIFY2(!progressTexts.isEmpty(), qPrintable(shown.join('\n')));
        for (const QString& text : progressTexts)
            QVERIFY2(progress.match(text).hasMatch(), qPrintable(text));
        QVERIFY(!shown.isEmpty());
        QCOMPARE(shown.last(), QString("Finish Converting"));
        QCOMPARE(form->Text1->text(), QString("Finish Converting"));
        QCOMPARE(session.status.colour(), kRed);

        QCOMPARE(session.takes.rowCount(), 2);
        QCOMPARE(form->List1->model()->index(1, 0).data().toString(), "02     00:03     " + mp3);

        // The MP3 decodes to the tones that went in, at their length.
        SF_INFO info{};
        Sndfile file(sf_open(QFile::encodeName(mp3).constData(), SFM_READ, &info));
        QVERIFY2(file, sf_strerror(nullptr));
        QCOMPARE(info.format & SF_FORMAT_TYPEMASK, int(SF_FORMAT_MPEG));
        QCOMPARE(info.samplerate, kRate);
        QCOMPARE(info.channels, 2);
        const double seconds = double(info.frames) / info.samplerate;
        QVERIFY2(std::abs(seconds - kSeconds) <= 0.2, qPrintable(QString::number(seconds)));

        std::vector<float> frames(size_t(2 * info.frames));
        QCOMPARE(sf_readf_float(file.get(), frames.data(), info.frames), info.frames);
        const sf_count_t from = kRate / 2;
        const sf_count_t count = std::min<sf_count_t>(kRate, info.frames - from);
        QVERIFY(count > kRate / 2);
        for (int channel = 0; channel < 2; ++channel) {
            const double hz = channel == 0 ? kLeftHz : kRightHz;
            const double crossings = crossingsPerSecond(frames, channel, from, count);
            QVERIFY2(std::abs(crossings - 2 * hz) <= 0.02 * 2 * hz,
                     qPrintable(QString("channel %1: %2 crossings/s").arg(channel).arg(crossings)));
            const double level = rms(frames, channel, from, count);
            QVERIFY2(std::abs(level - kAmplitude / std::sqrt(2.0)) <= 0.1 * kAmplitude,
                     qPrintable(QString("channel %1: rms %2").arg(channel).arg(level)));
        }
    }

    // lame itself takes any bytes for raw samples and ends with status 0.
    void randomBytesAreNotConverted() {
        QByteArray noise(64 * 1024, Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
        const QString wav = path("noise.wav");
        QFile file(wav);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(noise) == noise.size());
        file.close();
        Session& session = form->session();
        session.takes.add(wav, 1, Takes::Kind::Wav);
        form->List1->setCurrentIndex(session.takes.index(0));
        form->Convert_Click();
        QCOMPARE(session.status.text(), wav + " is not converted: it is not a WAV file.");
        QCOMPARE(session.status.colour(), kRed);
        QCOMPARE(session.takes.rowCount(), 1);
        QVERIFY(!QFileInfo::exists(path("noise.mp3")));
    }
};

QTEST_MAIN(TestLameConversion)
#include "test_lame_conversion.moc"
