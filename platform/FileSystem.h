#pragma once

#include <QList>
#include <QString>
#include <memory>

namespace tw::files {
class UnfinishedFile;
}

namespace tw {

// Linux has no short (8.3) names: the short form of a path is the path itself while the
// file exists, and "" when it does not.
QString shortPathName(const QString& path);

// Each component of an absolute path replaced by the name under which its folder lists
// it (an exact match first, else one differing only in letter case); "" when a component
// does not exist. Hidden entries count.
QString expandLongPath(const QString& path);

// Moves a file to `to` without ever replacing a file there, on one file system or across two
// (a copy that appears at `to` only when complete). On failure `from` stays as it was and
// `why` says what stopped the move.
bool moveNoReplace(const QString& from, const QString& to, QString* why = nullptr);

// Puts `from` at `to` in the same folder without ever replacing a file there, and never by a
// copy. On failure `from` stays as it was and `why` says what stopped it.
bool placeNoReplace(const QString& from, const QString& to, QString* why = nullptr);

// A converted file while it is being written: a hidden name beside `target` that nothing has
// yet, listed while this object lives, so that a start after a kill finds and removes it.
class UnfinishedConversion {
  public:
    explicit UnfinishedConversion(const QString& target);
    ~UnfinishedConversion();
    QString path() const;

  private:
    std::unique_ptr<files::UnfinishedFile> file_;
};

// An unfinished file that a killed run left beside its target, once removed.
struct Leftover {
    QString path;
    bool conversion = false; // else the copy of a move across file systems
};

// Where the unfinished files in progress are listed: the capture folder's "unfinished".
QString unfinishedListFolder();
// Removes the listed unfinished files, then those lying in `folder`, of every process that is no
// longer running. Blocks on the file system.
QList<Leftover> removeLeftovers(const QString& listFolder, const QString& folder);
bool processRunning(qint64 pid);

// An exclusive flock on a fresh open of the file, held while the object lives, if no one
// else holds one. Writers hold theirs for as long as they write.
class ExclusiveFileLock {
  public:
    explicit ExclusiveFileLock(const QString& path);
    ExclusiveFileLock(const ExclusiveFileLock&) = delete;
    ExclusiveFileLock& operator=(const ExclusiveFileLock&) = delete;
    ~ExclusiveFileLock();
    bool held() const { return error_ == 0; }
    // Why it is not held: EWOULDBLOCK while another holds the lock, else the open's error.
    int error() const { return error_; }

  private:
    int fd_ = -1;
    int error_ = 0;
};

// Whether another open of the file holds an exclusive flock on it. The probe's own lock, if
// it gets one, is given back at once.
bool isLockedByWriter(const QString& path);

} // namespace tw
