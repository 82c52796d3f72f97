#include "core/TakeNaming.h"

#include "platform/FileSystem.h"

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

int moveToFreeTake(const QString& file, const QString& outputPath, int number, QString* why) {
    constexpr int kMaxNameTries = 1000;
    for (int tries = 0; tries < kMaxNameTries; ++tries) {
        number = nextFreeTake(outputPath, number);
        const QString target = takeFileName(outputPath, number);
        if (moveNoReplace(file, target, why))
            return number;
        const QFileInfo taken(target);
        if (!taken.exists() && !taken.isSymLink())
            return -1; // not a race with another program: a real failure
        ++number;
    }
    return -1;
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
