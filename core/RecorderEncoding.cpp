// The recorder's takes in a compressed format: encoded from the capture while it records, and at
// the stop put in place beside the WAV, which then goes.
#include "core/EngineClient.h"
#include "core/LiveEncoding.h"
#include "core/OutputFormat.h"
#include "core/Recorder.h"
#include "core/Settings.h"
#include "core/StatusLine.h"
#include "core/TakeNaming.h"
#include "platform/IAudioLibraries.h"

#include <QFile>
#include <QFileInfo>

namespace tw {

namespace {
// The encoder is a second behind at most; past this it hangs (a `lame` that stopped reading),
// and the take is kept as WAV rather than the program waiting for it.
constexpr int kEncodingDeadlineMs = 10000;
} // namespace

void Recorder::startEncoding(TakeFormat format) {
    encoding_.reset();
    encodingFormat_ = format;
    if (format == TakeFormat::Wav || outputPath_.isEmpty())
        return;
    const std::optional<EngineStatus> s = engine_.status();
    const QString extension = takeFormatInfo(format).extension;
    // Tagged with the name the take would get now; its file keeps the name free at the stop.
    const QString near =
        takeFileName(takeBase(), nextFreeTake(takeBase(), firstTakeNumber(), extension), extension);
    const EncodingOrder order{format, QFileInfo(near).completeBaseName(),
                              settings_.appFile(mp3Format().encoder), settings_.LameOptions};
    encoding_ = std::make_unique<LiveEncoding>(order, s ? s->capture : QString(), near);
    const QString label = takeFormatInfo(format).configValue;
    const auto say = [this, label](const QString& why) {
        status_.set(QStringLiteral("The %1 file cannot be made (%2): the take is recorded as WAV.")
                        .arg(label, why),
                    kRed);
    };
    connect(encoding_.get(), &LiveEncoding::failedEarly, this, say);
    if (!encoding_->start())
        say(encoding_->error());
}

void Recorder::finishEncoding(const QString& wavPath, double kept, int32_t answer) {
    connect(encoding_.get(), &LiveEncoding::ended, this,
            // `why` is the sender's own, which goes with it: taken by value.
            [this, wavPath, kept, answer](bool ok, QString why) {
                encodingEnded(wavPath, kept, answer, ok, why);
            });
    // The capture has become the WAV: a copy made in its place during the take is read there.
    encoding_->finish(kEncodingDeadlineMs, wavPath);
}

void Recorder::encodingEnded(const QString& wavPath, double kept, int32_t answer, bool ok,
                             const QString& why) {
    const TakeFormatInfo& format = takeFormatInfo(encodingFormat_);
    const auto keptAsWav = [format, wavPath](const QString& what) {
        return QStringLiteral("Saved as %1, as WAV: the %2 file could not be made (%3).")
            .arg(wavPath, format.configValue, what);
    };
    if (!ok) {
        // Called from the encoding's own signal: it goes once that has returned.
        encoding_.release()->deleteLater();
        announce(wavPath, kept, answer, keptAsWav(why));
        return;
    }
    OutputFormat naming;
    naming.extension = format.extension;
    const QString wanted = takeFileName(takeBase_, takeNumber_, format.extension);
    const QString work = encoding_->workFile();
    auto placedAt = std::make_shared<QString>();
    auto error = std::make_shared<QString>();
    // A file that took the name meanwhile is never replaced: the next free "<name>_n" is used.
    engine_.run(
        this,
        [work, wanted, naming, placedAt, error] {
            *placedAt = naming.placeFinished(work, wanted, wanted, error.get());
            return placedAt->isEmpty() ? -1 : 0;
        },
        [this, wavPath, kept, answer, placedAt, error, keptAsWav](int32_t placed) {
            encoding_.reset();
            if (placed != 0) {
                announce(wavPath, kept, answer, keptAsWav(*error));
                return;
            }
            // Listed first; only then does the WAV go.
            announce(*placedAt, kept, answer);
            QFile::remove(wavPath);
        });
}

} // namespace tw
