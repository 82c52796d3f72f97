#include "platform/FileSystem.h"

#include "engine/no_replace_move.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

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

bool moveNoReplace(const QString& from, const QString& to, QString* why) {
    int error = 0;
    const files::Moved moved = files::moveNoReplace(QFile::encodeName(from).toStdString(),
                                                    QFile::encodeName(to).toStdString(), &error);
    if (moved == files::Moved::Yes)
        return true;
    if (why)
        *why = moved == files::Moved::NameTaken ? QStringLiteral("a file of that name exists")
                                                : QString::fromLocal8Bit(std::strerror(error));
    return false;
}

bool placeNoReplace(const QString& from, const QString& to, QString* why) {
    int error = 0;
    const files::Moved placed = files::placeNoReplace(QFile::encodeName(from).toStdString(),
                                                      QFile::encodeName(to).toStdString(), &error);
    if (placed == files::Moved::Yes)
        return true;
    if (why)
        *why = placed == files::Moved::NameTaken ? QStringLiteral("a file of that name exists")
                                                 : QString::fromLocal8Bit(std::strerror(error));
    return false;
}

UnfinishedConversion::UnfinishedConversion(const QString& target)
    : file_(std::make_unique<files::UnfinishedFile>(QFile::encodeName(target).toStdString(),
                                                    files::Unfinished::Conversion)) {}

UnfinishedConversion::~UnfinishedConversion() = default;

QString UnfinishedConversion::path() const {
    return QFile::decodeName(QByteArray::fromStdString(file_->path()));
}

QString unfinishedListFolder() {
    return QFile::decodeName(QByteArray::fromStdString(files::unfinishedListFolder()));
}

QList<Leftover> removeLeftovers(const QString& listFolder, const QString& folder) {
    std::vector<files::Leftover> removed =
        files::removeListedLeftovers(QFile::encodeName(listFolder).toStdString());
    for (files::Leftover& leftover :
         files::removeLeftoversIn(QFile::encodeName(folder).toStdString()))
        removed.push_back(std::move(leftover));
    QList<Leftover> result;
    for (const files::Leftover& leftover : removed)
        result.append({QFile::decodeName(QByteArray::fromStdString(leftover.path)),
                       leftover.kind == files::Unfinished::Conversion});
    return result;
}

bool processRunning(qint64 pid) {
    return files::processRunning(static_cast<long>(pid));
}

ExclusiveFileLock::ExclusiveFileLock(const QString& path)
    : fd_(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC)) {
    if (fd_ < 0)
        error_ = errno;
    else if (::flock(fd_, LOCK_EX | LOCK_NB) != 0)
        error_ = errno;
}

ExclusiveFileLock::~ExclusiveFileLock() {
    // Closing the only descriptor of this open releases its lock.
    if (fd_ >= 0)
        ::close(fd_);
}

bool isLockedByWriter(const QString& path) {
    return ExclusiveFileLock(path).error() == EWOULDBLOCK;
}

} // namespace tw
