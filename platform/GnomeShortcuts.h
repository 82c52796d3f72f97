#pragma once

#include "platform/IDesktopShortcuts.h"

namespace tw {

// GNOME's custom keyboard shortcuts (gnome-settings-daemon's media keys, kept in GSettings,
// which is dconf in a desktop session). The program's three are custom shortcuts under paths
// of its own, so that they can be told from the user's and taken away alone. The calls are
// local and quick: GSettings writes into dconf's queue and g_settings_sync flushes it.
class GnomeShortcuts final : public IDesktopShortcuts {
  public:
    // `program`: what the shortcuts run, an absolute path (see programFor).
    explicit GnomeShortcuts(const QString& program);

    // The path for the shortcuts' commands: the `tunewright` on PATH when it is this very
    // program (the link in bin/ outlives a reinstall into another folder), else the running
    // program's own path. Absolute either way: gnome-settings-daemon runs the command with
    // the session's PATH, which a build tree or ~/.local/bin need not be on.
    static QString programFor(const QString& running);
    // The command line a shortcut runs for `option` ("--record", ...).
    QString command(const QString& option) const;

    bool available() const override;
    bool ours() const override;
    Change add() override;
    Change remove() override;

  private:
    QString program_;
};

} // namespace tw
