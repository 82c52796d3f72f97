#include "engine/no_replace_move.h"

#include "engine/fd.h"

#include <cerrno>
#include <fcntl.h>
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
    const auto slash = to.rfind('/');
    const std::string stem = to.substr(0, slash + 1) + "." + to.substr(slash + 1) + ".partial-" +
                             std::to_string(::getpid());
    std::string partial;
    int why = EEXIST;
    for (int n = 0; n < 100 && why == EEXIST; ++n) {
        partial = stem + "-" + std::to_string(n);
        why = writeCopy(in.get(), partial, O_EXCL);
    }
    if (why != 0)
        return failed(error, why);
    why = ::link(partial.c_str(), to.c_str()) == 0 ? 0 : errno;
    // Without hard links only an exclusive create keeps the name safe; a crash during this
    // copy can leave a short file there, which the partial copy avoids elsewhere.
    if (why != 0 && refusesHardLinks(why))
        why = writeCopy(in.get(), to, O_EXCL);
    ::unlink(partial.c_str());
    return why == 0 ? dropSource(from, to, error) : failed(error, why);
}

} // namespace

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
