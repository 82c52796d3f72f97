// Times a program from fork to the mapping of its top-level window, then closes that window the
// way a window manager would and waits for the program to end. Prints one key=value a line.
//
//   launch_to_map [--name TITLE] [--timeout SECONDS] [--hold] -- PROGRAM [ARGS...]
//
// The map is seen as a MapNotify on the root window (SubstructureNotify), so no polling adds
// to the figure. Only a window that carries the child's _NET_WM_PID (and, with --name, that
// title) counts; override-redirect windows (menus, tooltips) are ignored. With --hold the
// window is closed only when this launcher gets SIGUSR1, SIGTERM or SIGINT, so that a script
// can measure the program in between; the launcher itself sleeps meanwhile.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace {

struct ConnectionCloser {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionCloser>;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

struct Atoms {
    xcb_atom_t pid, netName, utf8, protocols, deleteWindow, ping;
};

// Empty when the property is missing; the window may also be gone by the time we ask.
std::string textProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t property,
                         xcb_atom_t type) {
    Reply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(c, xcb_get_property(c, 0, w, property, type, 0, 1024), nullptr));
    if (!reply || reply->format != 8)
        return {};
    return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                       size_t(xcb_get_property_value_length(reply.get())));
}

int64_t windowPid(xcb_connection_t* c, xcb_window_t w, const Atoms& atoms) {
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, w, atoms.pid, XCB_ATOM_CARDINAL, 0, 1), nullptr));
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4)
        return -1;
    return *static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
}

std::string windowTitle(xcb_connection_t* c, xcb_window_t w, const Atoms& atoms) {
    std::string title = textProperty(c, w, atoms.netName, atoms.utf8);
    return title.empty() ? textProperty(c, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING) : title;
}

void sendProtocol(xcb_connection_t* c, xcb_window_t w, const Atoms& atoms, xcb_atom_t protocol) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = w;
    event.type = atoms.protocols;
    event.data.data32[0] = protocol;
    event.data.data32[1] = XCB_CURRENT_TIME;
    event.data.data32[2] = w;
    xcb_send_event(c, 0, w, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
    xcb_flush(c);
}

// A toolkit answers _NET_WM_PING from its event loop, by sending the message back to the root
// window; the answer therefore shows when the program first gets round to its events after
// the map. -1 when no answer comes by the deadline.
int64_t awaitPingReply(xcb_connection_t* c, xcb_window_t w, const Atoms& atoms, int64_t deadline) {
    for (;;) {
        Reply<xcb_generic_event_t> event(xcb_poll_for_event(c));
        if (!event) {
            const int64_t left = deadline - nowNs();
            if (left <= 0 || xcb_connection_has_error(c))
                return -1;
            pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
            poll(&p, 1, int(left / 1000000) + 1);
            continue;
        }
        if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE)
            continue;
        const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(event.get());
        if (message->type == atoms.protocols && message->data.data32[0] == atoms.ping &&
            message->data.data32[2] == w)
            return nowNs();
    }
}

// Waits for the child to end; false when it outlives the deadline.
bool waitForExit(int pidFd, pid_t pid, int timeoutMs, int& status) {
    pollfd p{pidFd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return false;
    return waitpid(pid, &status, 0) == pid;
}

void usage(const char* self) {
    std::fprintf(stderr,
                 "usage: %s [--name TITLE] [--timeout SECONDS] [--hold] -- PROGRAM [ARGS...]\n",
                 self);
}

} // namespace

int main(int argc, char** argv) {
    std::string wantedName;
    bool nameGiven = false;
    bool hold = false;
    double timeoutSeconds = 30;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--name" && i + 1 < argc) {
            wantedName = argv[++i];
            nameGiven = true;
        } else if (arg == "--timeout" && i + 1 < argc) {
            timeoutSeconds = std::atof(argv[++i]);
        } else if (arg == "--hold") {
            hold = true;
        } else {
            usage(argv[0]);
            return 2;
        }
    }
    if (i >= argc) {
        usage(argv[0]);
        return 2;
    }

    Connection conn(xcb_connect(nullptr, nullptr));
    if (xcb_connection_has_error(conn.get())) {
        std::fprintf(stderr, "launch_to_map: cannot open the display\n");
        return 1;
    }
    xcb_connection_t* c = conn.get();
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const Atoms atoms{internAtom(c, "_NET_WM_PID"),      internAtom(c, "_NET_WM_NAME"),
                      internAtom(c, "UTF8_STRING"),      internAtom(c, "WM_PROTOCOLS"),
                      internAtom(c, "WM_DELETE_WINDOW"), internAtom(c, "_NET_WM_PING")};

    // The selection must be in force before the child can map anything: the checked request
    // is a round trip.
    // StructureNotify as well: that is the mask Qt sends its _NET_WM_PING answer with.
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    Reply<xcb_generic_error_t> error(xcb_request_check(
        c, xcb_change_window_attributes_checked(c, screen->root, XCB_CW_EVENT_MASK, &mask)));
    if (error) {
        std::fprintf(stderr, "launch_to_map: cannot watch the root window (error %d)\n",
                     error->error_code);
        return 1;
    }

    const int64_t start = nowNs();
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("launch_to_map: fork");
        return 1;
    }
    if (pid == 0) {
        // The child must not share our X connection's socket.
        close(xcb_get_file_descriptor(c));
        execvp(argv[i], argv + i);
        std::fprintf(stderr, "launch_to_map: cannot run %s: %s\n", argv[i], std::strerror(errno));
        _exit(127);
    }
    // Blocked in the launcher only, after the fork: the child starts with the mask it would
    // have without us. A signal sent before the wait is kept pending, not lost.
    sigset_t holdSignals;
    sigemptyset(&holdSignals);
    sigaddset(&holdSignals, SIGUSR1);
    sigaddset(&holdSignals, SIGTERM);
    sigaddset(&holdSignals, SIGINT);
    if (hold)
        sigprocmask(SIG_BLOCK, &holdSignals, nullptr);

    Fd pidFd(int(syscall(SYS_pidfd_open, pid, 0)));
    if (pidFd.get() < 0) {
        std::perror("launch_to_map: pidfd_open");
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return 1;
    }

    const int64_t deadline = start + int64_t(timeoutSeconds * 1e9);
    xcb_window_t mapped = XCB_WINDOW_NONE;
    int64_t mappedAt = 0;
    std::string seen; // other windows of the child, for the failure message
    bool exitedEarly = false;
    while (mapped == XCB_WINDOW_NONE) {
        Reply<xcb_generic_event_t> event(xcb_poll_for_event(c));
        if (!event) {
            if (xcb_connection_has_error(c))
                break;
            const int64_t left = deadline - nowNs();
            if (left <= 0)
                break;
            pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {pidFd.get(), POLLIN, 0}};
            poll(fds, 2, int(left / 1000000) + 1);
            if (fds[1].revents & POLLIN) {
                exitedEarly = true;
                break;
            }
            continue;
        }
        if ((event->response_type & 0x7f) != XCB_MAP_NOTIFY)
            continue;
        const int64_t at = nowNs();
        const auto* map = reinterpret_cast<const xcb_map_notify_event_t*>(event.get());
        if (map->override_redirect || windowPid(c, map->window, atoms) != pid)
            continue;
        const std::string title = windowTitle(c, map->window, atoms);
        if (nameGiven && title != wantedName) {
            seen += " \"" + title + "\"";
            continue;
        }
        mapped = map->window;
        mappedAt = at;
    }

    int status = 0;
    if (mapped == XCB_WINDOW_NONE) {
        if (exitedEarly && waitpid(pid, &status, 0) == pid) {
            std::fprintf(stderr, "launch_to_map: %s ended (status %d) before mapping its window\n",
                         argv[i], status);
        } else {
            std::fprintf(stderr, "launch_to_map: no window%s%s mapped by %s within %.1f s%s%s\n",
                         nameGiven ? " titled " : "", wantedName.c_str(), argv[i], timeoutSeconds,
                         seen.empty() ? "" : "; other windows:", seen.c_str());
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        return 1;
    }

    sendProtocol(c, mapped, atoms, atoms.ping);
    const int64_t answeredAt = awaitPingReply(c, mapped, atoms, deadline);
    std::printf("mapped_ns=%lld\nresponsive_ns=%lld\npid=%d\nwindow=0x%x\n",
                static_cast<long long>(mappedAt - start),
                static_cast<long long>(answeredAt < 0 ? -1 : answeredAt - start), int(pid),
                unsigned(mapped));
    std::fflush(stdout);
    if (hold) {
        int signal = 0;
        sigwait(&holdSignals, &signal);
    }

    const int64_t closeStart = nowNs();
    sendProtocol(c, mapped, atoms, atoms.deleteWindow);
    if (!waitForExit(pidFd.get(), pid, 10000, status)) {
        std::fprintf(stderr, "launch_to_map: %s did not end within 10 s of closing its window\n",
                     argv[i]);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return 1;
    }
    std::printf("close_ns=%lld\n", static_cast<long long>(nowNs() - closeStart));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "launch_to_map: %s ended with status %d after its window closed\n",
                     argv[i], status);
        return 1;
    }
    return 0;
}
