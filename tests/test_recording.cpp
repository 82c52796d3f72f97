// How the main window shows a take: buttons, captions, status line, clock, hourglass and
// list, with a fake engine. The recorder's own rules are tested in test_core_recorder.
#include "app/Form1.h"
#include "core/Session.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakePlayer.h"
#include "skins/SkinControls.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WindowRig.h"

#include <QApplication>
#include <QLineEdit>
#include <QListView>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;
using namespace tw::test;
using Phase = Recorder::Phase;

class TestRecording : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    FakeAudioLibraries audio;
    FakeHotkeys hotkeys;
    FakePlayer player;
    std::unique_ptr<Form1> form;

    QString path(const QString& name) const { return dir->path() + "/" + name; }
    Recorder& recorder() { return form->session().recorder; }

    void start(const QByteArray& config) {
        QVERIFY(writeFile(path("Config.ini"), config));
        form = std::make_unique<RiggedForm1>(Services{dir->path(), audio, hotkeys, player});
        form->Form_Load();
        QTRY_VERIFY(!form->session().engine.busy());
    }
    // Record, Pause and Stop enabled, in that order.
    QList<bool> buttons() const {
        return {form->SkinButton1->isEnabled(), form->SkinButton4->isEnabled(),
                form->SkinButton2->isEnabled()};
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        audio = FakeAudioLibraries();
        saveWritesTheTake(audio);
    }
    void cleanup() {
        form.reset();
        flushDeletes();
        QVERIFY(!QApplication::overrideCursor());
    }

    void theWindowFollowsATake() {
        start(configFor(path("Rec.wav"), "Channels=2\nBitsPerSample=16\nSamplesPerSec=44100\n"));
        QCOMPARE(buttons(), QList<bool>({true, false, false}));
        qint64 now = 0;
        recorder().setTimeSource([&now] { return now; });

        form->SkinButton1->click();
        QCOMPARE(recorder().phase(), Phase::Starting);
        QCOMPARE(buttons(), QList<bool>({false, false, false}));
        QTRY_COMPARE(recorder().phase(), Phase::Recording);
        QCOMPARE(buttons(), QList<bool>({false, true, true}));
        QCOMPARE(form->Text1->text(), QString("The Program is Recording now........"));
        QCOMPARE(form->SkinPanel1->text(), QString("0.000 MB 0:00"));

        now = 74'600;
        QTRY_COMPARE(form->SkinPanel1->text(), QString("12.432 MB 1:14"));

        audio.savedSeconds = 74.6;
        form->SkinButton2->click();
        QCOMPARE(recorder().phase(), Phase::Saving);
        QVERIFY(QApplication::overrideCursor());
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        QCOMPARE(buttons(), QList<bool>({false, false, false}));

        QTRY_COMPARE(recorder().phase(), Phase::Idle);
        QVERIFY(!QApplication::overrideCursor());
        QCOMPARE(buttons(), QList<bool>({true, false, false}));
        QCOMPARE(lines(*form->List1->model()), QStringList{"01     01:14     " + path("Rec.wav")});
        QCOMPARE(form->SkinPanel1->text(), QString("12.432 MB 1:14")); // Stop leaves the clock
    }

    void pauseShowsResume() {
        start("[Config]\nRecording Source=1\nChannels=1\nBitsPerSample=8\nSamplesPerSec=8000\n");
        form->SkinButton1_Click();
        QTRY_COMPARE(recorder().phase(), Phase::Recording);
        form->SkinButton4->click();
        QCOMPARE(form->SkinButton4->text(), QString("Resume F10"));
        QCOMPARE(buttons(), QList<bool>({false, true, true}));
        form->SkinButton4->click();
        QCOMPARE(form->SkinButton4->text(), QString("Pause F10"));

        // Stopped while paused, the button reads Pause again for the next take.
        form->SkinButton4->click();
        form->SkinButton2->click();
        QTRY_COMPARE(recorder().phase(), Phase::Idle);
        QCOMPARE(form->SkinButton4->text(), QString("Pause F10"));
    }

    void volumeSliderShowsAndSetsThePosition() {
        start("[Config]\nRecording Source=3\n");
        audio.calls.clear();
        form->SkinScrollBar1->triggerAction(QAbstractSlider::SliderPageStepAdd);
        const int pos = form->SkinScrollBar1->position();
        QVERIFY(pos > 0);
        QCOMPARE(form->SkinLabel5->text(), "Recording volume setting :" + QString::number(pos));
        QTRY_VERIFY(!form->session().engine.busy());
        QCOMPARE(audio.calls.size(), 1);
        QCOMPARE(audio.calls.last().args, QList<int32_t>({2, pos}));
    }

    // A message longer than the line shows its start, where the file and the reason are, and
    // the whole of it in the tooltip.
    void aLongStatusShowsItsStart() {
        start("[Config]\nRecording Source=1\n");
        const QString text = "The recording could not be saved as /a/long/folder/name/take.wav "
                             "(the file could not be created there); the sound engine keeps the "
                             "captured audio in /home/me/.cache/tunewright.";
        form->session().status.set(text, kRed);
        QCOMPARE(form->Text1->text(), text);
        QCOMPARE(form->Text1->cursorPosition(), 0);
        QCOMPARE(form->Text1->toolTip(), text);
    }
};

QTEST_MAIN(TestRecording)
#include "test_recording.moc"
