// The conversion as the main window shows it: which line or file its commands hand over,
// Record while a conversion runs, and the status line's text and colour on Text1. A
// stand-in encoder script in the application folder does the work.
#include "app/Form1.h"
#include "core/Session.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeFileDialogs.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakeMessageBox.h"
#include "platform/FakePlayer.h"
#include "skins/SkinControls.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WindowRig.h"

#include <QFile>
#include <QLineEdit>
#include <QListView>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace tw;
using namespace tw::test;

class TestConversion : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    FakeAudioLibraries audio;
    FakeHotkeys hotkeys;
    FakePlayer player;
    FakeMessageBox messages;
    FakeFileDialogs dialogs;
    std::unique_ptr<Form1> form;

    QString path(const QString& name) const { return dir->path() + "/" + name; }
    QStringList log() const { return readLines(path("log.txt")); }
    Session& session() { return form->session(); }
    void addLine(const QString& name) {
        QVERIFY(writeWav(path(name), 0.1));
        session().takes.add(path(name), 1, Takes::Kind::Wav);
    }
    void record() {
        form->SkinButton1_Click();
        QTRY_COMPARE(session().recorder.phase(), Recorder::Phase::Recording);
    }
    void waitForTheConverter() { QTRY_VERIFY(!session().converter().busy()); }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        messages = FakeMessageBox();
        dialogs = FakeFileDialogs();
        saveWritesTheTake(audio);
        QVERIFY(writeFile(path("Config.ini"), configFor(path("take.wav"))));
        QVERIFY(installEncoder(dir->path()));
        form = std::make_unique<RiggedForm1>(
            Services{dir->path(), audio, hotkeys, player, &messages, nullptr, &dialogs});
        form->Form_Load();
    }
    void cleanup() {
        QFile::remove(path("hold"));
        form.reset();
    }

    void convertTheSelectedLine() {
        addLine("a.wav");
        addLine("b.wav");
        form->List1->setCurrentIndex(session().takes.index(1));
        form->Convert_Click();
        waitForTheConverter();
        QCOMPARE(log(), QStringList({"start b.mp3", "end b.mp3"}));
        QCOMPARE(session().takes.path(2), path("b.mp3"));

        // A current line that is not selected is no selection.
        form->List1->selectionModel()->clearSelection();
        form->Convert_Click();
        QCOMPARE(log().size(), 2);
        QCOMPARE(form->Text1->text(), QString("Select a recording in the list to convert."));
    }

    void wavToMp3FromTheDialog() {
        dialogs.answer = std::nullopt;
        form->Wavtomp3_Click();
        QCOMPARE(dialogs.log, QStringList{"open Wave Files(*.wav)|*.wav"});
        QVERIFY(log().isEmpty());

        QVERIFY(writeWav(path("b.wav"), 0.1));
        dialogs.answer = path("b.wav");
        form->Wavtomp3_Click();
        waitForTheConverter();
        QCOMPARE(log(), QStringList({"start b.mp3", "end b.mp3"}));
        QCOMPARE(form->Common3.FileName, path("b.wav"));
        QCOMPARE(form->Text1->text(), QString("Finish Converting"));

        // While one runs, the dialog does not open and the window says why.
        dialogs.log.clear();
        QVERIFY(writeFile(path("hold"), ""));
        form->Wavtomp3_Click();
        QCOMPARE(dialogs.log, QStringList{"open Wave Files(*.wav)|*.wav"});
        QTRY_VERIFY(form->Text1->text().startsWith("Encoding in progress..."));
        form->Wavtomp3_Click();
        QCOMPARE(dialogs.log, QStringList{"open Wave Files(*.wav)|*.wav"});
        QCOMPARE(form->Text1->text(), QString("A conversion is running; wait for it to finish "
                                              "before starting another."));
        QFile::remove(path("hold"));
        waitForTheConverter();
        QCOMPARE(log().size(), 4);
    }

    // The window stays live while the encoder works, and every front end hears why Record
    // waits: the button is off, and F9 is refused with the reason instead of dropped.
    void recordDuringAConversionIsRefusedWithTheReason() {
        addLine("a.wav");
        form->List1->setCurrentIndex(session().takes.index(0));
        QVERIFY(writeFile(path("hold"), ""));
        form->Convert_Click();
        QVERIFY(!form->SkinButton1->isEnabled());
        QTRY_VERIFY(form->Text1->text().startsWith("Encoding in progress..."));
        hotkeys.press(kHotkeyRecord);
        QCOMPARE(form->Text1->text(), QString("A conversion is running; recording can start when "
                                              "it has finished."));
        QCOMPARE(form->Text1->palette().color(QPalette::Text), statusTextColour(kRed));
        QCOMPARE(session().recorder.phase(), Recorder::Phase::Idle);
        // The reason is said for a while; then the line shows the conversion again.
        QTRY_VERIFY_WITH_TIMEOUT(form->Text1->text().startsWith("Encoding in progress..."), 6000);
        QFile::remove(path("hold"));
        waitForTheConverter();
        QVERIFY(form->SkinButton1->isEnabled());
        hotkeys.press(kHotkeyRecord);
        QTRY_COMPARE(session().recorder.phase(), Recorder::Phase::Recording);
    }

    // A conversion that ends while a take records leaves Record off and Stop on.
    void aConversionEndingDuringATakeLeavesRecordOff() {
        addLine("a.wav");
        form->List1->setCurrentIndex(session().takes.index(0));
        record();
        form->Convert_Click();
        waitForTheConverter();
        QCOMPARE(log().size(), 2);
        QVERIFY(!form->SkinButton1->isEnabled());
        QVERIFY(form->SkinButton2->isEnabled());
    }

    // Stop during a conversion with convert-on-completion set: the take's conversion waits
    // its turn, and Record stays off until the last one has ended.
    void recordWaitsForTheWholeQueue() {
        addLine("a.wav");
        form->List1->setCurrentIndex(session().takes.index(0));
        session().settings.AutoMp3 = 1;
        record();
        QList<bool> enabledAtEachEnd;
        connect(&session().converter(), &Converter::finished, this,
                [&] { enabledAtEachEnd << form->SkinButton1->isEnabled(); });
        connect(&session().recorder, &Recorder::takeSaved, this,
                [&] { QFile::remove(path("hold")); });
        QVERIFY(writeFile(path("hold"), ""));
        form->Convert_Click();
        form->SkinButton2_Click();
        QTRY_COMPARE(log().size(), 4);
        waitForTheConverter();
        QCOMPARE(log(),
                 QStringList({"start a.mp3", "end a.mp3", "start take.mp3", "end take.mp3"}));
        QCOMPARE(enabledAtEachEnd, QList<bool>({false, false}));
        QVERIFY(form->SkinButton1->isEnabled());
    }

    // The status colours are 0x00BBGGRR values.
    void textShowsTheStatusLine() {
        session().status.set("Encoding in progress...  Status=42%", 0x336699);
        QCOMPARE(form->Text1->text(), QString("Encoding in progress...  Status=42%"));
        QCOMPARE(form->Text1->palette().color(QPalette::Text), QColor(0x99, 0x66, 0x33));
    }
};

QTEST_MAIN(TestConversion)
#include "test_conversion.moc"
