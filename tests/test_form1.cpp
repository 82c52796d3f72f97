// The main window's start-up, hotkey pump and shutdown, with fakes.
#include "app/Form1.h"
#include "core/Session.h"
#include "core/Yield.h"
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
#include <QListView>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace tw;

namespace {

// Counts what the pump runs, then runs it.
class WatchedForm1 : public Form1 {
  public:
    using Form1::Form1;
    void SkinButton1_Click() override {
        handle("record");
        Form1::SkinButton1_Click();
    }
    void SkinButton4_Click() override {
        handle("pause");
        Form1::SkinButton4_Click();
    }
    void SkinButton2_Click() override {
        handle("stop");
        Form1::SkinButton2_Click();
    }
    QStringList ran;
    std::function<void()> during; // runs inside each handler

  private:
    void handle(const QString& name) {
        ran << name;
        if (during)
            during();
    }
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
    QString path(const QString& name) const { return dir.path() + "/" + name; }
    void make() {
        form = std::make_unique<WatchedForm1>(Services{dir.path(), audio, hotkeys, player});
    }
    // A configured run whose takes go to `take`, started and with the mixer's answer in.
    void load(const QString& take) {
        writeAll(ini(), "[Config]\nChannels=1\nBitsPerSample=16\nSamplesPerSec=22050\n"
                        "Save Position=" +
                            path(take).toUtf8() + "\n");
        make();
        form->Form_Load();
        QTRY_VERIFY(!form->session().engine.busy());
    }
    Recorder& recorder() { return form->session().recorder; }
    QStringList saves() const {
        QStringList out;
        for (const auto& c : audio.calls)
            if (c.function == "Wavelark" && c.args.value(0) == 0)
                out << QString::fromLocal8Bit(c.file);
        return out;
    }
    QStringList listed() const {
        QStringList out;
        for (int i = 0; i < form->List1->model()->rowCount(); ++i)
            out << form->List1->model()->index(i, 0).data(Takes::PathRole).toString();
        return out;
    }

  private slots:
    void init() {
        QVERIFY(dir.isValid());
        QFile::remove(ini());
        audio = FakeAudioLibraries();
        audio.onWavelark = [](const QByteArray& file, int32_t mode, int32_t, int32_t, int32_t,
                              int32_t) {
            if (mode == 0) {
                QFile out(QString::fromLocal8Bit(file));
                if (out.open(QIODevice::WriteOnly))
                    out.write("RIFF");
            }
            return 0;
        };
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
        QVERIFY(form->isVisible());
        QVERIFY(!form->hasForm2());
        QCOMPARE(form->SkinPanel1->text(), QString("44100  Hz   16  Bit"));
        QCOMPARE(form->Text1->text(), QString("Please read help files before starting program."));
        QCOMPARE(hotkeys.log,
                 QStringList({"register 49151 120", "register 0 121", "register 160 122"}));

        // The slider follows when the mixer answers.
        QTRY_VERIFY(!form->session().engine.busy());
        QCOMPARE(callLog(audio),
                 QStringList({"Volume(;1,0)", "Volume(;1,30000)", "Wavelark(;5,0,0,0,1)"}));
        QCOMPARE(form->SkinScrollBar1->minimum(), 0);
        QCOMPARE(form->SkinScrollBar1->maximum(), 65536);
        QCOMPARE(form->SkinScrollBar1->singleStep(), 655);
        QCOMPARE(form->SkinScrollBar1->pageStep(), 6553);
        QCOMPARE(form->SkinScrollBar1->position(), 30000);
        QCOMPARE(form->SkinLabel5->text(), QString("Recording volume setting :30000"));
        QCOMPARE(recorder().outputPath(), QString("/music/rec.wav"));
        QCOMPARE(form->Common.Filter, QString("Wave Files(*.wav)|*.wav"));
        QCOMPARE(readAll(ini()), before); // start-up writes nothing
    }

    void startUpWithMissingKeys() {
        writeAll(ini(), "[Config]\nRecording Volume=5\n");
        audio.volumeRange = {-100, 301};
        make();
        form->Form_Load();
        QCOMPARE(form->SkinPanel1->text(), QString("0  Hz   0  Bit"));
        QTRY_VERIFY(!form->session().engine.busy());
        QCOMPARE(callLog(audio),
                 QStringList({"Volume(;-2,0)", "Volume(;-2,5)", "Wavelark(;5,0,0,0,-1)"}));
        QCOMPARE(recorder().outputPath(), QString("Default"));
        // Steps come from min + max of the range: (−100 + 301) / 100 and / 10.
        QCOMPARE(form->SkinScrollBar1->singleStep(), 2);
        QCOMPARE(form->SkinScrollBar1->pageStep(), 20);
        QCOMPARE(form->SkinScrollBar1->position(), 5);
        QVERIFY(form->isVisible());
    }

    void firstRunShowsOnlyTheWizard() {
        make();
        form->Form_Load();
        QVERIFY(!form->isVisible());
        QVERIFY(form->hasForm2());
        QVERIFY(form->form2()->isVisible());
        QCOMPARE(form->form2()->windowTitle(), QString("Sound Card Setting"));
        QCOMPARE(recorder().outputPath(), dir.path() + "/Larktake.wav");
        QVERIFY(!QFile::exists(ini()));
        QCOMPARE(hotkeys.registered.size(), 3); // the pump listens on a first run too
        QTRY_VERIFY(!form->session().engine.busy());
        QVERIFY(audio.calls.isEmpty());

        // Closing the wizard ends the program, once.
        QSignalSpy stopped(form.get(), &Form1::pumpStopped);
        form->form2()->close();
        QCOMPARE(stopped.count(), 1);
        QVERIFY(hotkeys.registered.isEmpty());
        QCOMPARE(readAll(ini()), QString("[Config]\nRecording Volume=0\n"));
        form->close();
        QCOMPARE(stopped.count(), 1);
    }

    void shutdownWritesOnlyTheVolumeAndReleasesHotkeys() {
        writeAll(ini(), "; mine\n[Config]\nRecording Source=1\nChannels=1\n[Other]\nx=1\n");
        make();
        form->Form_Load();
        QTRY_VERIFY(!form->session().engine.busy());
        form->SkinScrollBar1->setPosition(1234);
        form->session().takes.add("/tmp/a.wav", 3, Takes::Kind::Wav);
        form->List1->setCurrentIndex(form->List1->model()->index(0, 0));
        form->session().playback.play("/tmp/b.wav");
        player.log.clear();
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

    // Closing waits for the engine's answer, so the take is in place and listed when the
    // window has gone, whatever the status line said.
    void closingSavesARunningTake_data() {
        QTest::addColumn<bool>("saved");
        QTest::newRow("starting") << true;
        QTest::newRow("recording") << true;
        QTest::newRow("paused") << true;
        QTest::newRow("converting") << true;
        QTest::newRow("idle") << false;
    }
    void closingSavesARunningTake() {
        QFETCH(bool, saved);
        const QString how = QTest::currentDataTag();
        const QString take = path("close-" + how + ".wav");
        load(QFileInfo(take).fileName());
        if (how != "idle") {
            form->SkinButton1_Click();
            if (how != "starting")
                QTRY_COMPARE(recorder().phase(), Recorder::Phase::Recording);
        }
        if (how == "paused")
            form->SkinButton4_Click();
        if (how == "converting")
            form->session().status.set("Encoding in progress...  Status=42%", kBlue);
        if (how == "idle")
            form->session().status.set("The Program is Recording now........", kBlue);
        form->close();
        QCOMPARE(saves(), saved ? QStringList{take} : QStringList{});
        QCOMPARE(listed(), saved ? QStringList{take} : QStringList{});
        QCOMPARE(recorder().phase(), Recorder::Phase::Idle);
    }

    void closingDuringAConversionSavesTheTake() {
        // An encoder that reports progress, then takes a second.
        writeAll(path("lame"), "#!/bin/sh\nprintf '  5%%|'\nsleep 1\n"
                               "for last; do :; done; echo mp3 > \"$last\"\n");
        QFile::setPermissions(path("lame"), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ExeOwner);
        writeAll(path("old.wav"), "RIFF");
        load("conv-take.wav");
        form->session().takes.add(path("old.wav"), 1, Takes::Kind::Wav);
        form->List1->setCurrentIndex(form->List1->model()->index(0, 0));
        form->SkinButton1_Click();
        QTRY_COMPARE(recorder().phase(), Recorder::Phase::Recording);

        // The window is closed from the event loop once the encoder has reported progress.
        QString statusAtClose;
        bool recordingAtClose = false;
        QMetaObject::Connection watch;
        const auto closeOnProgress = [&](const QString& text) {
            if (!text.startsWith("Encoding in progress"))
                return;
            disconnect(watch);
            QTimer::singleShot(0, form.get(), [&] {
                statusAtClose = form->Text1->text();
                recordingAtClose = recorder().phase() == Recorder::Phase::Recording;
                form->close();
            });
        };
        watch = connect(&form->session().status, &StatusLine::changed, form.get(), closeOnProgress);
        form->Convert_Click(); // returns when the conversion has ended
        QVERIFY2(statusAtClose.startsWith("Encoding in progress..."), qPrintable(statusAtClose));
        QVERIFY(recordingAtClose);
        QCOMPARE(saves(), QStringList{path("conv-take.wav")});
        QCOMPARE(listed(), QStringList({path("old.wav"), path("conv-take.wav"), path("old.mp3")}));
    }

    void hotkeysFollowTheButtons() {
        load("hk.wav");
        // Idle: only Record is enabled.
        hotkeys.press(kHotkeyPause);
        hotkeys.press(kHotkeyStop);
        QVERIFY(form->ran.isEmpty());
        hotkeys.press(kHotkeyRecord);
        QCOMPARE(form->ran, QStringList{"record"});
        QTRY_COMPARE(recorder().phase(), Recorder::Phase::Recording);

        // Recording: Record disabled, the other two enabled.
        form->ran.clear();
        hotkeys.press(kHotkeyRecord);
        hotkeys.press(kHotkeyPause);
        hotkeys.press(12345); // not ours
        QCOMPARE(form->ran, QStringList{"pause"});
        hotkeys.press(kHotkeyPause);
        QCOMPARE(form->ran, QStringList({"pause", "pause"}));
        hotkeys.press(kHotkeyStop);
        QCOMPARE(form->ran, QStringList({"pause", "pause", "stop"}));
        QTRY_COMPARE(recorder().phase(), Recorder::Phase::Idle);
        QCOMPARE(saves(), QStringList{path("hk.wav")});
    }

    void hotkeysWaitWhileAHandlerRuns() {
        load("busy.wav");
        form->SkinButton1_Click();
        QTRY_COMPARE(recorder().phase(), Recorder::Phase::Recording);
        form->ran.clear();
        {
            HandlerScope modalBox;
            hotkeys.press(kHotkeyStop);
        }
        // A hotkey that arrives during a handler's own yield is dropped too.
        form->during = [this] {
            hotkeys.press(kHotkeyStop);
            yieldToWindowSystem();
        };
        hotkeys.press(kHotkeyPause);
        form->during = nullptr;
        QCOMPARE(form->ran, QStringList{"pause"});
        QVERIFY(!form->session().handlerRunning());
        hotkeys.press(kHotkeyStop); // afterwards it is acted on again
        QCOMPARE(form->ran, QStringList({"pause", "stop"}));
        QTRY_COMPARE(recorder().phase(), Recorder::Phase::Idle);
    }

    void unloadableLibraryIsReportedNotFatal() {
        writeAll(ini(), "[Config]\nRecording Source=1\n");
        // The real loader, pointed at a folder without the libraries.
        AudioLibraries missing(dir.path());
        form = std::make_unique<WatchedForm1>(Services{dir.path(), missing, hotkeys, player});
        form->Form_Load();
        QVERIFY(form->isVisible());
        QTRY_VERIFY2(form->Text1->text().contains("could not be loaded"),
                     qPrintable(form->Text1->text()));
        QCOMPARE(form->Text1->palette().color(QPalette::Text), QColor(Qt::red));
        QTRY_VERIFY(!form->session().engine.busy());
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

    void getfilenameIsTheSelectedLinesPath() {
        make();
        form->session().takes.add("/a b/c  d.wav", 60, Takes::Kind::Wav);
        QCOMPARE(form->Getfilename(), QString()); // nothing selected yet
        form->List1->setCurrentIndex(form->List1->model()->index(0, 0));
        QCOMPARE(form->Getfilename(), QString("/a b/c  d.wav"));
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

    void menus() {
        make();
        QCOMPARE(form->List1->model(), &form->session().takes);
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
        QVERIFY(!form->Timer1.isActive() && !form->Timer2.isActive() && !form->Timer3.isActive());
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
