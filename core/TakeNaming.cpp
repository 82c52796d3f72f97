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

} // namespace tw
