#include "platform/AudioLibraries.h"

#include "engine/exports.h"

#include <QHash>
#include <QLibrary>
#include <vector>

namespace tw {

struct AudioLibraries::Loaded {
    QLibrary library;
    bool loaded = false;
    QHash<QByteArray, QFunctionPointer> functions;
};

AudioLibraries::AudioLibraries(QString directory) : directory_(std::move(directory)) {}
AudioLibraries::~AudioLibraries() = default;

QString AudioLibraries::loadError() const {
    std::lock_guard lock(mutex_);
    return error_;
}

int32_t AudioLibraries::Wavelark(const QByteArray& file, int32_t mode, int32_t a, int32_t b,
                                 int32_t c, int32_t d) {
    auto fn =
        reinterpret_cast<decltype(&::Wavelark)>(resolve(engine_, "libWavelark.so", "Wavelark"));
    if (!fn)
        return kNotLoaded;
    return fn(file.constData(), mode, a, b, c, d);
}

int32_t AudioLibraries::WavelarkStatus(EngineStatus& status) {
    auto fn = reinterpret_cast<decltype(&::WavelarkStatus)>(
        resolve(engine_, "libWavelark.so", "WavelarkStatus"));
    if (!fn)
        return kNotLoaded;
    WavelarkStatusInfo info{};
    const int32_t result = fn(&info);
    info.capture[sizeof info.capture - 1] = '\0';
    status.take = info.take;
    status.problems = info.problems;
    status.frames = info.frames;
    status.rate = info.rate;
    status.program = info.program;
    status.capture = QString::fromLocal8Bit(info.capture);
    return result;
}

int32_t AudioLibraries::WavelarkLevel(EngineLevel& level) {
    auto fn = reinterpret_cast<decltype(&::WavelarkLevel)>(
        resolve(engine_, "libWavelark.so", "WavelarkLevel"));
    if (!fn)
        return kNotLoaded;
    WavelarkLevelInfo info{};
    const int32_t result = fn(&info);
    level.peak = info.peak;
    level.clipped = info.clipped != 0;
    level.updates = info.updates;
    return result;
}

int32_t AudioLibraries::WavelarkStartAtSound(double share, int32_t marginMs) {
    auto fn = reinterpret_cast<decltype(&::WavelarkStartAtSound)>(
        resolve(engine_, "libWavelark.so", "WavelarkStartAtSound"));
    return fn ? fn(float(share), marginMs) : kNotLoaded;
}

int32_t AudioLibraries::WavelarkSourceDescription(int32_t number, QString& description) {
    auto fn = reinterpret_cast<decltype(&::WavelarkSourceDescription)>(
        resolve(engine_, "libWavelark.so", "WavelarkSourceDescription"));
    if (!fn)
        return kNotLoaded;
    char text[1024] = {};
    const int32_t result = fn(number, text, sizeof text);
    text[sizeof text - 1] = '\0';
    description = result == 0 ? QString::fromUtf8(text) : QString();
    return result;
}

int32_t AudioLibraries::WavelarkSelectApplication(const QByteArray& name) {
    auto fn = reinterpret_cast<decltype(&::WavelarkSelectApplication)>(
        resolve(engine_, "libWavelark.so", "WavelarkSelectApplication"));
    return fn ? fn(name.constData()) : kNotLoaded;
}

int32_t AudioLibraries::WavelarkApplications(QList<PlayingProgram>& programs) {
    auto fn = reinterpret_cast<decltype(&::WavelarkApplications)>(
        resolve(engine_, "libWavelark.so", "WavelarkApplications"));
    if (!fn)
        return kNotLoaded;
    // Whole lines only: a list longer than this loses its last programs, never half a name.
    std::vector<char> text(64 * 1024, '\0');
    const int32_t result = fn(text.data(), int32_t(text.size()));
    text.back() = '\0';
    programs.clear();
    if (result < 0)
        return result;
    for (const QString& line : QString::fromUtf8(text.data()).split(u'\n', Qt::SkipEmptyParts)) {
        const qsizetype tab = line.indexOf(u'\t');
        const QString name = tab < 0 ? line : line.left(tab);
        if (!name.isEmpty())
            programs.append({name, tab < 0 ? QString() : line.mid(tab + 1)});
    }
    return result;
}

int32_t AudioLibraries::WavelarkMix(int32_t firstPercent, int32_t secondPercent,
                                    int32_t ownChannels) {
    auto fn = reinterpret_cast<decltype(&::WavelarkMix)>(
        resolve(engine_, "libWavelark.so", "WavelarkMix"));
    return fn ? fn(firstPercent, secondPercent, ownChannels) : kNotLoaded;
}

int32_t AudioLibraries::WavelarkInputLevel(int32_t input, EngineLevel& level) {
    auto fn = reinterpret_cast<decltype(&::WavelarkInputLevel)>(
        resolve(engine_, "libWavelark.so", "WavelarkInputLevel"));
    if (!fn)
        return kNotLoaded;
    WavelarkLevelInfo info{};
    const int32_t result = fn(input, &info);
    level.peak = info.peak;
    level.clipped = info.clipped != 0;
    level.updates = info.updates;
    return result;
}

int32_t AudioLibraries::Volume(int32_t source, int32_t volume, std::array<int32_t, 2>& range) {
    auto fn = reinterpret_cast<decltype(&::Volume)>(resolve(mixer_, "libVolume.so", "Volume"));
    if (!fn)
        return kNotLoaded;
    return fn(source, volume, range.data());
}

int32_t AudioLibraries::VolumeLevel(int32_t source, std::array<int32_t, 2>& range) {
    auto fn =
        reinterpret_cast<decltype(&::VolumeLevel)>(resolve(mixer_, "libVolume.so", "VolumeLevel"));
    if (!fn)
        return kNotLoaded;
    return fn(source, range.data());
}

// Loads once; a failed load is retried on the next call so that a library dropped into
// place while the program runs is picked up.
void* AudioLibraries::resolve(std::unique_ptr<Loaded>& slot, const char* file, const char* symbol) {
    std::lock_guard lock(mutex_);
    const QString path = directory_ + QLatin1Char('/') + QLatin1String(file);
    if (!slot || !slot->loaded) {
        slot = std::make_unique<AudioLibraries::Loaded>();
        slot->library.setFileName(path);
        if (!slot->library.load()) {
            error_ =
                QStringLiteral("%1 could not be loaded: %2").arg(path, slot->library.errorString());
            return nullptr;
        }
        slot->loaded = true;
    }
    QFunctionPointer& fn = slot->functions[symbol];
    if (!fn)
        fn = slot->library.resolve(symbol);
    if (!fn) {
        error_ = QStringLiteral("%1 could not be loaded: it has no function %2")
                     .arg(path, QString::fromLatin1(symbol));
        return nullptr;
    }
    error_.clear();
    return reinterpret_cast<void*>(fn);
}

} // namespace tw
