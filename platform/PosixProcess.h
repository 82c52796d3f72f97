#pragma once

#include "platform/IChildProcess.h"

#include <memory>

namespace tw {

// IChildProcess on a POSIX pipe and posix_spawnp.
class PosixProcess final : public IChildProcess {
  public:
    PosixProcess();
    ~PosixProcess() override;
    PosixProcess(const PosixProcess&) = delete;
    PosixProcess& operator=(const PosixProcess&) = delete;

    int createPipe() override;
    bool start(const QStringList& arguments) override;
    bool waitReadable(int timeoutMs) override;
    qint64 read(char* buffer, qint64 maxBytes) override;
    ChildExit waitForExit(int timeoutMs) override;
    int readDescriptor() const override;
    void terminate() override;

  private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace tw
