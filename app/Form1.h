#pragma once

#include "app/Services.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <memory>

class QAction;
class QLineEdit;
class QListView;
class QMenu;

namespace tw {

class Form2;
class InputsWindow;
class Preferences;
class TimerWindow;
class lame;
class aboutme;
class Form3;
class Session;
class SkinButton;
class SkinForm;
class SkinLabel;
class SkinPanel;
class SkinMeter;
class SkinScrollBar;

// A common dialog's state: the file chosen and the filter offered.
struct FileDialogState {
    QString FileName;
    QString Filter;
};

// The main window: a view over the application. Its start-up runs in Form_Load; closing the
// window runs Form_Unload, which asks the application to shut down. Handlers hand the user's
// commands to the application; the window shows what its signals say.
class Form1 : public QMainWindow {
    Q_OBJECT
  public:
    Form1(Session& session, const Services& services, QWidget* parent = nullptr);
    ~Form1() override;

    Session& session() { return session_; }

    // Start-up: the skin, then the first run's wizard or the window with the settings loaded.
    void Form_Load();
    void Form_Unload();
    void Exit_Click();

    QString Getfilename() const;
    static QString GetShortPath(const QString& path);

    void skins();
    void green_Click();
    void red_Click();
    void blue_Click();

    // Record, pause/resume, stop and save.
    void SkinButton1_Click();
    void SkinButton4_Click();
    void SkinButton2_Click();

    void SkinScrollBar1_Change();

    // The recordings list and playback.
    void List1_DblClick();
    void Timer1_Timer();
    void List1_MouseDown(Qt::MouseButton button, const QPoint& position);
    void Stop_Click();
    void Delist_Click();
    void output_Click();
    void Clear_Click();

    void Converting(const QString& inputf, const QString& outputf);
    void Convert_Click();
    void Wavtomp3_Click();

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

    // Another start of the program asked for it: the window in use comes to the front.
    void raiseWindow();

    // The controls, by the names the handlers use.
    SkinForm* SkinForm1 = nullptr;
    SkinLabel* SkinLabel2 = nullptr;
    QListView* List1 = nullptr;
    SkinButton* SkinButton1 = nullptr;
    SkinButton* SkinButton4 = nullptr;
    SkinButton* SkinButton2 = nullptr;
    QLineEdit* Text1 = nullptr;
    // Puts back the last file "Delete output file" moved to the trash.
    QAction* Undo = nullptr;
    SkinScrollBar* SkinScrollBar1 = nullptr;
    SkinLabel* SkinLabel5 = nullptr;
    SkinPanel* SkinPanel1 = nullptr;
    SkinMeter* SkinMeter1 = nullptr; // the input's level, between the list and the buttons
    FileDialogState Common, Common2, Common3;
    QTimer Timer1, Timer3;

    // Menus.
    QMenu* file = nullptr;
    QAction *position = nullptr, *input = nullptr, *Location = nullptr, *Exit = nullptr;
    QMenu* mOptions = nullptr;
    QAction *mPreferences = nullptr, *Clear = nullptr, *soundCard = nullptr;
    // The timer's window, and voice activation's switch (checked while it is armed).
    QAction *mTimer = nullptr, *mVoice = nullptr;
    QAction* mInputs = nullptr; // Options > Inputs...
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
    // The list's line to each format the program makes itself ("Convert to" ▸ FLAC, ...).
    QMenu* ConvertTo = nullptr;

    // Windows created on first reference (hidden until shown) and unloaded on close.
    Form2* form2();
    bool hasForm2() const { return !form2_.isNull(); }
    Preferences* preferences();
    bool hasPreferences() const { return !preferences_.isNull(); }
    void mPreferences_Click();
    TimerWindow* timerWindow();
    bool hasTimerWindow() const { return !timerWindow_.isNull(); }
    void mTimer_Click();
    void mInputs_Click();
    InputsWindow* inputsWindow();
    // "Sound card setting...": the wizard again, while no take records.
    void soundCard_Click();
    lame* lameDialog();
    bool hasLameDialog() const { return !lame_.isNull(); }
    void mp3otion_Click();
    Form3* form3();
    bool hasForm3() const { return !form3_.isNull(); }
    aboutme* aboutBox();
    bool hasAboutBox() const { return !aboutme_.isNull(); }

  private:
    void showTriggers();

  protected:
    // Shows the context menu, modal, where the mouse is.
    virtual void showPopup(QMenu* menu);
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void buildControls();
    void buildMenus();
    void connectSession();
    void chooseSkin(QAction* chosen, QAction* firstOther, QAction* secondOther,
                    const QString& file);
    int selectedRow() const;
    // The current line, its playback stopped if it plays; -1 when there is none.
    int lineToDrop();
    void showStatus(const QString& text, int colour);
    // The buttons as the application's rule has them.
    void showCommands();
    void showVolume();
    void openWizard(Form2* wizard);
    // Whether a service the commands need is there; says so on the status line if not.
    bool available(const void* service, const QString& what);

    Session& session_;
    Services services_;
    std::unique_ptr<IFileDialogs> modalDialogs_;
    QPointer<Form2> form2_;
    QPointer<Preferences> preferences_;
    QPointer<InputsWindow> inputsWindow_;
    QPointer<TimerWindow> timerWindow_;
    QPointer<lame> lame_;
    QPointer<Form3> form3_;
    QPointer<aboutme> aboutme_;
    // The mail composer watch: on window-system changes while the display can tell of them
    // (Timer3 is then its time limit), on Timer3's slow ticks otherwise.
    void mailWatchTimeout();
    void endMailWatch();
    qint64 mailWaitMs_ = 0; // how long the mail composer has been watched for
    QElapsedTimer mailWatchClock_;
    bool watchingWindows_ = false;
    int mailActivateRetries_ = 0;
    QTimer mailActivateRetry_; // a found composer that could not be activated, once more
};

} // namespace tw
