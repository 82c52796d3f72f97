#include "app/GnomeShortcutOffer.h"

#include "platform/IDesktopShortcuts.h"

#include <QLocale>
#include <QMenu>

namespace tw {

namespace {
const QString kQuestion = QStringLiteral(
    "F9, F10 and F11 reach Tunewright only while one of its windows has the focus: this GNOME "
    "gives programs no global shortcuts.\n\n"
    "Add them to GNOME's keyboard shortcuts, so that they record, pause and stop from anywhere? "
    "Options ▸ Remove Tunewright's GNOME shortcuts takes them away again.");
const QString kAddCaption = QStringLiteral("Add F9, F10, F11 to GNOME's shortcuts…");
} // namespace

GnomeShortcutOffer::GnomeShortcutOffer(Session& session, IDesktopShortcuts& shortcuts,
                                       IMessageBox* messages, QObject* parent)
    : QObject(parent), session_(session), shortcuts_(shortcuts), messages_(messages, session) {}

bool GnomeShortcutOffer::isGnome(const QString& currentDesktop) {
    // GNOME's classic and flashback sessions name GNOME in the list too.
    return currentDesktop.split(QLatin1Char(':'))
        .contains(QLatin1String("GNOME"), Qt::CaseInsensitive);
}

bool GnomeShortcutOffer::wanted(const QString& currentDesktop, HotkeyBackend backend) {
    return isGnome(currentDesktop) &&
           (backend == HotkeyBackend::X11WhileFocused || backend == HotkeyBackend::None);
}

bool GnomeShortcutOffer::offerOnce() {
    if (session_.settings.gnomeShortcutsOffered() || !shortcuts_.available())
        return false;
    // Recorded before the answer: a run that ends with the box open has asked as well.
    session_.settings.writeGnomeShortcutsOffered();
    if (messages_.question(kQuestion))
        add();
    return true;
}

void GnomeShortcutOffer::askAndAdd() {
    if (messages_.question(kQuestion))
        add();
}

void GnomeShortcutOffer::add() {
    const IDesktopShortcuts::Change change = shortcuts_.add();
    showItems();
    if (change.done) {
        session_.status.set(QStringLiteral("F9, F10 and F11 are in GNOME's keyboard shortcuts "
                                           "now: they record, pause and stop from anywhere."),
                            kBlue);
    } else if (!change.inTheWay.isEmpty()) {
        session_.status.set(
            QStringLiteral("Nothing was added to GNOME's shortcuts: %1 %2 in the way. Free the "
                           "key in GNOME's Settings, then choose Options ▸ %3")
                .arg(QLocale(QLocale::English).createSeparatedList(change.inTheWay),
                     change.inTheWay.size() == 1 ? QStringLiteral("is") : QStringLiteral("are"),
                     kAddCaption),
            kRed);
    } else {
        session_.status.set(
            QStringLiteral("GNOME's shortcuts were not changed: %1.").arg(change.error), kRed);
    }
}

void GnomeShortcutOffer::remove() {
    const IDesktopShortcuts::Change change = shortcuts_.remove();
    showItems();
    if (change.done)
        session_.status.set(QStringLiteral("Tunewright's shortcuts were taken out of GNOME's."),
                            kBlue);
    else
        session_.status.set(
            QStringLiteral("Tunewright's GNOME shortcuts were not removed: %1.").arg(change.error),
            kRed);
}

void GnomeShortcutOffer::addMenuItems(QMenu* menu) {
    if (!shortcuts_.available())
        return;
    addItem_ = menu->addAction(kAddCaption);
    removeItem_ = menu->addAction(QStringLiteral("Remove Tunewright's GNOME shortcuts"));
    connect(addItem_, &QAction::triggered, this, &GnomeShortcutOffer::askAndAdd);
    connect(removeItem_, &QAction::triggered, this, &GnomeShortcutOffer::remove);
    // The user may change GNOME's shortcuts in GNOME's Settings meanwhile.
    connect(menu, &QMenu::aboutToShow, this, &GnomeShortcutOffer::showItems);
    showItems();
}

void GnomeShortcutOffer::showItems() {
    if (removeItem_)
        removeItem_->setEnabled(shortcuts_.ours());
}

} // namespace tw
