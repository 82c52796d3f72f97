#include "engine/capture_file.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
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

bool copyAcross(const std::string& capture, const std::string& dest) {
    Fd from(::open(capture.c_str(), O_RDONLY | O_CLOEXEC));
    if (!from)
        return false;
    // Copy beside the destination first, so that a failed copy never leaves a truncated file
    // under the wanted name (nor destroys an older file of that name).
    std::string partial = folderOf(dest) + "/.tunewright-partial-" + std::to_string(::getpid());
    Fd to(::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!to)
        return false;
    bool ok = copyAll(from.get(), to.get()) && ::fsync(to.get()) == 0;
    ok = to.close() && ok;
    if (ok && ::rename(partial.c_str(), dest.c_str()) == 0) {
        syncFolder(folderOf(dest));
        return true;
    }
    ::unlink(partial.c_str());
    return false;
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
        if (fd || errno != EEXIST)
            return fd;
    }
    return Fd();
}

bool placeCapture(const std::string& capture, const std::string& dest) {
    if (::rename(capture.c_str(), dest.c_str()) == 0) {
        syncFolder(folderOf(dest));
        return true;
    }
    if (errno != EXDEV || !copyAcross(capture, dest))
        return false;
    ::unlink(capture.c_str());
    return true;
}

} // namespace tw::engine
