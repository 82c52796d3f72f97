#include "platform/PosixProcess.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace tw {

namespace {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

class SpawnFileActions {
  public:
    SpawnFileActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnFileActions() {
        if (ok_)
            posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;

    bool ok() const { return ok_; }
    posix_spawn_file_actions_t* get() { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
    bool ok_ = false;
};

class SpawnAttributes {
  public:
    SpawnAttributes() { ok_ = posix_spawnattr_init(&attributes_) == 0; }
    ~SpawnAttributes() {
        if (ok_)
            posix_spawnattr_destroy(&attributes_);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    bool ok() const { return ok_; }
    posix_spawnattr_t* get() { return &attributes_; }

  private:
    posix_spawnattr_t attributes_;
    bool ok_ = false;
};

// A parent started with 0, 1 or 2 closed gets the pipe on one of them, and the child's dup2
// onto that same number would keep its close-on-exec flag: move such an end out of the way.
bool moveAboveStandard(UniqueFd& fd) {
    if (fd.get() > STDERR_FILENO)
        return true;
    const int moved = fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0)
        return false;
    fd.reset(moved);
    return true;
}

void reap(pid_t pid) {
    pid_t result;
    do
        result = waitpid(pid, nullptr, WNOHANG);
    while (result < 0 && errno == EINTR);
    if (result != 0)
        return;
    // The pipe can end a moment before the child is gone, and a child may close its output
    // and go on running. The caller must not wait for it, so a thread of its own collects
    // the exit status and no zombie is left behind.
    try {
        std::thread([pid] {
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // Without a thread the child stays a zombie until this program ends.
    }
}

} // namespace

struct PosixProcess::Private {
    UniqueFd readEnd;
    UniqueFd writeEnd;
    pid_t pid = -1; // until its exit has been collected
    ChildExit exit;
};

PosixProcess::PosixProcess() : d(std::make_unique<Private>()) {}

PosixProcess::~PosixProcess() {
    d->readEnd.reset();
    d->writeEnd.reset();
    if (d->pid > 0)
        reap(d->pid);
}

int PosixProcess::createPipe() {
    int fds[2];
    // Close-on-exec, so that neither end leaks into this or any other child: the child gets
    // the write end only through the dup2 onto its standard output and error.
    if (pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    d->readEnd.reset(fds[0]);
    d->writeEnd.reset(fds[1]);
    if (!moveAboveStandard(d->readEnd) || !moveAboveStandard(d->writeEnd)) {
        const int error = errno;
        d->readEnd.reset();
        d->writeEnd.reset();
        return error;
    }
    return 0;
}

bool PosixProcess::start(const QStringList& arguments) {
    auto fail = [this] {
        d->readEnd.reset();
        d->writeEnd.reset();
        return false;
    };
    if (arguments.isEmpty() || !d->writeEnd || d->pid > 0)
        return fail();

    std::vector<QByteArray> encoded;
    encoded.reserve(arguments.size());
    for (const QString& argument : arguments)
        encoded.push_back(QFile::encodeName(argument));
    std::vector<char*> argv;
    for (QByteArray& argument : encoded)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    SpawnFileActions actions;
    SpawnAttributes attributes;
    if (!actions.ok() || !attributes.ok())
        return fail();
    const int write = d->writeEnd.get();
    // Standard input reads as empty; output and error share the pipe; every other
    // descriptor of this program (X connection, audio server, files) stays out of the child.
    if (posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0) !=
            0 ||
        posix_spawn_file_actions_adddup2(actions.get(), write, STDOUT_FILENO) != 0 ||
        posix_spawn_file_actions_adddup2(actions.get(), write, STDERR_FILENO) != 0 ||
        posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1) != 0)
        return fail();

    // Ignored signals and blocked ones would otherwise carry over into the program (a child
    // that ignores SIGPIPE runs on after its reader has gone).
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    if (posix_spawnattr_setsigmask(attributes.get(), &none) != 0 ||
        posix_spawnattr_setsigdefault(attributes.get(), &all) != 0 ||
        posix_spawnattr_setflags(attributes.get(),
                                 POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) != 0)
        return fail();

    pid_t pid = -1;
    if (posix_spawnp(&pid, argv.front(), actions.get(), attributes.get(), argv.data(), environ) !=
        0)
        return fail();
    d->pid = pid;
    // The child holds the only write end from now on: the pipe breaks when it (and whatever
    // it started with the pipe) has ended.
    d->writeEnd.reset();
    return true;
}

bool PosixProcess::waitReadable(int timeoutMs) {
    if (!d->readEnd)
        return true; // the read fails at once
    pollfd entry{d->readEnd.get(), POLLIN, 0};
    return poll(&entry, 1, timeoutMs < 0 ? -1 : timeoutMs) > 0;
}

qint64 PosixProcess::read(char* buffer, qint64 maxBytes) {
    if (!d->readEnd || maxBytes <= 0)
        return -1;
    for (;;) {
        const ssize_t n = ::read(d->readEnd.get(), buffer, size_t(maxBytes));
        if (n > 0)
            return n;
        // 0 is the end: every write end is closed and the pipe is empty. The read end goes
        // then, so that a child kept for its exit status holds no descriptor.
        if (n == 0 || errno != EINTR) {
            d->readEnd.reset();
            return -1;
        }
    }
}

ChildExit PosixProcess::waitForExit(int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    while (d->pid > 0) {
        int status = 0;
        const pid_t result = waitpid(d->pid, &status, WNOHANG);
        if (result == d->pid) {
            d->pid = -1;
            if (WIFEXITED(status))
                d->exit = {ChildExit::How::Exited, WEXITSTATUS(status)};
            else if (WIFSIGNALED(status))
                d->exit = {ChildExit::How::Signalled, WTERMSIG(status)};
            else
                d->exit = {ChildExit::How::Unknown, 0};
        } else if (result < 0 && errno != EINTR) {
            d->pid = -1; // not ours to collect (SIGCHLD ignored, or collected elsewhere)
            d->exit = {ChildExit::How::Unknown, 0};
        } else if (result == 0) {
            if (Clock::now() >= deadline)
                return {ChildExit::How::StillRunning, 0};
            // No descriptor tells a child's end here; short naps keep the wait close to it.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return d->exit;
}

int PosixProcess::readDescriptor() const {
    return d->readEnd.get();
}

void PosixProcess::terminate() {
    // Only a child whose exit is still uncollected: its pid cannot belong to another process.
    if (d->pid > 0)
        ::kill(d->pid, SIGTERM);
}

} // namespace tw
