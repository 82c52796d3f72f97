#pragma once

#include <QString>

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
