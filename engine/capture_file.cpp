#include "engine/capture_file.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace tw::engine {

void Fd::reset(int fd) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

bool Fd::close() {
    if (fd_ < 0)
        return true;
    int fd = release();
    return ::close(fd) == 0;
}

namespace {

bool makeFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            break;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string folderOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A rename or a new file is durable only once its directory entry is.
void syncFolder(const std::string& folder) {
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        ::fsync(dir.get());
}

bool copyAll(int from, int to) {
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        for (ssize_t done = 0; done < got;) {
            ssize_t put = ::write(to, buffer.data() + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                return false;
            done += put;
        }
    }
}

// glibc before 2.28 has no renameat2() wrapper; the kernel call is all there is to it.
int renameNoReplace(const std::string& from, const std::string& to) {
#ifdef SYS_renameat2
    constexpr unsigned kNoReplace = 1; // RENAME_NOREPLACE
    return static_cast<int>(
        ::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), kNoReplace));
#else
    errno = ENOSYS;
    return -1;
#endif
}

// FAT and exFAT, where recordings often go (memory cards, USB sticks), have no hard links.
bool refusesHardLinks(int error) {
    return error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EMLINK;
}

// Copies `from` from its start into a file it creates with `flags`, on disk when it returns;
// on failure the file is removed again. 0, or the errno of what failed.
int writeCopy(int from, const std::string& path, int flags) {
    Fd to(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666));
    if (!to)
        return errno;
    const bool ok = ::lseek(from, 0, SEEK_SET) == 0 && copyAll(from, to.get()) &&
                    ::fsync(to.get()) == 0 && to.close();
    if (ok)
        return 0;
    const int error = errno ? errno : EIO;
    ::unlink(path.c_str());
    return error;
}

Placement copyAcross(const std::string& capture, const std::string& dest) {
    Fd from(::open(capture.c_str(), O_RDONLY | O_CLOEXEC));
    if (!from)
        return Placement::Failed;
    // Copy beside the destination first, so that a failed copy never leaves a truncated file
    // under the wanted name. A hard link then puts it there only if the name is still free.
    std::string partial = folderOf(dest) + "/.tunewright-partial-" + std::to_string(::getpid());
    if (writeCopy(from.get(), partial, O_TRUNC) != 0)
        return Placement::Failed;
    Placement placed = Placement::Failed;
    if (::link(partial.c_str(), dest.c_str()) == 0)
        placed = Placement::Placed;
    else if (errno == EEXIST)
        placed = Placement::NameTaken;
    else if (refusesHardLinks(errno)) {
        // Without hard links only an exclusive create keeps the name safe; a crash during
        // this copy can leave a short file there, which the partial copy avoids elsewhere.
        const int error = writeCopy(from.get(), dest, O_EXCL);
        placed = error == 0        ? Placement::Placed
                 : error == EEXIST ? Placement::NameTaken
                                   : Placement::Failed;
    }
    ::unlink(partial.c_str());
    if (placed == Placement::Placed) {
        syncFolder(folderOf(dest));
        ::unlink(capture.c_str());
    }
    return placed;
}

} // namespace

std::string captureFolder() {
    std::string base;
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache && cache[0] == '/') {
        base = cache;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || home[0] != '/') {
            const passwd* pw = ::getpwuid(::getuid());
            home = pw ? pw->pw_dir : nullptr;
        }
        if (!home || home[0] != '/')
            return {};
        base = std::string(home) + "/.cache";
    }
    std::string folder = base + "/tunewright";
    return makeFolders(folder) ? folder : std::string();
}

Fd createCaptureFile(const std::string& folder, std::string& path) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string stem = folder + "/capture-" + stamp + "-" + std::to_string(::getpid());
    for (int n = 0; n < 1000; ++n) {
        path = stem + (n ? "-" + std::to_string(n) : std::string()) + ".wav";
        Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd) {
            ::flock(fd.get(), LOCK_EX); // a new file: nobody else can hold it
            return fd;
        }
        if (errno != EEXIST)
            return fd;
    }
    return Fd();
}

Placement placeCapture(const std::string& capture, const std::string& dest) {
    if (renameNoReplace(capture, dest) == 0) {
        syncFolder(folderOf(dest));
        return Placement::Placed;
    }
    int error = errno;
    if (error == EINVAL || error == ENOSYS) {
        // A file system that does not know the flag: a hard link never replaces either.
        if (::link(capture.c_str(), dest.c_str()) == 0) {
            ::unlink(capture.c_str());
            syncFolder(folderOf(dest));
            return Placement::Placed;
        }
        error = errno;
    }
    if (error == EEXIST)
        return Placement::NameTaken;
    if (error == EXDEV || refusesHardLinks(error))
        return copyAcross(capture, dest);
    return Placement::Failed;
}

} // namespace tw::engine
