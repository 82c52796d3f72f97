#pragma once

#include "platform/IAudioLibraries.h"

#include <QList>
#include <QString>
#include <functional>

namespace tw {

// Records every call; answers from settable values. Used by the window tests.
class FakeAudioLibraries final : public IAudioLibraries {
  public:
    struct Call {
        QString function; // "Wavelark" or "Volume"
        QByteArray file;
        QList<int32_t> args;
    };

    int32_t Wavelark(const QByteArray& file, int32_t mode, int32_t a, int32_t b, int32_t c,
                     int32_t d) override {
        calls.append({QStringLiteral("Wavelark"), file, {mode, a, b, c, d}});
        if (!failure.isEmpty())
            return kNotLoaded;
        if (mode == 6)
            listening = a != 0;
        if (onWavelark)
            return onWavelark(file, mode, a, b, c, d);
        return mode == 4 ? sourceCount : 0;
    }
    int32_t Volume(int32_t source, int32_t volume, std::array<int32_t, 2>& range) override {
        calls.append({QStringLiteral("Volume"), {}, {source, volume}});
        if (!failure.isEmpty())
            return kNotLoaded;
        range = volumeRange;
        return 0;
    }
    int32_t VolumeLevel(int32_t source, std::array<int32_t, 2>& range) override {
        calls.append({QStringLiteral("VolumeLevel"), {}, {source}});
        if (!failure.isEmpty())
            return kNotLoaded;
        range = volumeRange;
        return level;
    }
    // Asked once a second during a take: not recorded in `calls`.
    int32_t WavelarkStatus(EngineStatus& out) override {
        if (!failure.isEmpty())
            return kNotLoaded;
        out = status;
        return 0;
    }
    int32_t WavelarkLevel(EngineLevel& out) override {
        if (!failure.isEmpty())
            return kNotLoaded;
        out = inputLevel;
        return status.take || listening ? 0 : -3;
    }
    int32_t WavelarkStartAtSound(double share, int32_t) override {
        startAtSound = share;
        return failure.isEmpty() ? 0 : kNotLoaded;
    }
    // Only shown to the user: not recorded in `calls`.
    int32_t WavelarkSourceDescription(int32_t number, QString& out) override {
        if (!failure.isEmpty())
            return kNotLoaded;
        out = QStringLiteral("Source %1").arg(number);
        return 0;
    }
    int32_t WavelarkSelectApplication(const QByteArray& name) override {
        calls.append({QStringLiteral("WavelarkSelectApplication"), name, {}});
        if (!failure.isEmpty())
            return kNotLoaded;
        application = QString::fromUtf8(name);
        return 0;
    }
    // Only shown to the user: not recorded in `calls`.
    int32_t WavelarkApplications(QList<PlayingProgram>& out) override {
        if (!failure.isEmpty())
            return kNotLoaded;
        out = playing;
        return int32_t(playing.size());
    }
    int32_t WavelarkMix(int32_t first, int32_t second, int32_t ownChannels) override {
        calls.append({QStringLiteral("WavelarkMix"), {}, {first, second, ownChannels}});
        if (!failure.isEmpty())
            return kNotLoaded;
        return first < 0 || first > 200 || second < 0 || second > 200 ? -1 : 0;
    }
    // Asked twenty times a second: not recorded in `calls`.
    int32_t WavelarkInputLevel(int32_t input, EngineLevel& out) override {
        if (!failure.isEmpty())
            return kNotLoaded;
        if (input < 0 || input > 1)
            return -1;
        if (!(status.take || listening) || !inputsOpen[input])
            return -3;
        out = inputLevels[input];
        return 0;
    }
    QString loadError() const override { return failure; }

    QList<Call> calls;
    std::array<int32_t, 2> volumeRange{0, 65536};
    int32_t sourceCount = 2;
    int32_t level = 40000; // the source's volume before the program sets one
    EngineStatus status;
    EngineLevel inputLevel;  // answered while status.take says a take runs, or while listening
    bool listening = false;  // the input is open between takes (mode 6)
    double startAtSound = 0; // the level the next take from the open input starts at
    double savedSeconds = 0; // the length of the take a test's stand-in engine writes
    QString application;     // the program chosen through WavelarkSelectApplication
    QList<PlayingProgram> playing;               // what WavelarkApplications answers
    std::array<EngineLevel, 2> inputLevels;      // each input's level, answered as inputLevel is
    std::array<bool, 2> inputsOpen{true, false}; // which inputs the take or open input has
    QString failure; // when set, every call fails as an unloadable library would
    std::function<int32_t(const QByteArray&, int32_t, int32_t, int32_t, int32_t, int32_t)>
        onWavelark;
};

} // namespace tw
