// Record, pause, stop and the clock of the main window, with a fake engine.
#include "app/Form1.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakePlayer.h"
#include "settings/Preferences.h"
#include "skins/SkinControls.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;

class TestRecording : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    FakeAudioLibraries audio;
    FakeHotkeys hotkeys;
    FakePlayer player;
    std::unique_ptr<Form1> form;
    bool engineWrites = true;
    QStringList saved;

    QString path(const QString& name) const { return dir->path() + "/" + name; }

    void start(const QByteArray& config) {
        QFile f(path("Config.ini"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(config);
        f.close();
        form = std::make_unique<Form1>(Services{dir->path(), audio, hotkeys, player});
        form->Form_Load();
    }
    QStringList lines() const {
        QStringList out;
        for (int i = 0; i < form->List1->count(); ++i)
            out << form->List1->item(i)->text();
        return out;
    }
    QList<int32_t> lastCall(int mode) const {
        for (auto it = audio.calls.crbegin(); it != audio.calls.crend(); ++it)
            if (it->function == "Wavelark" && it->args.value(0) == mode)
                return it->args;
        return {};
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        audio = FakeAudioLibraries();
        saved.clear();
        engineWrites = true;
        audio.onWavelark = [this](const QByteArray& file, int32_t mode, int32_t, int32_t, int32_t,
                                  int32_t) -> int32_t {
            if (mode != 0)
                return 0;
            if (!engineWrites)
                return -1;
            QFile out(QString::fromLocal8Bit(file));
            if (!out.open(QIODevice::WriteOnly))
                return -1;
            out.write("RIFF");
            saved << QString::fromLocal8Bit(file);
            return 0;
        };
    }
    void cleanup() {
        form.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void aTakeFromRecordToItsListLine() {
        start("[Config]\nRecording Source=1\nChannels=2\nBitsPerSample=16\n"
              "SamplesPerSec=44100\nSave Position=" +
              path("Rec.wav").toUtf8() + "\n");
        form->SkinButton1->click();
        QCOMPARE(lastCall(1), QList<int32_t>({1, 2, 44100, 16, 0}));
        QVERIFY(!form->SkinButton1->isEnabled());
        QVERIFY(form->SkinButton2->isEnabled() && form->SkinButton4->isEnabled());
        QVERIFY(form->Timer2.isActive());
        QCOMPARE(form->Text1->text(), QString("The Program is Recording now........"));
        QCOMPARE(form->statusColour(), kBlue);
        QCOMPARE(form->MbPerSecond, QString("0.168")); // 10.094 MB/min from Config.ini

        // 75.5 s: the clock has ticked 75 times and last showed 74 s.
        for (int i = 0; i < 75; ++i)
            form->Timer2_Timer();
        QCOMPARE(form->SkinPanel1->text(), QString("12.432 MB 1:14"));
        form->SkinButton2->click();
        QCOMPARE(saved, QStringList{path("Rec.wav")});
        QCOMPARE(lines(), QStringList{"01     01:14     " + path("Rec.wav")});
        QCOMPARE(form->Text1->text(),
                 QString("Recording is over,Wave file has saved in appointed path"));
        QCOMPARE(form->statusColour(), kRed);
        QVERIFY(form->SkinButton1->isEnabled());
        QVERIFY(!form->SkinButton2->isEnabled() && !form->SkinButton4->isEnabled());
        QVERIFY(!form->Timer2.isActive());
        QCOMPARE(form->SkinPanel1->text(), QString("12.432 MB 1:14")); // Stop leaves it
        QCOMPARE(form->TakeCounter, 1);
        QVERIFY(!QApplication::overrideCursor());
    }

    void pauseKeepsTheClockStill() {
        start("[Config]\nChannels=1\nBitsPerSample=8\nSamplesPerSec=8000\n");
        form->SkinButton1_Click();
        form->Timer2_Timer();
        form->Timer2_Timer();
        form->SkinButton4_Click();
        QCOMPARE(form->SkinButton4->text(), QString("Resume F10"));
        QCOMPARE(form->Text1->text(),
                 QString("Recording Paused,Press Resume\\Stop to continue\\over"));
        QCOMPARE(form->statusColour(), kRed);
        QVERIFY(!form->Timer2.isActive());
        QCOMPARE(form->ElapsedSeconds, 2);
        QCOMPARE(lastCall(2), QList<int32_t>({2, 0, 0, 0, 0}));
        form->SkinButton4_Click();
        QCOMPARE(form->SkinButton4->text(), QString("Pause F10"));
        QCOMPARE(form->statusColour(), kBlue);
        QVERIFY(form->Timer2.isActive());
        QCOMPARE(lastCall(3), QList<int32_t>({3, 0, 0, 0, 0}));
        QCOMPARE(form->ElapsedSeconds, 2);
    }

    void takesAreNumberedAndNeverOverwrite() {
        start("[Config]\nChannels=1\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=" +
              path("rec.wav").toUtf8() + "\n");
        for (int i = 0; i < 3; ++i) {
            form->SkinButton1_Click();
            form->SkinButton2_Click();
        }
        QCOMPARE(saved, QStringList({path("rec.wav"), path("rec_1.wav"), path("rec_2.wav")}));
        QCOMPARE(lines().size(), 3);
        QVERIFY(lines()[2].startsWith("03     00:00     "));

        // A new run (the counter back at 0) finds rec.wav … rec_2.wav taken.
        saved.clear();
        form->TakeCounter = 0;
        QFile::remove(path("rec_1.wav"));
        form->SkinButton1_Click();
        form->SkinButton2_Click();
        form->SkinButton1_Click();
        form->SkinButton2_Click();
        QCOMPARE(saved, QStringList({path("rec_1.wav"), path("rec_3.wav")}));
        QCOMPARE(form->TakeCounter, 4);
        QCOMPARE(form->OutputPath, path("rec.wav")); // reloaded after each save
    }

    void takeStoppedBeforeTheFirstTickLastsNoTime() {
        start("[Config]\nChannels=1\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=" +
              path("a.wav").toUtf8() + "\n");
        form->SkinButton1_Click();
        for (int i = 0; i < 10; ++i)
            form->Timer2_Timer();
        form->SkinButton2_Click();
        form->SkinButton1_Click();
        form->SkinButton2_Click();
        QCOMPARE(lines(), QStringList({"01     00:09     " + path("a.wav"),
                                       "02     00:00     " + path("a_1.wav")}));
    }

    void hotkeysFollowTheRecorderState() {
        start("[Config]\nChannels=1\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=" +
              path("h.wav").toUtf8() + "\n");
        hotkeys.press(kHotkeyPause);
        hotkeys.press(kHotkeyStop);
        QVERIFY(lastCall(2).isEmpty() && lastCall(0).isEmpty());
        hotkeys.press(kHotkeyRecord);
        QCOMPARE(lastCall(1).size(), 5);
        const int before = audio.calls.size();
        hotkeys.press(kHotkeyRecord); // already recording
        QCOMPARE(audio.calls.size(), before);
        hotkeys.press(kHotkeyPause);
        QCOMPARE(form->SkinButton4->text(), QString("Resume F10"));
        hotkeys.press(kHotkeyStop);
        QCOMPARE(saved, QStringList{path("h.wav")});
    }

    void aFailedSaveIsReportedAndListsNothing() {
        start("[Config]\nChannels=1\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=" +
              path("f.wav").toUtf8() + "\n");
        engineWrites = false;
        form->SkinButton1_Click();
        form->SkinButton2_Click();
        QVERIFY(lines().isEmpty());
        QCOMPARE(form->statusColour(), kRed);
        QVERIFY(form->Text1->text().contains(path("f.wav")));
        QVERIFY(form->Text1->text().contains("could not be saved"));
        QVERIFY(form->SkinButton1->isEnabled() && !form->SkinButton2->isEnabled());
        QVERIFY(!QApplication::overrideCursor());
        QCOMPARE(form->NextEntryNumber, 1);

        engineWrites = true; // the next take goes where this one should have
        form->SkinButton1_Click();
        form->SkinButton2_Click();
        QCOMPARE(saved, QStringList{path("f.wav")});
    }

    void aRefusedStartStaysIdle() {
        start("[Config]\n"); // 0 channels, 0 Hz, 0 bits
        audio.onWavelark = [](const QByteArray&, int32_t mode, int32_t, int32_t, int32_t, int32_t) {
            return mode == 1 ? -1 : 0;
        };
        form->SkinButton1_Click();
        QVERIFY(form->SkinButton1->isEnabled());
        QVERIFY(!form->Timer2.isActive());
        QCOMPARE(form->statusColour(), kRed);
        QCOMPARE(form->Text1->text(),
                 QString("Recording could not start: the format 0 channels, 0 Hz, 0 bits is not "
                         "possible; choose one in Options, Preferences..."));
        audio.onWavelark = [](const QByteArray&, int32_t mode, int32_t, int32_t, int32_t, int32_t) {
            return mode == 1 ? -2 : 0;
        };
        form->SkinButton1_Click();
        QCOMPARE(form->Text1->text(),
                 QString("Recording could not start: no sound server answers."));
        QVERIFY(form->SkinButton1->isEnabled());
    }

    void stopDuringStopsOwnYieldIsIgnored() {
        start("[Config]\nChannels=1\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=" +
              path("y.wav").toUtf8() + "\n");
        form->SkinButton1_Click();
        // A click queued for the yield inside Stop.
        QMetaObject::invokeMethod(form->SkinButton2, "click", Qt::QueuedConnection);
        QMetaObject::invokeMethod(form->SkinButton4, "click", Qt::QueuedConnection);
        form->SkinButton2_Click();
        QCOMPARE(saved, QStringList{path("y.wav")});
        QCOMPARE(lines().size(), 1);
        QCOMPARE(form->SkinButton4->text(), QString("Pause F10"));
    }

    void countersGoPast32767() {
        start("[Config]\nChannels=1\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=" +
              path("n.wav").toUtf8() + "\n");
        form->TakeCounter = 32767;
        form->NextEntryNumber = 32767;
        form->SkinButton1_Click();
        form->SkinButton2_Click();
        form->SkinButton1_Click();
        form->SkinButton2_Click();
        QCOMPARE(saved, QStringList({path("n_32767.wav"), path("n_32768.wav")}));
        QVERIFY(lines()[1].startsWith("32768     00:00     "));
        form->List1->setCurrentRow(1);
        QCOMPARE(form->Getfilename(), path("n_32768.wav"));
    }

    void volumeSliderShowsAndSetsThePosition() {
        start("[Config]\nRecording Source=3\n");
        audio.calls.clear();
        form->SkinScrollBar1->triggerAction(QAbstractSlider::SliderPageStepAdd);
        const int pos = form->SkinScrollBar1->position();
        QVERIFY(pos > 0);
        QCOMPARE(form->SkinLabel5->text(), "Recording volume setting :" + QString::number(pos));
        QCOMPARE(audio.calls.last().args, QList<int32_t>({2, pos}));
    }
};

QTEST_MAIN(TestRecording)
#include "test_recording.moc"
