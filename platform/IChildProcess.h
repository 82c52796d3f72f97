#pragma once

#include <QStringList>
#include <functional>
#include <memory>

namespace tw {

// How a child ended, as far as is known.
struct ChildExit {
    enum class How {
        NotRun,       // no child was started
        Exited,       // `code` is its exit status
        Signalled,    // `code` is the signal that stopped it
        StillRunning, // it went on running past the wait
        Unknown,      // its status could not be collected
    };
    How how = How::NotRun;
    int code = 0;
    bool succeeded() const { return how == How::Exited && code == 0; }
};

// One console program run with its standard output and standard error joined into one
// anonymous pipe and an empty standard input. One object serves one run; destroying it
// closes the pipe and collects the child's exit without waiting for it, unless waitForExit
// has collected it already.
class IChildProcess {
  public:
    virtual ~IChildProcess() = default;

    // Makes the pipe. Returns 0, or the system's error code when no pipe can be made.
    virtual int createPipe() = 0;
    // Starts the program named by the first argument (looked up on PATH when it holds no
    // "/"), without a shell. On success the parent's write end is closed, so that the pipe
    // ends when the last process holding it does; on failure both ends are closed.
    virtual bool start(const QStringList& arguments) = 0;
    // Waits at most timeoutMs (negative: without limit) until a read would not block.
    virtual bool waitReadable(int timeoutMs) = 0;
    // One blocking read of at most maxBytes. Returns the number of bytes read, or -1 once
    // the read fails, which is how the end of the output shows; the pipe is closed then.
    virtual qint64 read(char* buffer, qint64 maxBytes) = 0;
    // Waits at most timeoutMs (0: only looks) for the started child to end and returns how
    // it ended; called again after StillRunning, it waits again. Meant for after the output
    // has ended, when a child normally is about to be gone.
    virtual ChildExit waitForExit(int timeoutMs) = 0;
    // The pipe's read end, for an event loop to watch (-1 before start and after the end).
    virtual int readDescriptor() const = 0;
    // Asks the started child to end (SIGTERM); its output then ends as usual.
    virtual void terminate() = 0;
};

using ChildProcessFactory = std::function<std::unique_ptr<IChildProcess>()>;

} // namespace tw
