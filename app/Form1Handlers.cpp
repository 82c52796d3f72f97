// The main window's handlers of the recorder, the list and the conversion: each hands the
// command to the session.
#include "app/Form1.h"
#include "core/Session.h"
#include "platform/IFileDialogs.h"
#include "platform/IMessageBox.h"
#include "skins/SkinControls.h"

#include <QListView>
#include <QMenu>
#include <QMouseEvent>

namespace tw {

void Form1::SkinButton1_Click() {
    session_.request(Session::Command::Record);
}

void Form1::SkinButton4_Click() {
    session_.request(Session::Command::Pause);
}

void Form1::SkinButton2_Click() {
    session_.request(Session::Command::Stop);
}

void Form1::SkinScrollBar1_Change() {
    showVolume();
    session_.volume.set(SkinScrollBar1->position());
}

void Form1::List1_DblClick() {
    if (session_.playback.play(Getfilename()))
        Timer1.start();
    else
        Timer1.stop();
}

void Form1::Timer1_Timer() {
    if (session_.playback.ended())
        Timer1.stop();
}

void Form1::List1_MouseDown(Qt::MouseButton button, const QPoint& position) {
    if (button != Qt::RightButton)
        return;
    const QModelIndex index = List1->indexAt(position);
    if (!index.isValid())
        return;
    List1->setCurrentIndex(index);
    Session::Modal modal(session_); // the menu acts on the line it was opened on
    showPopup(Popup);
}

void Form1::Stop_Click() {
    // While another line plays on, the watch goes on to tell when it ends.
    if (session_.playback.stop(Getfilename()))
        Timer1.stop();
}

int Form1::lineToDrop() {
    const int row = List1->currentIndex().row();
    // A line that goes away must not go on playing.
    if (row >= 0 && session_.playback.playingFile() == Getfilename())
        Stop_Click();
    return row;
}

void Form1::Delist_Click() {
    if (const int row = lineToDrop(); row >= 0)
        session_.takes.remove(row);
}

void Form1::output_Click() {
    const int row = lineToDrop();
    if (row < 0 || session_.deleteLine(row) != Session::Deletion::NeedsConfirmation)
        return;
    // No trash takes the file: deleting it cannot be undone, so it waits for a yes.
    const QString path = session_.takes.path(row);
    const QString question =
        QStringLiteral("%1 cannot be moved to the trash: %2.\n\nDelete it for good? This "
                       "cannot be undone.")
            .arg(path, session_.trashRefusal());
    if (!services_.messages) {
        session_.status.set(question.left(question.indexOf(QLatin1Char('\n'))), kRed);
        return;
    }
    bool yes = false;
    {
        Session::Modal modal(session_);
        yes = services_.messages->question(question);
    }
    // The list may have changed while the question was open: the line is found again.
    const int now = session_.takes.path(row) == path ? row : -1;
    if (yes && now >= 0)
        session_.deleteLine(now, true);
}

void Form1::Clear_Click() {
    Timer1.stop();
    session_.clearList();
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

void Form1::Converting(const QString& inputf, const QString& outputf) {
    session_.converter().convert(mp3Format(), session_.settings.LameOptions, inputf, outputf);
}

void Form1::Convert_Click() {
    session_.convertLine(selectedRow());
}

void Form1::Wavtomp3_Click() {
    if (!session_.allowed(Session::Command::Convert) ||
        !available(services_.dialogs, QStringLiteral("file dialog")))
        return;
    const std::optional<QString> chosen =
        services_.dialogs->open(QStringLiteral("Wave Files(*.wav)|*.wav"));
    if (!chosen)
        return;
    Common3.FileName = *chosen;
    session_.convertFile(*chosen);
}

} // namespace tw
