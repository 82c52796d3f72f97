#pragma once

#include <QStringList>
#include <functional>
#include <memory>

namespace tw {

// One console program run with its standard output and standard error joined into one
// anonymous pipe and an empty standard input. One object serves one run; destroying it
// closes the pipe and collects the child's exit without waiting for it.
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
    // the read fails, which is how the end of the output shows.
    virtual qint64 read(char* buffer, qint64 maxBytes) = 0;
};

using ChildProcessFactory = std::function<std::unique_ptr<IChildProcess>()>;

} // namespace tw
