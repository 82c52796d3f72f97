#include "core/Recovery.h"

#include "core/Settings.h"
#include "core/StatusLine.h"
#include "core/TakeNaming.h"
#include "core/Takes.h"
#include "core/WavFile.h"
#include "platform/FileSystem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <cerrno>

namespace tw {

namespace {

// The process that made a capture, from "capture-YYYYMMDD-HHMMSS-PID[-N].wav" (a test take's:
// "soundcheck-..."); 0 if the name does not say.
qint64 capturePid(const QString& name) {
    static const QRegularExpression pattern(
        QStringLiteral("^(?:capture|soundcheck)-\\d{8}-\\d{6}-(\\d+)(?:-\\d+)?\\.wav$"));
    const QRegularExpressionMatch match = pattern.match(name);
    return match.hasMatch() ? match.captured(1).toLongLong() : 0;
}

// A crash while a take turned into RF64 by copying leaves the unfinished copy beside its
// capture, which still holds all of the audio: the copy goes, unless a writer is at work.
void removeUnfinishedCopies(const QString& folder) {
    const qint64 self = QCoreApplication::applicationPid();
    const QString suffix = QStringLiteral(".grow");
    for (const QString& name :
         QDir(folder).entryList({QStringLiteral("capture-*.wav.grow")}, QDir::Files)) {
        const QString captureName = name.chopped(suffix.size());
        const QString capture = folder + QLatin1Char('/') + captureName;
        if (capturePid(captureName) == self || !QFileInfo::exists(capture))
            continue;
        const ExclusiveFileLock captureLock(capture);
        const ExclusiveFileLock copyLock(capture + suffix);
        if (captureLock.held() && copyLock.held())
            QFile::remove(capture + suffix);
    }
}

// The sound-card check's test takes are the program's, not the user's: one a killed run left
// goes, with its unfinished copy, unless its writer is still at work.
void removeTestCaptures(const QString& folder) {
    const qint64 self = QCoreApplication::applicationPid();
    for (const QString& name :
         QDir(folder).entryList({QStringLiteral("soundcheck-*.wav")}, QDir::Files)) {
        const qint64 pid = capturePid(name);
        if (pid == 0 || pid == self || processRunning(pid))
            continue;
        const QString capture = folder + QLatin1Char('/') + name;
        const ExclusiveFileLock lock(capture);
        if (!lock.held())
            continue;
        QFile::remove(capture + QStringLiteral(".grow"));
        QFile::remove(capture);
    }
}

// A capture that holds no whole frame: its writer was killed before any sound reached it.
// The header's lengths may be stale: the bytes present after it are what counts.
bool holdsNoSound(const QString& capture) {
    const qint64 size = QFileInfo(capture).size();
    if (size == 0)
        return true;
    const std::optional<WavHeader> header = readWavHeader(capture);
    return header && header->blockAlign > 0 && size - header->dataOffset < header->blockAlign;
}

// "an unfinished MP3" for ".take.mp3.converting-PID-N".
QString unfinishedConversionName(const QString& path) {
    static const QRegularExpression kind(QStringLiteral("\\.converting-\\d+-\\d+$"));
    const QString extension = QFileInfo(QFileInfo(path).fileName().remove(kind)).suffix();
    return extension.isEmpty() ? QStringLiteral("an unfinished file")
                               : QStringLiteral("an unfinished ") + extension.toUpper();
}

QString leftoversText(const QList<Leftover>& leftovers) {
    QStringList conversions, copies;
    for (const Leftover& leftover : leftovers)
        (leftover.conversion ? conversions : copies) << leftover.path;
    QStringList parts;
    if (conversions.size() == 1)
        parts << QStringLiteral("Removed %1 left by an interrupted conversion: %2")
                     .arg(unfinishedConversionName(conversions.first()), conversions.first());
    else if (!conversions.isEmpty())
        parts << QStringLiteral("Removed %1 unfinished files left by interrupted conversions: %2")
                     .arg(conversions.size())
                     .arg(conversions.join(QStringLiteral(", ")));
    if (copies.size() == 1)
        parts << QStringLiteral("Removed an unfinished copy of a recording left by an "
                                "interrupted save: %1")
                     .arg(copies.first());
    else if (!copies.isEmpty())
        parts << QStringLiteral("Removed %1 unfinished copies of recordings left by interrupted "
                                "saves: %2")
                     .arg(copies.size())
                     .arg(copies.join(QStringLiteral(", ")));
    return parts.join(QStringLiteral(". "));
}

} // namespace

QString captureFolder() {
    QString base = qEnvironmentVariable("XDG_CACHE_HOME");
    if (!base.startsWith(QLatin1Char('/')))
        base = QDir::homePath() + QStringLiteral("/.cache");
    return base + QStringLiteral("/tunewright");
}

RecoveryResult recoverCaptures(const QString& folder, const QString& savePosition,
                               const QString& listFolder) {
    RecoveryResult result;
    result.captureFolder = folder;
    const QString base = QFileInfo(savePosition).absoluteFilePath();
    result.saveFolder = QFileInfo(base).absolutePath();
    // First, as they may hold the room the captures' copies need.
    result.leftovers = removeLeftovers(listFolder, result.saveFolder);

    removeUnfinishedCopies(folder);
    removeTestCaptures(folder);
    // The names begin with the time of the take: by name is oldest first.
    QStringList names = QDir(folder).entryList({QStringLiteral("capture-*.wav")}, QDir::Files);
    std::sort(names.begin(), names.end());
    const qint64 self = QCoreApplication::applicationPid();
    for (const QString& name : names) {
        const qint64 pid = capturePid(name);
        if (pid == self)
            continue;
        const QString capture = folder + QLatin1Char('/') + name;
        // Held through the move, so that a second program starting at the same time leaves
        // this capture alone as it leaves a recording one.
        const ExclusiveFileLock lock(capture);
        if (lock.error() == EWOULDBLOCK || lock.error() == ENOENT)
            continue;
        // A writer killed before its first frame left nothing to recover. One that is still
        // running may have made its file and not yet locked it.
        if (holdsNoSound(capture)) {
            if (!processRunning(pid) && QFile::remove(capture))
                result.empty << capture;
            continue;
        }
        if (!readWavHeader(capture)) {
            result.kept.append({capture, QStringLiteral("it is not a readable WAV file")});
            continue;
        }
        // A header that cannot be repaired still leaves its samples worth keeping.
        repairWavLengths(capture);
        QString why;
        const int number = moveToFreeTake(capture, base, 0, &why);
        if (number < 0) {
            result.kept.append({capture, why});
            continue;
        }
        const QString moved = takeFileName(base, number);
        result.moved.append({moved, wavSeconds(moved).value_or(0)});
    }
    return result;
}

QString recoveryText(const RecoveryResult& result, int& colour) {
    QStringList parts;
    colour = kBlue;
    if (!result.leftovers.isEmpty())
        parts << leftoversText(result.leftovers);
    if (!result.moved.isEmpty()) {
        QStringList names;
        for (const auto& moved : result.moved)
            names << QFileInfo(moved.path).fileName();
        parts << QStringLiteral("Recovered %1 interrupted recording(s): %2")
                     .arg(result.moved.size())
                     .arg(names.join(QStringLiteral(", ")));
    }
    if (!result.empty.isEmpty())
        parts << QStringLiteral("Removed %1 interrupted recording(s) without any sound from %2")
                     .arg(result.empty.size())
                     .arg(result.captureFolder);
    if (!result.kept.isEmpty()) {
        colour = kRed;
        parts << QStringLiteral("%1 interrupted recording(s) could not be moved to %2 (%3); "
                                "they are kept in %4.")
                     .arg(result.kept.size())
                     .arg(result.saveFolder, result.kept.first().why, result.captureFolder);
    }
    return parts.join(QStringLiteral(". "));
}

Recovery::Recovery(Settings& settings, Takes& takes, StatusLine& status, QObject* parent)
    : QObject(parent), settings_(settings), takes_(takes), status_(status) {}

Recovery::~Recovery() {
    if (worker_.joinable())
        worker_.join();
}

void Recovery::start() {
    if (running_)
        return;
    if (worker_.joinable())
        worker_.join();
    running_ = true;
    // Without a Save Position of an absolute path (none stored, or "Default") the takes would
    // get names made from nothing; they go where a first run puts takes.
    QString save = settings_.savePosition();
    if (!QFileInfo(save).isAbsolute() ||
        !save.endsWith(QStringLiteral(".wav"), Qt::CaseInsensitive))
        save = settings_.defaultSavePosition();
    worker_ = std::thread([this, folder = captureFolder(), save] {
        const RecoveryResult result = recoverCaptures(folder, save, unfinishedListFolder());
        QMetaObject::invokeMethod(
            this,
            [this, result] {
                running_ = false;
                report(result);
                emit finished();
            },
            Qt::QueuedConnection);
    });
}

void Recovery::report(const RecoveryResult& result) {
    for (const auto& moved : result.moved)
        takes_.add(moved.path, int(moved.seconds), Takes::Kind::Wav);
    int colour = kBlue;
    const QString text = recoveryText(result, colour);
    if (!text.isEmpty())
        status_.set(text, colour);
    for (const auto& moved : result.moved)
        emit recovered(moved.path, int(moved.seconds));
}

} // namespace tw
