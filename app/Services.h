#pragma once

#include <QString>

namespace tw {

class IAudioLibraries;
class IHotkeys;
class IPlayer;

// What the windows need from the platform. The program hands in the Linux
// implementations; the tests hand in fakes and a folder of their own.
struct Services {
    QString appDir; // the application directory: Config.ini, skins, the libraries
    IAudioLibraries& audio;
    IHotkeys& hotkeys;
    IPlayer& player;
};

} // namespace tw
