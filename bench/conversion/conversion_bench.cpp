// Times one WAV-to-MP3 conversion through the program's own path: Form1::Converting, the
// converter's queue, the console runner and the lame launcher of the application directory,
// with the window's event loop running as in the program, and the loop's longest stall
// meanwhile (the gap between two ticks of a 1 ms timer). The window runs with fakes in a
// scratch application directory, so no sound or X server is needed (QT_QPA_PLATFORM=offscreen).
//
//   conversion_bench make-wav OUT.wav [SECONDS]   a stereo 44100 Hz 16-bit tone
//   conversion_bench convert IN.wav OUT.mp3       prints the wall time of the conversion
//
// `convert` copies $TW_APPDIR/lame (the launcher the build writes) into its scratch folder.
#include "app/Form1.h"
#include "core/Session.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakeMessageBox.h"
#include "platform/FakePlayer.h"
#include "tests/support/WindowRig.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
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

int makeWav(const QString& path, int seconds) {
    constexpr int rate = 44100;
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    Sndfile file(sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info));
    if (!file) {
        std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(path), sf_strerror(nullptr));
        return 1;
    }
    // A sweep on one side and a steady tone on the other keep the encoder busy as music
    // would; silence would encode much faster than a real take.
    std::vector<short> block(2 * rate);
    double phaseLeft = 0;
    for (int s = 0; s < seconds; ++s) {
        for (int i = 0; i < rate; ++i) {
            const double t = s + double(i) / rate;
            phaseLeft += 2 * M_PI * (200.0 + 50.0 * t) / rate;
            block[size_t(2 * i)] = short(std::lround(12000 * std::sin(phaseLeft)));
            block[size_t(2 * i + 1)] = short(std::lround(9000 * std::sin(2 * M_PI * 660.0 * t)));
        }
        if (sf_writef_short(file.get(), block.data(), rate) != rate) {
            std::fprintf(stderr, "short write to %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}

int convert(const QString& in, const QString& out) {
    const QString launcher = qEnvironmentVariable("TW_APPDIR") + QStringLiteral("/lame");
    if (!QFileInfo(launcher).isExecutable()) {
        std::fprintf(stderr,
                     "no launcher at %s (set TW_APPDIR; the build writes it when "
                     "the system has lame)\n",
                     qPrintable(launcher));
        return 1;
    }
    QTemporaryDir appDir;
    if (!appDir.isValid() || !QFile::copy(launcher, appDir.filePath(QStringLiteral("lame"))))
        return 1;
    {
        QFile config(appDir.filePath(QStringLiteral("Config.ini")));
        if (!config.open(QIODevice::WriteOnly))
            return 1;
        config.write(
            "[Config]\nRecording Source=1\nChannels=2\nBitsPerSample=16\nSamplesPerSec=44100\n");
    }
    QFile::remove(out);

    FakeAudioLibraries audio;
    FakeHotkeys hotkeys;
    FakePlayer player;
    FakeMessageBox messages;
    RiggedForm1 form(Services{appDir.path(), audio, hotkeys, player, &messages});
    form.Form_Load();

    int chunks = 0;
    int statusTexts = 0;
    QObject::connect(&form.session().runner(), &DOSOutputs::ReceiveOutputs,
                     [&](const QString&) { ++chunks; });
    QObject::connect(form.Text1, &QLineEdit::textChanged, [&](const QString&) { ++statusTexts; });

    // The wall time is what the user waits; the processor time is this program's own share
    // of it (the runner's reads, the listener, the yields), lame's not included.
    using Clock = std::chrono::steady_clock;
    QEventLoop loop;
    QObject::connect(&form.session().converter(), &Converter::busyChanged, &loop,
                     [&loop](bool busy) {
                         if (!busy)
                             loop.quit();
                     });
    // The gap between two ticks is how long the loop could not take an event: a stall of
    // the window.
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    Clock::time_point lastTick = Clock::now();
    double longestStallMs = 0;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const Clock::time_point now = Clock::now();
        longestStallMs = std::max(
            longestStallMs, std::chrono::duration<double, std::milli>(now - lastTick).count());
        lastTick = now;
    });
    const std::clock_t cpuStart = std::clock();
    const auto start = Clock::now();
    form.Converting(in, out); // returns at once
    lastTick = Clock::now();
    ticker.start();
    if (form.session().converter().busy())
        loop.exec();
    ticker.stop();
    const std::chrono::duration<double> took = Clock::now() - start;
    const double cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;

    const bool ok = messages.texts.isEmpty() &&
                    form.Text1->text() == QStringLiteral("Finish Converting") &&
                    QFileInfo(out).size() > 0;
    if (!ok) {
        std::fprintf(stderr, "conversion failed: status \"%s\", messages \"%s\"\n",
                     qPrintable(form.Text1->text()), qPrintable(messages.texts.join('|')));
        return 1;
    }
    std::printf("seconds=%.4f cpu_seconds=%.4f chunks=%d status_texts=%d longest_stall_ms=%.1f\n",
                took.count(), cpu, chunks, statusTexts, longestStallMs);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 3 && args[1] == QLatin1String("make-wav"))
        return makeWav(args[2], args.size() > 3 ? args[3].toInt() : 60);
    if (args.size() == 4 && args[1] == QLatin1String("convert"))
        return convert(args[2], args[3]);
    std::fprintf(stderr, "usage: conversion_bench make-wav OUT.wav [SECONDS]\n"
                         "       conversion_bench convert IN.wav OUT.mp3\n");
    return 2;
}
