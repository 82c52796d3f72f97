// Shared by the engine's tests: the private server seen through pactl, WAV reading through
// libsndfile, and a tone detector.
#pragma once

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTest>
#include <cmath>
#include <memory>
#include <numbers>
#include <sndfile.h>
#include <vector>

namespace pulsetest {

inline QString run(const QString& program, const QStringList& args, int* exitCode = nullptr) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished();
    }
    if (exitCode)
        *exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return QString::fromUtf8(p.readAllStandardOutput());
}

// Fails the test (never skips) when the private server is not there.
inline bool serverIsUp() {
    int code = -1;
    run(QStringLiteral("pactl"), {QStringLiteral("info")}, &code);
    return code == 0;
}

// Source names in the order the engine and the mixer number them: inputs first, then
// monitors, by name within each group. On the test server every monitor is named *.monitor.
inline QStringList sourcesInEngineOrder() {
    QStringList inputs, monitors;
    const QString out = run(QStringLiteral("pactl"), {"list", "short", "sources"});
    for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) {
        const QString name = line.section('\t', 1, 1);
        (name.endsWith(QStringLiteral(".monitor")) ? monitors : inputs).append(name);
    }
    auto byBytes = [](const QString& a, const QString& b) { return a.toUtf8() < b.toUtf8(); };
    std::sort(inputs.begin(), inputs.end(), byBytes);
    std::sort(monitors.begin(), monitors.end(), byBytes);
    return inputs + monitors;
}

inline int engineIndexOf(const QString& source) {
    return static_cast<int>(sourcesInEngineOrder().indexOf(source));
}

// Every channel's volume of a source as pactl reports it.
inline QList<int> sourceVolumes(const QString& source) {
    const QString out = run(QStringLiteral("pactl"), {"get-source-volume", source});
    QList<int> levels;
    static const QRegularExpression level(QStringLiteral(":\\s*(\\d+)\\s*/"));
    for (auto it = level.globalMatch(out.section('\n', 0, 0)); it.hasNext();)
        levels.append(it.next().captured(1).toInt());
    return levels;
}

// A null sink renders up to two seconds ahead while nobody asks it for less, so a new
// recording of its monitor may get nothing for that long. A low-latency reader of the monitor
// for the whole test keeps the sink rendering in small blocks, as a sound card's sink does.
class MonitorListener {
  public:
    explicit MonitorListener(const QString& source) {
        reader_.setStandardOutputFile(QProcess::nullDevice());
        reader_.start(QStringLiteral("parec"),
                      {"--latency-msec=20", "--raw", "--device=" + source});
    }
    ~MonitorListener() {
        reader_.kill();
        reader_.waitForFinished();
    }
    bool running() { return reader_.waitForStarted(5000); }

  private:
    QProcess reader_;
};

struct Audio {
    bool opened = false;
    SF_INFO info{};
    std::vector<std::vector<double>> channels;
    double seconds() const { return info.samplerate ? double(info.frames) / info.samplerate : 0; }
};

inline Audio readAudio(const QString& path) {
    Audio audio;
    SNDFILE* f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &audio.info);
    if (!f)
        return audio;
    audio.opened = true;
    std::vector<double> frames(size_t(audio.info.frames) * size_t(audio.info.channels));
    const sf_count_t got = sf_readf_double(f, frames.data(), audio.info.frames);
    sf_close(f);
    audio.channels.assign(size_t(audio.info.channels), {});
    for (sf_count_t i = 0; i < got; ++i)
        for (int c = 0; c < audio.info.channels; ++c)
            audio.channels[size_t(c)].push_back(
                frames[size_t(i) * size_t(audio.info.channels) + size_t(c)]);
    return audio;
}

// A WAV of a tone at -6 dBFS, for a player to play.
inline bool writeTone(const QString& path, double frequency, double seconds, int rate = 44100) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!f)
        return false;
    std::vector<double> tone(size_t(seconds * rate));
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = 0.5 * std::sin(2 * std::numbers::pi * frequency * double(i) / rate);
    const bool written =
        sf_write_double(f, tone.data(), sf_count_t(tone.size())) == sf_count_t(tone.size());
    return sf_close(f) == 0 && written;
}

// Power at one frequency (Goertzel).
inline double powerAt(const std::vector<double>& x, double rate, double frequency) {
    const double w = 2 * std::numbers::pi * frequency / rate;
    const double k = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (double v : x) {
        const double s = v + k * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    return s1 * s1 + s2 * s2 - k * s1 * s2;
}

// The strongest frequency between 100 Hz and 4 kHz, to 5 Hz.
inline double dominantFrequency(const std::vector<double>& x, double rate) {
    double best = 0, bestPower = -1;
    for (double f = 100; f <= 4000; f += 5) {
        const double p = powerAt(x, rate, f);
        if (p > bestPower) {
            bestPower = p;
            best = f;
        }
    }
    return best;
}

inline double rms(const std::vector<double>& x) {
    double sum = 0;
    for (double v : x)
        sum += v * v;
    return x.empty() ? 0 : std::sqrt(sum / double(x.size()));
}

// Files in the engine's capture folder.
inline QString captureFolder() {
    return qEnvironmentVariable("XDG_CACHE_HOME") + QStringLiteral("/tunewright");
}

inline QStringList captures() {
    return QDir(captureFolder()).entryList({QStringLiteral("*.wav")}, QDir::Files, QDir::Name);
}

} // namespace pulsetest
