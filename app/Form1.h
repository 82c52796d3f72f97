#pragma once

#include "app/Services.h"
#include "app/SharedState.h"
#include "settings/ConfigFile.h"

#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>

class QAction;
class QLineEdit;
class QListWidget;
class QMenu;

namespace tw {

class Form2;
class Preferences;
class lame;
class aboutme;
class DOSOutputs;
class IMessageBox;
class Form3;
class SkinButton;
class SkinForm;
class SkinLabel;
class SkinPanel;
class SkinScrollBar;

// A file dialog's remembered state: the file name it holds and its filter.
struct FileDialogState {
    QString FileName;
    QString Filter;
};

// Status colours, kept as the design's 0x00BBGGRR values.
inline constexpr int kBlue = 0xFF0000;
inline constexpr int kRed = 0x0000FF;

inline constexpr int kHotkeyRecord = 0xBFFF;
inline constexpr int kHotkeyPause = 0;
inline constexpr int kHotkeyStop = 160;

// The main window. Its start-up runs in Form_Load; the Qt event loop that follows is the
// hotkey pump; closing the window runs Form_Unload once.
class Form1 : public QMainWindow {
    Q_OBJECT
  public:
    explicit Form1(const Services& services, QWidget* parent = nullptr);
    ~Form1() override;

    // Start-up. Returns when the pump is ready to run (the caller runs the event loop).
    void Form_Load();
    void Form_Unload();
    void Exit_Click();

    void Savefile();
    QString Getfilename() const;
    static QString GetShortPath(const QString& path);

    void skins();
    void green_Click();
    void red_Click();
    void blue_Click();

    // Record, pause/resume, stop and save. Virtual so that tests can watch what the
    // hotkey pump runs.
    virtual void SkinButton1_Click();
    virtual void SkinButton4_Click();
    virtual void SkinButton2_Click();

    // The recording clock and the volume slider.
    void Timer2_Timer();
    void Mmss();
    void SkinScrollBar1_Change();
    // The volume label shows the slider's position, also when the program set it.
    void showVolume();

    // The recordings list and playback.
    void List1_DblClick();
    QString Status(const QString& file);
    void Timer1_Timer();
    void List1_MouseDown(Qt::MouseButton button, const QPoint& position);
    void Stop_Click();
    void Delist_Click();
    void output_Click();
    void Clear_Click();
    // Shows the context menu; modal. Tests replace it.
    std::function<void(QMenu*)> showPopup;

    // MP3 conversion.
    void Converting(const QString& inputf, const QString& outputf);
    void objDOS_ReceiveOutputs(const QString& CommandOutputs);
    void Convert_Click();
    void Wavtomp3_Click();
    bool converting() const { return converting_; }

    // The remaining menu commands and mail to friends.
    void position_Click();
    void input_Click();
    void location_Click();
    void about_Click();
    void Homepage_Click();
    void Larktake_Click();
    void send_Click();
    void Timer3_Timer();
    static QString mailAddress();

    // A hotkey as the pump sees it: acted on only while no handler runs and only when
    // its button is enabled.
    void HotkeyPump(int id);

    // Engine and mixer calls that report an unloadable library on the status line.
    int32_t engine(const QByteArray& file, int32_t mode, int32_t a, int32_t b, int32_t c,
                   int32_t d);
    int32_t mixer(int32_t source, int32_t volume);
    IPlayer& player() { return services_.player; }
    // The slider's range from VolumeRange and its steps from that range.
    void prepareVolumeSlider();

    // Sets the status line and its colour (0x00BBGGRR).
    void setStatus(const QString& text, int colour);
    int statusColour() const { return statusColour_; }

    SharedState shared;
    ConfigFile config;
    QString appDir;

    // Controls, under their design names.
    SkinForm* SkinForm1 = nullptr;
    SkinLabel* SkinLabel2 = nullptr;
    QListWidget* List1 = nullptr;
    SkinButton* SkinButton1 = nullptr;
    SkinButton* SkinButton4 = nullptr;
    SkinButton* SkinButton2 = nullptr;
    QLineEdit* Text1 = nullptr;
    SkinScrollBar* SkinScrollBar1 = nullptr;
    SkinLabel* SkinLabel5 = nullptr;
    SkinPanel* SkinPanel1 = nullptr;
    FileDialogState Common, Common2, Common3;
    QTimer Timer1, Timer2, Timer3;

    // Menus.
    QMenu* file = nullptr;
    QAction *position = nullptr, *input = nullptr, *Location = nullptr, *Exit = nullptr;
    QMenu* mOptions = nullptr;
    QAction *mPreferences = nullptr, *Clear = nullptr;
    QMenu* skin = nullptr;
    QAction *green = nullptr, *red = nullptr, *blue = nullptr;
    QMenu* encoder = nullptr;
    QAction *mp3otion = nullptr, *Wavtomp3 = nullptr;
    QMenu* help = nullptr;
    QAction *about = nullptr, *Homepage = nullptr, *Larktake = nullptr;
    QMenu* Popup = nullptr;
    QAction *Stop = nullptr, *separate1 = nullptr, *Delist = nullptr, *output = nullptr,
            *Convert = nullptr, *separate = nullptr, *send = nullptr, *separate3 = nullptr,
            *Ccancel = nullptr;

    // Window state.
    QString& OutputPath = Common.FileName;
    int NextEntryNumber = 1;
    int TakeCounter = 0;
    QString PlayingFile;
    int32_t ElapsedSeconds = 0;
    QString MbPerSecond;
    QString MinutesText;
    QString SecondsText;
    int MailWaitMs = 0;
    std::unique_ptr<DOSOutputs> objDOS;

    // Windows created on first reference (hidden until shown) and unloaded on close.
    Form2* form2();
    bool hasForm2() const { return !form2_.isNull(); }
    Preferences* preferences();
    bool hasPreferences() const { return !preferences_.isNull(); }
    void mPreferences_Click();
    lame* lameDialog();
    bool hasLameDialog() const { return !lame_.isNull(); }
    void mp3otion_Click();
    Form3* form3();
    bool hasForm3() const { return !form3_.isNull(); }
    aboutme* aboutBox();
    bool hasAboutBox() const { return !aboutme_.isNull(); }

  signals:
    // The pump has been told to stop: the event loop should end.
    void pumpStopped();

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void buildControls();
    void buildMenus();
    void chooseSkin(QAction* chosen, QAction* firstOther, QAction* secondOther,
                    const QString& file);

    QString takeFileName(int number) const;
    void addListLine(const QString& path);
    void removeSelectedLine();

    Services services_;
    bool saving_ = false; // inside Stop, between its yield and the engine's answer
    QPointer<Form2> form2_;
    QPointer<Preferences> preferences_;
    QPointer<lame> lame_;
    std::unique_ptr<IMessageBox> messageBox_;
    QPointer<Form3> form3_;
    QPointer<aboutme> aboutme_;
    bool converting_ = false;
    bool conversionEnded_ = false;
    // Whether a service the commands need is there; says so on the status line if not.
    bool available(const void* service, const QString& what);
    int statusColour_ = 0;
    bool unloaded_ = false;
};

} // namespace tw
