#pragma once

#include "core/Session.h"
#include "platform/HotkeyChoice.h"

#include <QObject>
#include <QPointer>

class QAction;
class QMenu;

namespace tw {

class IDesktopShortcuts;

// A front end that offers F9, F10 and F11 as the desktop's own shortcuts where the desktop
// gives programs no global ones (GNOME before 48): once at start, and from the Options menu.
// Its questions are modal, so the recorder's commands wait while one is open.
class GnomeShortcutOffer : public QObject {
    Q_OBJECT
  public:
    GnomeShortcutOffer(Session& session, IDesktopShortcuts& shortcuts, IMessageBox* messages,
                       QObject* parent = nullptr);

    // Whether `currentDesktop` (XDG_CURRENT_DESKTOP, a list such as "ubuntu:GNOME") is GNOME.
    static bool isGnome(const QString& currentDesktop);
    // Whether a run gains from the offer: a GNOME session whose hotkeys are heard only while an X11
    // window has the focus, or not at all.
    static bool wanted(const QString& currentDesktop, HotkeyBackend backend);

    // Asks whether to add the shortcuts, unless Config.ini tells that it asked before or the
    // desktop's shortcuts cannot be changed here. A No counts as asked too. True when it asked.
    bool offerOnce();
    // "Add F9, F10, F11 to GNOME's shortcuts…": asks, and adds on Yes.
    void askAndAdd();
    // "Remove Tunewright's GNOME shortcuts".
    void remove();

    // Puts the two items at the end of `menu`, where the desktop's shortcuts can be changed;
    // the second is enabled while the program's shortcuts are there.
    void addMenuItems(QMenu* menu);
    QAction* addItem() const { return addItem_; }
    QAction* removeItem() const { return removeItem_; }

  private:
    void add();
    void showItems();

    Session& session_;
    IDesktopShortcuts& shortcuts_;
    GuardedMessageBox messages_;
    QPointer<QAction> addItem_;
    QPointer<QAction> removeItem_;
};

} // namespace tw
