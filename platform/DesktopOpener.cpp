#include "platform/DesktopOpener.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTimer>

namespace tw {

namespace {

// The desktop entry id in xdg-mime's answer about the program registered for MP3 sound, the
// usual stand-in for "the media player"; empty when it knows none.
QString entryOfAnswer(const QByteArray& answer) {
    const QString id = QString::fromLocal8Bit(answer).section(u'\n', 0, 0).trimmed();
    if (!id.endsWith(QStringLiteral(".desktop")) || id.contains(u'/'))
        return {};
    return id;
}

// The program's path on the search path the caller had when it asked.
QString findOn(const QString& program, const QStringList& searchPath) {
    return QStandardPaths::findExecutable(program, searchPath);
}

QStringList currentSearchPath() {
    return qEnvironmentVariable("PATH").split(u':', Qt::SkipEmptyParts);
}

// What xdg-open's exit code means, for when it says nothing itself.
QString openerExitMeaning(int code) {
    switch (code) {
    case 1:
        return QStringLiteral("the address was not understood");
    case 2:
        return QStringLiteral("the file does not exist");
    case 3:
        return QStringLiteral("no program is registered for it");
    case 4:
        return QStringLiteral("the program registered for it failed");
    default:
        return QStringLiteral("the opener failed");
    }
}

QString lastLineOf(QIODevice& device) {
    device.seek(0);
    const QList<QByteArray> lines = device.readAll().trimmed().split('\n');
    return QString::fromLocal8Bit(lines.last().trimmed()).left(300);
}

void later(const IDesktop::Failed& failed, const QString& target, const QString& why) {
    if (failed)
        QTimer::singleShot(0, [failed, target, why] { failed(target, why); });
}

// The Exec value of the entry's [Desktop Entry] group, still escaped.
QString execOfEntry(const QString& entryId, const QStringList& applicationDirs) {
    QString path;
    for (const QString& dir : applicationDirs) {
        if (QFileInfo(dir + u'/' + entryId).isFile()) {
            path = dir + u'/' + entryId;
            break;
        }
    }
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

DesktopOpener::DesktopOpener(QObject* parent) : QObject(parent) {}

DesktopOpener::~DesktopOpener() {
    // A child's end is not waited for. The opener may still run the program it started in
    // the foreground; it must outlive this run, not be killed with its QProcess.
    for (QProcess* child : findChildren<QProcess*>(Qt::FindDirectChildrenOnly)) {
        if (child->state() == QProcess::NotRunning)
            continue;
        child->disconnect();
        child->setParent(nullptr);
    }
}

void DesktopOpener::open(const QString& target, Failed failed) {
    openWith(target, currentSearchPath(), std::move(failed));
}

void DesktopOpener::openWith(const QString& target, const QStringList& searchPath, Failed failed) {
    const QUrl url = urlFor(target);
    if (!url.isValid() || url.isEmpty()) {
        later(failed, target, QStringLiteral("it is neither a file nor an address"));
        return;
    }
    const QString opener = findOn(QStringLiteral("xdg-open"), searchPath);
    if (opener.isEmpty()) {
        later(failed, target, QStringLiteral("xdg-open is not installed (apt install xdg-utils)"));
        return;
    }
    auto* child = new QProcess(this);
    // A file, not a pipe: the program the opener starts inherits it, and would be killed by
    // a closed pipe when it writes a warning after the opener has gone.
    auto* errors = new QTemporaryFile(child);
    child->setStandardOutputFile(QProcess::nullDevice());
    child->setStandardErrorFile(errors->open() ? errors->fileName() : QProcess::nullDevice());
    connect(child, &QProcess::finished, this,
            [child, errors, target, failed](int code, QProcess::ExitStatus status) {
                child->deleteLater();
                if (!failed || (status == QProcess::NormalExit && code == 0))
                    return;
                QString said = errors->isOpen() ? lastLineOf(*errors) : QString();
                if (said.isEmpty())
                    said = status == QProcess::NormalExit ? openerExitMeaning(code)
                                                          : QStringLiteral("the opener crashed");
                failed(target, QStringLiteral("%1 (xdg-open exit code %2)").arg(said).arg(code));
            });
    connect(child, &QProcess::errorOccurred, this,
            [child, target, failed](QProcess::ProcessError error) {
                if (error != QProcess::FailedToStart)
                    return;
                child->deleteLater();
                if (failed)
                    failed(target, QStringLiteral("xdg-open could not be started: ") +
                                       child->errorString());
            });
    const QString argument =
        url.isLocalFile() ? url.toLocalFile() : QString::fromUtf8(url.toEncoded());
    child->start(opener, {argument});
}

void DesktopOpener::startMediaPlayer(const QStringList& arguments, Failed failed) {
    if (arguments.isEmpty()) {
        later(failed, QString(), QStringLiteral("there is nothing to play"));
        return;
    }
    // The answers arrive later; they are looked up where the caller would have looked.
    const QStringList searchPath = currentSearchPath();
    const QStringList applicationDirs =
        QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation);
    const QString xdgMime = findOn(QStringLiteral("xdg-mime"), searchPath);
    if (xdgMime.isEmpty()) {
        openWith(arguments.first(), searchPath, std::move(failed));
        return;
    }
    auto* query = new QProcess(this);
    query->setStandardErrorFile(QProcess::nullDevice());
    // It is a shell script that answers at once; a stuck one is given up.
    QTimer::singleShot(3000, query, [query] { query->kill(); });
    auto answered = [=, this](bool ok) {
        query->deleteLater();
        const QString entry = ok ? entryOfAnswer(query->readAllStandardOutput()) : QString();
        const QStringList command =
            entry.isEmpty() ? QStringList()
                            : commandFromExec(execOfEntry(entry, applicationDirs), arguments);
        if (command.isEmpty()) {
            // Without a registered player the opener chooses a program by the address
            // itself; it takes one address, so only the first word goes.
            openWith(arguments.first(), searchPath, failed);
            return;
        }
        const QString program =
            command.first().contains(u'/') ? command.first() : findOn(command.first(), searchPath);
        if (program.isEmpty() || !QProcess::startDetached(program, command.mid(1)))
            later(failed, arguments.first(),
                  QStringLiteral("the media player %1 (from %2) could not be started")
                      .arg(command.first(), entry));
    };
    connect(query, &QProcess::finished, this, [answered](int code, QProcess::ExitStatus status) {
        answered(status == QProcess::NormalExit && code == 0);
    });
    connect(query, &QProcess::errorOccurred, this, [answered](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            answered(false);
    });
    query->start(xdgMime, {QStringLiteral("query"), QStringLiteral("default"),
                           QStringLiteral("audio/mpeg")});
}

void DesktopOpener::showInFolder(const QString& path, Failed failed) {
    const QFileInfo file(path);
    const QString folder = file.absolutePath();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !file.exists()) {
        open(folder, std::move(failed));
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(file.absoluteFilePath()).toString(QUrl::FullyEncoded)}
         << QString();
    // A file manager the bus starts first may take a few seconds; one that never answers
    // is given up for the folder.
    auto* watch = new QDBusPendingCallWatcher(bus.asyncCall(call, 10000), this);
    connect(watch, &QDBusPendingCallWatcher::finished, this,
            [this, folder, failed](QDBusPendingCallWatcher* done) {
                done->deleteLater();
                if (done->isError())
                    open(folder, failed);
            });
}

} // namespace tw
