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

QString freeMp3Path(const QString& mp3) {
    // A dangling link counts as taken: the encoder would write through it.
    const auto taken = [](const QString& path) {
        const QFileInfo info(path);
        return info.exists() || info.isSymLink();
    };
    const QString stem = mp3.left(mp3.size() - 4);
    QString name = mp3;
    for (int n = 1; taken(name); ++n)
        name = stem + QLatin1Char('_') + QString::number(n) + QStringLiteral(".mp3");
    return name;
}

} // namespace tw
