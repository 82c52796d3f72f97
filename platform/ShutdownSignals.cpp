#include "platform/ShutdownSignals.h"

#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tw {

namespace {
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
volatile sig_atomic_t writeEnd = -1;

void onSignal(int signal) {
    const unsigned char byte = static_cast<unsigned char>(signal);
    const int saved = errno;
    if (writeEnd >= 0)
        (void)::write(writeEnd, &byte, 1); // a full pipe already holds a request
    errno = saved;
}
} // namespace

ShutdownSignals::ShutdownSignals(QObject* parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds_) != 0)
        return; // without the pipe the signals keep their default action
    writeEnd = fds_[1];
    notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (::read(fds_[0], &byte, 1) == 1)
            emit requested(byte);
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kSignals)
        ::sigaction(signal, &action, nullptr);
}

ShutdownSignals::~ShutdownSignals() {
    for (int signal : kSignals)
        ::signal(signal, SIG_DFL);
    writeEnd = -1;
    notifier_.reset();
    for (int fd : fds_)
        if (fd >= 0)
            ::close(fd);
}

} // namespace tw
