#include "platform/AudioLibraries.h"

#include <QLibrary>

namespace tw {

namespace {
using WavelarkFn = int32_t (*)(const char*, int32_t, int32_t, int32_t, int32_t, int32_t);
using VolumeFn = int32_t (*)(int32_t, int32_t, int32_t*);
} // namespace

struct AudioLibraries::Loaded {
    QLibrary library;
    QFunctionPointer function = nullptr;
    QString error;
};

AudioLibraries::AudioLibraries(QString directory) : directory_(std::move(directory)) {}
AudioLibraries::~AudioLibraries() = default;

int32_t AudioLibraries::Wavelark(const QByteArray& file, int32_t mode, int32_t a, int32_t b,
                                 int32_t c, int32_t d) {
    auto fn = reinterpret_cast<WavelarkFn>(
        resolve(engine_, directory_ + "/libWavelark.so", "Wavelark", error_));
    if (!fn)
        return kNotLoaded;
    return fn(file.constData(), mode, a, b, c, d);
}

int32_t AudioLibraries::Volume(int32_t source, int32_t volume, std::array<int32_t, 2>& range) {
    auto fn =
        reinterpret_cast<VolumeFn>(resolve(mixer_, directory_ + "/libVolume.so", "Volume", error_));
    if (!fn)
        return kNotLoaded;
    return fn(source, volume, range.data());
}

// Loads once; a failed load is retried on the next call so that a library dropped into
// place while the program runs is picked up.
void* AudioLibraries::resolve(std::unique_ptr<Loaded>& slot, const QString& path,
                              const char* symbol, QString& error) {
    if (slot && slot->function) {
        error.clear();
        return reinterpret_cast<void*>(slot->function);
    }
    slot = std::make_unique<AudioLibraries::Loaded>();
    slot->library.setFileName(path);
    if (!slot->library.load()) {
        error = QStringLiteral("%1 could not be loaded: %2").arg(path, slot->library.errorString());
        return nullptr;
    }
    slot->function = slot->library.resolve(symbol);
    if (!slot->function) {
        error = QStringLiteral("%1 could not be loaded: it has no function %2")
                    .arg(path, QString::fromLatin1(symbol));
        return nullptr;
    }
    error.clear();
    return reinterpret_cast<void*>(slot->function);
}

} // namespace tw
