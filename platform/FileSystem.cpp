#include "platform/FileSystem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/syscall.h>
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

namespace {
#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

// A descriptor closed when it goes out of scope.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_;
};

int renameNoReplace(const char* from, const char* to) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 28))
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
#elif defined(SYS_renameat2)
    return int(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE));
#else
    errno = ENOSYS;
    return -1;
#endif
}

// The file system cannot do a no-replace rename, though it might link.
bool renameRefused(int error) {
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

bool fail(QString* why, int error) {
    if (why)
        *why = error == EEXIST ? QStringLiteral("a file of that name exists")
                               : QString::fromLocal8Bit(std::strerror(error));
    return false;
}

// The folder's entry for a new name is on disk too, not only the file's data.
void syncFolderOf(const QByteArray& path) {
    const int slash = path.lastIndexOf('/');
    const QByteArray folder = slash > 0 ? path.left(slash) : QByteArray(slash == 0 ? "/" : ".");
    const Fd fd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd)
        ::fsync(fd.get());
}

bool copyAll(int in, int out) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(out, buffer + done, size_t(got - done));
            if (put < 0 && errno != EINTR)
                return false;
            done += put > 0 ? put : 0;
        }
    }
}

// A hidden partial file beside the target, created here and by no one else.
int createPartial(const QByteArray& to, QByteArray& partial) {
    const int slash = to.lastIndexOf('/');
    const QByteArray folder = to.left(slash + 1);
    const QByteArray name = to.mid(slash + 1);
    for (int n = 0; n < 100; ++n) {
        partial = folder + '.' + name + ".partial-" + QByteArray::number(::getpid()) + '-' +
                  QByteArray::number(n);
        const int fd = ::open(partial.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Across file systems: the target's name appears only once the copy is whole and on disk;
// link() refuses to replace a file that took the name meanwhile.
bool copyAcross(const QByteArray& from, const QByteArray& to, QString* why) {
    // A source that could not be removed afterwards would leave two copies.
    if (::access(QFileInfo(QString::fromLocal8Bit(from)).absolutePath().toLocal8Bit().constData(),
                 W_OK) != 0)
        return fail(why, errno);
    const Fd in(::open(from.constData(), O_RDONLY | O_CLOEXEC));
    if (!in)
        return fail(why, errno);
    QByteArray partial;
    int error = 0;
    {
        const Fd out(createPartial(to, partial));
        if (!out)
            return fail(why, errno);
        if (!copyAll(in.get(), out.get()) || ::fsync(out.get()) != 0)
            error = errno;
    }
    if (error == 0 && ::link(partial.constData(), to.constData()) != 0)
        error = errno;
    ::unlink(partial.constData());
    if (error != 0)
        return fail(why, error);
    syncFolderOf(to);
    if (::unlink(from.constData()) != 0) {
        error = errno;
        ::unlink(to.constData()); // the source is whole; the copy would be a second one
        return fail(why, error);
    }
    return true;
}
} // namespace

bool moveNoReplace(const QString& from, const QString& to, QString* why) {
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (renameNoReplace(source.constData(), target.constData()) == 0) {
        syncFolderOf(target);
        return true;
    }
    int error = errno;
    if (renameRefused(error)) {
        if (::link(source.constData(), target.constData()) == 0) {
            if (::unlink(source.constData()) == 0) {
                syncFolderOf(target);
                return true;
            }
            error = errno;
            ::unlink(target.constData());
            return fail(why, error);
        }
        error = errno;
    }
    if (error == EXDEV)
        return copyAcross(source, target, why);
    return fail(why, error);
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
