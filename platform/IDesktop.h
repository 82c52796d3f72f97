#pragma once

#include <QString>
#include <QStringList>

namespace tw {

// The desktop's opener and program starter.
class IDesktop {
  public:
    virtual ~IDesktop() = default;
    // Opens a document, folder or address (file path, http:, mailto:) with the desktop's
    // associated program. Returns false when nothing could be started.
    virtual bool open(const QString& target) = 0;
    // Starts the desktop's default media player with these arguments; false when none
    // could be started.
    virtual bool startMediaPlayer(const QStringList& arguments) = 0;
};

} // namespace tw
