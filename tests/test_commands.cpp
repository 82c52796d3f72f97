// The File and Help commands and "Mail to friends", with fakes for the dialogs, the desktop
// and the window automation.
#include "app/Form1.h"
#include "dialogs/Form3.h"
#include "dialogs/aboutme.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeDesktop.h"
#include "platform/FakeFileDialogs.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakePlayer.h"
#include "platform/FakeWindowAutomation.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;

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
    QString ini() const {
        QFile f(path("Config.ini"));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    QString touch(const QString& name) {
        QFile f(path(name));
        if (f.open(QIODevice::WriteOnly))
            f.write("x");
        return path(name);
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        desktop = FakeDesktop();
        dialogs = FakeFileDialogs();
        windows = FakeWindowAutomation();
        QFile f(path("Config.ini"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[Config]\nSave Position=" + path("rec.wav").toUtf8() + "\n");
        f.close();
        form = std::make_unique<Form1>(
            Services{dir->path(), audio, hotkeys, player, nullptr, &desktop, &dialogs, &windows});
        form->Form_Load();
    }
    void cleanup() { form.reset(); }

    void outputFile() {
        form->TakeCounter = 4;
        dialogs.answer = std::nullopt; // Cancel: the unchanged path is written all the same
        form->position->trigger();
        QCOMPARE(dialogs.log, QStringList{"save " + path("rec.wav") + " Wave Files(*.wav)|*.wav"});
        QCOMPARE(form->TakeCounter, 0);
        QCOMPARE(ini(), "[Config]\nSave Position=" + path("rec.wav") + "\n");

        dialogs.answer = path("new.wav");
        form->TakeCounter = 2;
        form->position_Click();
        QCOMPARE(form->OutputPath, path("new.wav"));
        QCOMPARE(form->TakeCounter, 0);
        QCOMPARE(ini(), "[Config]\nSave Position=" + path("new.wav") + "\n");
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
        QCOMPARE(form->statusColour(), kRed); // no help document in this folder
        QVERIFY(form->Text1->text().contains(path("Wavelark help.html")));
        QVERIFY(desktop.log.isEmpty());

        const QString help = touch("Wavelark help.html");
        form->setStatus("ok", kBlue);
        form->about_Click();
        QCOMPARE(desktop.log, QStringList{"open " + help});
        QCOMPARE(form->Text1->text(), QString("ok"));

        desktop.succeed = false; // no opener on this desktop
        form->about_Click();
        QCOMPARE(form->statusColour(), kRed);
    }

    void supportHomepageLoadsTheAboutBoxHidden() {
        QVERIFY(!form->hasAboutBox());
        form->Homepage->trigger();
        QVERIFY(form->hasAboutBox());
        QVERIFY(!form->aboutBox()->isVisible());
        QCOMPARE(desktop.log, QStringList{"open " + form->aboutBox()->Label6->text()});
        QVERIFY(form->aboutBox()->Label6->text().contains("example.com"));
        form->Larktake->trigger();
        QVERIFY(form->aboutBox()->isVisible());
        form->location_Click();
        QVERIFY(form->hasForm3() && form->form3()->isVisible());
        form->close(); // shutdown unloads both
        QVERIFY(!form->hasAboutBox());
    }

    void mailToFriends() {
        const QString a = touch("take (1)+2.wav"), b = touch("b.wav");
        form->List1->addItem("01     00:03     " + a);
        form->List1->addItem("02     00:03     " + b);
        form->List1->setCurrentRow(1);
        form->send->trigger();
        QCOMPARE(desktop.log, QStringList{"open mailto:?subject=Recording from Wavelark&body="
                                          "Why not visit www.example.com to know more ? :)"});
        QVERIFY(form->Timer3.isActive());
        form->Timer3_Timer();
        form->Timer3_Timer();
        QCOMPARE(form->MailWaitMs, 20);
        QVERIFY(form->Timer3.isActive());

        // The line selected when the composer shows up is the one attached.
        form->List1->setCurrentRow(0);
        windows.composer = 7;
        windows.log.clear();
        form->Timer3_Timer();
        QCOMPARE(windows.log,
                 QStringList({"find ATH_Note", "activate New Message", "keys %(I)", "keys A",
                              "keys " + dir->path() + "/take {(}1{)}{+}2.wav", "keys {ENTER}"}));
        QVERIFY(!form->Timer3.isActive());
    }

    void theWatchGivesUpOverTheWholeRun() {
        form->send_Click();
        for (int i = 0; i < 19999; ++i)
            form->Timer3_Timer();
        QCOMPARE(form->MailWaitMs, 199990);
        form->Timer3_Timer();
        QVERIFY(form->Timer3.isActive());
        form->Timer3_Timer(); // the limit is reached
        QVERIFY(!form->Timer3.isActive());

        // Later uses open the mail program but attach nothing: the limit carries over.
        windows.composer = 7;
        windows.log.clear();
        form->send_Click();
        QCOMPARE(desktop.log.size(), 2);
        form->Timer3_Timer();
        QVERIFY(windows.log.isEmpty());
        QVERIFY(!form->Timer3.isActive());
    }

    void aComposerThatCannotBeActivatedIsRetried() {
        windows.composer = 7;
        windows.title = QString(); // an empty title matches no window
        form->send_Click();
        form->Timer3_Timer();
        QVERIFY(form->Timer3.isActive());
        QVERIFY(!windows.log.join('|').contains("keys"));
        windows.title = "Compose";
        form->Timer3_Timer();
        QVERIFY(!form->Timer3.isActive());
        QVERIFY(windows.log.contains("keys {ENTER}"));
    }
};

QTEST_MAIN(TestCommands)
#include "test_commands.moc"
