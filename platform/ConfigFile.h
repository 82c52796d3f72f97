#pragma once

#include <QString>

namespace tw {

// The profile operations on one INI file (Config.ini). Section and key names match
// without regard to letter case. The file is never held open: every call is one whole
// read or one whole atomic replacement. No call ever throws or reports an error to the
// user; a missing, unreadable or garbled file reads as defaults.
class ConfigFile {
  public:
    explicit ConfigFile(QString path);

    const QString& path() const { return path_; }
    bool exists() const; // a regular file (not a directory) of that name is present

    // The value read as a number: optional blanks, optional sign, leading digits; anything
    // else reads as 0. `def` when the key or file is absent.
    int readInt(const QString& section, const QString& key, int def) const;

    // Copies at most bufferSize - 1 characters of the value (or of `def` when the key or
    // file is absent) into `out` and returns how many were copied.
    int readString(const QString& section, const QString& key, const QString& def, QString& out,
                   int bufferSize = 255) const;

    // Creates file, section and key as needed, replaces an existing value, keeps every
    // other line and its order. Returns false when the file could not be replaced (the
    // old file is then untouched).
    bool writeString(const QString& section, const QString& key, const QString& value);

  private:
    QString path_;
};

} // namespace tw
