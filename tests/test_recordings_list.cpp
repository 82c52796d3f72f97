// The recordings list in the main window with a fake player: the lines it shows, playing a
// line and its watch, the context menu and the menu's commands.
#include "app/Form1.h"
#include "core/Session.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakePlayer.h"

#include <QFile>
#include <QLineEdit>
#include <QListView>
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
    Takes& takes() { return form->session().takes; }
    QString addLine(const QString& name) {
        const QString p = file(name);
        takes().add(p, 5, Takes::Kind::Wav);
        return p;
    }
    void select(int row) { form->List1->setCurrentIndex(takes().index(row)); }
    int currentRow() const { return form->List1->currentIndex().row(); }
    QPoint rowCentre(int row) { return form->List1->visualRect(takes().index(row)).center(); }
    // The status line as Text1 shows it: text, and colour as 0x00BBGGRR.
    QString shownText() const { return form->Text1->text(); }
    int shownColour() const {
        const QColor c = form->Text1->palette().color(QPalette::Text);
        return c.red() | c.green() << 8 | c.blue() << 16;
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

    void doubleClickPlaysAndTheWatchFollows() {
        QCOMPARE(form->List1->model(), &takes());
        addLine("a.wav");
        const QString b = addLine("b.wav");
        QVERIFY(form->List1->indexAt(rowCentre(1)).data().toString().endsWith("     " + b));

        // A double click on the second line, as the window system delivers it, selects and
        // plays it.
        QWidget* viewport = form->List1->viewport();
        QTest::mouseClick(viewport, Qt::LeftButton, {}, rowCentre(1));
        QTest::mouseDClick(viewport, Qt::LeftButton, {}, rowCentre(1));
        QTest::mouseRelease(viewport, Qt::LeftButton, {}, rowCentre(1));
        QCOMPARE(currentRow(), 1);
        QCOMPARE(player.log, QStringList({"close ", "play " + b}));
        QCOMPARE(shownText(), QString("Recording is playing now........"));
        QCOMPARE(shownColour(), kBlue);
        QVERIFY(form->Timer1.isActive());

        // The watch runs until the player reports the end.
        form->Timer1_Timer();
        QVERIFY(form->Timer1.isActive());
        player.modes[b] = "stopped";
        form->Timer1_Timer();
        QVERIFY(!form->Timer1.isActive());
        QCOMPARE(shownText(), QString("Playback has stopped"));
        QCOMPARE(shownColour(), kRed);

        // A line that cannot play leaves the watch off.
        select(0);
        form->List1_DblClick();
        QVERIFY(form->Timer1.isActive());
        player.failPlay = "no such file";
        select(1);
        form->List1_DblClick();
        QVERIFY(!form->Timer1.isActive());
        QCOMPARE(shownText(), b + " cannot be played: no such file");
        QCOMPARE(shownColour(), kRed);
    }

    void rightClickSelectsTheLineUnderThePointer() {
        addLine("a.wav");
        addLine("b.wav");
        select(0);
        QTest::mouseClick(form->List1->viewport(), Qt::RightButton, {}, rowCentre(1));
        QCOMPARE(popups, 1);
        QCOMPARE(currentRow(), 1);

        // Below the last line: no menu, no change of selection.
        QTest::mouseClick(form->List1->viewport(), Qt::RightButton, {},
                          QPoint(10, form->List1->viewport()->height() - 3));
        QCOMPARE(popups, 1);
        QCOMPARE(currentRow(), 1);
        // The left button never opens it.
        QTest::mouseClick(form->List1->viewport(), Qt::LeftButton, {}, rowCentre(0));
        QCOMPARE(popups, 1);
        QCOMPARE(currentRow(), 0);
    }

    void stopPlayingClosesTheSelectedLine() {
        const QString a = addLine("a.wav"), b = addLine("b.wav");
        select(0);
        form->List1_DblClick();
        select(1);
        player.log.clear();
        form->Stop->trigger();
        QCOMPARE(player.log, QStringList{"close " + b});
        QCOMPARE(player.mode(a), QString("playing")); // the other line plays on
        QCOMPARE(shownText(), QString("Playback has stopped"));
        QVERIFY(!form->Timer1.isActive());
    }

    void removingThePlayingLineStopsIt() {
        const QString a = addLine("a.wav"), b = addLine("b.wav");
        select(0);
        form->List1_DblClick();
        form->Delist->trigger();
        QCOMPARE(player.mode(a), QString());
        QVERIFY(!form->Timer1.isActive());
        QCOMPARE(takes().rowCount(), 1);
        QCOMPARE(takes().path(0), b);
        QVERIFY(QFile::exists(a)); // the file stays
        QCOMPARE(shownText(), QString("Playback has stopped"));

        // Removing a line that does not play leaves playback alone.
        select(0);
        form->List1_DblClick();
        takes().add(a, 5, Takes::Kind::Wav);
        select(1);
        player.log.clear();
        form->Delist_Click();
        QVERIFY(player.log.isEmpty());
        QVERIFY(form->Timer1.isActive());
        QCOMPARE(takes().rowCount(), 1);
    }

    void deleteOutputFileStopsAndDeletesTheLine() {
        const QString a = addLine("a.wav"), b = addLine("b.wav");
        select(1);
        form->List1_DblClick();
        form->output->trigger();
        QCOMPARE(player.mode(b), QString());
        QVERIFY(!form->Timer1.isActive());
        QVERIFY(!QFile::exists(b));
        QVERIFY(QFile::exists(a));
        QCOMPARE(takes().rowCount(), 1);
        QCOMPARE(takes().path(0), a);
    }

    void clearListStopsTheWatch() {
        const QString a = addLine("a.wav");
        select(0);
        form->List1_DblClick();
        form->Clear->trigger();
        QVERIFY(!form->Timer1.isActive());
        QCOMPARE(player.mode(a), QString());
        QCOMPARE(takes().rowCount(), 0);
        QCOMPARE(form->List1->model()->rowCount(), 0);
        QCOMPARE(shownText(), QString("All lists were cleared."));
        QCOMPARE(shownColour(), kRed);
    }
};

QTEST_MAIN(TestRecordingsList)
#include "test_recordings_list.moc"
