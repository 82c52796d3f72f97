// The recordings list: playing a line, watching the playback, the context menu and
// "Clear list".
#include "app/Form1.h"
#include "app/Yield.h"
#include "platform/IPlayer.h"

#include <QCursor>
#include <QFile>
#include <QFileInfo>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>

namespace tw {

void Form1::List1_DblClick() {
    const QString path = Getfilename();
    services_.player.close(PlayingFile);
    PlayingFile = path;
    services_.player.play(path);
    if (!services_.player.lastError().isEmpty()) {
        // A missing or undecodable file must not claim to play.
        setStatus(QStringLiteral("%1 cannot be played: %2")
                      .arg(path.isEmpty() ? QStringLiteral("The line") : path,
                           services_.player.lastError()),
                  kRed);
        Timer1.stop();
        return;
    }
    setStatus(QStringLiteral("Recording is playing now........"), kBlue);
    Timer1.start();
}

QString Form1::Status(const QString& file) {
    return services_.player.mode(file);
}

void Form1::Timer1_Timer() {
    yieldToWindowSystem();
    if (Status(PlayingFile) == QStringLiteral("stopped")) {
        setStatus(QStringLiteral("Playback has stopped"), kRed);
        Timer1.stop();
    }
}

void Form1::List1_MouseDown(Qt::MouseButton button, const QPoint& position) {
    if (button != Qt::RightButton)
        return;
    const QModelIndex index = List1->indexAt(position);
    if (!index.isValid() || index.row() >= List1->count())
        return;
    List1->setCurrentRow(index.row());
    HandlerScope scope; // the menu is modal: hotkeys wait
    showPopup(Popup);
}

void Form1::Stop_Click() {
    services_.player.close(Getfilename());
    setStatus(QStringLiteral("Playback has stopped"), kRed);
    Timer1.stop();
}

void Form1::removeSelectedLine() {
    delete List1->takeItem(List1->currentRow());
    if (List1->count() == 0)
        NextEntryNumber = 1;
}

void Form1::Delist_Click() {
    if (List1->currentRow() < 0)
        return;
    if (PlayingFile == Getfilename())
        Stop_Click();
    removeSelectedLine();
}

void Form1::output_Click() {
    if (List1->currentRow() < 0)
        return;
    const QString path = Getfilename();
    if (PlayingFile == path)
        Stop_Click();
    const QFileInfo info(path);
    // Only a normal file is deleted; a hidden (dot) file is left alone, as a hidden file
    // was never listed.
    if (!path.isEmpty() && info.isFile() && !info.fileName().startsWith(QLatin1Char('.'))) {
        QFile file(path);
        if (!file.remove()) {
            setStatus(QStringLiteral("%1 could not be deleted: %2").arg(path, file.errorString()),
                      kRed);
            return;
        }
    }
    removeSelectedLine();
}

void Form1::Clear_Click() {
    Savefile();
    List1->clear();
    Timer1.stop();
    services_.player.close(PlayingFile);
    TakeCounter = 0;
    NextEntryNumber = 1;
    setStatus(QStringLiteral("All lists were cleared."), kRed);
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == List1->viewport() && event->type() == QEvent::MouseButtonPress) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::RightButton) {
            // The list's own right-click handling would move the selection even below
            // the last line; the menu decides instead.
            List1_MouseDown(mouse->button(), mouse->position().toPoint());
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

} // namespace tw
