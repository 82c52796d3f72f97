// The list of takes, playing a line, deleting a line's file and clearing the list, without
// a window.
#include "core/Session.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakePlayer.h"
#include "tests/support/TestSupport.h"

#include <QAbstractItemModelTester>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;
using namespace tw::test;

class TestCoreTakes : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    FakeAudioLibraries audio;
    FakePlayer player;
    StatusLine status;
    std::unique_ptr<Session> session;

    QString path(const QString& name) const { return dir->path() + "/" + name; }
    QString file(const QString& name) const {
        writeFile(path(name), "RIFF");
        return path(name);
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        audio = FakeAudioLibraries();
        player = FakePlayer();
        status.set(QString(), 0);
        session = startSession(dir->path(), configFor(path("rec.wav"), {}), audio, player);
        QVERIFY(session);
    }
    void cleanup() { session.reset(); }

    void linesAndTheirNumbering() {
        Takes takes;
        QAbstractItemModelTester tester(&takes,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        takes.add("/Rec/A.wav", 5, Takes::Kind::Wav);
        takes.add("/rec/b.mp3", 62 * 60 + 7, Takes::Kind::Converted);
        takes.add("/rec/c.wav", 100 * 60 + 1, Takes::Kind::Wav);
        QCOMPARE(lines(takes),
                 QStringList({"01     00:05     /Rec/A.wav", "02     62:07     /rec/b.mp3",
                              "03     100:01     /rec/c.wav"}));
        QCOMPARE(takes.path(1), QString("/rec/b.mp3"));
        QCOMPARE(takes.index(1).data(Takes::PathRole).toString(), QString("/rec/b.mp3"));
        QCOMPARE(takes.index(1).data(Takes::SecondsRole).toInt(), 62 * 60 + 7);
        QCOMPARE(takes.path(3), QString());
        QCOMPARE(takes.path(-1), QString());

        // Lines keep their numbers; numbering goes on while any line remains.
        takes.remove(0);
        QVERIFY(takes.index(0).data().toString().startsWith("02 "));
        takes.remove(7); // no such line
        QCOMPARE(takes.rowCount(), 2);
        QCOMPARE(takes.nextEntryNumber(), 4);
        for (int i = 4; i <= 100; ++i)
            takes.add("/rec/x.wav", 0, Takes::Kind::Wav);
        QCOMPARE(takes.index(takes.rowCount() - 1).data().toString(),
                 QString("100     00:00     /rec/x.wav"));

        // Emptied line by line or at once, the list starts again at 1.
        while (takes.rowCount() > 0)
            takes.remove(0);
        QCOMPARE(takes.nextEntryNumber(), 1);
        takes.add("/rec/a.wav", 0, Takes::Kind::Wav);
        takes.add("/rec/b.wav", 0, Takes::Kind::Wav);
        takes.clear();
        QCOMPARE(takes.rowCount(), 0);
        QCOMPARE(takes.nextEntryNumber(), 1);
    }

    void playingClosesWhatPlayedBefore() {
        Playback playback(player, status);
        QVERIFY(playback.play("/rec/a.wav"));
        QCOMPARE(status.text(), QString("Recording is playing now........"));
        QCOMPARE(status.colour(), kBlue);
        QVERIFY(playback.play("/rec/b.wav"));
        QCOMPARE(player.log,
                 QStringList({"close ", "play /rec/a.wav", "close /rec/a.wav", "play /rec/b.wav"}));
        QCOMPARE(playback.playingFile(), QString("/rec/b.wav"));

        // The watch says nothing until the player reports the end.
        QVERIFY(!playback.ended());
        QCOMPARE(status.text(), QString("Recording is playing now........"));
        player.modes["/rec/b.wav"] = "stopped";
        QVERIFY(playback.ended());
        QCOMPARE(status.text(), QString("Playback has stopped"));
        QCOMPARE(status.colour(), kRed);

        // Stop closes the line the user chose; another one plays on, and the status line
        // does not claim that playback stopped.
        QVERIFY(playback.play("/rec/a.wav"));
        status.set("", kBlue);
        player.log.clear();
        QVERIFY(!playback.stop("/rec/b.wav"));
        QCOMPARE(player.log, QStringList{"close /rec/b.wav"});
        QCOMPARE(player.mode("/rec/a.wav"), QString("playing"));
        QCOMPARE(status.text(), QString("Still playing: /rec/a.wav"));

        // A file that cannot play says so, and so does no line at all.
        player.failPlay = "no such file";
        QVERIFY(!playback.play("/rec/gone.wav"));
        QCOMPARE(status.text(), QString("/rec/gone.wav cannot be played: no such file"));
        QCOMPARE(status.colour(), kRed);
        QVERIFY(!playback.play(QString()));
        QCOMPARE(status.text(), QString("The line cannot be played: no such file"));
    }

    void deletingALineTrashesOnlyANormalFile() {
        // The trash of this test's own data folder, never the user's.
        qputenv("XDG_DATA_HOME", dir->path().toUtf8());
        const QString a = file("a.wav"), b = file("b.wav"), hidden = file(".c.wav");
        Takes& takes = session->takes;
        takes.add(a, 5, Takes::Kind::Wav);
        takes.add(b, 5, Takes::Kind::Wav);
        takes.add(hidden, 5, Takes::Kind::Wav);
        QSignalSpy deleted(session.get(), &Session::fileDeleted);
        QCOMPARE(session->deleteLine(-1), Session::Deletion::Nothing); // none selected
        QCOMPARE(takes.rowCount(), 3);

        QCOMPARE(session->deleteLine(0), Session::Deletion::Trashed);
        QVERIFY(!QFile::exists(a));
        const QString inTrash = path("Trash/files/a.wav");
        QVERIFY(QFile::exists(inTrash));
        QVERIFY(QFile::exists(path("Trash/info/a.wav.trashinfo")));
        QCOMPARE(takes.path(0), b);
        QCOMPARE(session->undoableDelete(), a);
        QCOMPARE(deleted.size(), 1);
        QCOMPARE(deleted.at(0).at(1).toBool(), true);

        QCOMPARE(session->deleteLine(1), Session::Deletion::Nothing); // the hidden file stays
        QVERIFY(QFile::exists(hidden));
        QCOMPARE(takes.rowCount(), 1);

        QFile::remove(b); // already gone: the line goes, nothing is reported
        session->status.set("before", kBlue);
        QCOMPARE(session->deleteLine(0), Session::Deletion::Nothing);
        QCOMPARE(takes.rowCount(), 0);
        QCOMPARE(session->status.text(), QString("before"));
        QCOMPARE(takes.nextEntryNumber(), 1);

        // Undo puts the file back under its name and its line back with its own number, and
        // the trash no longer lists it.
        QVERIFY(session->undoDelete());
        QVERIFY(QFile::exists(a));
        QVERIFY(!QFile::exists(inTrash));
        QVERIFY(!QFile::exists(path("Trash/info/a.wav.trashinfo")));
        QCOMPARE(lines(takes), QStringList{"01     00:05     " + a});
        QCOMPARE(takes.nextEntryNumber(), 2);
        QVERIFY(session->undoableDelete().isEmpty());
        QVERIFY(!session->undoDelete()); // once

        // A file that took the name meanwhile is never replaced: the trashed one stays there.
        QCOMPARE(session->deleteLine(0), Session::Deletion::Trashed);
        writeFile(a, "NEW");
        QVERIFY(!session->undoDelete());
        QCOMPARE(readFile(a), QByteArray("NEW"));
        QVERIFY(QFile::exists(inTrash));
        QCOMPARE(session->status.colour(), kRed);
        QVERIFY2(session->status.text().contains(inTrash), qPrintable(session->status.text()));
    }

    // Where no trash takes a file, the window asks (test_recordings_list); confirmed, the
    // file goes for good, with no undo.
    void aFileDeletedForGoodHasNoUndo() {
        const QString gone = file("gone.wav");
        session->takes.add(gone, 5, Takes::Kind::Wav);
        QCOMPARE(session->deleteLine(0, true), Session::Deletion::Deleted);
        QVERIFY(!QFile::exists(gone));
        QVERIFY(session->undoableDelete().isEmpty());
    }

    // How clearing restarts the take counter is tested in test_core_recorder.
    void clearingKeepsTheFilesAndStartsAfresh() {
        const QString take = file("a.wav");
        session->takes.add(take, 5, Takes::Kind::Wav);
        QVERIFY(session->playback.play(take));
        session->recorder.setOutputPath("/elsewhere.wav");
        player.log.clear();

        session->clearList();
        QCOMPARE(session->takes.rowCount(), 0);
        QCOMPARE(session->takes.nextEntryNumber(), 1);
        QVERIFY(QFile::exists(take));
        QCOMPARE(player.log, QStringList{"close " + take});
        QCOMPARE(session->recorder.outputPath(), "/elsewhere.wav"); // the Save Position stays
        QCOMPARE(session->status.text(), QString("All lists were cleared."));
        QCOMPARE(session->status.colour(), kRed);
    }
};

QTEST_GUILESS_MAIN(TestCoreTakes)
#include "test_core_takes.moc"
