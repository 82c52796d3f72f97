#include "engine/capture_file.h"

#include "engine/no_replace_move.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw::engine {

std::string captureFolder() {
    const std::string folder = files::programCacheFolder();
    return !folder.empty() && files::makeFolders(folder) ? folder : std::string();
}

Fd createCaptureFile(const std::string& folder, const std::string& kind, std::string& path) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string stem = folder + "/" + kind + "-" + stamp + "-" + std::to_string(::getpid());
    for (int n = 0; n < 1000; ++n) {
        path = stem + (n ? "-" + std::to_string(n) : std::string()) + ".wav";
        Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd) {
            ::flock(fd.get(), LOCK_EX); // a new file: nobody else can hold it
            return fd;
        }
        if (errno != EEXIST)
            return fd;
    }
    return Fd();
}

Placement placeCapture(const std::string& capture, const std::string& dest) {
    switch (files::moveNoReplace(capture, dest)) {
    case files::Moved::Yes:
        return Placement::Placed;
    case files::Moved::NameTaken:
        return Placement::NameTaken;
    case files::Moved::Failed:
        break;
    }
    return Placement::Failed;
}

} // namespace tw::engine
