#pragma once

#include <QString>

namespace tw {

class GnomeShortcutOffer;
class IAudioLibraries;
class IDesktop;
class IFileDialogs;
class IHotkeys;
class IMessageBox;
class IPlayer;
class IWindowAutomation;

// What the windows need from the platform. The program hands in the Linux
// implementations; the tests hand in fakes and a folder of their own.
struct Services {
    QString appDir; // the application directory: Config.ini, skins, the libraries
    IAudioLibraries& audio;
    IHotkeys& hotkeys;
    IPlayer& player;
    // Services of the commands around the recorder. A window test that does not exercise
    // them may leave them out; a command whose service is absent says so on the status
    // line instead of acting.
    IMessageBox* messages = nullptr;
    IDesktop* desktop = nullptr;
    IFileDialogs* dialogs = nullptr;
    IWindowAutomation* automation = nullptr;
    // Puts its items in the Options menu; absent where the desktop's shortcuts are no matter.
    GnomeShortcutOffer* gnomeShortcuts = nullptr;
};

} // namespace tw
