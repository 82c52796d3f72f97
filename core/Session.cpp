#include "core/Session.h"

#include "core/TakeNaming.h"
#include "core/Yield.h"
#include "platform/FileSystem.h"

#include <QFile>
#include <QFileInfo>

namespace tw {

namespace {
const QString kBusy =
    QStringLiteral("A conversion is running; wait for it to finish before starting another.");

// Which command a conversion came from, and the length its MP3's line gives.
enum class ConversionOf { Take, Line, File };
struct ConversionTag {
    ConversionOf of = ConversionOf::File;
    int seconds = 0;
};
} // namespace

} // namespace tw
Q_DECLARE_METATYPE(tw::ConversionTag)

namespace tw {

void GuardedMessageBox::critical(const QString& text) {
    if (!box_) {
        status_.set(text, kRed);
        return;
    }
    HandlerScope scope;
    box_->critical(text);
}

Session::Session(const QString& appDir, IAudioLibraries& audio, IPlayer& player,
                 IMessageBox* messages, QObject* parent)
    : QObject(parent), settings(appDir), engine(audio), volume(engine, settings),
      recorder(engine, settings, status), playback(player, status),
      wizard(engine, player, settings, volume), recovery(settings, takes, status), meter(engine),
      messages_(messages, status), runner_(std::make_unique<DOSOutputs>(messages_)),
      converter_(
          std::make_unique<Converter>(*runner_, status, settings.appFile(QStringLiteral("lame")))) {
    // Repaint and serve the menus while the encoder is quiet.
    runner_->setYieldHook([] { yieldToWindowSystem(); });
    connect(&engine, &EngineClient::libraryMissing, this,
            [this](const QString& why) { status.set(why, kRed); });
    connect(&recorder, &Recorder::takeSaved, this, &Session::takeSaved);
    connect(&settings, &Settings::writeFailed, this,
            [this](const QString& text) { status.set(text, kRed); });
    connect(converter_.get(), &Converter::finished, this, &Session::conversionFinished);
    const auto meterWhenRecording = [this] {
        meter.setActive(recorder.takeRunning() || wizard.busy());
    };
    connect(&recorder, &Recorder::phaseChanged, this, meterWhenRecording);
    connect(&wizard, &SoundCardWizard::busyChanged, this, meterWhenRecording);
    connect(&meter, &InputMeter::silenceChanged, this, [this](bool silent) {
        recorder.showSilence(silent, inputDescription_.isEmpty() ? QStringLiteral("the input")
                                                                 : inputDescription_);
    });
    connect(&wizard, &SoundCardWizard::sourceChosen, this, &Session::describeInput);
}

Session::~Session() = default;

void Session::loadConfiguration() {
    const std::optional<int> stored = settings.volumeFromFile();
    volume.useSource(settings.mixerSourceFromFile(),
                     stored ? EngineClient::OpenAt::Given : EngineClient::OpenAt::Current,
                     stored.value_or(0));
    engine.selectSource(settings.engineSourceFromFile());
    describeInput();
    settings.format = settings.formatFromFile();
    settings.announceFormat();
}

void Session::describeInput() {
    engine.sourceDescription(-1, this, [this](const QString& description) {
        inputDescription_ = description;
        emit inputDescribed(description);
    });
}

bool Session::handlerRunning() const {
    return HandlerScope::active() || recorder.waiting() || wizard.busy();
}

void Session::takeSaved(const QString& path, int seconds, const QString& warning) {
    takes.add(path, seconds, Takes::Kind::Wav);
    if (settings.AutoMp3 == 1) {
        autoConversionFailed_ = false;
        converter_->convert(settings.LameOptions, path, mp3PathFor(path),
                            QVariant::fromValue(ConversionTag{ConversionOf::Take, seconds}));
        if (autoConversionFailed_)
            return; // the failure stays on the status line
    }
    if (!warning.isEmpty())
        status.set(warning, kRed);
    else
        status.setText(QStringLiteral("Recording is over,Wave file has saved in appointed path"));
}

void Session::conversionFinished(const QString&, const QString& output, bool ok, bool,
                                 const QVariant& tag, const QString& why) {
    const auto t = tag.value<ConversionTag>();
    if (ok) {
        if (t.of != ConversionOf::File)
            takes.add(output, t.seconds, Takes::Kind::Mp3);
        return;
    }
    // A line's or a file's failure is on the status line already, in the converter's words.
    if (t.of == ConversionOf::Take) {
        autoConversionFailed_ = true;
        status.set(QStringLiteral("The recording is saved, but the conversion failed: %1 was "
                                  "not written, because %2.")
                       .arg(output, why),
                   kRed);
    }
}

bool Session::refuseWhileConverting() {
    if (!converter_->busy())
        return false;
    status.set(kBusy, kRed);
    return true;
}

void Session::convertLine(int row) {
    if (refuseWhileConverting())
        return;
    const QString input = takes.path(row);
    if (input.size() < 3) {
        status.set(QStringLiteral("Select a recording in the list to convert."), kRed);
        return;
    }
    converter_->convert(
        settings.LameOptions, input, mp3PathFor(input),
        QVariant::fromValue(ConversionTag{ConversionOf::Line, takes.at(row).seconds}));
}

void Session::convertFile(const QString& path) {
    if (refuseWhileConverting())
        return;
    const QString input = shortPathName(path);
    status.setText(input);
    if (input.size() < 3)
        return;
    converter_->convert(settings.LameOptions, input, mp3PathFor(input),
                        QVariant::fromValue(ConversionTag{ConversionOf::File, 0}));
}

void Session::deleteLine(int row) {
    if (row < 0)
        return;
    const QString path = takes.path(row);
    const QFileInfo info(path);
    // Only a normal file is deleted; a hidden (dot) file is left alone, as a hidden file
    // was never listed.
    if (!path.isEmpty() && info.isFile() && !info.fileName().startsWith(QLatin1Char('.'))) {
        QFile file(path);
        if (!file.remove()) {
            status.set(QStringLiteral("%1 could not be deleted: %2").arg(path, file.errorString()),
                       kRed);
            return;
        }
    }
    takes.remove(row);
}

void Session::clearList() {
    recorder.reloadOutputPath();
    takes.clear();
    playback.closePlaying();
    recorder.resetTakeCounter();
    status.set(QStringLiteral("All lists were cleared."), kRed);
}

} // namespace tw
