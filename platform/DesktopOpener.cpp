#include "platform/DesktopOpener.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

namespace tw {

namespace {

// The desktop entry id of the program registered for MP3 sound, the usual stand-in for
// "the media player"; empty when there is no xdg-mime or it knows none.
QString registeredPlayerEntry() {
    const QString xdgMime = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
    if (xdgMime.isEmpty())
        return {};
    QProcess query;
    query.start(xdgMime,
                {QStringLiteral("query"), QStringLiteral("default"), QStringLiteral("audio/mpeg")});
    // It is a shell script that answers at once; a stuck one must not keep the window
    // waiting.
    if (!query.waitForFinished(3000)) {
        query.kill();
        query.waitForFinished(1000);
        return {};
    }
    if (query.exitStatus() != QProcess::NormalExit || query.exitCode() != 0)
        return {};
    const QString id =
        QString::fromLocal8Bit(query.readAllStandardOutput()).section(u'\n', 0, 0).trimmed();
    if (!id.endsWith(QStringLiteral(".desktop")) || id.contains(u'/'))
        return {};
    return id;
}

// The Exec value of the entry's [Desktop Entry] group, still escaped.
QString execOfEntry(const QString& entryId) {
    const QString path = QStandardPaths::locate(QStandardPaths::ApplicationsLocation, entryId);
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    bool inEntry = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(u'[')) {
            inEntry = line == QStringLiteral("[Desktop Entry]");
            continue;
        }
        const qsizetype eq = line.indexOf(u'=');
        if (inEntry && eq > 0 && line.left(eq).trimmed() == QStringLiteral("Exec"))
            return line.mid(eq + 1).trimmed();
    }
    return {};
}

struct ExecToken {
    QString text;
    bool quoted = false;
};

// Splits an Exec value into words: first the escapes every desktop-entry string has, then
// the double quotes of the command line, inside which a backslash protects the next
// character.
bool splitExec(const QString& exec, QList<ExecToken>& tokens) {
    QString value;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (c != u'\\' || i + 1 == exec.size()) {
            value += c;
            continue;
        }
        const QChar next = exec[++i];
        if (next == u's')
            value += u' ';
        else if (next == u't')
            value += u'\t';
        else if (next == u'n')
            value += u'\n';
        else if (next == u'r')
            value += u'\r';
        else if (next == u'\\')
            value += u'\\';
        else
            value += QString{c} + next;
    }

    ExecToken current;
    bool inToken = false;
    bool inQuotes = false;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (inQuotes) {
            if (c == u'\\' && i + 1 < value.size() &&
                QStringLiteral("\"`$\\").contains(value[i + 1]))
                current.text += value[++i];
            else if (c == u'"')
                inQuotes = false;
            else
                current.text += c;
        } else if (c == u' ' || c == u'\t' || c == u'\n' || c == u'\r') {
            if (inToken)
                tokens.append(current);
            current = {};
            inToken = false;
        } else if (c == u'"') {
            inQuotes = true;
            inToken = true;
            current.quoted = true;
        } else {
            current.text += c;
            inToken = true;
        }
    }
    if (inQuotes)
        return false;
    if (inToken)
        tokens.append(current);
    return true;
}

} // namespace

QUrl DesktopOpener::urlFor(const QString& target) {
    if (target.isEmpty())
        return {};
    if (QFileInfo::exists(target))
        return QUrl::fromLocalFile(QFileInfo(target).absoluteFilePath());
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]+:"));
    if (scheme.match(target).hasMatch())
        return QUrl(target, QUrl::TolerantMode);
    return QUrl::fromUserInput(target, QDir::currentPath());
}

QStringList DesktopOpener::commandFromExec(const QString& exec, const QStringList& arguments) {
    QList<ExecToken> tokens;
    if (!splitExec(exec, tokens))
        return {};
    static const QStringList fileCodes = {QStringLiteral("%f"), QStringLiteral("%F"),
                                          QStringLiteral("%u"), QStringLiteral("%U")};
    QStringList command;
    bool placed = false;
    for (const ExecToken& token : tokens) {
        if (!token.quoted && fileCodes.contains(token.text)) {
            // The program comes from the entry, never from the address.
            if (command.isEmpty())
                return {};
            if (!placed)
                command += arguments;
            placed = true;
            continue;
        }
        if (token.quoted) {
            command += token.text;
            continue;
        }
        // The icon, name and entry-path codes mean nothing for an address; a word made of
        // nothing else disappears.
        QString word;
        bool onlyCodes = true;
        for (qsizetype i = 0; i < token.text.size(); ++i) {
            if (token.text[i] != u'%' || i + 1 == token.text.size()) {
                word += token.text[i];
                onlyCodes = false;
                continue;
            }
            const QChar code = token.text[++i];
            if (code == u'%') {
                word += u'%';
                onlyCodes = false;
            } else if (QStringLiteral("fFuU").contains(code) && !placed && !command.isEmpty()) {
                word += arguments.join(u' ');
                onlyCodes = false;
                placed = true;
            }
        }
        if (!onlyCodes)
            command += word;
    }
    if (command.isEmpty() || command.first().isEmpty())
        return {};
    if (!placed)
        command += arguments;
    return command;
}

bool DesktopOpener::open(const QString& target) {
    const QUrl url = urlFor(target);
    if (!url.isValid() || url.isEmpty())
        return false;
    return QDesktopServices::openUrl(url);
}

bool DesktopOpener::startMediaPlayer(const QStringList& arguments) {
    const QString entry = registeredPlayerEntry();
    if (!entry.isEmpty()) {
        const QStringList command = commandFromExec(execOfEntry(entry), arguments);
        if (!command.isEmpty() && QProcess::startDetached(command.first(), command.mid(1)))
            return true;
    }
    // Without a registered player the opener chooses a program by the address itself; it
    // takes one address, so only the first word goes.
    return !arguments.isEmpty() && open(arguments.first());
}

} // namespace tw
