#include "settings/Form2.h"

#include "app/Form1.h"
#include "app/Yield.h"
#include "platform/IPlayer.h"
#include "skins/Layout.h"
#include "skins/SkinControls.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

namespace tw {

namespace {
const QString kSection = QStringLiteral("Config");
const QString kPreparing =
    QStringLiteral("Program is preparing to configure your sound card settings.");
const QString kRecorded = QStringLiteral("Press Next button, you should hear the same TEST chime "
                                         "AGAIN or you will not hear any voice.");
const QString kConfirm = QStringLiteral("Have you heard the TEST chime AGAIN? If you haven't "
                                        "heard any voice, press NEXT button to continue.");
const QString kNoSource = QStringLiteral("Your sound card cannot support recording function.");
const QString kSaved =
    QStringLiteral("Sound card settings Completed,the information has be saved!");
} // namespace

Form2::Form2(Form1& main) : QWidget(nullptr), main_(main) {
    setWindowTitle(QStringLiteral("Sound Card Setting"));
    setWindowIcon(main.windowIcon());
    setFixedSize(5130 / 15, 1740 / 15);
    SkinForm1 = new SkinForm(this);

    const QFont font = timesFont(9.75);
    SkinLabel1 = new SkinLabel(this);
    SkinLabel1->setGeometry(twips(360, 360, 4455, 735));
    SkinLabel1->setWordWrap(true);
    SkinLabel1->setFont(font);
    SkinLabel1->setText(kPreparing);

    SkinButton1 = new SkinButton(this);
    // A little narrower than laid out, so that "next" and "heard" do not touch.
    SkinButton1->setGeometry(twips(3120, 1320, 780, 255));
    SkinButton1->setText(QStringLiteral("next"));
    SkinButton1->setFont(font);
    SkinButton2 = new SkinButton(this);
    SkinButton2->setGeometry(twips(3960, 1320, 855, 255));
    SkinButton2->setText(QStringLiteral("heard"));
    SkinButton2->setFont(font);
    SkinButton2->setVisible(false);

    connect(SkinButton1, &SkinButton::Click, this, [this] { SkinButton1_Click(); });
    connect(SkinButton2, &SkinButton::Click, this, [this] { SkinButton2_Click(); });
}

void Form2::Form_Load() {
    SkinForm1->setSkinFile(main_.appDir + QStringLiteral("/skin/green.skn"));
    SkinLabel1->applySkin(*SkinForm1);
    SkinButton1->applySkin(*SkinForm1);
    SkinButton2->applySkin(*SkinForm1);
}

QString Form2::testRecordingPath() {
    return QDir::tempPath() + QStringLiteral("/Wavelark.wav");
}

QString Form2::detectedText() const {
    return QStringLiteral("Program has detected   ") + QString::number(SourceCount) +
           QStringLiteral("   usable recording sources.");
}

QString Form2::announceText() const {
    return QStringLiteral("Program will test NO.") + QString::number(TestNumber) +
           QStringLiteral(" recording source. Press the NEXT button, You will hear the TEST "
                          "chime.");
}

void Form2::playToEnd(const QString& path) {
    // The player plays in the background; waiting here with the window repainting keeps
    // the wizard alive on screen, and a bounded wait keeps a stuck server from hanging it.
    HandlerScope scope;
    IPlayer& player = main_.player();
    player.play(path);
    if (player.lastError().isEmpty()) {
        QDeadlineTimer deadline(60 * 1000);
        while (player.mode(path) == QStringLiteral("playing") && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
            QThread::msleep(10);
        }
    }
    player.close(path);
}

void Form2::SkinButton1_Click() {
    SkinButton2->setVisible(false);
    const QString step = SkinLabel1->text();
    busy_ = true;
    if (TestNumber == 0) {
        SourceCount = main_.engine(QByteArray(), 4, 0, 0, 0, 0);
        if (SourceCount < 0)
            SourceCount = 0; // an engine that cannot count has no usable source
        SkinLabel1->setText(detectedText());
        TestNumber = 1;
    } else if (step == detectedText()) {
        SkinLabel1->setText(announceText());
    } else if (step == announceText()) {
        SkinButton1->setEnabled(false);
        main_.engine(QByteArray(), 5, 0, 0, 0, TestNumber - 1);
        main_.engine(QByteArray(), 1, 1, 22050, 8, 0);
        playToEnd(main_.appDir + QStringLiteral("/test.wav"));
        main_.engine(testRecordingPath().toLocal8Bit(), 0, 0, 0, 0, 0);
        yieldToWindowSystem();
        SkinButton1->setEnabled(true);
        SkinLabel1->setText(kRecorded);
    } else if (step == kRecorded) {
        SkinButton1->setEnabled(false);
        playToEnd(testRecordingPath());
        SkinLabel1->setText(kConfirm);
        SkinButton1->setEnabled(true);
        SkinButton2->setVisible(true);
    } else if (step == kConfirm) {
        ++TestNumber;
        SkinLabel1->setText(announceText());
    } else if (step == kNoSource) {
        QFile::remove(testRecordingPath());
        SkinButton1->setEnabled(false);
    }
    if (TestNumber == SourceCount + 1)
        SkinLabel1->setText(kNoSource);
    busy_ = false;
    if (closePending_)
        close();
}

void Form2::SkinButton2_Click() {
    if (SkinButton2->text() == QStringLiteral("heard")) {
        yieldToWindowSystem();
        SkinButton2->setText(QStringLiteral("Done"));
        SkinButton1->setVisible(false);
        ConfigFile& config = main_.config;
        config.writeString(kSection, QStringLiteral("Recording Source"),
                           QString::number(TestNumber));
        config.writeString(kSection, QStringLiteral("Save Position"),
                           main_.appDir + QStringLiteral("/Larktake.wav"));
        config.writeString(kSection, QStringLiteral("Channels"), QStringLiteral("2"));
        config.writeString(kSection, QStringLiteral("BitsPerSample"), QStringLiteral("16"));
        config.writeString(kSection, QStringLiteral("SamplesPerSec"), QStringLiteral("22050"));
        SkinLabel1->setText(kSaved);
        QFile::remove(testRecordingPath());
        return;
    }

    SharedState& shared = main_.shared;
    shared.SourceIndex = TestNumber - 1;
    main_.mixer(shared.SourceIndex, 0);
    main_.prepareVolumeSlider();
    SkinScrollBar* slider = main_.SkinScrollBar1;
    const int mid = int((qint64(slider->minimum()) + slider->maximum()) / 2);
    main_.mixer(shared.SourceIndex, mid);
    slider->setPosition(mid);
    main_.showVolume();
    shared.RecordingFormat = {2, 22050, 16};
    main_.SkinPanel1->setText(formatCaption(shared.RecordingFormat));
    hide();
    main_.show();
}

void Form2::closeEvent(QCloseEvent* event) {
    if (busy_) {
        // Mid-test the engine and the player are in use; the close follows the step.
        closePending_ = true;
        event->ignore();
        return;
    }
    Form_QueryUnload();
    event->accept();
}

void Form2::Form_QueryUnload() {
    // The main window's own shutdown runs once however often this arrives.
    main_.Exit_Click();
}

} // namespace tw
