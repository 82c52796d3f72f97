#pragma once

#include <QObject>

namespace tw {

class IHotkeys;
class Session;

inline constexpr int kHotkeyRecord = 0xBFFF;
inline constexpr int kHotkeyPause = 0;
inline constexpr int kHotkeyStop = 160;

// The global hotkeys as a front end: F9, F10 and F11 are claimed while the run lasts and
// each hands its command to the session, whose rule decides and says why not.
class HotkeyCommands : public QObject {
    Q_OBJECT
  public:
    HotkeyCommands(Session& session, IHotkeys& hotkeys, QObject* parent = nullptr);

    // Claims the three keys; they are released when the session has shut down. Answers what
    // the status line should say of keys that could not be claimed (another program holds
    // them), "" when all three were.
    QString claim();
    void release();

  private:
    void pressed(int id);

    Session& session_;
    IHotkeys& hotkeys_;
};

} // namespace tw
