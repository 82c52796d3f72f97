// The recordings list with a fake player: playing, the watch, the context menu, removing,
// deleting and clearing.
#include "app/Form1.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakePlayer.h"

#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;

class TestRecordingsList : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    FakeAudioLibraries audio;
    FakeHotkeys hotkeys;
    FakePlayer player;
    std::unique_ptr<Form1> form;
    int popups = 0;

    QString path(const QString& name) const { return dir->path() + "/" + name; }
    QString file(const QString& name) const {
        QFile f(path(name));
        if (f.open(QIODevice::WriteOnly))
            f.write("RIFF");
        return path(name);
    }
    void addLine(int number, const QString& p) {
        form->List1->addItem(QStringLiteral("%1     00:05     ").arg(number, 2, 10, QChar('0')) +
                             p);
        form->NextEntryNumber = number + 1;
    }
    void select(int row) { form->List1->setCurrentRow(row); }
    QStringList lines() const {
        QStringList out;
        for (int i = 0; i < form->List1->count(); ++i)
            out << form->List1->item(i)->text();
        return out;
    }
    QPoint rowCentre(int row) const {
        return form->List1->visualItemRect(form->List1->item(row)).center();
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        player = FakePlayer();
        QFile ini(path("Config.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[Config]\nSave Position=" + path("rec.wav").toUtf8() + "\n");
        ini.close();
        form = std::make_unique<Form1>(Services{dir->path(), audio, hotkeys, player});
        form->Form_Load();
        popups = 0;
        form->showPopup = [this](QMenu* menu) {
            QCOMPARE(menu, form->Popup);
            ++popups;
        };
    }
    void cleanup() { form.reset(); }

    void doubleClickPlaysAndClosesThePrevious() {
        const QString a = file("a.wav"), b = file("b.wav");
        addLine(1, a);
        addLine(2, b);
        select(0);
        form->List1_DblClick();
        QCOMPARE(form->Text1->text(), QString("Recording is playing now........"));
        QCOMPARE(form->statusColour(), kBlue);
        QVERIFY(form->Timer1.isActive());
        select(1);
        form->List1_DblClick();
        QCOMPARE(player.log, QStringList({"close ", "play " + a, "close " + a, "play " + b}));
        QCOMPARE(form->PlayingFile, b);
    }

    void theWatchReportsTheEnd() {
        addLine(1, file("a.wav"));
        select(0);
        form->List1_DblClick();
        form->Timer1_Timer();
        QVERIFY(form->Timer1.isActive());
        player.modes[form->PlayingFile] = "stopped";
        form->Timer1_Timer();
        QCOMPARE(form->Text1->text(), QString("Playback has stopped"));
        QCOMPARE(form->statusColour(), kRed);
        QVERIFY(!form->Timer1.isActive());
    }

    void aLineThatCannotPlaySaysSo() {
        addLine(1, path("gone.wav"));
        select(0);
        player.failPlay = "no such file";
        form->List1_DblClick();
        QCOMPARE(form->statusColour(), kRed);
        QCOMPARE(form->Text1->text(), path("gone.wav") + " cannot be played: no such file");
        QVERIFY(!form->Timer1.isActive());
    }

    void rightClickSelectsTheLineUnderThePointer() {
        addLine(1, file("a.wav"));
        addLine(2, file("b.wav"));
        select(0);
        form->show();
        QTest::mouseClick(form->List1->viewport(), Qt::RightButton, {}, rowCentre(1));
        QCOMPARE(popups, 1);
        QCOMPARE(form->List1->currentRow(), 1);

        // Below the last line: no menu, no change of selection.
        QTest::mouseClick(form->List1->viewport(), Qt::RightButton, {},
                          QPoint(10, form->List1->viewport()->height() - 3));
        QCOMPARE(popups, 1);
        QCOMPARE(form->List1->currentRow(), 1);
        // The left button never opens it.
        QTest::mouseClick(form->List1->viewport(), Qt::LeftButton, {}, rowCentre(0));
        QCOMPARE(popups, 1);
    }

    void stopPlayingClosesTheSelectedLine() {
        const QString a = file("a.wav"), b = file("b.wav");
        addLine(1, a);
        addLine(2, b);
        select(0);
        form->List1_DblClick();
        select(1);
        player.log.clear();
        form->Stop_Click();
        QCOMPARE(player.log, QStringList{"close " + b});
        QCOMPARE(player.mode(a), QString("playing")); // the other line plays on
        QCOMPARE(form->Text1->text(), QString("Playback has stopped"));
        QVERIFY(!form->Timer1.isActive());
    }

    void removingThePlayingLineStopsItAndRenumbers() {
        const QString a = file("a.wav");
        addLine(1, a);
        select(0);
        form->List1_DblClick();
        form->Delist_Click();
        QCOMPARE(player.mode(a), QString());
        QVERIFY(lines().isEmpty());
        QCOMPARE(form->NextEntryNumber, 1);
        QVERIFY(QFile::exists(a)); // the file stays
        QCOMPARE(form->Text1->text(), QString("Playback has stopped"));
    }

    void deleteOutputFile() {
        const QString a = file("a.wav"), b = file("b.wav"), hidden = file(".c.wav");
        addLine(1, a);
        addLine(2, b);
        addLine(3, hidden);
        select(0);
        form->List1_DblClick();
        form->output_Click();
        QVERIFY(!QFile::exists(a));
        QCOMPARE(player.mode(a), QString());
        QCOMPARE(lines().size(), 2);
        QCOMPARE(form->NextEntryNumber, 4); // lines remain: numbering goes on

        select(1); // the hidden file: not deleted, line removed
        form->output_Click();
        QVERIFY(QFile::exists(hidden));
        QCOMPARE(lines().size(), 1);

        QFile::remove(b); // already gone: the line goes, nothing is reported
        select(0);
        const QString before = form->Text1->text();
        form->output_Click();
        QVERIFY(lines().isEmpty());
        QCOMPARE(form->Text1->text(), before);
        QCOMPARE(form->NextEntryNumber, 1);
    }

    void aRefusedDeletionKeepsTheLine() {
        // A folder cannot be removed as a file; a name in a read-only place stands in for
        // what root's rights would otherwise allow.
        QVERIFY(QDir().mkpath(path("sub")));
        const QString inside = file("sub/x.wav");
        addLine(1, inside);
        QVERIFY(QFile::setPermissions(path("sub"), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        select(0);
        form->output_Click();
        QFile::setPermissions(path("sub"), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ExeOwner);
        if (QFile::exists(inside)) {
            QCOMPARE(lines().size(), 1);
            QCOMPARE(form->statusColour(), kRed);
            QVERIFY(form->Text1->text().startsWith(inside + " could not be deleted"));
        } else {
            // Running as root: the permission does not bind, the delete went through.
            QVERIFY(lines().isEmpty());
        }
    }

    void clearListDeletesNothingAndRestartsNames() {
        const QString a = file("a.wav");
        addLine(1, a);
        select(0);
        form->List1_DblClick();
        form->TakeCounter = 3;
        form->OutputPath = "/elsewhere.wav";
        form->Clear_Click();
        QVERIFY(lines().isEmpty());
        QVERIFY(QFile::exists(a));
        QCOMPARE(player.mode(a), QString());
        QVERIFY(!form->Timer1.isActive());
        QCOMPARE(form->TakeCounter, 0);
        QCOMPARE(form->NextEntryNumber, 1);
        QCOMPARE(form->OutputPath, path("rec.wav"));
        QCOMPARE(form->Text1->text(), QString("All lists were cleared."));
        QCOMPARE(form->statusColour(), kRed);
    }
};

QTEST_MAIN(TestRecordingsList)
#include "test_recordings_list.moc"
