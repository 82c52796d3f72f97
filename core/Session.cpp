#include "core/Session.h"

#include "platform/FileSystem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <utility>

namespace tw {

namespace {
const QString kBusy =
    QStringLiteral("A conversion is running; wait for it to finish before starting another.");

// Which command a conversion came from, the length its line gives and, for a take, what its
// save said. A recovered take is encoded in the take format, as it would have been at Stop.
enum class ConversionOf { Take, Line, File, Recovered };
struct ConversionTag {
    ConversionOf of = ConversionOf::File;
    int seconds = 0;
    QString warning;
};

// Qt answers a refused move to the trash with no reason: the likely one, in the user's words.
QString trashRefusalOf(const QString& path) {
    const QFileInfo info(path);
    if (!QFileInfo(info.absolutePath()).isWritable())
        return QStringLiteral("its folder cannot be written");
    return QStringLiteral("no trash can take files from its folder");
}
} // namespace

} // namespace tw
Q_DECLARE_METATYPE(tw::ConversionTag)

namespace tw {

void GuardedMessageBox::critical(const QString& text) {
    if (!box_) {
        session_.status.set(text, kRed);
        return;
    }
    Session::Modal modal(session_);
    box_->critical(text);
}

bool GuardedMessageBox::question(const QString& text) {
    if (!box_)
        return false;
    Session::Modal modal(session_);
    return box_->question(text);
}

Session::Modal::Modal(Session& session) : session_(session) {
    if (session_.modal_++ == 0)
        emit session_.commandsChanged();
}

Session::Modal::~Modal() {
    if (--session_.modal_ == 0)
        emit session_.commandsChanged();
}

Session::Session(const QString& appDir, IAudioLibraries& audio, IPlayer& player,
                 IMessageBox* messages, QObject* parent)
    : QObject(parent), settings(appDir), engine(audio), volume(engine, settings),
      recorder(engine, settings, status), playback(player, status), inputChoices(engine),
      wizard(engine, player, settings, volume, inputChoices), recovery(settings, takes, status),
      meter(engine), store(takes, status), timer(*this), voice(*this), messages_(messages, *this),
      runner_(std::make_unique<DOSOutputs>(messages_)),
      converter_(std::make_unique<Converter>(*runner_, status, settings.appDir())) {
    connect(&engine, &EngineClient::libraryMissing, this,
            [this](const QString& why) { status.set(why, kRed); });
    connect(&recorder, &Recorder::takeSaved, this, &Session::takeSaved);
    connect(&settings, &Settings::writeFailed, this,
            [this](const QString& text) { status.set(text, kRed); });
    connect(converter_.get(), &Converter::finished, this, &Session::conversionFinished);
    connect(&recovery, &Recovery::recovered, this, &Session::encodeRecoveredTake);
    connect(&recovery, &Recovery::recovered, this,
            [this](const QString& path, int) { recoveredNow_.append(path); });
    connect(&recovery, &Recovery::finished, this, [this] {
        if (!recoveredNow_.isEmpty())
            emit takesRecovered(std::exchange(recoveredNow_, {}));
    });
    const auto meterWhenRecording = [this] {
        meter.setActive(recorder.takeRunning() || wizard.busy() || listening_);
    };
    connect(&recorder, &Recorder::phaseChanged, this, meterWhenRecording);
    connect(&wizard, &SoundCardWizard::busyChanged, this, meterWhenRecording);
    connect(&meter, &InputMeter::silenceChanged, this, [this](bool silent) {
        recorder.showSilence(silent, inputDescription_.isEmpty() ? QStringLiteral("the input")
                                                                 : inputDescription_);
    });
    connect(this, &Session::listeningChanged, this, meterWhenRecording);
    watchRules();
    watchInputs();
    connect(&wizard, &SoundCardWizard::sourceChosen, this, &Session::describeInput);
    connect(&wizard, &SoundCardWizard::sourceChosen, this, &Session::markConfigured);
    // What the rule depends on.
    connect(&recorder, &Recorder::phaseChanged, this, &Session::commandsChanged);
    connect(converter_.get(), &Converter::busyChanged, this, &Session::commandsChanged);
    connect(&recorder, &Recorder::phaseChanged, this, &Session::continueQuit);
    connect(converter_.get(), &Converter::busyChanged, this, &Session::continueQuit);
    // Long enough to be read; a refusal must not stand for the state of a take that goes on.
    whyNotShown_.setInterval(4000);
    whyNotShown_.setSingleShot(true);
    connect(&whyNotShown_, &QTimer::timeout, this, [this] {
        if (status.text() == whyNot_ && status.colour() == kRed)
            status.set(textBefore_, colourBefore_);
    });
}

void Session::sayWhyNot(const QString& why) {
    // A refusal after a refusal still returns to what stood before the first.
    if (!(whyNotShown_.isActive() && status.text() == whyNot_)) {
        textBefore_ = status.text();
        colourBefore_ = status.colour();
    }
    whyNot_ = why;
    status.set(why, kRed);
    whyNotShown_.start();
}

Session::~Session() = default;

void Session::loadConfiguration() {
    const std::optional<int> stored = settings.volumeFromFile();
    volume.useSource(settings.mixerSourceFromFile(),
                     stored ? EngineClient::OpenAt::Given : EngineClient::OpenAt::Current,
                     stored.value_or(0));
    engine.selectSource(settings.engineSourceFromFile());
    describeInput();
    inputs_ = settings.inputChoice();
    applyInputs();
    settings.format = settings.formatFromFile();
    settings.announceFormat();
    QString unknown;
    settings.takeFormat = settings.takeFormatFromFile(&unknown);
    if (!unknown.isEmpty())
        status.set(QStringLiteral("Config.ini's Take Format \"%1\" is none of WAV, FLAC, Opus, "
                                  "Vorbis and MP3: takes are saved as WAV.")
                       .arg(unknown),
                   kRed);
    markConfigured();
}

void Session::markConfigured() {
    if (configured_)
        return;
    configured_ = true;
    emit configured();
}

QString Session::refusal(Command command) const {
    using Phase = Recorder::Phase;
    if (quitting_)
        return QStringLiteral("Tunewright is closing.");
    const Phase phase = recorder.phase();
    // The recorder's commands come from anywhere, also while a front end waits in a dialog
    // or a menu whose caller acts on what it answers; the commands of the list and the menus
    // come from that very dialog or menu.
    const bool recorderCommand =
        command == Command::Record || command == Command::Pause || command == Command::Stop;
    if (recorderCommand && modal_ > 0)
        return QStringLiteral("Close the open dialog or menu first.");
    switch (command) {
    case Command::Record:
        if (setupOpen_)
            return QStringLiteral("The sound card setting is open; finish or close it before "
                                  "recording.");
        if (phase == Phase::Starting)
            return QStringLiteral("The recording is starting.");
        if (recorder.takeRunning())
            return QStringLiteral("A recording is already running.");
        if (phase == Phase::Saving)
            return QStringLiteral("The last recording is still being saved.");
        if (converter_->busy())
            return QStringLiteral("A conversion is running; recording can start when it has "
                                  "finished.");
        return QString();
    case Command::Pause:
    case Command::Stop:
        // Stop also cancels what waits to start or stop a take.
        if (command == Command::Stop && (timer.armed() || voice.armed()))
            return QString();
        if (!recorder.takeRunning())
            return phase == Phase::Saving ? QStringLiteral("The recording is being saved.")
                                          : QStringLiteral("No recording is running.");
        return QString();
    case Command::Convert:
        return converter_->busy() ? kBusy : QString();
    case Command::SoundCardSetup:
        if (phase != Phase::Idle)
            return QStringLiteral("Stop the recording before setting up the sound card.");
        return QString();
    }
    return QString();
}

bool Session::allowed(Command command) {
    const QString why = refusal(command);
    if (!why.isEmpty())
        sayWhyNot(why);
    return why.isEmpty();
}

bool Session::request(Command command) {
    if (!allowed(command))
        return false;
    if (command == Command::Stop && cancelRules() && !recorder.takeRunning())
        return true;
    if (command == Command::Record)
        leadForStart(false, 0);
    return perform(command);
}

bool Session::requestByRule(Command command, double startAtShare) {
    if (!allowed(command))
        return false;
    if (command == Command::Record)
        leadForStart(true, startAtShare);
    return perform(command);
}

bool Session::perform(Command command) {
    switch (command) {
    case Command::Record:
        recorder.record();
        break;
    case Command::Pause:
        recorder.togglePause();
        break;
    case Command::Stop:
        if (recorder.takeRunning())
            recorder.stopAndSave();
        break;
    case Command::Convert:
    case Command::SoundCardSetup:
        return false; // they need more than the command: a line, a file, a window
    }
    return true;
}

void Session::setSavePosition(const QString& path) {
    recorder.setOutputPath(path);
    settings.writeSavePosition(path);
}

bool Session::openSoundCardSetup(bool firstRun) {
    if (!firstRun) {
        if (!allowed(Command::SoundCardSetup))
            return false;
        if (!setupOpen_)
            wizard.restart();
    }
    setupOpen_ = true;
    useSourceAlone();
    emit commandsChanged();
    return true;
}

void Session::closeSoundCardSetup() {
    if (!setupOpen_)
        return;
    setupOpen_ = false;
    wizard.cancel();
    applyInputs();
    emit commandsChanged();
}

void Session::takeSaved(const QString& path, int seconds, const QString& warning) {
    takes.add(path, seconds, Takes::Kind::Wav);
    emit takeListed(path, seconds, warning);
    if (!warning.isEmpty())
        status.set(warning, kRed);
    else
        status.setText(QStringLiteral("Recording is over,Wave file has saved in appointed path"));
    // A program on its way out saves the take but starts no conversion it would have to stop.
    // A take saved in another format than WAV (its WAV failing to encode aside) has none to do.
    if (settings.AutoMp3 == 1 && !quitting_ &&
        path.endsWith(QStringLiteral(".wav"), Qt::CaseInsensitive))
        convert(path, QVariant::fromValue(ConversionTag{ConversionOf::Take, seconds, warning}));
}

void Session::convert(const QString& input, const QVariant& tag, const OutputFormat& format) {
    converter_->convert(format, settings.LameOptions, input, format.pathFor(input), tag);
}

void Session::encodeRecoveredTake(const QString& path, int seconds) {
    if (settings.takeFormat == TakeFormat::Wav)
        return;
    const TakeFormatInfo& format = takeFormatInfo(settings.takeFormat);
    convert(path, QVariant::fromValue(ConversionTag{ConversionOf::Recovered, seconds, {}}),
            outputFormat(format.conversion));
}

// The encoded file takes the WAV's line, and only then does the WAV go; a failure keeps the WAV.
void Session::recoveredTakeEncoded(const QString& wav, const QString& output, bool ok,
                                   const QString& why) {
    if (!ok) {
        status.set(QStringLiteral("%1 was recovered as WAV: its %2 file could not be made (%3).")
                       .arg(wav, takeFormatInfo(settings.takeFormat).configValue, why),
                   kRed);
        return;
    }
    for (int row = 0; row < takes.rowCount(); ++row) {
        if (takes.path(row) == wav) {
            takes.replacePath(row, output);
            break;
        }
    }
    QFile::remove(wav);
    status.set(QStringLiteral("The recovered recording is saved as %1.").arg(output), kBlue);
}

void Session::conversionFinished(const QString& input, const QString& output, bool ok, bool started,
                                 const QVariant& tag, const QString& why) {
    const auto t = tag.value<ConversionTag>();
    if (started)
        emit conversionEnded(input, output, ok, why);
    if (t.of == ConversionOf::Recovered) {
        recoveredTakeEncoded(input, output, ok, why);
        return;
    }
    if (ok) {
        if (t.of != ConversionOf::File)
            takes.add(output, t.seconds, Takes::Kind::Converted);
        // The take's own word is the last: saved, or saved with a fault.
        if (t.of == ConversionOf::Take) {
            if (!t.warning.isEmpty())
                status.set(t.warning, kRed);
            else
                status.set(QStringLiteral("Recording is over,Wave file has saved in appointed "
                                          "path"),
                           kRed);
        }
        return;
    }
    // A line's or a file's failure is on the status line already, in the converter's words.
    if (t.of == ConversionOf::Take)
        status.set(QStringLiteral("The recording is saved, but the conversion failed: %1 was "
                                  "not written, because %2.")
                       .arg(output, why),
                   kRed);
}

void Session::convertLine(int row, const QString& formatId) {
    if (!allowed(Command::Convert))
        return;
    const QString input = takes.path(row);
    if (input.size() < 3) {
        status.set(QStringLiteral("Select a recording in the list to convert."), kRed);
        return;
    }
    convert(input,
            QVariant::fromValue(ConversionTag{ConversionOf::Line, takes.at(row).seconds, {}}),
            outputFormat(formatId));
}

void Session::convertFile(const QString& path) {
    if (!allowed(Command::Convert))
        return;
    const QString input = shortPathName(path);
    status.setText(input);
    if (input.size() < 3)
        return;
    convert(input, QVariant::fromValue(ConversionTag{ConversionOf::File, 0, {}}));
}

Session::Deletion Session::deleteLine(int row, bool forGood) {
    if (row < 0 || row >= takes.rowCount())
        return Deletion::Nothing;
    const Takes::Take take = takes.at(row);
    const QFileInfo info(take.path);
    // Only a normal file is deleted; a hidden (dot) file is left alone, as a hidden file
    // was never listed.
    if (take.path.isEmpty() || !info.isFile() || info.fileName().startsWith(QLatin1Char('.'))) {
        takes.remove(row);
        return Deletion::Nothing;
    }
    QFile file(take.path);
    if (forGood) {
        if (!file.remove()) {
            status.set(
                QStringLiteral("%1 could not be deleted: %2").arg(take.path, file.errorString()),
                kRed);
            return Deletion::Failed;
        }
        takes.remove(row);
        emit fileDeleted(take.path, false);
        return Deletion::Deleted;
    }
    QString inTrash;
    if (!QFile::moveToTrash(take.path, &inTrash)) {
        trashRefusal_ = trashRefusalOf(take.path);
        return Deletion::NeedsConfirmation;
    }
    trashed_ = Trashed{take.path, inTrash, row, take};
    takes.remove(row);
    status.set(QStringLiteral("%1 was moved to the trash.").arg(take.path), kBlue);
    emit fileDeleted(take.path, true);
    emit undoChanged(take.path);
    return Deletion::Trashed;
}

bool Session::undoDelete() {
    if (trashed_.original.isEmpty())
        return false;
    const Trashed undo = std::exchange(trashed_, {});
    emit undoChanged(QString());
    QString why;
    if (!moveNoReplace(undo.inTrash, undo.original, &why)) {
        status.set(QStringLiteral("%1 could not be put back: %2. It is in the trash as %3.")
                       .arg(undo.original, why, undo.inTrash),
                   kRed);
        return false;
    }
    // The trash's record of where the file came from goes with it, or the trash would list
    // a file it no longer holds.
    const QFileInfo trashed(undo.inTrash);
    QFile::remove(trashed.dir().absoluteFilePath(
        QStringLiteral("../info/%1.trashinfo").arg(trashed.fileName())));
    takes.insert(undo.row, undo.take);
    status.set(QStringLiteral("%1 is back.").arg(undo.original), kBlue);
    return true;
}

void Session::clearList() {
    takes.clear();
    playback.closePlaying();
    recorder.resetTakeCounter();
    status.set(QStringLiteral("All lists were cleared."), kRed);
}

void Session::quit() {
    if (quitting_)
        return;
    quitting_ = true;
    emit commandsChanged();
    converter_->cancel();
    continueQuit();
}

void Session::continueQuit() {
    if (!quitting_ || quitDone_)
        return;
    if (recorder.takeRunning()) {
        recorder.stopAndSave();
        return;
    }
    // A start or a save on its way: its answer comes back here through phaseChanged.
    if (recorder.phase() != Recorder::Phase::Idle || converter_->busy())
        return;
    quitDone_ = true;
    keepInputOpen();
    playback.closePlaying();
    // A volume the mixer never told would be applied at the next start: possibly silence.
    if (volume.known())
        settings.writeVolume(volume.volume());
    emit quitReady();
}

} // namespace tw
