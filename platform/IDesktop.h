#pragma once

#include <QString>
#include <QStringList>
#include <functional>

namespace tw {

// The desktop's opener and program starter. Neither call waits for the program it starts.
class IDesktop {
  public:
    // What could not be opened, and why in the desktop's words. Called at most once per
    // call, always later from the event loop, never before the call has returned: a caller
    // may be gone by then, so it should capture nothing that dies before the run does.
    using Failed = std::function<void(const QString& target, const QString& why)>;

    virtual ~IDesktop() = default;
    // Opens a document, folder or address (file path, http:, mailto:) with the desktop's
    // associated program.
    virtual void open(const QString& target, Failed failed) = 0;
    // Starts the desktop's default media player with these arguments.
    virtual void startMediaPlayer(const QStringList& arguments, Failed failed) = 0;
    // Shows a file in the file manager, selected where the file manager can do that, else
    // opens the folder that holds it.
    virtual void showInFolder(const QString& path, Failed failed) = 0;
};

} // namespace tw
