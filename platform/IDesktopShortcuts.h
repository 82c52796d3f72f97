#pragma once

#include <QString>
#include <QStringList>

namespace tw {

// The desktop's own keyboard shortcuts, for a desktop that gives programs no global
// shortcuts of their own: there, F9, F10 and F11 run `tunewright --record`, `--pause` and
// `--stop`, which reach the running program through its single-instance channel.
class IDesktopShortcuts {
  public:
    struct Change {
        bool done = false;
        // The user's bindings that already use one of the keys, in the user's words
        // ("Custom shortcut “Screenshot” (F9)"). Any of them stops the whole change.
        QStringList inTheWay;
        QString error; // why the desktop refused the change
    };

    virtual ~IDesktopShortcuts() = default;
    // Whether this desktop keeps shortcuts where these calls can change them.
    virtual bool available() const = 0;
    // Whether any of the program's shortcuts is among the desktop's.
    virtual bool ours() const = 0;
    // Adds the three shortcuts beside the user's, or none if a key is taken.
    virtual Change add() = 0;
    // Takes the program's shortcuts away and leaves every other one as it was.
    virtual Change remove() = 0;
};

} // namespace tw
