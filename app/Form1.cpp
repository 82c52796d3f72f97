#include "app/Form1.h"

#include "core/Session.h"
#include "core/Yield.h"
#include "dialogs/Form3.h"
#include "dialogs/aboutme.h"
#include "encoding/lame.h"
#include "platform/FileSystem.h"
#include "platform/IFileDialogs.h"
#include "platform/IHotkeys.h"
#include "platform/IPlayer.h"
#include "settings/Form2.h"
#include "settings/Preferences.h"
#include "skins/Skin.h"
#include "skins/SkinControls.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLineEdit>
#include <QListView>

namespace tw {

namespace {
// A file dialog is modal: while it is open a handler is running, so hotkeys do nothing.
class ModalFileDialogs final : public IFileDialogs {
  public:
    explicit ModalFileDialogs(IFileDialogs& dialogs) : dialogs_(dialogs) {}
    std::optional<QString> save(const QString& fileName, const QString& filter) override {
        HandlerScope scope;
        return dialogs_.save(fileName, filter);
    }
    std::optional<QString> open(const QString& filter) override {
        HandlerScope scope;
        return dialogs_.open(filter);
    }

  private:
    IFileDialogs& dialogs_;
};
} // namespace

Form1::Form1(const Services& services, QWidget* parent)
    : QMainWindow(parent), services_(services),
      session_(std::make_unique<Session>(services.appDir, services.audio, services.player,
                                         services.messages)) {
    if (services_.dialogs) {
        modalDialogs_ = std::make_unique<ModalFileDialogs>(*services_.dialogs);
        services_.dialogs = modalDialogs_.get();
    }
    buildControls();
    buildMenus();
    connectSession();
    connect(&services_.hotkeys, &IHotkeys::hotkey, this, &Form1::HotkeyPump);
    connect(&services_.hotkeys, &IHotkeys::triggersChanged, this, &Form1::showTriggers);
    connect(&services_.hotkeys, &IHotkeys::unavailable, this,
            [this](const QString& why) { session_->status.set(why, kRed); });
}

// The desktop may have given the hotkeys other keys than the captions say: the tooltips
// tell which.
void Form1::showTriggers() {
    const auto tip = [this](SkinButton* button, int id, const QString& what) {
        const QString key = services_.hotkeys.trigger(id);
        button->setToolTip(key.isEmpty() ? QString() : what + QStringLiteral(": ") + key);
    };
    tip(SkinButton1, kHotkeyRecord, QStringLiteral("Record"));
    tip(SkinButton4, kHotkeyPause, QStringLiteral("Pause / Resume"));
    tip(SkinButton2, kHotkeyStop, QStringLiteral("Stop and save"));
}

void Form1::raiseWindow() {
    // On a first run the wizard is the program's window.
    QWidget* shown = form2_ && form2_->isVisible() ? static_cast<QWidget*>(form2_.data()) : this;
    shown->showNormal();
    shown->raise();
    shown->activateWindow();
}

Form1::~Form1() {
    // The automation outlives this window; its watch would call into nothing.
    endMailWatch();
    delete form2_.data();
    delete form3_.data();
    delete aboutme_.data();
    delete preferences_.data();
    delete lame_.data();
}

void Form1::connectSession() {
    Session& s = *session_;
    connect(&s.status, &StatusLine::changed, this, &Form1::showStatus);
    connect(&s.recorder, &Recorder::phaseChanged, this, [this](Recorder::Phase phase) {
        if (phase == Recorder::Phase::Recording)
            Timer2.start();
        else
            Timer2.stop();
        // The hourglass stands for the whole save, conversion included.
        const bool saving = phase == Recorder::Phase::Saving;
        if (saving && !QApplication::overrideCursor())
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else if (!saving && QApplication::overrideCursor())
            QApplication::restoreOverrideCursor();
        showPhase();
    });
    connect(&s.converter(), &Converter::busyChanged, this, &Form1::showPhase);
    connect(&s.recorder, &Recorder::clockChanged, this,
            [this](const QString& text) { SkinPanel1->setText(text); });
    connect(&s.settings, &Settings::formatAnnounced, this,
            [this](const RecordingFormat& f) { SkinPanel1->setText(formatCaption(f)); });
    connect(&s.meter, &InputMeter::levelChanged, SkinMeter1, &SkinMeter::setLevel);
    connect(&s, &Session::inputDescribed, this, [this](const QString& input) {
        SkinPanel1->setToolTip(input.isEmpty() ? QString()
                                               : QStringLiteral("Recording from: ") + input);
    });
    connect(&s.volume, &VolumeControl::loaded, this, [this](const VolumeRange& range, int volume) {
        SkinScrollBar1->setMinimum(range[0]);
        SkinScrollBar1->setMaximum(range[1]);
        // Steps come from the values the slider holds, read back, summed in 64 bits so that
        // a wide range cannot overflow.
        const qint64 sum = qint64(SkinScrollBar1->minimum()) + SkinScrollBar1->maximum();
        SkinScrollBar1->setSmallStep(int(sum / 100));
        SkinScrollBar1->setLargeStep(int(sum / 10));
        SkinScrollBar1->setPosition(volume);
        showVolume();
    });
}

void Form1::Form_Load() {
    Common.Filter = QStringLiteral("Wave Files(*.wav)|*.wav");
    Recorder& recorder = session_->recorder;
    recorder.reloadOutputPath();
    SkinForm1->setSkinFile(session_->settings.appFile(QStringLiteral("skin/green.skn")));
    skins();
    session_->status.setText(QStringLiteral("Please read help files before starting program."));

    services_.hotkeys.registerHotKey(kHotkeyRecord, 0x78);
    services_.hotkeys.registerHotKey(kHotkeyPause, 0x79);
    services_.hotkeys.registerHotKey(kHotkeyStop, 0x7A);
    pumpStopped_ = false;

    if (session_->settings.firstRun()) {
        recorder.setOutputPath(session_->settings.defaultSavePosition());
        form2()->show();
        return;
    }
    show();
    // The mixer and the engine answer on their own thread; the slider follows when they do.
    session_->loadConfiguration();
    emit configured();
}

void Form1::HotkeyPump(int id) {
    // Only the pump acts on hotkeys, and only between handlers.
    if (session_->handlerRunning() || pumpStopped_)
        return;
    HandlerScope scope;
    if (SkinButton1->isEnabled() && id == kHotkeyRecord)
        SkinButton1_Click();
    if (SkinButton4->isEnabled() && id == kHotkeyPause)
        SkinButton4_Click();
    if (SkinButton2->isEnabled() && id == kHotkeyStop)
        SkinButton2_Click();
}

void Form1::closeEvent(QCloseEvent* event) {
    Form_Unload();
    event->accept();
}

void Form1::Exit_Click() {
    close();
    // A hidden window (first run) may not see a close event; the unload still runs once.
    Form_Unload();
}

void Form1::waitForEngine() {
    while (session_->recorder.waiting())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents |
                                        QEventLoop::ExcludeUserInputEvents);
}

void Form1::Form_Unload() {
    if (unloaded_)
        return;
    unloaded_ = true;
    HandlerScope scope;

    // A take that is starting or running is saved before the program ends.
    waitForEngine();
    if (session_->recorder.takeRunning()) {
        SkinButton2_Click();
        waitForEngine();
    }
    session_->playback.closePlaying();

    // Only windows that exist are unloaded: creating one just to destroy it would run
    // its start-up for nothing.
    if (form2_) {
        Form2* wizard = form2_.data();
        form2_.clear();
        wizard->close();
        wizard->deleteLater();
    }
    for (QWidget* window : std::initializer_list<QWidget*>{form3_, lame_, aboutme_, preferences_}) {
        if (window)
            window->close();
    }
    // The about box may be loaded hidden; closing it does not destroy it then.
    delete aboutme_.data();

    pumpStopped_ = true;
    emit pumpStopped();
    // A volume the mixer never told would be applied at the next start: possibly silence.
    if (session_->volume.known())
        session_->settings.writeVolume(SkinScrollBar1->position());
    services_.player.close(Getfilename());
    services_.hotkeys.unregisterHotKey(kHotkeyRecord);
    services_.hotkeys.unregisterHotKey(kHotkeyPause);
    services_.hotkeys.unregisterHotKey(kHotkeyStop);
}

int Form1::selectedRow() const {
    const QModelIndex index = List1->currentIndex();
    if (!index.isValid() || !List1->selectionModel()->isSelected(index))
        return -1;
    return index.row();
}

QString Form1::Getfilename() const {
    return session_->takes.path(selectedRow());
}

QString Form1::GetShortPath(const QString& path) {
    return shortPathName(path);
}

void Form1::showStatus(const QString& text, int colour) {
    QPalette palette = Text1->palette();
    palette.setColor(QPalette::Text, statusTextColour(colour));
    Text1->setPalette(palette);
    Text1->setText(text);
    // A long text shows its start, where the file name and the reason are; all of it in the
    // tooltip.
    Text1->setCursorPosition(0);
    Text1->setToolTip(text);
}

void Form1::showPhase() {
    using Phase = Recorder::Phase;
    const Phase phase = session_->recorder.phase();
    const bool running = phase == Phase::Recording || phase == Phase::Paused;
    // Record waits for a conversion to end; a take may go on while one runs.
    SkinButton1->setEnabled(phase == Phase::Idle && !session_->converter().busy());
    SkinButton4->setEnabled(running);
    SkinButton2->setEnabled(running);
    SkinButton4->setText(phase == Phase::Paused ? QStringLiteral("Resume F10")
                                                : QStringLiteral("Pause F10"));
}

void Form1::showVolume() {
    SkinLabel5->setText(QStringLiteral("Recording volume setting :") +
                        QString::number(SkinScrollBar1->position()));
}

Form2* Form1::form2() {
    if (!form2_) {
        Session& s = *session_;
        form2_ = new Form2(s.wizard, s.settings.appDir(), windowIcon());
        // The wizard's Done hands over to the main window; closing it ends the program.
        connect(form2_, &Form2::handedOver, this, [this] {
            show();
            emit configured();
        });
        connect(form2_, &Form2::closed, this, [this] { Exit_Click(); });
        form2_->Form_Load();
    }
    return form2_.data();
}

void Form1::soundCard_Click() {
    Session& s = *session_;
    if (s.recorder.phase() != Recorder::Phase::Idle) {
        s.status.set(QStringLiteral("Stop the recording before setting up the sound card."), kRed);
        return;
    }
    if (form2_ && form2_->isVisible()) {
        form2_->raise();
        form2_->activateWindow();
        return;
    }
    delete form2_.data(); // the first run's, hidden since its Done
    s.wizard.restart();
    form2_ = new Form2(s.wizard, s.settings.appDir(), windowIcon());
    form2_->setAttribute(Qt::WA_DeleteOnClose);
    // Done has put the chosen source in use; closing changes nothing.
    connect(form2_, &Form2::handedOver, form2_, &QObject::deleteLater);
    connect(form2_, &Form2::closed, this, [this] { session_->wizard.cancel(); });
    form2_->Form_Load();
    form2_->show();
}

Preferences* Form1::preferences() {
    if (!preferences_) {
        preferences_ = new Preferences(session_->settings, windowIcon());
        preferences_->Form_Load();
    }
    return preferences_.data();
}

lame* Form1::lameDialog() {
    if (!lame_) {
        lame_ = new lame(session_->settings, windowIcon());
        lame_->Form_Load();
    }
    return lame_.data();
}

Form3* Form1::form3() {
    if (!form3_)
        form3_ = new Form3(*services_.desktop);
    return form3_.data();
}

aboutme* Form1::aboutBox() {
    if (!aboutme_)
        aboutme_ = new aboutme(*services_.desktop);
    return aboutme_.data();
}

} // namespace tw
