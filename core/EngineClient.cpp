#include "core/EngineClient.h"

#include "core/Settings.h"
#include "platform/IAudioLibraries.h"

#include <QPointer>
#include <QThread>

namespace tw {

namespace {
// A call answers within its own deadline (the engine's is 2 s); past this the thread is
// left to the process's exit rather than blocking the program's end on a hung library.
constexpr int kShutdownWaitMs = 5000;
} // namespace

// A slider given a lower end above its upper one keeps the upper end for both.
int boundedVolume(int volume, const VolumeRange& range) {
    return qBound(qMin(range[0], range[1]), volume, range[1]);
}

int middleVolume(const VolumeRange& range) {
    // Summed in 64 bits, so that a wide range cannot overflow.
    return int((qint64(qMin(range[0], range[1])) + range[1]) / 2);
}

EngineClient::EngineClient(IAudioLibraries& audio, QObject* parent)
    : QObject(parent), audio_(audio), thread_(std::make_unique<QThread>()) {
    thread_->setObjectName(QStringLiteral("engine calls"));
    worker_ = new QObject;
    worker_->moveToThread(thread_.get());
    connect(thread_.get(), &QThread::finished, worker_, &QObject::deleteLater);
    thread_->start();
}

EngineClient::~EngineClient() {
    thread_->quit();
    if (!thread_->wait(kShutdownWaitMs))
        (void)thread_.release(); // still inside a library call: never destroy a running thread
}

void EngineClient::run(QObject* context, std::function<int32_t()> work,
                       std::function<void(int32_t)> deliver) {
    ++pending_;
    const QPointer<EngineClient> self(this);
    const QPointer<QObject> target(context ? context : this);
    QMetaObject::invokeMethod(
        worker_,
        [this, self, target, work = std::move(work), deliver = std::move(deliver)] {
            const int32_t result = work();
            const QString missing =
                result == IAudioLibraries::kNotLoaded ? audio_.loadError() : QString();
            QMetaObject::invokeMethod(
                this,
                [self, target, deliver, result, missing] {
                    --self->pending_;
                    if (!missing.isEmpty())
                        emit self->libraryMissing(missing);
                    if (deliver && target)
                        deliver(result);
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void EngineClient::call(EngineMode mode, QObject* context, Answer answer, const QByteArray& file,
                        int32_t a, int32_t b, int32_t c, int32_t d) {
    run(
        context,
        [this, file, mode, a, b, c, d] {
            return audio_.Wavelark(file, static_cast<int32_t>(mode), a, b, c, d);
        },
        std::move(answer));
}

void EngineClient::listen(const RecordingFormat& f, int keepMs) {
    call(EngineMode::Listen, nullptr, {}, {}, f.Channels, f.SamplesPerSec, f.BitsPerSample,
         std::max(keepMs, 0));
}

void EngineClient::startAtSound(double share, int marginMs) {
    run(nullptr, [this, share, marginMs] { return audio_.WavelarkStartAtSound(share, marginMs); },
        {});
}

void EngineClient::selectApplication(const QString& name) {
    const QByteArray utf8 = name.toUtf8();
    run(nullptr, [this, utf8] { return audio_.WavelarkSelectApplication(utf8); }, {});
}

void EngineClient::mix(int firstPercent, int secondPercent, bool ownChannels) {
    run(nullptr,
        [this, firstPercent, secondPercent, ownChannels] {
            return audio_.WavelarkMix(firstPercent, secondPercent, ownChannels ? 1 : 0);
        },
        {});
}

void EngineClient::applications(QObject* context,
                                std::function<void(const QList<PlayingProgram>&, bool ok)> answer) {
    auto programs = std::make_shared<QList<PlayingProgram>>();
    run(
        context, [this, programs] { return audio_.WavelarkApplications(*programs); },
        [answer, programs](int32_t result) {
            if (answer)
                answer(*programs, result >= 0);
        });
}

void EngineClient::record(const RecordingFormat& f, QObject* context, Answer answer, Take take) {
    call(EngineMode::Record, context, std::move(answer), {}, f.Channels, f.SamplesPerSec,
         f.BitsPerSample, take == Take::Test ? 1 : 0);
}

void EngineClient::stopAndSave(const QString& path, QObject* context, Answer answer) {
    call(EngineMode::StopAndSave, context, std::move(answer), path.toLocal8Bit());
}

void EngineClient::mixer(int32_t source, int32_t volume, QObject* context, MixerAnswer answer) {
    // The library writes the range only when it can; otherwise the last one stands.
    auto range = std::make_shared<VolumeRange>();
    run(
        context,
        [this, source, volume, range] {
            const int32_t result = audio_.Volume(source, volume, range_);
            *range = range_;
            return result;
        },
        answer ? [answer, range](int32_t result) { answer(result, *range); }
               : std::function<void(int32_t)>());
}

void EngineClient::openSource(int32_t source, OpenAt at, int volume, QObject* context,
                              std::function<void(VolumeRange, std::optional<int>)> answer) {
    auto range = std::make_shared<VolumeRange>();
    auto level = std::make_shared<std::optional<int>>();
    run(
        context,
        [this, source, at, volume, range, level] {
            // Reading first never changes the volume, even for a moment.
            const int32_t current = audio_.VolumeLevel(source, range_);
            *range = range_;
            if (at == OpenAt::Current) {
                if (current >= 0)
                    *level = boundedVolume(current, range_);
                return current;
            }
            const int wanted =
                at == OpenAt::Given ? boundedVolume(volume, range_) : middleVolume(range_);
            const int32_t result = audio_.Volume(source, wanted, range_);
            *range = range_;
            if (result >= 0)
                *level = wanted;
            return result;
        },
        [answer, range, level](int32_t) {
            if (answer)
                answer(*range, *level);
        });
}

std::optional<EngineLevel> EngineClient::level() {
    EngineLevel l;
    if (audio_.WavelarkLevel(l) != 0)
        return std::nullopt;
    return l;
}

std::optional<EngineLevel> EngineClient::inputLevel(int input) {
    EngineLevel l;
    if (audio_.WavelarkInputLevel(input, l) != 0)
        return std::nullopt;
    return l;
}

void EngineClient::sourceDescription(int32_t number, QObject* context,
                                     std::function<void(QString)> answer) {
    auto text = std::make_shared<QString>();
    run(
        context, [this, number, text] { return audio_.WavelarkSourceDescription(number, *text); },
        [answer, text](int32_t) {
            if (answer)
                answer(*text);
        });
}

std::optional<EngineStatus> EngineClient::status() {
    EngineStatus s;
    if (audio_.WavelarkStatus(s) != 0)
        return std::nullopt;
    return s;
}

} // namespace tw
