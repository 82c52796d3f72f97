#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace tw {

// Free bytes on the file system that holds `folder` (or its nearest existing parent); -1 when
// it cannot tell.
qint64 freeBytes(const QString& folder);

using FreeSpace = std::function<qint64(const QString& folder)>;

struct DiskRoom {
    QString folder;
    qint64 bytes = 0;
};

// The folder among `folders` with the least free space; nothing when none can tell.
std::optional<DiskRoom> leastRoom(const QStringList& folders, const FreeSpace& freeSpace);

// "45 s", "7 min 30 s", "2 h 5 min".
QString roomDuration(qint64 seconds);

// Below ten minutes at `bytesPerSecond`, how long the room lasts, in the status line's words;
// else "".
QString roomWarning(const DiskRoom& room, double bytesPerSecond);

} // namespace tw
