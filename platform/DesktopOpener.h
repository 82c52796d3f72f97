#pragma once

#include "platform/IDesktop.h"

#include <QUrl>

namespace tw {

// The Linux desktop's opener. Documents and addresses go to QDesktopServices, that is
// xdg-open. The media player is the program registered for audio/mpeg (asked of xdg-mime,
// started from its desktop entry's Exec line); with none registered, the address goes to
// the opener, which picks a program for it itself.
class DesktopOpener final : public IDesktop {
  public:
    bool open(const QString& target) override;
    bool startMediaPlayer(const QStringList& arguments) override;

    // What open() hands to the desktop: an existing path as a file address, a string with a
    // scheme as that address (spaces and other unsafe characters percent-encoded, so a
    // hand-written mailto: body survives the trip through xdg-open's command line), and
    // anything else as the user would have meant it in a browser's address bar.
    static QUrl urlFor(const QString& target);

    // The command line of a desktop entry's Exec value with these arguments in place of its
    // file or address field code (appended when it has none). Empty when the value cannot be
    // parsed.
    static QStringList commandFromExec(const QString& exec, const QStringList& arguments);
};

} // namespace tw
