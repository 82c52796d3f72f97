#include "app/HotkeyCommands.h"

#include "core/Session.h"
#include "platform/IHotkeys.h"

namespace tw {

HotkeyCommands::HotkeyCommands(Session& session, IHotkeys& hotkeys, QObject* parent)
    : QObject(parent), session_(session), hotkeys_(hotkeys) {
    connect(&hotkeys_, &IHotkeys::hotkey, this, &HotkeyCommands::pressed);
    connect(&hotkeys_, &IHotkeys::unavailable, this,
            [this](const QString& why) { session_.status.set(why, kRed); });
    connect(&session_, &Session::quitReady, this, &HotkeyCommands::release);
}

QString HotkeyCommands::claim() {
    QStringList refused;
    if (!hotkeys_.registerHotKey(kHotkeyRecord, 0x78))
        refused << QStringLiteral("F9");
    if (!hotkeys_.registerHotKey(kHotkeyPause, 0x79))
        refused << QStringLiteral("F10");
    if (!hotkeys_.registerHotKey(kHotkeyStop, 0x7A))
        refused << QStringLiteral("F11");
    if (refused.isEmpty())
        return QString();
    const QString keys = refused.size() == 1 ? refused.first()
                                             : refused.mid(0, refused.size() - 1).join(", ") +
                                                   QStringLiteral(" and ") + refused.last();
    return QStringLiteral("%1 could not be made global: another program holds %2. tunewright "
                          "--record, --pause and --stop work from anywhere.")
        .arg(keys, refused.size() == 1 ? QStringLiteral("it") : QStringLiteral("them"));
}

void HotkeyCommands::release() {
    hotkeys_.unregisterHotKey(kHotkeyRecord);
    hotkeys_.unregisterHotKey(kHotkeyPause);
    hotkeys_.unregisterHotKey(kHotkeyStop);
}

void HotkeyCommands::pressed(int id) {
    switch (id) {
    case kHotkeyRecord:
        session_.request(Session::Command::Record);
        break;
    case kHotkeyPause:
        session_.request(Session::Command::Pause);
        break;
    case kHotkeyStop:
        session_.request(Session::Command::Stop);
        break;
    default:
        break; // another program's id: not ours to act on
    }
}

} // namespace tw
