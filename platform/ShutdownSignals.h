#pragma once

#include <QObject>
#include <memory>

class QSocketNotifier;

namespace tw {

// SIGTERM, SIGINT and SIGHUP (logout, shutdown, Ctrl+C) become one `requested` signal in the
// event loop, so that the program ends as Exit ends it: a take being recorded is saved first.
// The handler only writes to a pipe; the event loop reads it. One instance per process.
class ShutdownSignals : public QObject {
    Q_OBJECT
  public:
    explicit ShutdownSignals(QObject* parent = nullptr);
    ~ShutdownSignals() override;

  signals:
    void requested(int signal);

  private:
    int fds_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace tw
