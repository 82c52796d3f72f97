// The compressed take: each format decodes back to the capture's length, rate and tone, with its
// tags; a capture still growing is followed to its end; a failing encoder or a cancel leaves
// no file behind and says why.
#include "engine/encoder_sinks.h"
#include "engine/take_encoder.h"
#include "engine/wav_writer.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <vector>

using tw::encode::Codec;
using tw::encode::Job;
using tw::encode::TakeEncoder;
using tw::engine::Fd;
using tw::engine::WavWriter;

namespace {

// Interleaved frames of a tone at `hz`, half of full scale, in the capture's own bytes.
std::vector<char> tone(int hz, int rate, int channels, int bits, double seconds, int64_t from = 0) {
    const auto frames = int64_t(seconds * rate);
    std::vector<char> out;
    out.reserve(size_t(frames * channels * bits / 8));
    for (int64_t i = from; i < from + frames; ++i) {
        const double v = 0.5 * std::sin(2 * M_PI * hz * double(i) / rate);
        for (int c = 0; c < channels; ++c) {
            if (bits == 8) {
                out.push_back(char(uint8_t(128 + std::lround(v * 127))));
            } else {
                const auto s = int16_t(std::lround(v * 32767));
                out.push_back(char(s & 0xFF));
                out.push_back(char((s >> 8) & 0xFF));
            }
        }
    }
    return out;
}

WavWriter startWav(const QString& path, WavWriter::Format f,
                   uint64_t plainLimit = WavWriter::kPlainLimit, bool mayInsert = true) {
    Fd fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    WavWriter w(std::move(fd), path.toStdString(), f, plainLimit, mayInsert);
    w.begin();
    return w;
}

void writeWav(const QString& path, WavWriter::Format f, const std::vector<char>& data) {
    WavWriter w = startWav(path, f);
    w.append(data.data(), data.size());
    w.finish();
}

// The power of `hz` against that of a frequency well away from it (Goertzel), in the first
// channel of a decoded file, and the file's length, rate and tags.
struct Decoded {
    double seconds = -1;
    int rate = 0;
    int channels = 0;
    double toneOverOther = 0;
    QString title, date, software;
};

double goertzel(const std::vector<float>& x, int channels, int rate, double hz) {
    const double k = 2 * std::cos(2 * M_PI * hz / rate);
    double s1 = 0, s2 = 0;
    for (size_t i = 0; i < x.size(); i += size_t(channels)) {
        const double s = x[i] + k * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    return s1 * s1 + s2 * s2 - k * s1 * s2;
}

Decoded decode(const QString& path, int hz) {
    Decoded d;
    SF_INFO info{};
    SNDFILE* f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!f)
        return d;
    d.seconds = double(info.frames) / info.samplerate;
    d.rate = info.samplerate;
    d.channels = info.channels;
    std::vector<float> x(size_t(info.frames * info.channels));
    x.resize(size_t(sf_readf_float(f, x.data(), info.frames) * info.channels));
    d.toneOverOther = goertzel(x, info.channels, info.samplerate, hz) /
                      std::max(goertzel(x, info.channels, info.samplerate, hz * 1.7), 1e-9);
    auto text = [f](int id) { return QString::fromUtf8(sf_get_string(f, id)); };
    d.title = text(SF_STR_TITLE);
    d.date = text(SF_STR_DATE);
    d.software = text(SF_STR_SOFTWARE);
    sf_close(f);
    return d;
}

// Appends `pieces` pieces of a 440 Hz tone, `seconds` each, to the capture at 44.1 kHz stereo,
// announcing each in the header as the engine does; `at` counts the frames written.
bool grow(WavWriter& w, int pieces, double seconds, int64_t& at) {
    for (int piece = 0; piece < pieces; ++piece) {
        const auto data = tone(440, 44100, 2, 16, seconds, at);
        at += int64_t(seconds * 44100);
        if (!w.append(data.data(), data.size()) || !w.updateHeader())
            return false;
        QTest::qWait(int(seconds * 400));
    }
    return true;
}

// The FLAC holds exactly the tone's first `frames` frames: no piece doubled or skipped.
bool holdsTheTone(const QString& flac, int64_t frames) {
    SF_INFO info{};
    SNDFILE* f = sf_open(QFile::encodeName(flac).constData(), SFM_READ, &info);
    if (!f)
        return false;
    if (info.frames != frames) {
        sf_close(f);
        return false;
    }
    std::vector<int16_t> back(size_t(frames * 2));
    const bool read = sf_readf_short(f, back.data(), frames) == frames;
    sf_close(f);
    const auto all = tone(440, 44100, 2, 16, double(frames) / 44100);
    return read && std::memcmp(back.data(), all.data(), all.size()) == 0;
}

Job job(Codec codec, const QString& source, const QString& target) {
    Job j;
    j.codec = codec;
    j.source = source.toStdString();
    j.target = target.toStdString();
    j.tags = {"Larktake_3", "2026-12-09T05:30:00", "Tunewright test"};
    j.lameSwitches = {"-b", "128"};
    return j;
}

} // namespace

class TestTakeEncoder : public QObject {
    Q_OBJECT
  private slots:
    void eachFormatDecodesBackWithItsTags_data();
    void eachFormatDecodesBackWithItsTags();
    void aGrowingCaptureIsFollowedToItsEnd();
    void aCaptureThatBecomesRf64IsFollowed_data();
    void aCaptureThatBecomesRf64IsFollowed();
    void lameHoldsTheUsersModeForRawAudio();
    void aFailingEncoderLeavesNoFileAndSaysWhy();
    void aCancelRemovesTheFile();
};

void TestTakeEncoder::eachFormatDecodesBackWithItsTags_data() {
    QTest::addColumn<int>("codec");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("decodedRate");
    QTest::newRow("flac 44.1k stereo") << int(Codec::Flac) << 44100 << 2 << 16 << 44100;
    QTest::newRow("flac 8k mono 8-bit") << int(Codec::Flac) << 8000 << 1 << 8 << 8000;
    QTest::newRow("vorbis 22.05k") << int(Codec::Vorbis) << 22050 << 2 << 16 << 22050;
    QTest::newRow("opus 44.1k resampled") << int(Codec::Opus) << 44100 << 2 << 16 << 48000;
    // Opus keeps the take's rate in its header; libsndfile decodes at the next rate Opus has.
    QTest::newRow("opus 11.025k mono") << int(Codec::Opus) << 11025 << 1 << 16 << 12000;
    QTest::newRow("opus 48k") << int(Codec::Opus) << 48000 << 2 << 16 << 48000;
    QTest::newRow("mp3 44.1k stereo") << int(Codec::Mp3) << 44100 << 2 << 16 << 44100;
    QTest::newRow("mp3 22.05k mono 8-bit") << int(Codec::Mp3) << 22050 << 1 << 8 << 22050;
}

void TestTakeEncoder::eachFormatDecodesBackWithItsTags() {
    QFETCH(int, codec);
    QFETCH(int, rate);
    QFETCH(int, channels);
    QFETCH(int, bits);
    QFETCH(int, decodedRate);
    QTemporaryDir dir;
    const QString wav = dir.filePath("take.wav");
    const QString out = dir.filePath("take.out");
    writeWav(wav, {channels, rate, bits}, tone(1000, rate, channels, bits, 3.0));
    TakeEncoder encoder(job(Codec(codec), wav, out));
    QVERIFY2(encoder.start(), encoder.error().c_str());
    encoder.sourceComplete();
    encoder.wait();
    QCOMPARE(encoder.state(), TakeEncoder::State::Done);
    const Decoded d = decode(out, 1000);
    QCOMPARE(d.rate, decodedRate);
    QVERIFY2(std::abs(d.seconds - 3.0) <= TakeEncoder::kLengthTolerance,
             qPrintable(QString::number(d.seconds)));
    QVERIFY2(d.toneOverOther > 100, qPrintable(QString::number(d.toneOverOther)));
    QCOMPARE(d.title, QStringLiteral("Larktake_3"));
    QCOMPARE(d.date, QStringLiteral("2026-12-09T05:30:00"));
    // libsndfile adds its own name to the encoder's.
    QVERIFY2(d.software.startsWith(QStringLiteral("Tunewright test")), qPrintable(d.software));
}

// The encoder reads what the capture's header says is there, while the capture grows, and the
// rest once it is complete: nothing twice, nothing missed.
void TestTakeEncoder::aGrowingCaptureIsFollowedToItsEnd() {
    QTemporaryDir dir;
    const QString wav = dir.filePath("capture.wav");
    const QString out = dir.filePath("take.flac");
    WavWriter w = startWav(wav, {2, 44100, 16});
    TakeEncoder encoder(job(Codec::Flac, wav, out));
    QVERIFY2(encoder.start(), encoder.error().c_str());
    int64_t at = 0;
    QVERIFY(grow(w, 6, 0.5, at));
    // Behind the header: written but not yet announced, as a take's last block is.
    const auto last = tone(440, 44100, 2, 16, 0.5, at);
    QVERIFY(w.append(last.data(), last.size()));
    QTRY_VERIFY(encoder.framesDone() >= 5 * 22050);
    QVERIFY(encoder.framesDone() <= 6 * 22050);
    QVERIFY(w.finish());
    encoder.sourceComplete();
    encoder.wait();
    QCOMPARE(encoder.state(), TakeEncoder::State::Done);
    QCOMPARE(encoder.framesDone(), 7 * 22050);
    QVERIFY(holdsTheTone(out, 7 * 22050));
}

void TestTakeEncoder::aCaptureThatBecomesRf64IsFollowed_data() {
    QTest::addColumn<bool>("mayInsert");
    QTest::newRow("header inserted") << true;
    QTest::newRow("copied into a new file, then moved") << false;
}

// A capture that outgrows 32-bit sizes turns into RF64 in place, or as a copy that takes its
// name; at the stop it is moved away. The encoder reads on where the audio is, all of it.
void TestTakeEncoder::aCaptureThatBecomesRf64IsFollowed() {
    QFETCH(bool, mayInsert);
    QTemporaryDir dir;
    const QString wav = dir.filePath("capture.wav");
    const QString out = dir.filePath("take.flac");
    // The limit is lowered to one second of audio, so that the change comes soon.
    WavWriter w = startWav(wav, {2, 44100, 16}, 44100 * 4, mayInsert);
    TakeEncoder encoder(job(Codec::Flac, wav, out));
    QVERIFY(encoder.start());
    int64_t at = 0;
    QVERIFY(grow(w, 8, 0.25, at));
    QVERIFY(w.growth() != WavWriter::Growth::Plain);
    QVERIFY(w.finish());
    const QString moved = dir.filePath("take.wav");
    QVERIFY(QFile::rename(wav, moved));
    encoder.sourceComplete(moved.toStdString());
    encoder.wait();
    QVERIFY2(encoder.state() == TakeEncoder::State::Done, encoder.error().c_str());
    QCOMPARE(encoder.framesDone(), at);
    QVERIFY(holdsTheTone(out, at));
}

void TestTakeEncoder::lameHoldsTheUsersModeForRawAudio() {
    QVERIFY(tw::encode::lameSwitchesAskMono({"-m", "m"}));
    QVERIFY(tw::encode::lameSwitchesAskMono({"-mm", "-b", "96"}));
    QVERIFY(tw::encode::lameSwitchesAskMono({"-a"}));
    QVERIFY(!tw::encode::lameSwitchesAskMono({"-m", "m", "-m", "j"}));
    QVERIFY(!tw::encode::lameSwitchesAskMono({"-V", "2"}));
    // A stereo take the user wants in mono is mixed down, not read as mono at half speed.
    QTemporaryDir dir;
    const QString wav = dir.filePath("take.wav");
    const QString out = dir.filePath("take.mp3");
    writeWav(wav, {2, 44100, 16}, tone(1000, 44100, 2, 16, 2.0));
    Job j = job(Codec::Mp3, wav, out);
    j.lameSwitches = {"-m", "m", "-b", "64"};
    TakeEncoder encoder(j);
    QVERIFY(encoder.start());
    encoder.sourceComplete();
    encoder.wait();
    QCOMPARE(encoder.state(), TakeEncoder::State::Done);
    const Decoded d = decode(out, 1000);
    QCOMPARE(d.channels, 1);
    QVERIFY2(std::abs(d.seconds - 2.0) <= TakeEncoder::kLengthTolerance,
             qPrintable(QString::number(d.seconds)));
    QVERIFY(d.toneOverOther > 100);
}

// A `lame` that stops reading halfway, and a target that cannot be made.
void TestTakeEncoder::aFailingEncoderLeavesNoFileAndSaysWhy() {
    QTemporaryDir dir;
    const QString wav = dir.filePath("take.wav");
    writeWav(wav, {2, 44100, 16}, tone(1000, 44100, 2, 16, 4.0));
    const QString quitter = dir.filePath("quitter");
    {
        QFile script(quitter);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nhead -c 20000 >/dev/null\necho 'disk on fire' >&2\nexit 3\n");
        script.setPermissions(script.permissions() | QFile::ExeOwner);
    }
    Job j = job(Codec::Mp3, wav, dir.filePath("take.mp3"));
    j.lame = quitter.toStdString();
    TakeEncoder encoder(j);
    QVERIFY(encoder.start());
    encoder.sourceComplete();
    encoder.wait();
    QCOMPARE(encoder.state(), TakeEncoder::State::Failed);
    const QString why = QString::fromStdString(encoder.error());
    QVERIFY2(why.contains("status 3") && why.contains("disk on fire"), qPrintable(why));
    QVERIFY(!QFile::exists(dir.filePath("take.mp3")));

    // A full disk, as a file size limit gives it: the file goes, the system's reason is said.
    {
        rlimit before{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &before), 0);
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit small = before;
        small.rlim_cur = 64 * 1024;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        TakeEncoder full(job(Codec::Flac, wav, dir.filePath("full.flac")));
        const bool started = full.start();
        full.sourceComplete();
        full.wait();
        ::setrlimit(RLIMIT_FSIZE, &before);
        QVERIFY(started);
        QCOMPARE(full.state(), TakeEncoder::State::Failed);
        QVERIFY2(QString::fromStdString(full.error()).contains("File too large"),
                 full.error().c_str());
        QVERIFY(!QFile::exists(dir.filePath("full.flac")));
    }

    TakeEncoder nowhere(job(Codec::Flac, wav, dir.filePath("missing/take.flac")));
    QVERIFY(!nowhere.start());
    QCOMPARE(nowhere.state(), TakeEncoder::State::Failed);
    QVERIFY(QString::fromStdString(nowhere.error()).contains("the file could not be made"));
}

void TestTakeEncoder::aCancelRemovesTheFile() {
    QTemporaryDir dir;
    const QString wav = dir.filePath("capture.wav");
    const QString out = dir.filePath("take.ogg");
    WavWriter w = startWav(wav, {2, 44100, 16});
    const auto data = tone(1000, 44100, 2, 16, 1.0);
    QVERIFY(w.append(data.data(), data.size()) && w.updateHeader());
    TakeEncoder::State seen = TakeEncoder::State::Running;
    TakeEncoder encoder(job(Codec::Vorbis, wav, out), [&seen](TakeEncoder::State s) { seen = s; });
    QVERIFY(encoder.start());
    QTRY_VERIFY(encoder.framesDone() > 0);
    encoder.cancel();
    encoder.wait();
    QCOMPARE(seen, TakeEncoder::State::Failed);
    QCOMPARE(QString::fromStdString(encoder.error()), QStringLiteral("it was cancelled"));
    QVERIFY(!QFile::exists(out));
}

QTEST_GUILESS_MAIN(TestTakeEncoder)
#include "test_take_encoder.moc"
