#pragma once

#include <QWidget>

namespace tw {

class Form1;
class SkinButton;
class SkinForm;
class SkinLabel;

// The sound-card set-up wizard, shown instead of the main window on a first run. It finds
// the recording source that really records: for each source it records while the chime
// plays, plays the take back and asks whether the chime was heard again. Its step is the
// text its label shows. Closing it, for any reason, closes the main window and so ends
// the program.
class Form2 : public QWidget {
    Q_OBJECT
  public:
    explicit Form2(Form1& main);

    void Form_Load();
    void SkinButton1_Click(); // "next"
    void SkinButton2_Click(); // "heard", then "Done"

    // Where the test recording is kept.
    static QString testRecordingPath();

    int TestNumber = 0;
    int SourceCount = 0;

    SkinForm* SkinForm1 = nullptr;
    SkinLabel* SkinLabel1 = nullptr;
    SkinButton* SkinButton1 = nullptr;
    SkinButton* SkinButton2 = nullptr;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void Form_QueryUnload();
    // Plays a file to its end while the window keeps repainting; user input waits.
    void playToEnd(const QString& path);
    QString detectedText() const;
    QString announceText() const;

    Form1& main_;
    bool busy_ = false;         // inside a test or a playback
    bool closePending_ = false; // a close that arrived while busy
};

} // namespace tw
