#include "core/TakeNaming.h"

#include "platform/FileSystem.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <ctime>

namespace tw {

QString patternedTakePath(const QString& outputPath, const QString& pattern,
                          const QDateTime& when) {
    const std::time_t seconds = when.toSecsSinceEpoch();
    std::tm local{};
    localtime_r(&seconds, &local);
    // Room for any name a file system takes; a longer result is not a name.
    char name[256] = {};
    const size_t length = std::strftime(name, sizeof name, pattern.toUtf8().constData(), &local);
    QString stem = QString::fromUtf8(name, qsizetype(length)).trimmed();
    stem.replace(QLatin1Char('/'), QLatin1Char('-'));
    if (stem.isEmpty() || stem == QLatin1String(".") || stem == QLatin1String(".."))
        stem = QStringLiteral("take");
    return QFileInfo(outputPath).dir().filePath(stem + QStringLiteral(".wav"));
}

QString takeFileName(const QString& outputPath, int number, const QString& extension) {
    const bool wav = extension == QLatin1String("wav");
    if (number == 0 && wav)
        return outputPath;
    const QString stem = outputPath.left(outputPath.size() - 4);
    const QString dotted = QLatin1Char('.') + extension;
    return number == 0 ? stem + dotted : stem + QLatin1Char('_') + QString::number(number) + dotted;
}

int nextFreeTake(const QString& outputPath, int number, const QString& extension) {
    const auto taken = [&](int n) {
        return QFileInfo::exists(takeFileName(outputPath, n)) ||
               (!extension.isEmpty() && QFileInfo::exists(takeFileName(outputPath, n, extension)));
    };
    while (taken(number))
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

} // namespace tw
