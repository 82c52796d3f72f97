// The main window's start-up, hotkey pump and shutdown, with fakes.
#include "app/Form1.h"
#include "app/Yield.h"
#include "platform/AudioLibraries.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakePlayer.h"
#include "platform/FileSystem.h"
#include "settings/Form2.h"
#include "skins/SkinControls.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;

namespace {

// Counts what the pump runs; the real handlers arrive with the recorder.
class WatchedForm1 : public Form1 {
  public:
    using Form1::Form1;
    void SkinButton1_Click() override {
        ran << "record";
        if (onRecord)
            onRecord();
    }
    void SkinButton4_Click() override { ran << "pause"; }
    void SkinButton2_Click() override { ran << "stop"; }
    QStringList ran;
    std::function<void()> onRecord;
};

QString readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll());
}

void writeAll(const QString& path, const QByteArray& text) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
}

QStringList callLog(const FakeAudioLibraries& audio) {
    QStringList out;
    for (const auto& c : audio.calls) {
        QStringList args;
        for (int v : c.args)
            args << QString::number(v);
        out << c.function + "(" + QString::fromUtf8(c.file) + ";" + args.join(',') + ")";
    }
    return out;
}

} // namespace

class TestForm1 : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    FakeAudioLibraries audio;
    FakeHotkeys hotkeys;
    FakePlayer player;
    std::unique_ptr<WatchedForm1> form;

    QString ini() const { return dir.path() + "/Config.ini"; }
    void make() {
        form = std::make_unique<WatchedForm1>(Services{dir.path(), audio, hotkeys, player});
    }

  private slots:
    void init() {
        QVERIFY(dir.isValid());
        QFile::remove(ini());
        audio = FakeAudioLibraries();
        hotkeys.registered.clear();
        hotkeys.log.clear();
        player.log.clear();
        // The shipped skins, so that the window is dressed as the program dresses it.
        QDir().mkpath(dir.path() + "/skin");
        for (const char* name : {"green.skn", "red.skn", "blue.skn"}) {
            QFile::remove(dir.path() + "/skin/" + name);
            QFile::copy(qEnvironmentVariable("TW_APPDIR") + "/skin/" + name,
                        dir.path() + "/skin/" + name);
        }
    }
    void cleanup() { form.reset(); }

    void startUpWithFullConfig() {
        writeAll(ini(),
                 "[Config]\nRecording Source=2\nSave Position=/music/rec.wav\n"
                 "Channels=2\nBitsPerSample=16\nSamplesPerSec=44100\nRecording Volume=30000\n");
        const QString before = readAll(ini());
        audio.volumeRange = {0, 65536};
        make();
        form->Form_Load();

        QCOMPARE(callLog(audio),
                 QStringList({"Volume(;1,0)", "Volume(;1,30000)", "Wavelark(;5,0,0,0,1)"}));
        QCOMPARE(form->shared.SourceIndex, 1);
        QCOMPARE(form->SkinScrollBar1->minimum(), 0);
        QCOMPARE(form->SkinScrollBar1->maximum(), 65536);
        QCOMPARE(form->SkinScrollBar1->singleStep(), 655);
        QCOMPARE(form->SkinScrollBar1->pageStep(), 6553);
        QCOMPARE(form->SkinScrollBar1->position(), 30000);
        QCOMPARE(form->SkinLabel5->text(), QString("Recording volume setting :30000"));
        QCOMPARE(form->SkinPanel1->text(), QString("44100  Hz   16  Bit"));
        QCOMPARE(form->shared.RecordingFormat.Channels, 2);
        QCOMPARE(form->OutputPath, QString("/music/rec.wav"));
        QCOMPARE(form->shared.LameOptions, QString(" -b 128 -m j"));
        QCOMPARE(form->Common.Filter, QString("Wave Files(*.wav)|*.wav"));
        QCOMPARE(form->Text1->text(), QString("Please read help files before starting program."));
        QVERIFY(form->isVisible());
        QVERIFY(!form->hasForm2());
        QCOMPARE(hotkeys.log,
                 QStringList({"register 49151 120", "register 0 121", "register 160 122"}));
        QCOMPARE(readAll(ini()), before); // start-up writes nothing
    }

    void startUpWithMissingKeys() {
        writeAll(ini(), "[Config]\nRecording Volume=5\n");
        audio.volumeRange = {-100, 301};
        make();
        form->Form_Load();
        QCOMPARE(callLog(audio),
                 QStringList({"Volume(;-2,0)", "Volume(;-2,5)", "Wavelark(;5,0,0,0,-1)"}));
        QCOMPARE(form->OutputPath, QString("Default"));
        QCOMPARE(form->SkinPanel1->text(), QString("0  Hz   0  Bit"));
        // Steps come from min + max of the range: (−100 + 301) / 100 and / 10.
        QCOMPARE(form->SkinScrollBar1->singleStep(), 2);
        QCOMPARE(form->SkinScrollBar1->pageStep(), 20);
        QVERIFY(form->isVisible());
    }

    void firstRunShowsOnlyTheWizard() {
        make();
        form->Form_Load();
        QVERIFY(audio.calls.isEmpty());
        QVERIFY(!form->isVisible());
        QVERIFY(form->hasForm2());
        QVERIFY(form->form2()->isVisible());
        QCOMPARE(form->form2()->windowTitle(), QString("Sound Card Setting"));
        QCOMPARE(form->OutputPath, dir.path() + "/Larktake.wav");
        QVERIFY(!QFile::exists(ini()));
        QCOMPARE(hotkeys.registered.size(), 3); // the pump listens on a first run too

        // Closing the wizard ends the program, once.
        QSignalSpy stopped(form.get(), &Form1::pumpStopped);
        form->form2()->close();
        QCOMPARE(stopped.count(), 1);
        QVERIFY(form->shared.HotkeyPumpStop);
        QVERIFY(hotkeys.registered.isEmpty());
        QCOMPARE(readAll(ini()), QString("[Config]\nRecording Volume=0\n"));
        form->close();
        QCOMPARE(stopped.count(), 1);
    }

    void shutdownWritesOnlyTheVolumeAndReleasesHotkeys() {
        writeAll(ini(), "; mine\n[Config]\nRecording Source=1\nChannels=1\n[Other]\nx=1\n");
        make();
        form->Form_Load();
        form->SkinScrollBar1->setPosition(1234);
        form->List1->addItem("01     00:03     /tmp/a.wav");
        form->List1->setCurrentRow(0);
        form->PlayingFile = "/tmp/b.wav";
        hotkeys.log.clear();
        QSignalSpy stopped(form.get(), &Form1::pumpStopped);
        form->close();
        QCOMPARE(stopped.count(), 1);
        QCOMPARE(readAll(ini()), QString("; mine\n[Config]\nRecording Source=1\nChannels=1\n"
                                         "Recording Volume=1234\n[Other]\nx=1\n"));
        QCOMPARE(player.log, QStringList({"close /tmp/b.wav", "close /tmp/a.wav"}));
        QCOMPARE(hotkeys.log, QStringList({"unregister 49151", "unregister 0", "unregister 160"}));
        QVERIFY(form->ran.isEmpty()); // idle: nothing to save
    }

    void shutdownSavesARunningTake_data() {
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("saves");
        QTest::newRow("recording") << "The Program is Recording now........" << true;
        QTest::newRow("paused") << "Recording Paused,Press Resume\\Stop to continue\\over" << true;
        QTest::newRow("saved") << "Recording is over,Wave file has saved in appointed path"
                               << false;
        QTest::newRow("almost") << "The Program is Recording now......." << false;
    }
    void shutdownSavesARunningTake() {
        QFETCH(QString, status);
        QFETCH(bool, saves);
        writeAll(ini(), "[Config]\n");
        make();
        form->Form_Load();
        form->setStatus(status, kBlue);
        form->close();
        QCOMPARE(form->ran, saves ? QStringList{"stop"} : QStringList{});
    }

    void hotkeysFollowTheButtons() {
        writeAll(ini(), "[Config]\n");
        make();
        form->Form_Load();
        // Idle: only Record is enabled.
        hotkeys.press(kHotkeyPause);
        hotkeys.press(kHotkeyStop);
        QVERIFY(form->ran.isEmpty());
        hotkeys.press(kHotkeyRecord);
        QCOMPARE(form->ran, QStringList{"record"});

        // Recording: Record disabled, the other two enabled.
        form->SkinButton1->setEnabled(false);
        form->SkinButton4->setEnabled(true);
        form->SkinButton2->setEnabled(true);
        form->ran.clear();
        hotkeys.press(kHotkeyRecord);
        hotkeys.press(kHotkeyPause);
        hotkeys.press(kHotkeyStop);
        QCOMPARE(form->ran, QStringList({"pause", "stop"}));
        hotkeys.press(12345); // not ours
        QCOMPARE(form->ran.size(), 2);
    }

    void hotkeyDuringAHandlerIsDropped() {
        writeAll(ini(), "[Config]\n");
        make();
        form->Form_Load();
        form->SkinButton2->setEnabled(true);
        form->onRecord = [this] {
            hotkeys.press(kHotkeyStop);
            yieldToWindowSystem();
        };
        hotkeys.press(kHotkeyRecord);
        QCOMPARE(form->ran, QStringList{"record"});
        QVERIFY(!HandlerScope::active());
        hotkeys.press(kHotkeyStop); // afterwards it is acted on again
        QCOMPARE(form->ran, QStringList({"record", "stop"}));
    }

    void unloadableLibraryIsReportedNotFatal() {
        writeAll(ini(), "[Config]\nRecording Source=1\n");
        // The real loader, pointed at a folder without the libraries.
        AudioLibraries missing(dir.path());
        form = std::make_unique<WatchedForm1>(Services{dir.path(), missing, hotkeys, player});
        form->Form_Load();
        QCOMPARE(form->statusColour(), kRed);
        QVERIFY2(form->Text1->text().contains("libWavelark.so could not be loaded"),
                 qPrintable(form->Text1->text()));
        QVERIFY(form->isVisible());
        std::array<int32_t, 2> range{7, 8};
        QCOMPARE(missing.Volume(0, 0, range), IAudioLibraries::kNotLoaded);
        QVERIFY(missing.loadError().contains("libVolume.so"));
        QCOMPARE(range[0], 7);

        // A file that is not a library, or lacks the function, fails the same way.
        writeAll(dir.path() + "/libWavelark.so", "not an ELF file");
        QCOMPARE(missing.Wavelark("", 4, 0, 0, 0, 0), IAudioLibraries::kNotLoaded);
        QVERIFY(missing.loadError().contains("libWavelark.so"));
        QFile::remove(dir.path() + "/libWavelark.so");
    }

    void getfilenameReadsThePathWhateverTheWidths_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("path");
        QTest::newRow("usual") << "01     00:03     /home/me/rec.wav"
                               << "/home/me/rec.wav";
        QTest::newRow("100th line") << "100     00:03     /home/me/rec.wav"
                                    << "/home/me/rec.wav";
        QTest::newRow("100 minutes") << "07     100:00     /home/me/rec.wav"
                                     << "/home/me/rec.wav";
        QTest::newRow("blanks in path") << "02     01:00     /a b/c  d.wav"
                                        << "/a b/c  d.wav";
        QTest::newRow("no path") << "03     00:00     "
                                 << "";
    }
    void getfilenameReadsThePathWhateverTheWidths() {
        QFETCH(QString, line);
        QFETCH(QString, path);
        make();
        form->List1->addItem(line);
        QCOMPARE(form->Getfilename(), QString()); // nothing selected yet
        form->List1->setCurrentRow(0);
        QCOMPARE(form->Getfilename(), path);
    }

    void pathsOfTheFileSystem() {
        const QString file = dir.path() + "/Take One.wav";
        writeAll(file, "x");
        QCOMPARE(Form1::GetShortPath(file), file);
        QCOMPARE(Form1::GetShortPath(dir.path() + "/missing.wav"), QString());
        QCOMPARE(Form1::GetShortPath(QString()), QString());
        QCOMPARE(expandLongPath(dir.path() + "/take one.WAV"), file);
        QCOMPARE(expandLongPath(dir.path() + "/nope/take one.wav"), QString());
        writeAll(dir.path() + "/.hidden", "x");
        QCOMPARE(expandLongPath(dir.path() + "/.hidden"), dir.path() + "/.hidden");
    }

    void layoutAndMenus() {
        make();
        QCOMPARE(form->windowTitle(), QString("Tunewright"));
        QCOMPARE(form->centralWidget()->size(), QSize(346, 380));
        QCOMPARE(form->List1->geometry(), QRect(8, 40, 329, 191));
        QCOMPARE(form->SkinButton1->text(), QString("Record F9"));
        QVERIFY(form->SkinButton1->isEnabled());
        QVERIFY(!form->SkinButton4->isEnabled());
        QVERIFY(!form->SkinButton2->isEnabled());
        QCOMPARE(form->List1->toolTip(),
                 QString("Double Click list to Play Recording , Right Click to Edit."));
        QCOMPARE(form->SkinLabel5->text(), QString("Recording volume setting :"));
        QStringList bar;
        for (QAction* a : form->menuBar()->actions())
            bar << a->text();
        QCOMPARE(bar, QStringList({"File", "Options", "Encoder", "Help"}));
        QStringList popup;
        for (QAction* a : form->Popup->actions())
            popup << (a->isSeparator() ? "-" : a->text());
        QCOMPARE(popup,
                 QStringList({"Stop playing", "-", "Remove selected item", "Delete output file",
                              "Convert wav to mp3", "-", "Mail to friends", "-", "Cancel"}));
        QCOMPARE(form->input->text(), QString("Input  File"));
        QCOMPARE(form->blue->text(), QString("pink"));
        QVERIFY(!form->Timer1.isActive() && !form->Timer2.isActive() && !form->Timer3.isActive());
        QCOMPARE(form->Timer3.interval(), 10);
        QVERIFY(!form->windowIcon().isNull());
    }

    void skinMenuTicksOneAndLoadsItsFile() {
        writeAll(ini(), "[Config]\n");
        make();
        form->Form_Load();
        QVERIFY(form->green->isChecked());
        QCOMPARE(form->SkinForm1->skinFile(), dir.path() + "/skin/green.skn");
        form->blue->trigger();
        QCOMPARE(form->SkinForm1->skinFile(), dir.path() + "/skin/blue.skn");
        QVERIFY(form->blue->isChecked() && !form->red->isChecked() && !form->green->isChecked());
        form->red->trigger();
        QVERIFY(form->red->isChecked() && !form->blue->isChecked() && !form->green->isChecked());
        form->red->trigger(); // the ticked item again stays ticked
        QVERIFY(form->red->isChecked());
        QCOMPARE(form->SkinForm1->skinFile(), dir.path() + "/skin/red.skn");
    }
};

QTEST_MAIN(TestForm1)
#include "test_form1.moc"
