// Voice activation through the real engine and the session: from a tone's first samples
// reaching the sound server to the Record command voice activation issues, and where that
// onset lies in the take (how much audio before it the take kept).
//
//   voice_latency BIN_DIR FIFO DESCRIPTION
//
// As meter_latency: run.sh loads the pipe source and this program feeds it. Each trial is a
// take: silence, a tone for 0.6 s, silence until the take ends at the silence (split) and is
// saved. Prints each trial and the medians of RUNS (default 20) in milliseconds.
#include "bench/support/ToneFeeder.h"
#include "core/Session.h"
#include "platform/FakePlayer.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sndfile.h>

using namespace tw;
using namespace tw::bench;

namespace {

// Where the first sample above -20 dBFS lies in a WAV, in ms; -1 for none.
double onsetMs(const QString& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!f)
        return -1;
    std::vector<double> x(size_t(info.frames));
    sf_readf_double(f, x.data(), info.frames);
    sf_close(f);
    for (size_t i = 0; i < x.size(); ++i)
        if (std::abs(x[i]) > 0.1)
            return 1000.0 * double(i) / info.samplerate;
    return -1;
}

int measure(Session& session, Feeder& feeder, int runs) {
    QString saved;
    QObject::connect(&session, &Session::takeListed,
                     [&](const QString& path, int, const QString&) { saved = path; });
    std::mt19937 random(20261209);
    std::uniform_int_distribution<int> gapMs(800, 1300);
    std::vector<double> command, kept;
    session.voice.arm();
    for (int i = 0; i < runs; ++i) {
        if (!waitUntil([&] { return session.engine.level().has_value(); }, 5000)) {
            std::fprintf(stderr, "trial %d: the input was not opened\n", i + 1);
            return 1;
        }
        pause(gapMs(random));
        saved.clear();
        feeder.startTone();
        const bool started =
            waitUntil([&] { return session.recorder.phase() != Recorder::Phase::Idle; }, 3000);
        const qint64 commandAt = nowNs();
        pause(600);
        feeder.stopTone();
        if (!started || !waitUntil([&] { return !saved.isEmpty(); }, 10000)) {
            std::fprintf(stderr, "trial %d: no take (%s)\n", i + 1,
                         qPrintable(session.status.text()));
            return 1;
        }
        command.push_back(double(commandAt - feeder.toneStartedAt()) / 1e6);
        kept.push_back(-onsetMs(saved));
        QFile::remove(saved);
        std::printf("trial %2d: Record %.1f ms after the onset; first frame kept %.1f ms from "
                    "the onset\n",
                    i + 1, command.back(), kept.back());
    }
    std::printf("median of %d: Record %.1f ms after the onset (range %.1f..%.1f); first frame "
                "kept %.1f ms from the onset (negative: before it)\n",
                runs, median(command), *std::min_element(command.begin(), command.end()),
                *std::max_element(command.begin(), command.end()), median(kept));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const auto bench = startPipeBench("voice_latency", app.arguments());
    if (!bench)
        return app.arguments().size() != 4 ? 2 : 1;
    AudioLibraries& audio = bench->audio;
    const int source = bench->source;
    const int runs = bench->runs;
    const QStringList args = app.arguments();
    Feeder feeder(bench->fifo);
    QTemporaryDir dir;
    QFile ini(dir.filePath(QStringLiteral("Config.ini")));
    if (!ini.open(QIODevice::WriteOnly))
        return 1;
    // The thresholds a user would set for speech: start above -30 dB held 100 ms, a take
    // ends after 0.5 s below -40 dB.
    ini.write(QStringLiteral("[Config]\nRecording Source=%1\nChannels=1\nBitsPerSample=16\n"
                             "SamplesPerSec=%2\nSave Position=%3\nVoice Start dB=-30\n"
                             "Voice Start ms=100\nVoice Silence dB=-40\nVoice Silence ms=500\n"
                             "Voice On Silence=split\n")
                  .arg(source + 1)
                  .arg(kRate)
                  .arg(dir.filePath(QStringLiteral("Take.wav")))
                  .toUtf8());
    ini.close();
    FakePlayer player;
    Session session(dir.path(), audio, player, nullptr);
    session.loadConfiguration();
    session.setSavePosition(dir.filePath(QStringLiteral("Take.wav")));
    std::printf("voice activation on source %d, \"%s\"\n", source, qPrintable(args[3]));
    return measure(session, feeder, runs);
}
