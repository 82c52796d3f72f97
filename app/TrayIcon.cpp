#include "app/TrayIcon.h"

#include "core/Session.h"

#include <QAction>
#include <QPainter>
#include <QPixmap>

namespace tw {

namespace {

QPixmap drawn(int size, Recorder::Phase phase) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal margin = size / 8.0;
    const QRectF disc(margin, margin, size - 2 * margin, size - 2 * margin);
    switch (phase) {
    case Recorder::Phase::Recording:
        painter.setPen(QPen(QColor(120, 0, 0), size / 16.0));
        painter.setBrush(QColor(220, 30, 30));
        painter.drawEllipse(disc);
        break;
    case Recorder::Phase::Paused: {
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(230, 160, 20));
        painter.drawEllipse(disc);
        painter.setBrush(Qt::white);
        const qreal w = size / 8.0, h = size / 2.5, top = (size - h) / 2;
        painter.drawRect(QRectF(size / 2.0 - 1.8 * w, top, w, h));
        painter.drawRect(QRectF(size / 2.0 + 0.8 * w, top, w, h));
        break;
    }
    default:
        // A ring with a dot: a recorder at rest, readable on light and dark panels.
        painter.setPen(QPen(QColor(90, 90, 90), size / 10.0));
        painter.setBrush(QColor(235, 235, 235));
        painter.drawEllipse(disc);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(90, 90, 90));
        painter.drawEllipse(disc.center(), size / 8.0, size / 8.0);
        break;
    }
    return pixmap;
}

} // namespace

QIcon TrayIcon::iconFor(Recorder::Phase phase) {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(drawn(size, phase));
    return icon;
}

TrayIcon::TrayIcon(Session& session, QObject* parent) : QObject(parent), session_(session) {
    record_ = menu_.addAction(QStringLiteral("Record"), this,
                              [this] { session_.request(Session::Command::Record); });
    pause_ = menu_.addAction(QStringLiteral("Pause"), this,
                             [this] { session_.request(Session::Command::Pause); });
    stop_ = menu_.addAction(QStringLiteral("Stop"), this,
                            [this] { session_.request(Session::Command::Stop); });
    menu_.addSeparator();
    menu_.addAction(QStringLiteral("Show window"), this, &TrayIcon::showWindowRequested);
    menu_.addAction(QStringLiteral("Quit"), this, [this] { session_.quit(); });
    icon_.setContextMenu(&menu_);
    connect(&icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                    emit showWindowRequested();
            });

    connect(&session, &Session::commandsChanged, this, &TrayIcon::commandsChanged);
    connect(&session.recorder, &Recorder::phaseChanged, this, &TrayIcon::phaseChanged);
    connect(&session.recorder, &Recorder::clockChanged, this, [this](const QString& text) {
        clock_ = text;
        showToolTip();
    });
    phaseChanged(session.recorder.phase());
    commandsChanged();
    if (QSystemTrayIcon::isSystemTrayAvailable())
        icon_.show();
}

void TrayIcon::commandsChanged() {
    record_->setEnabled(session_.refusal(Session::Command::Record).isEmpty());
    pause_->setEnabled(session_.refusal(Session::Command::Pause).isEmpty());
    stop_->setEnabled(session_.refusal(Session::Command::Stop).isEmpty());
}

void TrayIcon::phaseChanged(Recorder::Phase phase) {
    icon_.setIcon(iconFor(phase));
    pause_->setText(phase == Recorder::Phase::Paused ? QStringLiteral("Resume")
                                                     : QStringLiteral("Pause"));
    if (phase == Recorder::Phase::Idle)
        clock_.clear();
    showToolTip();
}

void TrayIcon::showToolTip() {
    QString state;
    switch (session_.recorder.phase()) {
    case Recorder::Phase::Recording:
        state = QStringLiteral("Recording");
        break;
    case Recorder::Phase::Paused:
        state = QStringLiteral("Paused");
        break;
    case Recorder::Phase::Starting:
        state = QStringLiteral("Starting");
        break;
    case Recorder::Phase::Saving:
        state = QStringLiteral("Saving");
        break;
    case Recorder::Phase::Idle:
        break;
    }
    QString tip = QStringLiteral("Tunewright");
    if (!state.isEmpty())
        tip += QStringLiteral(" — ") + state;
    if (!clock_.isEmpty())
        tip += u' ' + clock_;
    icon_.setToolTip(tip);
}

} // namespace tw
