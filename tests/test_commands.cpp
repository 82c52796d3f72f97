// The File and Help commands, "Mail to friends" and hotkeys while a file dialog is open, with
// fakes for the dialogs, the desktop and the window automation.
#include "app/Form1.h"
#include "core/Session.h"
#include "dialogs/Form3.h"
#include "dialogs/aboutme.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeDesktop.h"
#include "platform/FakeFileDialogs.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakePlayer.h"
#include "platform/FakeWindowAutomation.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WindowRig.h"

#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;
using namespace tw::test;

namespace {
// A file dialog that stays open for a while and serves events meanwhile, as a modal dialog
// does; the user then cancels.
class LingeringFileDialogs final : public IFileDialogs {
  public:
    std::optional<QString> save(const QString&, const QString&) override { return linger(); }
    std::optional<QString> open(const QString&) override { return linger(); }
    int opened = 0;

  private:
    std::optional<QString> linger() {
        ++opened;
        QEventLoop loop;
        QTimer::singleShot(300, &loop, &QEventLoop::quit);
        loop.exec();
        return std::nullopt;
    }
};
} // namespace

class TestCommands : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    FakeAudioLibraries audio;
    FakeHotkeys hotkeys;
    FakePlayer player;
    FakeDesktop desktop;
    FakeFileDialogs dialogs;
    FakeWindowAutomation windows;
    std::unique_ptr<Form1> form;

    QString path(const QString& name) const { return dir->path() + "/" + name; }
    QByteArray ini() const { return readFile(path("Config.ini")); }
    Recorder& recorder() { return form->session().recorder; }
    void makeForm(IFileDialogs* fileDialogs) {
        form.reset();
        form = std::make_unique<RiggedForm1>(Services{dir->path(), audio, hotkeys, player, nullptr,
                                                      &desktop, fileDialogs, &windows});
        form->Form_Load();
    }
    // A take recorded and saved, so that the take counter has moved.
    void recordTake() {
        form->SkinButton1_Click();
        QTRY_COMPARE(recorder().phase(), Recorder::Phase::Recording);
        form->SkinButton2_Click();
        QTRY_COMPARE(recorder().phase(), Recorder::Phase::Idle);
        QVERIFY(recorder().takeCounter() > 0);
    }
    QString touch(const QString& name) {
        writeFile(path(name), "x");
        return path(name);
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        desktop = FakeDesktop();
        dialogs = FakeFileDialogs();
        windows = FakeWindowAutomation();
        audio = FakeAudioLibraries();
        saveWritesTheTake(audio);
        QVERIFY(writeFile(path("Config.ini"), configFor(path("rec.wav"), {})));
        makeForm(&dialogs);
    }
    void cleanup() { form.reset(); }

    void outputFile() {
        recordTake();
        dialogs.answer = std::nullopt; // Cancel: the unchanged path is written all the same
        form->position->trigger();
        QCOMPARE(dialogs.log, QStringList{"save " + path("rec.wav") + " Wave Files(*.wav)|*.wav"});
        QCOMPARE(recorder().takeCounter(), 0);
        QCOMPARE(ini(), configFor(path("rec.wav"), {}));

        dialogs.answer = path("new.wav");
        recordTake();
        form->position_Click();
        QCOMPARE(recorder().outputPath(), path("new.wav"));
        QCOMPARE(recorder().takeCounter(), 0);
        QCOMPARE(ini(), configFor(path("new.wav"), {}));
    }

    void hotkeysWaitWhileAFileDialogIsOpen() {
        LingeringFileDialogs lingering;
        makeForm(&lingering);
        for (QAction* command : {form->position, form->input, form->Wavtomp3}) {
            bool pressed = false;
            QTimer::singleShot(100, this, [&] {
                QVERIFY(lingering.opened > 0); // pressed while the dialog is open
                hotkeys.press(kHotkeyRecord);
                pressed = true;
            });
            command->trigger();
            QVERIFY2(pressed, qPrintable(command->text()));
            QCOMPARE(recorder().phase(), Recorder::Phase::Idle);
        }
        QCOMPARE(lingering.opened, 3);

        // Once the dialogs are closed, the same key records.
        hotkeys.press(kHotkeyRecord);
        QTRY_COMPARE(recorder().phase(), Recorder::Phase::Recording);
        QCOMPARE(engineCalls(audio, 1).size(), 1);
        form->SkinButton2_Click();
        QTRY_COMPARE(recorder().phase(), Recorder::Phase::Idle);
        form.reset(); // before the dialogs it holds go
    }

    void inputFile() {
        dialogs.answer = std::nullopt;
        form->input->trigger();
        QVERIFY(desktop.log.isEmpty());
        QCOMPARE(dialogs.log.size(), 1);
        QVERIFY(dialogs.log[0].startsWith("open Supported Video Files(*.rm;"));
        QVERIFY(dialogs.log[0].endsWith("|*.mp3;*.wav;*.wma;*.mid;*.voc;*.cda;*.xm"));
        dialogs.answer = path("song.mp3");
        form->input_Click();
        QCOMPARE(desktop.log, QStringList{"open " + path("song.mp3")});
    }

    void helpTopics() {
        form->about->trigger();
        QCOMPARE(form->session().status.colour(), kRed); // no help document in this folder
        QVERIFY(form->Text1->text().contains(path("Wavelark help.html")));
        QVERIFY(desktop.log.isEmpty());

        const QString help = touch("Wavelark help.html");
        form->session().status.set("ok", kBlue);
        form->about_Click();
        QCOMPARE(desktop.log, QStringList{"open " + help});
        QCOMPARE(form->Text1->text(), QString("ok"));

        desktop.succeed = false; // no opener on this desktop
        form->about_Click();
        QTRY_COMPARE(form->session().status.colour(), kRed);
        QCOMPARE(form->Text1->text(),
                 "Could not open " + help + ": no program is registered for it");
    }

    // Every command and window that hands something to the desktop says when it failed,
    // even after the window that asked has gone.
    void whatTheDesktopCouldNotOpenIsSaid() {
        desktop.succeed = false;
        desktop.why = "no handler (xdg-open exit code 3)";
        const auto said = [this](const QString& target) {
            QTRY_COMPARE(form->Text1->text(),
                         "Could not open " + target + ": no handler (xdg-open exit code 3)");
            QCOMPARE(form->session().status.colour(), kRed);
            form->session().status.set("ok", kBlue);
        };
        dialogs.answer = path("song.mp3");
        form->input_Click();
        said(path("song.mp3"));
        form->Homepage_Click();
        said(aboutme::homepage());

        form->Larktake_Click();
        QTest::mouseClick(form->aboutBox()->Label4, Qt::LeftButton);
        said("mailto:support@example.com");

        form->location_Click();
        QPointer<Form3> location = form->form3();
        location->Text1->setText("http://example.org/a.mp3");
        QTest::mouseClick(location->Command1, Qt::LeftButton);
        QTRY_VERIFY(location.isNull()); // closed before the answer came
        said("http://example.org/a.mp3");
    }

    void theComposerWatchEndsWhenNoMailProgramStarted() {
        desktop.succeed = false;
        form->send_Click();
        QTRY_VERIFY(!form->Timer3.isActive());
        QVERIFY(form->Text1->text().startsWith("Could not open mailto:"));
        QVERIFY(!windows.watching);
        QCOMPARE(windows.log, QStringList{"find ATH_Note"}); // the look at once
    }

    void supportHomepageAndTheAboutBox() {
        form->Homepage->trigger();
        QCOMPARE(desktop.log, QStringList{"open " + aboutme::homepage()});
        QVERIFY(!form->hasAboutBox());
        form->Larktake->trigger();
        QVERIFY(form->aboutBox()->isVisible());
        form->location_Click();
        QVERIFY(form->hasForm3() && form->form3()->isVisible());
        form->close(); // shutdown unloads both
        QVERIFY(!form->hasAboutBox());
    }

    void mailToFriends() {
        const QString a = touch("take (1)+2.wav"), b = touch("b.wav");
        Takes& takes = form->session().takes;
        takes.add(a, 3, Takes::Kind::Wav);
        takes.add(b, 3, Takes::Kind::Wav);
        form->List1->setCurrentIndex(takes.index(1));
        form->send->trigger();
        QCOMPARE(desktop.log, QStringList{"open mailto:?subject=Recording from Wavelark&body="
                                          "Why not visit www.example.com to know more ? :)"});
        // One look at once, then one per change of the windows; Timer3 is only the limit.
        QCOMPARE(windows.log, QStringList{"find ATH_Note"});
        QVERIFY(form->Timer3.isActive() && form->Timer3.isSingleShot());
        QCOMPARE(form->Timer3.interval(), 200000);
        windows.windowsChanged();
        QCOMPARE(windows.log.size(), 2);

        // The line selected when the composer shows up is the one attached.
        form->List1->setCurrentIndex(takes.index(0));
        windows.composer = 7;
        windows.log.clear();
        windows.windowsChanged();
        QCOMPARE(windows.log,
                 QStringList({"find ATH_Note", "activate New Message", "keys %(I)", "keys A",
                              "keys " + dir->path() + "/take {(}1{)}{+}2.wav", "keys {ENTER}"}));
        QVERIFY(!form->Timer3.isActive());
        QVERIFY(!windows.watching);
    }

    void theWatchGivesUpOverTheWholeRun() {
        form->send_Click();
        QVERIFY(windows.watching);
        form->Timer3.setInterval(50); // instead of 200 s
        QTRY_VERIFY(!form->Timer3.isActive());
        QVERIFY(!windows.watching);

        // Later uses open the mail program but attach nothing: the limit carries over.
        windows.composer = 7;
        windows.log.clear();
        form->send_Click();
        QCOMPARE(desktop.log.size(), 2);
        QVERIFY(windows.log.isEmpty());
        QVERIFY(!form->Timer3.isActive());
    }

    void withoutWindowEventsTheWatchLooksEveryQuarterSecond() {
        windows.canWatch = false;
        form->send_Click();
        QVERIFY(form->Timer3.isActive() && !form->Timer3.isSingleShot());
        QCOMPARE(form->Timer3.interval(), 250);
        for (int i = 1; i < 800; ++i) // the first look was at once
            form->Timer3_Timer();
        QCOMPARE(windows.log.size(), 800);
        form->Timer3_Timer();
        QVERIFY(!form->Timer3.isActive());
        QCOMPARE(windows.log.size(), 800);
    }

    void aComposerThatCannotBeActivatedIsRetriedAFewTimes() {
        windows.composer = 7;
        windows.title = QString(); // an empty title matches no window
        form->send_Click();
        QTRY_COMPARE(windows.log.count("find ATH_Note"), 6);
        QTest::qWait(400);
        QCOMPARE(windows.log.count("find ATH_Note"), 6);
        QVERIFY(form->Timer3.isActive());
        QVERIFY(!windows.log.join('|').contains("keys"));
        // The next change of the windows tries again.
        windows.title = "Compose";
        windows.windowsChanged();
        QVERIFY(!form->Timer3.isActive());
        QVERIFY(windows.log.contains("keys {ENTER}"));
    }
};

QTEST_MAIN(TestCommands)
#include "test_commands.moc"
