#include "platform/ConfigFile.h"

#include "platform/ConfigFile_p.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <climits>
#include <optional>
#include <utility>
#include <vector>

// The profile format as Config.ini files have always been read, kept deliberately small:
//   - a line is split at "\n"; a "\r" just before it is dropped, so "\r\n" files read
//     the same; every line is written back ending in "\n" only;
//   - after trimming blanks, an empty line or one starting with ';' is a comment,
//     "[name]" opens a section (text after the "]" is ignored), a line holding "=" is a
//     key (name and value trimmed), anything else is an unknown line;
//   - names match without regard to letter case; the first matching section, and in it
//     the first matching key, is the one that counts. Keys before any section belong to
//     no section and are never found;
//   - a value enclosed in a matching pair of '"' or '\'' reads without them.
// Lines are kept as their original bytes, so a write leaves comments, unknown lines and
// even undecodable bytes exactly as they were; only the line of the written key changes.

namespace tw {
namespace {

enum class Kind { Other, Section, Key };

struct Line {
    QByteArray raw; // the line's bytes without its end
    Kind kind = Kind::Other;
    QString name;  // section or key name, trimmed
    QString value; // key value, trimmed
};

Line classify(QByteArray raw) {
    Line line;
    line.raw = std::move(raw);
    const QString text = QString::fromUtf8(line.raw).trimmed();
    if (text.isEmpty() || text.startsWith(u';'))
        return line;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close > 0) {
            line.kind = Kind::Section;
            line.name = text.mid(1, close - 1).trimmed();
        }
        return line;
    }
    const qsizetype eq = text.indexOf(u'=');
    if (eq >= 0) {
        line.kind = Kind::Key;
        line.name = text.left(eq).trimmed();
        line.value = text.mid(eq + 1).trimmed();
    }
    return line;
}

std::vector<Line> parse(const QByteArray& data) {
    std::vector<Line> lines;
    qsizetype start = 0;
    while (start < data.size()) {
        qsizetype end = data.indexOf('\n', start);
        const qsizetype next = end < 0 ? data.size() : end + 1;
        if (end < 0)
            end = data.size();
        qsizetype len = end - start;
        if (len > 0 && data.at(start + len - 1) == '\r')
            --len;
        lines.push_back(classify(data.mid(start, len)));
        start = next;
    }
    return lines;
}

bool sameName(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Index of the first header of `section`, or -1.
qsizetype findSection(const std::vector<Line>& lines, const QString& section) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind == Kind::Section && sameName(lines[i].name, section))
            return qsizetype(i);
    }
    return -1;
}

// Index one past the last line of the section whose header is at `header`.
qsizetype sectionEnd(const std::vector<Line>& lines, qsizetype header) {
    qsizetype i = header + 1;
    while (i < qsizetype(lines.size()) && lines[size_t(i)].kind != Kind::Section)
        ++i;
    return i;
}

qsizetype findKey(const std::vector<Line>& lines, qsizetype header, const QString& key) {
    const qsizetype end = sectionEnd(lines, header);
    for (qsizetype i = header + 1; i < end; ++i) {
        if (lines[size_t(i)].kind == Kind::Key && sameName(lines[size_t(i)].name, key))
            return i;
    }
    return -1;
}

// Only a regular file is read: a directory, a device or a FIFO at the path would block
// or feed us endless bytes, and all of them mean "no settings".
std::optional<QByteArray> readWholeFile(const QString& path) {
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return data;
}

QString unquoted(const QString& value) {
    if (value.size() >= 2) {
        const QChar first = value.front();
        if ((first == u'"' || first == u'\'') && value.back() == first)
            return value.mid(1, value.size() - 2);
    }
    return value;
}

std::optional<QString> lookup(const QString& path, const QString& section, const QString& key) {
    const QString sec = section.trimmed();
    const QString k = key.trimmed();
    if (sec.isEmpty() || k.isEmpty())
        return std::nullopt;
    const std::optional<QByteArray> data = readWholeFile(path);
    if (!data)
        return std::nullopt;
    const std::vector<Line> lines = parse(*data);
    const qsizetype header = findSection(lines, sec);
    if (header < 0)
        return std::nullopt;
    const qsizetype at = findKey(lines, header, k);
    if (at < 0)
        return std::nullopt;
    return unquoted(lines[size_t(at)].value);
}

// Optional blanks, optional sign, then decimal digits up to the first non-digit; no
// digits at all reads as 0. Values beyond the range of int are clamped to INT_MIN or
// INT_MAX rather than wrapped, so that a mangled number never turns into a plausible one
// of the opposite sign.
int parseProfileInt(const QString& text) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && text.at(i).isSpace())
        ++i;
    bool negative = false;
    if (i < n && (text.at(i) == u'-' || text.at(i) == u'+')) {
        negative = text.at(i) == u'-';
        ++i;
    }
    constexpr long long limit = static_cast<long long>(INT_MAX) + 1;
    long long magnitude = 0;
    for (; i < n; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < u'0' || c > u'9')
            break;
        if (magnitude <= limit)
            magnitude = magnitude * 10 + (c - u'0');
    }
    if (negative)
        return magnitude >= limit ? INT_MIN : static_cast<int>(-magnitude);
    return magnitude >= limit ? INT_MAX : static_cast<int>(magnitude);
}

bool hasLineBreak(const QString& s) {
    return s.contains(u'\n') || s.contains(u'\r');
}

// Names and values that would not read back as written are refused: a line break would
// let a value (say, a file name chosen in a dialog) inject lines of its own into the file.
bool writable(const QString& section, const QString& key, const QString& value) {
    if (section.isEmpty() || key.isEmpty())
        return false;
    if (hasLineBreak(section) || hasLineBreak(key) || hasLineBreak(value))
        return false;
    if (section.contains(u']'))
        return false;
    if (key.contains(u'=') || key.startsWith(u';') || key.startsWith(u'['))
        return false;
    return true;
}

QByteArray keyLine(const QString& key, const QString& value) {
    return (key + u'=' + value).toUtf8();
}

} // namespace

namespace detail {

bool writeProfileString(const QString& path, const QString& section, const QString& key,
                        const QString& value, const BeforeCommit& beforeCommit) {
    const QString sec = section.trimmed();
    const QString k = key.trimmed();
    if (!writable(sec, k, value))
        return false;

    // A file that is there but cannot be read is left alone: rewriting it from nothing
    // would throw away every other setting in it.
    QByteArray old;
    const bool existed = QFileInfo::exists(path);
    if (existed) {
        std::optional<QByteArray> data = readWholeFile(path);
        if (!data)
            return false;
        old = std::move(*data);
    }

    std::vector<Line> lines = parse(old);
    const qsizetype header = findSection(lines, sec);
    if (header < 0) {
        lines.push_back(Line{('[' + sec + u']').toUtf8(), Kind::Section, sec, {}});
        lines.push_back(Line{keyLine(k, value), Kind::Key, k, value});
    } else if (const qsizetype at = findKey(lines, header, k); at >= 0) {
        // The key keeps the spelling it has in the file; only its value changes.
        Line& line = lines[size_t(at)];
        line.raw = keyLine(line.name, value);
        line.value = value;
    } else {
        // After the section's last key, so that blank lines and comments that close the
        // section stay between it and the next one.
        qsizetype insertAt = header + 1;
        const qsizetype end = sectionEnd(lines, header);
        for (qsizetype i = header + 1; i < end; ++i) {
            if (lines[size_t(i)].kind == Kind::Key)
                insertAt = i + 1;
        }
        lines.insert(lines.begin() + insertAt, Line{keyLine(k, value), Kind::Key, k, value});
    }

    QByteArray data;
    for (const Line& line : lines) {
        data += line.raw;
        data += '\n';
    }
    if (existed && data == old)
        return true;

    // QSaveFile writes a temporary file in the same directory and renames it over the old
    // one in commit(), after flushing it and syncing it to disk; without commit() the
    // temporary file is discarded. No direct-write fallback: a folder where no new file
    // can be made leaves the old file as it was and the write fails.
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    if (out.write(data) != data.size()) {
        out.cancelWriting();
        return false;
    }
    if (beforeCommit && !beforeCommit()) {
        out.cancelWriting();
        return false;
    }
    return out.commit();
}

} // namespace detail

ConfigFile::ConfigFile(QString path) : path_(std::move(path)) {}

bool ConfigFile::exists() const {
    return QFileInfo(path_).isFile();
}

int ConfigFile::readInt(const QString& section, const QString& key, int def) const {
    const std::optional<QString> value = lookup(path_, section, key);
    return value ? parseProfileInt(*value) : def;
}

int ConfigFile::readString(const QString& section, const QString& key, const QString& def,
                           QString& out, int bufferSize) const {
    out.clear();
    if (bufferSize <= 0)
        return 0;
    QString value;
    if (const std::optional<QString> found = lookup(path_, section, key)) {
        value = *found;
    } else {
        // Like the platform, a default's trailing blanks are not returned.
        value = def;
        qsizetype end = value.size();
        while (end > 0 && value.at(end - 1).isSpace())
            --end;
        value.truncate(end);
    }
    qsizetype keep = bufferSize - 1;
    if (value.size() > keep) {
        // Never leave half of a surrogate pair at the end.
        if (keep > 0 && value.at(keep - 1).isHighSurrogate())
            --keep;
        value.truncate(keep);
    }
    out = value;
    return int(out.size());
}

bool ConfigFile::writeString(const QString& section, const QString& key, const QString& value) {
    return detail::writeProfileString(path_, section, key, value, {});
}

} // namespace tw
