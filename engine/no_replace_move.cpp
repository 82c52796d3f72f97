#include "engine/no_replace_move.h"

#include "engine/fd.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace tw::files {

namespace {

using engine::Fd;

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
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

bool copyAll(int from, int to) {
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(to, buffer.data() + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                return false;
            done += put;
        }
    }
}

// Copies `from` from its start into a new file made with `flags`, on disk when it returns;
// a failed copy is removed again. 0, or the errno of what failed.
int writeCopy(int from, const std::string& path, int flags) {
    Fd to(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666));
    if (!to)
        return errno;
    errno = 0;
    if (::lseek(from, 0, SEEK_SET) == 0 && copyAll(from, to.get()) && ::fsync(to.get()) == 0 &&
        to.close())
        return 0;
    const int error = errno ? errno : EIO;
    ::unlink(path.c_str());
    return error;
}

Moved failed(int* error, int value) {
    if (error)
        *error = value;
    return value == EEXIST ? Moved::NameTaken : Moved::Failed;
}

// The source goes once the target holds it; if it cannot, the target made here goes instead,
// so that there are never two copies.
Moved dropSource(const std::string& from, const std::string& to, int* error) {
    syncFolderOf(to);
    if (::unlink(from.c_str()) == 0)
        return Moved::Yes;
    const int why = errno;
    ::unlink(to.c_str());
    return failed(error, why);
}

Moved copyAcross(const std::string& from, const std::string& to, int* error) {
    // A source that could not be removed afterwards would leave two copies.
    if (::access(folderOf(from).c_str(), W_OK) != 0)
        return failed(error, errno);
    const Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in)
        return failed(error, errno);
    // Copy beside the target first, so that a failed copy never leaves a short file under the
    // wanted name; a hard link then puts it there only if the name is still free.
    std::optional<UnfinishedFile> partial;
    int why = EEXIST;
    for (int n = 0; n < 100 && why == EEXIST; ++n) {
        partial.emplace(to, Unfinished::Copy);
        why = writeCopy(in.get(), partial->path(), O_EXCL);
    }
    if (why != 0)
        return failed(error, why);
    why = ::link(partial->path().c_str(), to.c_str()) == 0 ? 0 : errno;
    // Without hard links only an exclusive create keeps the name safe; a crash during this
    // copy can leave a short file there, which the partial copy avoids elsewhere.
    if (why != 0 && refusesHardLinks(why))
        why = writeCopy(in.get(), to, O_EXCL);
    ::unlink(partial->path().c_str());
    return why == 0 ? dropSource(from, to, error) : failed(error, why);
}

const char* kindName(Unfinished kind) {
    return kind == Unfinished::Copy ? "partial" : "converting";
}

bool allDigits(const std::string& text) {
    return !text.empty() && text.size() < 10 &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

// The process and the kind a name of the form ".NAME.<kind>-PID-N" gives; 0 for another name.
long temporaryPid(const std::string& name, Unfinished* kind) {
    const auto lastDash = name.rfind('-');
    if (name.size() < 2 || name[0] != '.' || lastDash == std::string::npos || lastDash == 0)
        return 0;
    const auto pidDash = name.rfind('-', lastDash - 1);
    if (pidDash == std::string::npos || !allDigits(name.substr(lastDash + 1)) ||
        !allDigits(name.substr(pidDash + 1, lastDash - pidDash - 1)))
        return 0;
    const std::string front = name.substr(0, pidDash);
    for (Unfinished k : {Unfinished::Copy, Unfinished::Conversion}) {
        const std::string tail = std::string(".") + kindName(k);
        if (front.size() > tail.size() + 1 &&
            front.compare(front.size() - tail.size(), tail.size(), tail) == 0) {
            *kind = k;
            return std::atol(name.c_str() + pidDash + 1);
        }
    }
    return 0;
}

std::string nameOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The hidden name beside `target` without its number. A long name is cut so that the whole
// stays within a file name's 255 bytes, at the start of a UTF-8 character.
std::string hiddenStem(const std::string& target, Unfinished kind) {
    const std::string suffix =
        std::string(".") + kindName(kind) + "-" + std::to_string(::getpid()) + "-";
    std::string name = nameOf(target);
    const size_t room = NAME_MAX - 1 - suffix.size() - 3; // the dot; numbers up to 999
    if (name.size() > room) {
        size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
            --cut;
        name.resize(cut);
    }
    const auto slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    return folder + "." + name + suffix;
}

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/')
        return path;
    char here[PATH_MAX];
    return ::getcwd(here, sizeof here) ? std::string(here) + "/" + path : path;
}

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return names;
    while (const dirent* entry = ::readdir(dir))
        names.emplace_back(entry->d_name);
    ::closedir(dir);
    return names;
}

// Removes `path` when it is a regular file named as `pid` names its unfinished files. True
// when nothing is left to do: removed now, gone already, or no file of this program's.
bool removeLeftover(const std::string& path, long pid, std::vector<Leftover>& removed) {
    Unfinished kind = Unfinished::Copy;
    if (temporaryPid(nameOf(path), &kind) != pid)
        return true;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return errno == ENOENT;
    if (!S_ISREG(info.st_mode))
        return true;
    if (::unlink(path.c_str()) != 0)
        return errno == ENOENT;
    removed.push_back({path, kind});
    return true;
}

} // namespace

bool makeFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            break;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string programCacheFolder() {
    std::string base;
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache && cache[0] == '/') {
        base = cache;
    } else {
        const char* home = std::getenv("HOME");
        passwd entry{};
        passwd* found = nullptr;
        char buffer[4096];
        if ((!home || home[0] != '/') &&
            ::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found)
            home = found->pw_dir;
        if (!home || home[0] != '/')
            return {};
        base = std::string(home) + "/.cache";
    }
    return base + "/tunewright";
}

std::string unfinishedListFolder() {
    const std::string folder = programCacheFolder();
    return folder.empty() ? folder : folder + "/unfinished";
}

UnfinishedFile::UnfinishedFile(const std::string& target, Unfinished kind,
                               const std::string& listFolder) {
    const std::string stem = hiddenStem(absolute(target), kind);
    struct stat info {};
    for (int n = 0; n < 1000; ++n) {
        path_ = stem + std::to_string(n);
        if (::lstat(path_.c_str(), &info) != 0 && errno == ENOENT)
            break;
    }
    if (listFolder.empty() || !makeFolders(listFolder))
        return;
    // Numbered across the process, which may list files from more than one thread.
    static std::atomic<unsigned> next{0};
    const std::string prefix = listFolder + "/" + std::to_string(::getpid()) + "-";
    for (int tries = 0; tries < 1000; ++tries) {
        const std::string listing = prefix + std::to_string(next++);
        if (::symlink(path_.c_str(), listing.c_str()) == 0) {
            listing_ = listing;
            return;
        }
        if (errno != EEXIST)
            return;
    }
}

UnfinishedFile::~UnfinishedFile() {
    if (!listing_.empty())
        ::unlink(listing_.c_str());
}

bool processRunning(long pid) {
    // 0 and -1 would ask about a whole group of processes.
    if (pid <= 0 || pid > INT_MAX)
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

std::vector<Leftover> removeListedLeftovers(const std::string& listFolder) {
    std::vector<Leftover> removed;
    for (const std::string& name : namesIn(listFolder)) {
        const auto dash = name.find('-');
        if (dash == std::string::npos || !allDigits(name.substr(0, dash)))
            continue;
        const long pid = std::atol(name.c_str());
        if (processRunning(pid))
            continue;
        const std::string listing = listFolder + "/" + name;
        char target[PATH_MAX];
        const ssize_t length = ::readlink(listing.c_str(), target, sizeof target);
        const bool gone =
            length <= 0 || length >= static_cast<ssize_t>(sizeof target) || target[0] != '/' ||
            removeLeftover(std::string(target, static_cast<size_t>(length)), pid, removed);
        // A file that could not be removed stays listed, to be tried again at the next start.
        if (gone)
            ::unlink(listing.c_str());
    }
    return removed;
}

std::vector<Leftover> removeLeftoversIn(const std::string& folder) {
    std::vector<Leftover> removed;
    for (const std::string& name : namesIn(folder)) {
        Unfinished kind = Unfinished::Copy;
        const long pid = temporaryPid(name, &kind);
        if (pid > 0 && !processRunning(pid))
            removeLeftover(folder + "/" + name, pid, removed);
    }
    return removed;
}

Moved placeNoReplace(const std::string& from, const std::string& to, int* error) {
    if (renameNoReplace(from, to) == 0) {
        syncFolderOf(to);
        return Moved::Yes;
    }
    int why = errno;
    if (why != EINVAL && why != ENOSYS && why != EOPNOTSUPP)
        return failed(error, why);
    if (::link(from.c_str(), to.c_str()) == 0)
        return dropSource(from, to, error);
    why = errno;
    if (!refusesHardLinks(why))
        return failed(error, why);
    // The name is taken by an empty file of this program's own, which the rename then
    // replaces: nobody else's file is ever replaced.
    Fd held(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!held)
        return failed(error, errno);
    if (::rename(from.c_str(), to.c_str()) == 0) {
        syncFolderOf(to);
        return Moved::Yes;
    }
    why = errno;
    ::unlink(to.c_str());
    return failed(error, why);
}

void syncFolderOf(const std::string& path) {
    const Fd dir(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        ::fsync(dir.get());
}

Moved moveNoReplace(const std::string& from, const std::string& to, int* error) {
    if (renameNoReplace(from, to) == 0) {
        syncFolderOf(to);
        return Moved::Yes;
    }
    int why = errno;
    if (why == EINVAL || why == ENOSYS || why == EOPNOTSUPP) {
        // A file system that does not know the flag: a hard link never replaces either.
        if (::link(from.c_str(), to.c_str()) == 0)
            return dropSource(from, to, error);
        why = errno;
    }
    if (why == EXDEV || refusesHardLinks(why))
        return copyAcross(from, to, error);
    return failed(error, why);
}

} // namespace tw::files
