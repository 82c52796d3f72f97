#pragma once

#include "platform/FileSystem.h"

#include <QList>
#include <QObject>
#include <QString>
#include <thread>

namespace tw {

class Settings;
class StatusLine;
class Takes;

// Where the engine keeps a take's capture while it records: $XDG_CACHE_HOME when it is an
// absolute path, else ~/.cache, then "tunewright".
QString captureFolder();

// What became of the captures a killed or crashed run left behind.
struct RecoveryResult {
    struct Moved {
        QString path;
        double seconds = 0;
    };
    struct Kept {
        QString capture;
        QString why;
    };
    QList<Moved> moved;
    QList<Kept> kept;
    // Captures whose writer was killed before any sound reached them, removed.
    QStringList empty;
    // Unfinished conversions and copies of killed runs, removed.
    QList<Leftover> leftovers;
    QString saveFolder;
    QString captureFolder;
};

// Repairs each capture that no writer holds and moves it, oldest first, to the save
// position's folder under the next free take name; one without a frame of sound is removed
// instead. Blocks: a move across file systems is a copy. Captures of this process are its own
// takes, not strays, and are passed over. The unfinished files of killed runs, listed in
// `listFolder` or lying in the save position's folder, are removed first.
RecoveryResult recoverCaptures(const QString& captureFolder, const QString& savePosition,
                               const QString& listFolder = QString());

// The status line's words and colour for a result; "" when nothing was found.
QString recoveryText(const RecoveryResult& result, int& colour);

// The start-up's recovery: it runs on a thread of its own, then lists each recovered take and
// says on the status line what was recovered and what was not.
class Recovery : public QObject {
    Q_OBJECT
  public:
    Recovery(Settings& settings, Takes& takes, StatusLine& status, QObject* parent = nullptr);
    // Waits for a recovery under way: a copy cut short would be lost work, not lost audio.
    ~Recovery() override;

    void start();
    bool running() const { return running_; }

  signals:
    void finished();
    // A take was recovered and listed (before `finished`).
    void recovered(const QString& path, int seconds);

  private:
    void report(const RecoveryResult& result);

    Settings& settings_;
    Takes& takes_;
    StatusLine& status_;
    std::thread worker_;
    bool running_ = false;
};

} // namespace tw
