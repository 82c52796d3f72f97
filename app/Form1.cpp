#include "app/Form1.h"

#include "app/HotkeyCommands.h"
#include "core/Session.h"
#include "dialogs/Form3.h"
#include "dialogs/TimerWindow.h"
#include "dialogs/aboutme.h"
#include "encoding/lame.h"
#include "platform/FileSystem.h"
#include "platform/IFileDialogs.h"
#include "platform/IHotkeys.h"
#include "platform/IPlayer.h"
#include "settings/Form2.h"
#include "settings/InputsWindow.h"
#include "settings/Preferences.h"
#include "skins/Skin.h"
#include "skins/SkinControls.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLineEdit>
#include <QListView>
#include <QSystemTrayIcon>
#include <cmath>

namespace tw {

namespace {
// A file dialog is modal and its caller acts on the answer: the recorder's commands wait.
class ModalFileDialogs final : public IFileDialogs {
  public:
    ModalFileDialogs(IFileDialogs& dialogs, Session& session)
        : dialogs_(dialogs), session_(session) {}
    std::optional<QString> save(const QString& fileName, const QString& filter) override {
        Session::Modal modal(session_);
        return dialogs_.save(fileName, filter);
    }
    std::optional<QString> open(const QString& filter) override {
        Session::Modal modal(session_);
        return dialogs_.open(filter);
    }

  private:
    IFileDialogs& dialogs_;
    Session& session_;
};
} // namespace

Form1::Form1(Session& session, const Services& services, QWidget* parent)
    : QMainWindow(parent), session_(session), services_(services) {
    if (services_.dialogs) {
        modalDialogs_ = std::make_unique<ModalFileDialogs>(*services_.dialogs, session_);
        services_.dialogs = modalDialogs_.get();
    }
    buildControls();
    buildMenus();
    connectSession();
    connect(&services_.hotkeys, &IHotkeys::triggersChanged, this, &Form1::showTriggers);
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
    delete timerWindow_.data();
    delete lame_.data();
}

void Form1::connectSession() {
    Session& s = session_;
    connect(&s.status, &StatusLine::changed, this, &Form1::showStatus);
    connect(&s.recorder, &Recorder::phaseChanged, this, [this](Recorder::Phase phase) {
        // The hourglass stands for the engine's save; a conversion runs in the background.
        const bool saving = phase == Recorder::Phase::Saving;
        if (saving && !QApplication::overrideCursor())
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else if (!saving && QApplication::overrideCursor())
            QApplication::restoreOverrideCursor();
    });
    connect(&s, &Session::commandsChanged, this, &Form1::showCommands);
    connect(&s.recorder, &Recorder::phaseChanged, this, [this] {
        SkinButton4->setText(session_.recorder.phase() == Recorder::Phase::Paused
                                 ? QStringLiteral("Resume F10")
                                 : QStringLiteral("Pause F10"));
    });
    connect(&s.recorder, &Recorder::clockChanged, this,
            [this](const QString& text) { SkinPanel1->setText(text); });
    connect(&s.settings, &Settings::formatAnnounced, this,
            [this](const RecordingFormat& f) { SkinPanel1->setText(formatCaption(f)); });
    connect(&s.meter, &InputMeter::levelChanged, SkinMeter1, &SkinMeter::setLevel);
    connect(&s.meter, &InputMeter::inputLevelChanged, SkinMeter1, &SkinMeter::setInputLevel);
    connect(&s.meter, &InputMeter::inputCountChanged, this, [this](int count) {
        SkinMeter1->setBarCount(count);
        SkinMeter1->setToolTip(count > 1 ? QStringLiteral("Each input's level while recording: "
                                                          "the first above, the second below")
                                         : QStringLiteral("The input's level while recording"));
    });
    // While voice activation waits, the meter marks the level that starts a take.
    const auto showVoiceStart = [this] {
        const VoiceTrigger& voice = session_.voice;
        SkinMeter1->setThreshold(voice.armed() ? std::pow(10.0, voice.thresholds().startDb / 20)
                                               : 0);
    };
    connect(&s.voice, &VoiceTrigger::armedChanged, this, showVoiceStart);
    connect(&s.voice, &VoiceTrigger::thresholdsChanged, this, showVoiceStart);
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
    SkinForm1->setSkinFile(session_.settings.appFile(QStringLiteral("skin/green.skn")));
    skins();
    session_.status.setText(QStringLiteral("Please read help files before starting program."));

    if (session_.settings.firstRun()) {
        session_.recorder.setOutputPath(session_.settings.defaultSavePosition());
        form2()->show();
        return;
    }
    show();
    // The mixer and the engine answer on their own thread; the slider follows when they do.
    session_.loadConfiguration();
}

void Form1::closeEvent(QCloseEvent* event) {
    // Kept in the tray, the program goes on (a take keeps recording) with its window put
    // away; Exit still ends the run. Without a tray there would be no way back to it.
    if (!session_.quitting() && session_.settings.keepInTray() &&
        QSystemTrayIcon::isSystemTrayAvailable()) {
        hide();
        event->ignore();
        return;
    }
    Form_Unload();
    event->accept();
}

void Form1::Exit_Click() {
    close();
    // A hidden window (first run) may not see a close event; the unload still runs once.
    Form_Unload();
}

void Form1::Form_Unload() {
    if (session_.quitting())
        return;
    // Only windows that exist are unloaded: creating one just to destroy it would run
    // its start-up for nothing.
    if (form2_) {
        Form2* wizard = form2_.data();
        form2_.clear();
        wizard->close();
        wizard->deleteLater();
    }
    for (QWidget* window :
         std::initializer_list<QWidget*>{form3_, lame_, aboutme_, preferences_, timerWindow_}) {
        if (window)
            window->close();
    }
    // The about box may be loaded hidden; closing it does not destroy it then.
    delete aboutme_.data();
    // A take that is starting or running is saved, a conversion stopped; the application
    // says when it is done.
    session_.quit();
    services_.player.close(Getfilename());
}

int Form1::selectedRow() const {
    const QModelIndex index = List1->currentIndex();
    if (!index.isValid() || !List1->selectionModel()->isSelected(index))
        return -1;
    return index.row();
}

QString Form1::Getfilename() const {
    return session_.takes.path(selectedRow());
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

void Form1::showCommands() {
    using Command = Session::Command;
    // A modal dialog or menu of this window disables nothing: it has the input meanwhile.
    if (session_.modalOpen())
        return;
    SkinButton1->setEnabled(session_.refusal(Command::Record).isEmpty());
    SkinButton4->setEnabled(session_.refusal(Command::Pause).isEmpty());
    SkinButton2->setEnabled(session_.refusal(Command::Stop).isEmpty());
}

void Form1::showVolume() {
    SkinLabel5->setText(QStringLiteral("Recording volume setting :") +
                        QString::number(SkinScrollBar1->position()));
}

Form2* Form1::form2() {
    if (!form2_) {
        session_.openSoundCardSetup(true);
        form2_ = new Form2(session_.wizard, session_.settings.appDir(), windowIcon());
        // The wizard's Done hands over to the main window; closing it ends the program.
        connect(form2_, &Form2::handedOver, this, [this] {
            session_.closeSoundCardSetup();
            show();
        });
        connect(form2_, &Form2::closed, this, [this] { Exit_Click(); });
        form2_->Form_Load();
    }
    return form2_.data();
}

void Form1::soundCard_Click() {
    if (form2_ && form2_->isVisible()) {
        form2_->raise();
        form2_->activateWindow();
        return;
    }
    // While it is open the wizard holds the recorder: no take starts from anywhere.
    if (!session_.openSoundCardSetup())
        return;
    delete form2_.data(); // the first run's, hidden since its Done
    form2_ = new Form2(session_.wizard, session_.settings.appDir(), windowIcon());
    form2_->setAttribute(Qt::WA_DeleteOnClose);
    // Done has put the chosen source in use; closing changes nothing.
    connect(form2_, &Form2::handedOver, form2_, &QObject::deleteLater);
    connect(form2_, &QObject::destroyed, &session_, &Session::closeSoundCardSetup);
    form2_->Form_Load();
    form2_->show();
}

TimerWindow* Form1::timerWindow() {
    if (!timerWindow_)
        timerWindow_ = new TimerWindow(session_, windowIcon());
    return timerWindow_.data();
}

InputsWindow* Form1::inputsWindow() {
    if (!inputsWindow_) {
        inputsWindow_ = new InputsWindow(session_, windowIcon());
        inputsWindow_->Form_Load();
    }
    return inputsWindow_.data();
}

Preferences* Form1::preferences() {
    if (!preferences_) {
        preferences_ = new Preferences(session_, windowIcon());
        preferences_->Form_Load();
    }
    return preferences_.data();
}

lame* Form1::lameDialog() {
    if (!lame_) {
        lame_ = new lame(session_.settings, windowIcon());
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
