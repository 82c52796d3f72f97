// The recordings list in the main window with a fake player: the lines it shows, playing a
// line and its watch, the context menu and the menu's commands. What the commands do to the
// takes and the player is tested in test_core_takes.
#include "app/Form1.h"
#include "core/Session.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakeMessageBox.h"
#include "platform/FakePlayer.h"
#include "skins/ColumnsDelegate.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WindowRig.h"

#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

using namespace tw;
using namespace tw::test;

namespace {
// The context menu is counted instead of shown: a modal menu would wait for a click.
class CountedPopups : public RiggedForm1 {
  public:
    CountedPopups(const Services& services, int& count) : RiggedForm1(services), count_(count) {}

  protected:
    void showPopup(QMenu* menu) override {
        QCOMPARE(menu, Popup);
        ++count_;
    }

  private:
    int& count_;
};
} // namespace

class TestRecordingsList : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    FakeAudioLibraries audio;
    FakeHotkeys hotkeys;
    FakePlayer player;
    std::unique_ptr<Form1> form;
    int popups = 0;

    Takes& takes() { return form->session().takes; }
    QString addLine(const QString& name) {
        const QString path = dir->path() + "/" + name;
        writeFile(path, "RIFF");
        takes().add(path, 5, Takes::Kind::Wav);
        return path;
    }
    void select(int row) { form->List1->setCurrentIndex(takes().index(row)); }
    // Selects a line and plays it, as a double click does.
    void play(int row) {
        select(row);
        form->List1_DblClick();
    }
    int currentRow() const { return form->List1->currentIndex().row(); }
    QPoint rowCentre(int row) { return form->List1->visualRect(takes().index(row)).center(); }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        // A deleted file goes to this test's own trash, never the user's.
        qputenv("XDG_DATA_HOME", dir->path().toUtf8());
        player = FakePlayer();
        QVERIFY(writeFile(dir->path() + "/Config.ini", configFor(dir->path() + "/rec.wav", {})));
        form =
            std::make_unique<CountedPopups>(Services{dir->path(), audio, hotkeys, player}, popups);
        form->Form_Load();
        popups = 0;
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
        QCOMPARE(form->Text1->text(), QString("Recording is playing now........"));
        QVERIFY(form->Timer1.isActive());

        // The watch runs until the player reports the end.
        form->Timer1_Timer();
        QVERIFY(form->Timer1.isActive());
        player.modes[b] = "stopped";
        form->Timer1_Timer();
        QVERIFY(!form->Timer1.isActive());
        QCOMPARE(form->Text1->text(), QString("Playback has stopped"));

        // A line that cannot play leaves the watch off.
        play(0);
        QVERIFY(form->Timer1.isActive());
        player.failPlay = "no such file";
        play(1);
        QVERIFY(!form->Timer1.isActive());
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

    // Stop playing closes the selected line. Removing or deleting the line that plays stops
    // it first; removing another leaves it be.
    void stopRemoveAndDeleteStopTheLineThatPlays() {
        const QString a = addLine("a.wav"), b = addLine("b.wav");
        addLine("c.wav");
        play(1);
        select(0);
        player.log.clear();
        form->Stop->trigger();
        QCOMPARE(player.log, QStringList{"close " + a});
        // The other line plays on, and the watch with it: no claim that playback stopped.
        QVERIFY(form->Timer1.isActive());
        QCOMPARE(form->Text1->text(), "Still playing: " + b);
        player.modes[b] = "stopped";
        select(0);
        form->Stop->trigger(); // what played has ended meanwhile
        QCOMPARE(form->Text1->text(), QString("Playback has stopped"));
        QVERIFY(!form->Timer1.isActive());

        play(0);
        form->Delist->trigger();
        QCOMPARE(player.mode(a), QString());
        QVERIFY(!form->Timer1.isActive());
        QCOMPARE(takes().path(0), b);
        QVERIFY(QFile::exists(a)); // the file stays

        play(0);
        form->output->trigger();
        QCOMPARE(player.mode(b), QString());
        QVERIFY(!form->Timer1.isActive());
        QVERIFY(!QFile::exists(b));
        QCOMPARE(takes().rowCount(), 1);

        takes().add(a, 5, Takes::Kind::Wav);
        play(0);
        select(1);
        player.log.clear();
        form->Delist_Click();
        QVERIFY(player.log.isEmpty());
        QVERIFY(form->Timer1.isActive());
        QCOMPARE(takes().rowCount(), 1);
    }

    // A path longer than the list is wide shows whole in its tooltip; the columns drawn in
    // fixed-pitch figures end where the path begins, spaces in the path notwithstanding.
    void aLongPathShowsWholeInItsTooltip() {
        const QString path = addLine("a take  with blanks " + QString(200, u'x') + ".wav");
        const QModelIndex line = takes().index(0);
        QCOMPARE(line.data(Qt::ToolTipRole).toString(), path);
        const QString text = line.data().toString();
        QCOMPARE(text.mid(ColumnsDelegate::leadLength(text, 2)), path);
        QCOMPARE(ColumnsDelegate::leadLength("no columns", 2), 0);
    }

    // A path too long for the list loses folders, never its file's name.
    void aLongPathIsShortenedInItsFolders() {
        const QFontMetrics metrics(form->List1->font());
        const QString name = "interview_1.wav";
        const QString path = "/tmp/qa/home/someone/recordings/" + name;
        QCOMPARE(ColumnsDelegate::elidePath(path, metrics, 10'000), path);
        const int room = metrics.horizontalAdvance(name + "/recordings/");
        const QString shown = ColumnsDelegate::elidePath(path, metrics, room);
        QVERIFY2(shown.endsWith("/" + name) && shown.startsWith(QChar(0x2026)), qPrintable(shown));
        QVERIFY(metrics.horizontalAdvance(shown) <= room);
        // Only a name wider than the whole room is cut, and then at its end.
        const QString cut = ColumnsDelegate::elidePath(path, metrics, room / 3);
        QVERIFY2(cut.startsWith("interv") && !cut.contains('/'), qPrintable(cut));
    }

    void aNewLineIsScrolledTo() {
        form->show();
        for (int i = 0; i < 40; ++i)
            addLine(QString("take_%1.wav").arg(i));
        const QRect last = form->List1->visualRect(takes().index(39));
        QVERIFY(form->List1->viewport()->rect().contains(last));
    }

    void aDeletedFileComesBackWithUndo() {
        form->show();
        QToolButton* button = nullptr;
        for (auto* b : form->Text1->findChildren<QToolButton*>())
            if (b->defaultAction() == form->Undo)
                button = b;
        QVERIFY(button);
        const QString a = addLine("a.wav");
        addLine("b.wav");
        QVERIFY(!button->isVisible());
        select(0);
        form->output->trigger();
        QVERIFY(!QFile::exists(a));
        QCOMPARE(takes().rowCount(), 1);
        QVERIFY(button->isVisible());
        button->click();
        QVERIFY(QFile::exists(a));
        QCOMPARE(takes().path(0), a);
        QVERIFY(!button->isVisible());
    }

    // Where no trash takes the file, it is deleted only after a yes.
    void deletingForGoodWaitsForAYes() {
        FakeMessageBox messages;
        form.reset();
        form = std::make_unique<CountedPopups>(
            Services{dir->path(), audio, hotkeys, player, &messages}, popups);
        form->Form_Load();
        const QString kept = "/proc/version"; // no trash, and no deleting either
        takes().add(kept, 5, Takes::Kind::Wav);
        form->session().status.set("before", kBlue);
        select(0);
        form->output->trigger();
        QCOMPARE(messages.questions.size(), 1);
        QVERIFY(messages.questions.at(0).startsWith(kept + " cannot be moved to the trash"));
        QCOMPARE(form->Text1->text(), QString("before")); // no: nothing is tried
        QCOMPARE(takes().rowCount(), 1);

        messages.answer = true;
        select(0);
        form->output->trigger();
        QCOMPARE(messages.questions.size(), 2);
        QVERIFY2(form->Text1->text().startsWith(kept + " could not be deleted"),
                 qPrintable(form->Text1->text()));
        QCOMPARE(takes().rowCount(), 1);
    }

    void clearListStopsTheWatch() {
        const QString a = addLine("a.wav");
        play(0);
        form->Clear->trigger();
        QVERIFY(!form->Timer1.isActive());
        QCOMPARE(player.mode(a), QString());
        QCOMPARE(form->List1->model()->rowCount(), 0);
    }
};

QTEST_MAIN(TestRecordingsList)
#include "test_recordings_list.moc"
