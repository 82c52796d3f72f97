#include "platform/FileSystem.h"

#include <QDir>
#include <QFileInfo>

namespace tw {

QString shortPathName(const QString& path) {
    if (path.isEmpty())
        return {};
    const QFileInfo info(path);
    return info.exists() ? path : QString();
}

namespace {
QString listedName(const QString& folder, const QString& name) {
    if (QFileInfo::exists(folder + QLatin1Char('/') + name))
        return name;
    const QStringList entries =
        QDir(folder.isEmpty() ? QStringLiteral("/") : folder)
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        if (entry.compare(name, Qt::CaseInsensitive) == 0)
            return entry;
    }
    return {};
}
} // namespace

QString expandLongPath(const QString& path) {
    if (!path.startsWith(QLatin1Char('/')))
        return {};
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString acc;
    for (const QString& part : parts) {
        const QString name = listedName(acc, part);
        if (name.isEmpty())
            return {};
        acc += QLatin1Char('/') + name;
    }
    return acc.isEmpty() ? QStringLiteral("/") : acc;
}

} // namespace tw
