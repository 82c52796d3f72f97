#include "app/Notifier.h"

#include "core/Session.h"
#include "platform/IDesktop.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QPointer>

namespace tw {

namespace {
const QString kPlay = QStringLiteral("play");
const QString kShow = QStringLiteral("show");
const QString kUndo = QStringLiteral("undo");
constexpr qsizetype kMostTargets = 32;

QString nameOf(const QString& path) {
    return QFileInfo(path).fileName();
}

QString lengthOf(int seconds) {
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}
} // namespace

Notifier::Notifier(Session& session, INotifications& notifications, IDesktop* desktop,
                   QObject* parent)
    : QObject(parent), session_(session), notifications_(notifications), desktop_(desktop) {
    connect(&session, &Session::takeListed, this, &Notifier::takeListed);
    connect(&session.recorder, &Recorder::faultChanged, this,
            [this](int, const QString& text) { faultChanged(text); });
    connect(&session.recorder, &Recorder::phaseChanged, this, [this](Recorder::Phase phase) {
        if (phase == Recorder::Phase::Idle)
            faultTold_.clear();
    });
    connect(&session, &Session::conversionEnded, this, &Notifier::conversionEnded);
    connect(&session, &Session::takesRecovered, this, &Notifier::takesRecovered);
    connect(&session, &Session::fileDeleted, this, &Notifier::fileDeleted);
    QPointer<Notifier> alive(this);
    notifications_.setActionInvoked([alive](uint id, const QString& key) {
        if (alive)
            alive->invoked(id, key);
    });
}

void Notifier::takeListed(const QString& path, int seconds, const QString& warning) {
    QString body = QStringLiteral("%1 (%2)").arg(nameOf(path), lengthOf(seconds));
    if (!warning.isEmpty())
        body += u'\n' + warning;
    send(QStringLiteral("Take saved"), body,
         {{kPlay, QStringLiteral("Play")}, {kShow, QStringLiteral("Show in folder")}}, path);
}

void Notifier::faultChanged(const QString& text) {
    if (text.isEmpty() || text == faultTold_ || session_.recorder.phase() == Recorder::Phase::Idle)
        return;
    faultTold_ = text;
    send(QStringLiteral("Recording problem"), text, {}, {}, QStringLiteral("dialog-warning"));
}

void Notifier::conversionEnded(const QString& input, const QString& output, bool ok,
                               const QString& why) {
    if (ok) {
        send(QStringLiteral("Conversion finished"), nameOf(output),
             {{kShow, QStringLiteral("Show in folder")}}, output);
        return;
    }
    const QString body = why.isEmpty() ? nameOf(input) : nameOf(input) + QStringLiteral(": ") + why;
    send(QStringLiteral("Conversion failed"), body, {}, {}, QStringLiteral("dialog-warning"));
}

void Notifier::takesRecovered(const QStringList& paths) {
    if (paths.isEmpty())
        return;
    QStringList names;
    for (const QString& path : paths.mid(0, 3))
        names << nameOf(path);
    QString body = names.join(QStringLiteral(", "));
    if (paths.size() > 3)
        body += QStringLiteral(" and %1 more").arg(paths.size() - 3);
    send(paths.size() == 1 ? QStringLiteral("Take recovered")
                           : QStringLiteral("%1 takes recovered").arg(paths.size()),
         body, {{kShow, QStringLiteral("Show in folder")}}, paths.first());
}

void Notifier::fileDeleted(const QString& path, bool undoable) {
    if (undoable)
        send(QStringLiteral("Moved to the trash"), nameOf(path), {{kUndo, QStringLiteral("Undo")}},
             path);
    else
        send(QStringLiteral("Deleted"), nameOf(path), {});
}

void Notifier::send(const QString& summary, const QString& body,
                    const QList<INotifications::Action>& actions, const QString& file,
                    const QString& icon) {
    // Read each time: the preferences may change it while the program runs.
    if (!session_.settings.notificationsOn())
        return;
    const QString shownIcon = icon.isEmpty() ? QGuiApplication::desktopFileName() : icon;
    INotifications::Shown shown;
    if (!actions.isEmpty()) {
        QPointer<Notifier> alive(this);
        shown = [alive, file](uint id) {
            if (!alive || id == 0)
                return;
            if (alive->targets_.size() >= kMostTargets)
                alive->targets_.removeFirst();
            alive->targets_.append({id, file});
        };
    }
    notifications_.notify(summary, body, actions, shownIcon, std::move(shown));
}

void Notifier::invoked(uint id, const QString& key) {
    QString file;
    for (const Target& target : targets_) {
        if (target.id == id)
            file = target.file;
    }
    if (file.isEmpty())
        return;
    if (key == kPlay) {
        session_.playback.play(file);
    } else if (key == kShow && desktop_) {
        QPointer<Notifier> alive(this);
        desktop_->showInFolder(file, [alive](const QString& target, const QString& why) {
            if (alive)
                alive->session_.status.set(
                    QStringLiteral("%1 could not be shown: %2").arg(target, why), kRed);
        });
    } else if (key == kUndo && session_.undoableDelete() == file) {
        // Only the newest move to the trash can be undone; an older bubble's Undo would put
        // back another file than the one it names.
        session_.undoDelete();
    }
}

} // namespace tw
