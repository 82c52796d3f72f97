#include "app/Form1.h"

#include "app/Yield.h"
#include "dialogs/Form3.h"
#include "dialogs/aboutme.h"
#include "encoding/DOSOutputs.h"
#include "encoding/lame.h"
#include "platform/FileSystem.h"
#include "platform/IAudioLibraries.h"
#include "platform/IHotkeys.h"
#include "platform/IMessageBox.h"
#include "platform/IPlayer.h"
#include "settings/Form2.h"
#include "settings/Preferences.h"
#include "skins/SkinControls.h"

#include <QCloseEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QRegularExpression>

namespace tw {

namespace {
const QString kSection = QStringLiteral("Config");
const QString kRecordingText = QStringLiteral("The Program is Recording now........");
const QString kPausedText = QStringLiteral("Recording Paused,Press Resume\\Stop to continue\\over");
// The runner's messages are modal: while one is open a handler is running, so hotkeys
// wait. Without a message-box service the message goes to the status line.
class Form1MessageBox final : public IMessageBox {
  public:
    Form1MessageBox(Form1& form, IMessageBox* box) : form_(form), box_(box) {}
    void critical(const QString& text) override {
        if (!box_) {
            form_.setStatus(text, kRed);
            return;
        }
        HandlerScope scope;
        box_->critical(text);
    }

  private:
    Form1& form_;
    IMessageBox* box_;
};
} // namespace

Form1::Form1(const Services& services, QWidget* parent)
    : QMainWindow(parent), config(services.appDir + QStringLiteral("/Config.ini")),
      appDir(services.appDir), services_(services),
      messageBox_(std::make_unique<Form1MessageBox>(*this, services.messages)) {
    buildControls();
    buildMenus();
    connect(&services_.hotkeys, &IHotkeys::hotkey, this, &Form1::HotkeyPump);
}

Form1::~Form1() {
    delete form2_.data();
    delete form3_.data();
    delete aboutme_.data();
    delete preferences_.data();
    delete lame_.data();
}

void Form1::Form_Load() {
    objDOS = std::make_unique<DOSOutputs>(*messageBox_);
    connect(objDOS.get(), &DOSOutputs::ReceiveOutputs, this,
            [this](const QString& chunk) { objDOS_ReceiveOutputs(chunk); });
    // Repaint and serve the menus while the encoder is quiet.
    objDOS->setYieldHook([] { yieldToWindowSystem(); });
    shared.LameOptions = QStringLiteral(" -b 128 -m j");
    Common.Filter = QStringLiteral("Wave Files(*.wav)|*.wav");
    NextEntryNumber = 1;
    TakeCounter = 0;
    Savefile();
    SkinForm1->setSkinFile(appDir + QStringLiteral("/skin/green.skn"));
    skins();
    setStatus(QStringLiteral("Please read help files before starting program."), statusColour_);

    services_.hotkeys.registerHotKey(kHotkeyRecord, 0x78);
    services_.hotkeys.registerHotKey(kHotkeyPause, 0x79);
    services_.hotkeys.registerHotKey(kHotkeyStop, 0x7A);
    shared.HotkeyPumpStop = false;

    if (!config.exists()) {
        OutputPath = appDir + QStringLiteral("/Larktake.wav");
        form2()->show();
        return;
    }

    show();
    shared.SourceIndex = config.readInt(kSection, QStringLiteral("Recording Source"), -1) - 1;
    mixer(shared.SourceIndex, 0);
    prepareVolumeSlider();
    SkinScrollBar1->setPosition(config.readInt(kSection, QStringLiteral("Recording Volume"), 0));
    mixer(shared.SourceIndex, SkinScrollBar1->position());
    showVolume();
    engine(QByteArray(), 5, 0, 0, 0,
           config.readInt(kSection, QStringLiteral("Recording Source"), 0) - 1);
    shared.RecordingFormat.Channels = config.readInt(kSection, QStringLiteral("Channels"), 0);
    shared.RecordingFormat.BitsPerSample =
        config.readInt(kSection, QStringLiteral("BitsPerSample"), 0);
    shared.RecordingFormat.SamplesPerSec =
        config.readInt(kSection, QStringLiteral("SamplesPerSec"), 0);
    SkinPanel1->setText(formatCaption(shared.RecordingFormat));
}

void Form1::prepareVolumeSlider() {
    SkinScrollBar1->setMinimum(shared.VolumeRange[0]);
    SkinScrollBar1->setMaximum(shared.VolumeRange[1]);
    // Steps come from the values the slider holds, read back. The sum is taken in 64
    // bits so that a wide range cannot overflow.
    const qint64 sum = qint64(SkinScrollBar1->minimum()) + SkinScrollBar1->maximum();
    SkinScrollBar1->setSmallStep(int(sum / 100));
    SkinScrollBar1->setLargeStep(int(sum / 10));
}

void Form1::HotkeyPump(int id) {
    // Only the pump acts on hotkeys, and only between handlers.
    if (HandlerScope::active() || shared.HotkeyPumpStop)
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

void Form1::Form_Unload() {
    if (unloaded_)
        return;
    unloaded_ = true;
    HandlerScope scope;

    const QString status = Text1->text();
    if (status == kPausedText || status == kRecordingText)
        SkinButton2_Click();
    services_.player.close(PlayingFile);

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

    shared.HotkeyPumpStop = true;
    emit pumpStopped();
    config.writeString(kSection, QStringLiteral("Recording Volume"),
                       QString::number(SkinScrollBar1->position()));
    services_.player.close(Getfilename());
    services_.hotkeys.unregisterHotKey(kHotkeyRecord);
    services_.hotkeys.unregisterHotKey(kHotkeyPause);
    services_.hotkeys.unregisterHotKey(kHotkeyStop);
}

void Form1::Savefile() {
    QString value;
    const int count = config.readString(kSection, QStringLiteral("Save Position"),
                                        QStringLiteral("Default"), value, 255);
    OutputPath = value.left(count);
}

QString Form1::Getfilename() const {
    const QListWidgetItem* item = List1->currentItem();
    if (!item || !item->isSelected())
        return {};
    const QString line = item->text();
    // Number and duration are two digits wide until the 100th line or a 100-minute take;
    // the path always follows the second run of five spaces.
    static const QRegularExpression layout(QStringLiteral("^\\d+ {5}\\d+:\\d+ {5}"));
    const QRegularExpressionMatch match = layout.match(line);
    if (match.hasMatch())
        return line.mid(match.capturedLength());
    return line.mid(17);
}

QString Form1::GetShortPath(const QString& path) {
    return shortPathName(path);
}

void Form1::setStatus(const QString& text, int colour) {
    statusColour_ = colour;
    QPalette palette = Text1->palette();
    palette.setColor(QPalette::Text,
                     QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF));
    Text1->setPalette(palette);
    Text1->setText(text);
}

int32_t Form1::engine(const QByteArray& file, int32_t mode, int32_t a, int32_t b, int32_t c,
                      int32_t d) {
    const int32_t result = services_.audio.Wavelark(file, mode, a, b, c, d);
    if (result == IAudioLibraries::kNotLoaded)
        setStatus(services_.audio.loadError(), kRed);
    return result;
}

int32_t Form1::mixer(int32_t source, int32_t volume) {
    const int32_t result = services_.audio.Volume(source, volume, shared.VolumeRange);
    if (result == IAudioLibraries::kNotLoaded)
        setStatus(services_.audio.loadError(), kRed);
    return result;
}

Form2* Form1::form2() {
    if (!form2_) {
        form2_ = new Form2(*this);
        form2_->Form_Load();
    }
    return form2_.data();
}

Preferences* Form1::preferences() {
    if (!preferences_) {
        preferences_ = new Preferences(*this);
        preferences_->Form_Load();
    }
    return preferences_.data();
}

namespace {
void showWindow(QWidget* window) {
    window->show();
    window->raise();
    window->activateWindow();
}
} // namespace

void Form1::mPreferences_Click() {
    showWindow(preferences());
}

lame* Form1::lameDialog() {
    if (!lame_) {
        lame_ = new lame(*this);
        lame_->Form_Load();
    }
    return lame_.data();
}

void Form1::mp3otion_Click() {
    showWindow(lameDialog());
}

} // namespace tw
