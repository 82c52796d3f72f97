#include "core/TakeNaming.h"

#include <QFileInfo>

namespace tw {

QString takeFileName(const QString& outputPath, int number) {
    if (number == 0)
        return outputPath;
    return outputPath.left(outputPath.size() - 4) + QLatin1Char('_') + QString::number(number) +
           QStringLiteral(".wav");
}

int nextFreeTake(const QString& outputPath, int number) {
    while (QFileInfo::exists(takeFileName(outputPath, number)))
        ++number;
    return number;
}

QString mp3PathFor(const QString& wav) {
    return wav.left(wav.size() - 3) + QStringLiteral("mp3");
}

} // namespace tw
