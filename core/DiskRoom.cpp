#include "core/DiskRoom.h"

#include <QFileInfo>
#include <QLocale>
#include <QStorageInfo>
#include <cmath>

namespace tw {

namespace {
// Long enough for the user to see it coming and make room or stop in time.
constexpr qint64 kWarnBelowSeconds = 10 * 60;
} // namespace

qint64 freeBytes(const QString& folder) {
    QString existing = QFileInfo(folder).absoluteFilePath();
    while (!QFileInfo::exists(existing) && QFileInfo(existing).absolutePath() != existing)
        existing = QFileInfo(existing).absolutePath();
    const QStorageInfo disk(existing);
    return disk.isValid() ? disk.bytesAvailable() : -1;
}

std::optional<DiskRoom> leastRoom(const QStringList& folders, const FreeSpace& freeSpace) {
    std::optional<DiskRoom> least;
    for (const QString& folder : folders) {
        if (folder.isEmpty())
            continue;
        const qint64 bytes = freeSpace(folder);
        if (bytes >= 0 && (!least || bytes < least->bytes))
            least = DiskRoom{folder, bytes};
    }
    return least;
}

QString roomDuration(qint64 seconds) {
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 3600)
        return seconds % 60 ? QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60)
                            : QStringLiteral("%1 min").arg(seconds / 60);
    const qint64 minutes = seconds / 60 % 60;
    return minutes ? QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(minutes)
                   : QStringLiteral("%1 h").arg(seconds / 3600);
}

QString roomWarning(const DiskRoom& room, double bytesPerSecond) {
    if (bytesPerSecond <= 0)
        return {};
    const auto lasts = static_cast<qint64>(std::floor(double(room.bytes) / bytesPerSecond));
    if (lasts >= kWarnBelowSeconds)
        return {};
    return QStringLiteral("Only %1 of recording fit in %2 at this format (%3 free); make room "
                          "or stop before it fills.")
        .arg(roomDuration(lasts), room.folder, QLocale::c().formattedDataSize(room.bytes));
}

} // namespace tw
