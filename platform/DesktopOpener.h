#pragma once

#include "platform/IDesktop.h"

#include <QObject>
#include <QUrl>

namespace tw {

// The Linux desktop's opener. Documents and addresses go to xdg-open, whose exit code and
// last line of complaint tell what went wrong (no program registered, a program that
// failed). The media player is the program registered for audio/mpeg (asked of xdg-mime,
// started from its desktop entry's Exec line); with none registered, the address goes to
// the opener, which picks a program for it itself. Children run while the event loop goes
// on; their answers come back through it, as do the file manager's over D-Bus.
class DesktopOpener final : public QObject, public IDesktop {
  public:
    explicit DesktopOpener(QObject* parent = nullptr);
    ~DesktopOpener() override;

    void open(const QString& target, Failed failed) override;
    void startMediaPlayer(const QStringList& arguments, Failed failed) override;
    // Asks org.freedesktop.FileManager1 on the session bus to select the file; without that
    // service, or when it fails, the folder goes to open().
    void showInFolder(const QString& path, Failed failed) override;

    // What open() hands to the desktop: an existing path as a file address, a string with a
    // scheme as that address (spaces and other unsafe characters percent-encoded, so a
    // hand-written mailto: body survives the trip through xdg-open's command line), and
    // anything else as the user would have meant it in a browser's address bar.
    static QUrl urlFor(const QString& target);

    // The command line of a desktop entry's Exec value with these arguments in place of its
    // file or address field code (appended when it has none). Empty when the value cannot be
    // parsed.
    static QStringList commandFromExec(const QString& exec, const QStringList& arguments);

  private:
    void openWith(const QString& target, const QStringList& searchPath, Failed failed);
};

} // namespace tw
