// The list of takes, playing a line, deleting a line's file and clearing the list, without
// a window.
#include "core/Session.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakePlayer.h"

#include <QAbstractItemModelTester>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;

class TestCoreTakes : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    FakeAudioLibraries audio;
    FakePlayer player;
    StatusLine status;
    std::unique_ptr<Session> session;

    QString path(const QString& name) const { return dir->path() + "/" + name; }
    QString file(const QString& name) const {
        QFile f(path(name));
        if (f.open(QIODevice::WriteOnly))
            f.write("RIFF");
        return path(name);
    }
    QStringList lines() const {
        QStringList out;
        for (int row = 0; row < session->takes.rowCount(); ++row)
            out << session->takes.index(row).data().toString();
        return out;
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        audio = FakeAudioLibraries();
        // The engine writes the take where it is told to save it.
        audio.onWavelark = [](const QByteArray& target, int32_t mode, int32_t, int32_t, int32_t,
                              int32_t) -> int32_t {
            if (mode == 0) {
                QFile out(QString::fromLocal8Bit(target));
                if (!out.open(QIODevice::WriteOnly))
                    return -1;
                out.write("RIFF");
            }
            return 0;
        };
        player = FakePlayer();
        status.set(QString(), 0);
        QFile ini(path("Config.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[Config]\nSave Position=" + path("rec.wav").toUtf8() + "\n");
        ini.close();
        session = std::make_unique<Session>(dir->path(), audio, player, nullptr);
        session->recorder.reloadOutputPath();
    }
    void cleanup() { session.reset(); }

    void linesAndTheirNumbering() {
        Takes takes;
        QAbstractItemModelTester tester(&takes,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        takes.add("/Rec/A.wav", 5, Takes::Kind::Wav);
        takes.add("/rec/b.mp3", 62 * 60 + 7, Takes::Kind::Mp3);
        takes.add("/rec/c.wav", 100 * 60 + 1, Takes::Kind::Wav);
        QCOMPARE(takes.index(0).data().toString(), QString("01     00:05     /Rec/A.wav"));
        QCOMPARE(takes.index(1).data().toString(), QString("02     62:07     /rec/b.mp3"));
        QCOMPARE(takes.index(2).data().toString(), QString("03     100:01     /rec/c.wav"));
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

        // Stop closes the line the user chose; another one plays on.
        QVERIFY(playback.play("/rec/a.wav"));
        status.set("", kBlue);
        player.log.clear();
        playback.stop("/rec/b.wav");
        QCOMPARE(player.log, QStringList{"close /rec/b.wav"});
        QCOMPARE(player.mode("/rec/a.wav"), QString("playing"));
        QCOMPARE(status.text(), QString("Playback has stopped"));
        QCOMPARE(status.colour(), kRed);
    }

    void aFileThatCannotPlaySaysSo() {
        Playback playback(player, status);
        player.failPlay = "no such file";
        QVERIFY(!playback.play("/rec/gone.wav"));
        QCOMPARE(status.text(), QString("/rec/gone.wav cannot be played: no such file"));
        QCOMPARE(status.colour(), kRed);
        QVERIFY(!playback.play(QString())); // no line selected
        QCOMPARE(status.text(), QString("The line cannot be played: no such file"));
    }

    void deletingALineDeletesOnlyANormalFile() {
        const QString a = file("a.wav"), b = file("b.wav"), hidden = file(".c.wav");
        Takes& takes = session->takes;
        takes.add(a, 5, Takes::Kind::Wav);
        takes.add(b, 5, Takes::Kind::Wav);
        takes.add(hidden, 5, Takes::Kind::Wav);
        session->deleteLine(-1); // none selected
        QCOMPARE(takes.rowCount(), 3);

        session->deleteLine(0);
        QVERIFY(!QFile::exists(a));
        QCOMPARE(takes.path(0), b);
        QCOMPARE(takes.nextEntryNumber(), 4);

        session->deleteLine(1); // the hidden file stays, its line goes
        QVERIFY(QFile::exists(hidden));
        QCOMPARE(takes.rowCount(), 1);

        QFile::remove(b); // already gone: the line goes, nothing is reported
        session->status.set("before", kBlue);
        session->deleteLine(0);
        QCOMPARE(takes.rowCount(), 0);
        QCOMPARE(session->status.text(), QString("before"));
        QCOMPARE(takes.nextEntryNumber(), 1);
    }

    void aRefusedDeletionKeepsTheLine() {
        // A normal file that no one, root included, may remove: procfs refuses every unlink.
        const QString kept = "/proc/version";
        QVERIFY(QFileInfo(kept).isFile());
        session->takes.add(kept, 5, Takes::Kind::Wav);
        session->deleteLine(0);
        QVERIFY(QFile::exists(kept));
        QCOMPARE(session->takes.rowCount(), 1);
        QCOMPARE(session->status.colour(), kRed);
        const QString said = kept + " could not be deleted: ";
        QVERIFY2(session->status.text().startsWith(said), qPrintable(session->status.text()));
        QVERIFY(session->status.text().size() > said.size()); // the reason is given
    }

    void clearingKeepsTheFilesAndStartsAfresh() {
        Recorder& recorder = session->recorder;
        recorder.record();
        QTRY_COMPARE(recorder.phase(), Recorder::Phase::Recording);
        recorder.stopAndSave();
        QTRY_COMPARE(recorder.phase(), Recorder::Phase::Idle);
        QCOMPARE(recorder.takeCounter(), 1);
        QCOMPARE(lines().size(), 1);
        const QString take = session->takes.path(0);
        QVERIFY(QFile::exists(take));
        QVERIFY(session->playback.play(take));
        recorder.setOutputPath("/elsewhere.wav");
        player.log.clear();

        session->clearList();
        QVERIFY(lines().isEmpty());
        QCOMPARE(session->takes.nextEntryNumber(), 1);
        QVERIFY(QFile::exists(take));
        QCOMPARE(player.log, QStringList{"close " + take});
        QCOMPARE(recorder.takeCounter(), 0);
        QCOMPARE(recorder.outputPath(), path("rec.wav"));
        QCOMPARE(session->status.text(), QString("All lists were cleared."));
        QCOMPARE(session->status.colour(), kRed);
    }
};

QTEST_GUILESS_MAIN(TestCoreTakes)
#include "test_core_takes.moc"
