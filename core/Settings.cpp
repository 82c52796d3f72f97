#include "core/Settings.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <algorithm>
#include <climits>
#include <cmath>
#include <unistd.h>

namespace tw {

namespace {
const QString kSection = QStringLiteral("Config");
const QString kSource = QStringLiteral("Recording Source");
const QString kVolume = QStringLiteral("Recording Volume");
const QString kSavePosition = QStringLiteral("Save Position");
const QString kTakeFormat = QStringLiteral("Take Format");
const QString kTakeNamePattern = QStringLiteral("Take Name Pattern");
const QString kNotifications = QStringLiteral("Notifications");
const QString kKeepInTray = QStringLiteral("Keep In Tray");
const QString kPreRecord = QStringLiteral("Pre-record Seconds");
const QString kVoiceStartDb = QStringLiteral("Voice Start dB");
const QString kVoiceStartMs = QStringLiteral("Voice Start ms");
const QString kVoiceSilenceDb = QStringLiteral("Voice Silence dB");
const QString kVoiceSilenceMs = QStringLiteral("Voice Silence ms");
const QString kVoiceOnSilence = QStringLiteral("Voice On Silence");
const QString kGnomeShortcutsOffered = QStringLiteral("GNOME Shortcuts Offered");
const QString kSecondSource = QStringLiteral("Second Recording Source");
const QString kApplication = QStringLiteral("Application Source");
const QString kFirstLevel = QStringLiteral("First Input Level");
const QString kSecondLevel = QStringLiteral("Second Input Level");
const QString kOwnChannels = QStringLiteral("Inputs On Own Channels");
// The engine takes no longer program name.
constexpr int kApplicationBytes = 255;
const QString kChannels = QStringLiteral("Channels");
const QString kBits = QStringLiteral("BitsPerSample");
const QString kRate = QStringLiteral("SamplesPerSec");
} // namespace

QString formatCaption(const RecordingFormat& f) {
    return QString::number(f.SamplesPerSec) + QStringLiteral("  Hz   ") +
           QString::number(f.BitsPerSample) + QStringLiteral("  Bit");
}

const QList<int32_t>& offeredRates() {
    static const QList<int32_t> rates{8000, 11025, 22050, 44100, 48000};
    return rates;
}

float dataRatePerMinute(const RecordingFormat& f) {
    // Double all the way, so that no product of stored values can overflow before the
    // result is narrowed to a single.
    return static_cast<float>(double(f.Channels) * f.SamplesPerSec * f.BitsPerSample * 60 / 8 /
                              1024 / 1024);
}

// A single is read as its 7 significant digits and those are rounded half away from zero,
// so that the figure shown follows the digits the single stands for rather than its binary
// tail, and an exact half always goes up: a rate of 1.00049973 reads 1.000500 and shows
// 1.001, and 2.8125 shows 2.813. Always a point, so that it reads back whatever the user's
// locale.
QString rateText(float rate) {
    if (!std::isfinite(rate))
        return QString::number(double(rate), 'f', 3);
    const bool negative = std::signbit(rate);
    // "d.dddddde±x": seven significant digits and the power of ten of the first one.
    const QString scientific = QString::number(std::fabs(double(rate)), 'e', 6);
    const qsizetype ePos = scientific.indexOf(u'e');
    QString digits = scientific.left(ePos);
    digits.remove(u'.');
    const int exponent = scientific.mid(ePos + 1).toInt();

    // value = digits × 10^-scale; bring it to exactly three decimals.
    const int scale = 6 - exponent;
    QString thousandths;
    if (scale <= 3) {
        thousandths = digits + QString(3 - scale, u'0');
    } else {
        const int dropped = scale - 3;
        if (dropped > digits.size()) {
            thousandths = QStringLiteral("0");
        } else {
            const qsizetype keep = digits.size() - dropped;
            qint64 kept = keep > 0 ? digits.left(keep).toLongLong() : 0;
            if (digits.at(keep).digitValue() >= 5)
                ++kept;
            thousandths = QString::number(kept);
        }
    }
    if (thousandths.size() < 4)
        thousandths = QString(4 - thousandths.size(), u'0') + thousandths;
    QString text = thousandths.left(thousandths.size() - 3) + u'.' + thousandths.right(3);
    if (negative && text != QStringLiteral("0.000"))
        text.prepend(u'-');
    return text;
}

QString megabytesPerSecond(const RecordingFormat& f) {
    // From the rate as shown (three decimals), not the exact one: the readout has always
    // been computed from the dialog's text.
    const float perMinute = rateText(dataRatePerMinute(f)).toFloat();
    return QString::number(perMinute / 60.0f, 'f', 3);
}

namespace {
// A missing folder keeps the program's own layout: writes there fail and say so.
bool canWrite(const QString& folder) {
    const QByteArray name = QFile::encodeName(folder);
    return ::access(name.constData(), F_OK) != 0 || ::access(name.constData(), W_OK) == 0;
}
} // namespace

QString Settings::settingsFolder(const QString& appDir, bool appDirWritable) {
    if (appDirWritable)
        return appDir;
    // An installed program's folder belongs to the system: the user's settings go where the
    // desktop keeps them.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/tunewright");
}

QString Settings::savingFolder(const QString& appDir, bool appDirWritable) {
    if (appDirWritable)
        return appDir;
    const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    return music.isEmpty() ? QDir::homePath() + QStringLiteral("/Music") : music;
}

Settings::Settings(QString appDir, QObject* parent)
    : QObject(parent), appDir_(std::move(appDir)), appDirWritable_(canWrite(appDir_)),
      config_(settingsFolder(appDir_, appDirWritable_) + QStringLiteral("/Config.ini")) {
    if (!appDirWritable_)
        QDir().mkpath(settingsFolder(appDir_, false));
}

QString Settings::defaultSavePosition() const {
    return savingFolder(appDir_, appDirWritable_) + QStringLiteral("/Larktake.wav");
}

bool Settings::firstRun() const {
    if (!config_.exists())
        return true;
    QString value;
    return config_.readString(kSection, kSource, QString(), value) == 0;
}

int32_t Settings::mixerSourceFromFile() const {
    return config_.readInt(kSection, kSource, -1) - 1;
}

int32_t Settings::engineSourceFromFile() const {
    return config_.readInt(kSection, kSource, 0) - 1;
}

std::optional<int> Settings::volumeFromFile() const {
    QString value;
    if (config_.readString(kSection, kVolume, QString(), value) == 0)
        return std::nullopt;
    return config_.readInt(kSection, kVolume, 0);
}

bool Settings::written(bool ok, const QString& what) {
    if (!ok) {
        qWarning("%s", qPrintable(writeFailure(what)));
        emit writeFailed(writeFailure(what));
    }
    return ok;
}

bool Settings::writeVolume(int volume) {
    return written(config_.writeString(kSection, kVolume, QString::number(volume)),
                   QStringLiteral("The recording volume"));
}

RecordingFormat Settings::formatFromFile() const {
    RecordingFormat f;
    f.Channels = config_.readInt(kSection, kChannels, 0);
    f.BitsPerSample = config_.readInt(kSection, kBits, 0);
    f.SamplesPerSec = config_.readInt(kSection, kRate, 0);
    return f;
}

bool Settings::writeFormat(const RecordingFormat& f) {
    bool ok = config_.writeString(kSection, kChannels, QString::number(f.Channels));
    ok = config_.writeString(kSection, kBits, QString::number(f.BitsPerSample)) && ok;
    ok = config_.writeString(kSection, kRate, QString::number(f.SamplesPerSec)) && ok;
    return written(ok, QStringLiteral("The recording format"));
}

QString Settings::savePosition() const {
    QString value;
    // Kept whole up to the longest path the system takes; a longer one could name no file.
    const int count = config_.readString(kSection, kSavePosition, QString(), value, PATH_MAX);
    // A file edited by hand may lack the key: takes then go where a new setup puts them,
    // never to a bare "Default" in whatever folder the program was started from.
    if (count <= 0 || value.left(count).trimmed().isEmpty())
        return defaultSavePosition();
    return value.left(count);
}

bool Settings::writeSavePosition(const QString& path) {
    return written(config_.writeString(kSection, kSavePosition, path),
                   QStringLiteral("The output file"));
}

bool Settings::writeWizardResult(int sourceNumber) {
    // The first take must have a folder to go to.
    if (!appDirWritable_)
        QDir().mkpath(savingFolder(appDir_, false));
    return writeSetup(sourceNumber, true);
}

bool Settings::writeWizardSource(int sourceNumber) {
    return writeSetup(sourceNumber, false);
}

bool Settings::writeSetup(int sourceNumber, bool withSavePosition) {
    bool ok = config_.writeString(kSection, kSource, QString::number(sourceNumber));
    if (withSavePosition)
        ok = config_.writeString(kSection, kSavePosition, defaultSavePosition()) && ok;
    ok = config_.writeString(kSection, kChannels, QStringLiteral("2")) && ok;
    ok = config_.writeString(kSection, kBits, QStringLiteral("16")) && ok;
    ok = config_.writeString(kSection, kRate, QStringLiteral("22050")) && ok;
    return written(ok, QStringLiteral("The sound card settings"));
}

TakeFormat Settings::takeFormatFromFile(QString* unknown) const {
    QString value;
    const int count = config_.readString(kSection, kTakeFormat, QString(), value);
    if (count <= 0)
        return TakeFormat::Wav;
    const auto format = takeFormatNamed(value.left(count));
    if (!format && unknown)
        *unknown = value.left(count);
    return format.value_or(TakeFormat::Wav);
}

bool Settings::writeTakeFormat(TakeFormat format) {
    return written(config_.writeString(kSection, kTakeFormat, takeFormatInfo(format).configValue),
                   QStringLiteral("The take format"));
}

QString Settings::writeFailure(const QString& what) const {
    return QStringLiteral("%1 could not be saved in %2.").arg(what, config_.path());
}

void Settings::openFormat() {
    formatBeforeDialog_ = format;
    format = formatFromFile();
    // A value the dialog cannot show is replaced by the one it does show, so that the next
    // recording, the rate and a later Ok all agree with its controls.
    if (format.Channels != 1)
        format.Channels = 2;
    if (format.BitsPerSample != 8)
        format.BitsPerSample = 16;
    if (!offeredRates().contains(format.SamplesPerSec))
        format.SamplesPerSec = 22050;
}

void Settings::acceptFormat() {
    formatBeforeDialog_ = format;
}

void Settings::cancelFormat() {
    format = formatBeforeDialog_;
}

QString Settings::takeNamePattern() const {
    QString value;
    const int count = config_.readString(kSection, kTakeNamePattern, QString(), value);
    return count > 0 ? value.left(count).trimmed() : QString();
}

bool Settings::writeTakeNamePattern(const QString& pattern) {
    return written(config_.writeString(kSection, kTakeNamePattern, pattern.trimmed()),
                   QStringLiteral("The take name pattern"));
}

bool Settings::notificationsOn() const {
    return config_.readInt(kSection, kNotifications, 1) != 0;
}

bool Settings::writeNotificationsOn(bool on) {
    return written(config_.writeString(kSection, kNotifications,
                                       on ? QStringLiteral("1") : QStringLiteral("0")),
                   QStringLiteral("The notifications switch"));
}

bool Settings::keepInTray() const {
    return config_.readInt(kSection, kKeepInTray, 0) == 1;
}

bool Settings::writeKeepInTray(bool on) {
    return written(
        config_.writeString(kSection, kKeepInTray, on ? QStringLiteral("1") : QStringLiteral("0")),
        QStringLiteral("The tray switch"));
}

bool Settings::gnomeShortcutsOffered() const {
    return config_.readInt(kSection, kGnomeShortcutsOffered, 0) == 1;
}

bool Settings::writeGnomeShortcutsOffered() {
    return written(config_.writeString(kSection, kGnomeShortcutsOffered, QStringLiteral("1")),
                   QStringLiteral("That the GNOME shortcuts were offered"));
}

int Settings::preRecordSeconds() const {
    const int seconds = config_.readInt(kSection, kPreRecord, 0);
    return seconds >= 1 && seconds <= 10 ? seconds : 0;
}

bool Settings::writePreRecordSeconds(int seconds) {
    return written(
        config_.writeString(kSection, kPreRecord, QString::number(std::clamp(seconds, 0, 10))),
        QStringLiteral("The pre-record setting"));
}

VoiceSettings Settings::voiceSettings() const {
    VoiceSettings voice;
    // A threshold outside the meter's range, or a time no one would set, is a typing slip in
    // the file: the default serves better than a trigger that never or always fires.
    const auto decibels = [this](const QString& key, double fallback) {
        const int value = config_.readInt(kSection, key, int(fallback));
        return value >= -60 && value <= 0 ? double(value) : fallback;
    };
    const auto millis = [this](const QString& key, int fallback) {
        const int value = config_.readInt(kSection, key, fallback);
        return value >= 0 && value <= 600000 ? value : fallback;
    };
    voice.startDb = decibels(kVoiceStartDb, voice.startDb);
    voice.startMs = millis(kVoiceStartMs, voice.startMs);
    voice.silenceDb = decibels(kVoiceSilenceDb, voice.silenceDb);
    voice.silenceMs = std::max(millis(kVoiceSilenceMs, voice.silenceMs), 100);
    QString onSilence;
    const int count = config_.readString(kSection, kVoiceOnSilence, QString(), onSilence);
    voice.split = count > 0 && onSilence.left(count).trimmed().compare(QLatin1String("split"),
                                                                       Qt::CaseInsensitive) == 0;
    return voice;
}

bool Settings::writeVoiceSettings(const VoiceSettings& voice) {
    const auto number = [](double value) { return QString::number(qRound(value)); };
    const bool ok =
        config_.writeString(kSection, kVoiceStartDb, number(voice.startDb)) &&
        config_.writeString(kSection, kVoiceStartMs, number(voice.startMs)) &&
        config_.writeString(kSection, kVoiceSilenceDb, number(voice.silenceDb)) &&
        config_.writeString(kSection, kVoiceSilenceMs, number(voice.silenceMs)) &&
        config_.writeString(kSection, kVoiceOnSilence,
                            voice.split ? QStringLiteral("split") : QStringLiteral("pause"));
    return written(ok, QStringLiteral("The voice activation thresholds"));
}

InputChoice Settings::inputChoice() const {
    // readInt reads "abc" as 0, which for a level would mean a silent input.
    const auto number = [this](const QString& key) -> std::optional<int> {
        QString value;
        const int count = config_.readString(kSection, key, QString(), value);
        bool ok = false;
        const int n = value.left(std::max(count, 0)).trimmed().toInt(&ok);
        return ok ? std::optional<int>(n) : std::nullopt;
    };
    InputChoice inputs;
    inputs.secondSource = std::max(number(kSecondSource).value_or(0), 0);
    const auto level = [&number](const QString& key) {
        return std::clamp(number(key).value_or(InputChoice::kDefaultLevel), 0,
                          InputChoice::kMaxLevel);
    };
    inputs.firstLevel = level(kFirstLevel);
    inputs.secondLevel = level(kSecondLevel);
    inputs.ownChannels = number(kOwnChannels).value_or(0) == 1;
    QString name;
    const int count = config_.readString(kSection, kApplication, QString(), name, 4096);
    name = name.left(std::max(count, 0)).trimmed();
    // A name the engine would refuse records the source as if none were set.
    if (name.toUtf8().size() <= kApplicationBytes)
        inputs.application = name;
    return inputs;
}

bool Settings::writeInputChoice(const InputChoice& inputs) {
    const bool ok =
        config_.writeString(kSection, kSecondSource,
                            QString::number(std::max(inputs.secondSource, 0))) &&
        config_.writeString(kSection, kApplication, inputs.application.trimmed()) &&
        config_.writeString(
            kSection, kFirstLevel,
            QString::number(std::clamp(inputs.firstLevel, 0, InputChoice::kMaxLevel))) &&
        config_.writeString(
            kSection, kSecondLevel,
            QString::number(std::clamp(inputs.secondLevel, 0, InputChoice::kMaxLevel))) &&
        config_.writeString(kSection, kOwnChannels,
                            inputs.ownChannels ? QStringLiteral("1") : QStringLiteral("0"));
    return written(ok, QStringLiteral("The inputs"));
}

} // namespace tw
