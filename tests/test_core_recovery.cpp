// Captures a killed run left behind: repaired, moved where takes go without replacing a file,
// listed and announced; a capture being written is left alone; one that cannot be moved stays
// where it is, and the status line says why.
#include "core/Recovery.h"
#include "core/WavFile.h"
#include "engine/no_replace_move.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakePlayer.h"
#include "platform/FileSystem.h"
#include "tests/support/TestSupport.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tw;
using namespace tw::test;

namespace {
constexpr int kRate = 22050; // mono, 16-bit: 2 bytes a frame

template <typename T> QByteArray le(T value) {
    QByteArray bytes(sizeof(T), '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

QByteArray fmtChunk() {
    return "fmt " + le<quint32>(16) + le<quint16>(1) + le<quint16>(1) + le<quint32>(kRate) +
           le<quint32>(kRate * 2) + le<quint16>(2) + le<quint16>(16);
}

// A plain WAV as the engine starts one, with a JUNK chunk where ds64 would go, whose header
// claims `claimed` data bytes while `present` follow.
QByteArray plainWav(quint32 claimed, int present) {
    return "RIFF" + le<quint32>(36 + claimed) + "WAVE" + "JUNK" + le<quint32>(24) +
           QByteArray(24, '\0') + fmtChunk() + "data" + le<quint32>(claimed) +
           QByteArray(present, '\1');
}

QByteArray rf64Wav(quint64 claimed, int present) {
    return "RF64" + le<quint32>(0xFFFFFFFF) + "WAVE" + "ds64" + le<quint32>(28) + le<quint64>(0) +
           le<quint64>(claimed) + le<quint64>(claimed / 2) + le<quint32>(0) + fmtChunk() + "data" +
           le<quint32>(0xFFFFFFFF) + QByteArray(present, '\1');
}

template <typename T> T fieldAt(const QString& path, int offset) {
    return qFromLittleEndian<T>(readFile(path).constData() + offset);
}

// The number of a process that has ended and been reaped.
qint64 deadPid() {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}
} // namespace

class TestCoreRecovery : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    FakeAudioLibraries audio;
    FakePlayer player;
    std::unique_ptr<Session> session;

    QString path(const QString& name) const { return dir->path() + "/" + name; }
    QString captures() const { return path("cache/tunewright"); }
    QString list() const { return captures() + "/unfinished"; }
    QStringList listings() const {
        return QDir(list()).entryList(QDir::Files | QDir::System | QDir::Hidden);
    }
    // An unfinished file of process `pid`, listed as that process lists its own when `listed`.
    QString leftover(const QString& folder, const QString& name, qint64 pid, bool listed) const {
        const QString file = folder + "/" + name;
        if (!writeFile(file, "unfinished"))
            return QString();
        const QString listing = list() + "/" + QString::number(pid) + "-0";
        if (listed && !(QDir().mkpath(list()) && QFile::link(file, listing)))
            return QString();
        return file;
    }
    QString capture(const QString& stamp, qint64 pid, const QByteArray& bytes) const {
        const QString file = captures() + "/capture-" + stamp + "-" + QString::number(pid) + ".wav";
        return writeFile(file, bytes) ? file : QString();
    }
    // Runs the start-up's recovery of a session that saves its takes as `take`.
    void recover(const QString& take, const QByteArray& extra = {}) {
        session = startSession(dir->path(), configFor(take) + extra, audio, player);
        QVERIFY(session);
        QSignalSpy done(&session->recovery, &Recovery::finished);
        session->recovery.start();
        QVERIFY(done.wait(10000));
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir().mkpath(captures()) && QDir().mkpath(path("takes")));
        qputenv("XDG_CACHE_HOME", path("cache").toUtf8());
    }
    void cleanup() { session.reset(); }

    void captureFolderFollowsTheCacheVariable() {
        QCOMPARE(captureFolder(), captures());
        QCOMPARE(unfinishedListFolder(), list());
        // A relative XDG_CACHE_HOME is ignored, as the engine ignores it.
        qputenv("XDG_CACHE_HOME", "relative/cache");
        QCOMPARE(captureFolder(), QDir::homePath() + "/.cache/tunewright");
        QCOMPARE(unfinishedListFolder(), captureFolder() + "/unfinished");
    }

    void strandedCapturesBecomeTheNextFreeTakes() {
        const qint64 other = QCoreApplication::applicationPid() + 1;
        // One second of audio whose header still says 100 bytes; a half second before it.
        const QString newer = capture("20240102-090000", other, plainWav(100, kRate * 2 + 1));
        const QString older = capture("20240101-090000", other, plainWav(0, kRate));
        // Still being written by another run, and one of this run's own.
        const QString writing = capture("20240101-080000", other + 1, plainWav(0, 64));
        const QString own =
            capture("20240101-070000", QCoreApplication::applicationPid(), plainWav(0, 64));
        const int held = ::open(QFile::encodeName(writing).constData(), O_RDONLY);
        QVERIFY(held >= 0 && ::flock(held, LOCK_EX) == 0);
        QVERIFY(isLockedByWriter(writing));
        QVERIFY(writeFile(path("takes/rec.wav"), "earlier take"));

        recover(path("takes/rec.wav"));
        ::close(held);

        QCOMPARE(readFile(path("takes/rec.wav")), QByteArray("earlier take"));
        const QString first = path("takes/rec_1.wav"), second = path("takes/rec_2.wav");
        QCOMPARE(lines(session->takes),
                 QStringList({"01     00:00     " + first, "02     00:01     " + second}));
        QCOMPARE(session->status.text(),
                 QString("Recovered 2 interrupted recording(s): rec_1.wav, rec_2.wav"));
        QCOMPARE(session->status.colour(), kBlue);
        QVERIFY(!QFileInfo::exists(older) && !QFileInfo::exists(newer));
        QVERIFY(QFileInfo::exists(writing) && QFileInfo::exists(own));

        // The header now tells the whole frames present; the odd byte stays in the file.
        QCOMPARE(fieldAt<quint32>(second, 4), quint32(QFileInfo(second).size() - 8));
        QCOMPARE(readWavHeader(second)->dataLength, qint64(kRate * 2));
        QCOMPARE(QFileInfo(second).size(), qint64(plainWav(0, kRate * 2 + 1).size()));
        QCOMPARE(*wavSeconds(first), 0.5);
    }

    // A take recorded to be saved as FLAC was killed as WAV: it is recovered, then encoded as
    // its Stop would have, its line then naming the FLAC and the WAV gone.
    void aRecoveredTakeIsEncodedInTheTakeFormat() {
        capture("20240101-090000", deadPid(), plainWav(0, kRate * 2 * 2));
        recover(path("takes/rec.wav"), "Take Format=FLAC\n");
        QTRY_VERIFY(!session->converter().busy() && QFileInfo::exists(path("takes/rec.flac")));
        QCOMPARE(lines(session->takes), QStringList{"01     00:02     " + path("takes/rec.flac")});
        QVERIFY(!QFileInfo::exists(path("takes/rec.wav")));
        QCOMPARE(readFile(path("takes/rec.flac")).left(4), QByteArray("fLaC"));
        QCOMPARE(session->status.text(),
                 "The recovered recording is saved as " + path("takes/rec.flac") + ".");
    }

    // A crash during a take's copy into RF64 left the copy beside the capture that still
    // holds the audio: the copy goes, the capture is recovered. Copies of a take still being
    // written, or without their capture, stay.
    void unfinishedCopiesGo() {
        const qint64 other = QCoreApplication::applicationPid() + 1;
        const QString crashed = capture("20240101-090000", other, plainWav(0, kRate));
        QVERIFY(writeFile(crashed + ".grow", "partial copy"));
        const QString writing = capture("20240101-100000", other + 1, plainWav(0, 64));
        QVERIFY(writeFile(writing + ".grow", "copy under way"));
        const QString orphan =
            captures() + "/capture-20240101-110000-" + QString::number(other) + ".wav.grow";
        QVERIFY(writeFile(orphan, "no capture beside it"));
        const int held = ::open(QFile::encodeName(writing).constData(), O_RDONLY);
        QVERIFY(held >= 0 && ::flock(held, LOCK_EX) == 0);

        recover(path("takes/rec.wav"));
        ::close(held);

        QVERIFY(!QFileInfo::exists(crashed + ".grow") && !QFileInfo::exists(crashed));
        QCOMPARE(*wavSeconds(path("takes/rec.wav")), 0.5);
        QVERIFY(QFileInfo::exists(writing + ".grow") && QFileInfo::exists(orphan));
    }

    // A capture whose writer was killed before its first frame holds nothing to recover: it
    // goes, and no take is made of it. One whose writer still runs may not be locked yet.
    void capturesWithoutSoundAreRemoved() {
        const qint64 dead = deadPid();
        const QString empty = capture("20240101-090000", dead, QByteArray());
        const QString header = capture("20240101-090001", dead, plainWav(0, 0));
        const QString byte = capture("20240101-090002", dead, plainWav(100, 1));
        const QString running = capture("20240101-090003", ::getppid(), plainWav(0, 0));
        const QString sound = capture("20240101-090004", dead, plainWav(0, 2));

        recover(path("takes/rec.wav"));

        QVERIFY(!QFileInfo::exists(empty) && !QFileInfo::exists(header) &&
                !QFileInfo::exists(byte));
        QVERIFY(QFileInfo::exists(running));
        QCOMPARE(lines(session->takes), QStringList{"01     00:00     " + path("takes/rec.wav")});
        QCOMPARE(session->status.text(),
                 QString("Recovered 1 interrupted recording(s): rec.wav. Removed 3 interrupted "
                         "recording(s) without any sound from %1")
                     .arg(captures()));
        QCOMPARE(session->status.colour(), kBlue);
        QVERIFY(!QFileInfo::exists(sound));
    }

    // The sound-card check's test takes are never the user's: one a killed run left goes
    // without becoming a take; one of a running program stays.
    void testTakesAreNotRecovered() {
        const qint64 dead = deadPid();
        const QString stamp = "20240101-090000-";
        const QString test = captures() + "/soundcheck-" + stamp + QString::number(dead) + ".wav";
        const QString running =
            captures() + "/soundcheck-" + stamp + QString::number(::getppid()) + ".wav";
        QVERIFY(writeFile(test, plainWav(0, 2)) && writeFile(test + ".grow", plainWav(0, 2)));
        QVERIFY(writeFile(running, plainWav(0, 2)));

        recover(path("takes/take.wav"));

        QVERIFY(!QFileInfo::exists(test) && !QFileInfo::exists(test + ".grow"));
        QVERIFY(QFileInfo::exists(running));
        QVERIFY(!QFileInfo::exists(path("takes/take.wav")));
        QVERIFY(lines(session->takes).isEmpty());
    }

    // The unfinished files of a stopped run go, wherever the list says they are and in the
    // folder of the takes; those of a running program, and files not of this program's
    // naming, stay.
    void leftoversOfStoppedRunsAreRemoved() {
        const qint64 dead = deadPid(), running = ::getppid();
        QVERIFY(QDir().mkpath(path("music")));
        const QString mp3 = leftover(
            path("music"), ".long.mp3.converting-" + QString::number(dead) + "-0", dead, true);
        const QString copy = leftover(
            path("takes"), ".rec_4.wav.partial-" + QString::number(dead) + "-3", dead, false);
        const QString busy =
            leftover(path("music"), ".song.mp3.converting-" + QString::number(running) + "-0",
                     running, true);
        // A listing of a stopped run that points at a file of another name, or at a
        // non-file: neither is this program's to remove.
        QVERIFY(writeFile(path("music/song.mp3"), "the user's"));
        QVERIFY(QFile::link(path("music/song.mp3"), list() + "/" + QString::number(dead) + "-1"));
        const QString folderNamed = path("music/.x.mp3.converting-" + QString::number(dead) + "-0");
        QVERIFY(QDir().mkpath(folderNamed));
        QVERIFY(QFile::link(folderNamed, list() + "/" + QString::number(dead) + "-2"));
        QVERIFY(!mp3.isEmpty() && !copy.isEmpty() && !busy.isEmpty());

        recover(path("takes/rec.wav"));

        QVERIFY(!QFileInfo::exists(mp3) && !QFileInfo::exists(copy));
        QVERIFY(QFileInfo::exists(busy) && QFileInfo(folderNamed).isDir());
        QCOMPARE(readFile(path("music/song.mp3")), QByteArray("the user's"));
        QCOMPARE(listings(), QStringList{QString::number(running) + "-0"});
        QCOMPARE(session->status.text(),
                 QString("Removed an unfinished MP3 left by an interrupted conversion: %1. "
                         "Removed an unfinished copy of a recording left by an interrupted "
                         "save: %2")
                     .arg(mp3, copy));
        QCOMPARE(session->status.colour(), kBlue);
        QCOMPARE(session->takes.rowCount(), 0);
    }

    // A save to another file system killed in mid-copy: its unfinished copy lies beside a
    // take the list alone knows of, and the next start removes it.
    void aCopyKilledMidwayIsRemovedAtTheNextStart() {
        struct stat here {
        }, there{};
        if (::stat("/dev/shm", &there) != 0 ||
            ::stat(QFile::encodeName(dir->path()).constData(), &here) != 0 ||
            here.st_dev == there.st_dev)
            QFAIL("this test needs /dev/shm on a file system of its own, as Linux mounts it");
        QTemporaryDir other("/dev/shm/recovery-XXXXXX");
        // A source that never ends: the copy is still under way when it is killed.
        QVERIFY(QFile::link("/dev/zero", path("endless.wav")));
        const std::string from = QFile::encodeName(path("endless.wav")).toStdString();
        const std::string to = QFile::encodeName(other.path() + "/take.wav").toStdString();
        const pid_t child = ::fork();
        if (child == 0) {
            // However the test goes, the copy ends: after 20 s, or at 64 MiB, where the
            // kernel's SIGXFSZ stops it as a kill would.
            ::alarm(20);
            const rlimit cap{64 << 20, 64 << 20};
            ::setrlimit(RLIMIT_FSIZE, &cap);
            files::moveNoReplace(from, to);
            ::_exit(1);
        }
        QVERIFY(child > 0);
        const QString partial =
            other.path() + "/.take.wav.partial-" + QString::number(child) + "-0";
        QTRY_VERIFY(QFileInfo(partial).size() > 0);
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        QCOMPARE(listings().size(), 1);
        QVERIFY(listings().first().startsWith(QString::number(child) + "-"));

        recover(path("takes/rec.wav"));

        QVERIFY(!QFileInfo::exists(partial));
        QCOMPARE(
            QDir(other.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList());
        QCOMPARE(listings(), QStringList());
        QCOMPARE(session->status.text(),
                 "Removed an unfinished copy of a recording left by an interrupted save: " +
                     partial);
        QVERIFY(QFileInfo(path("endless.wav")).isSymLink());
    }

    void unmovableCapturesStayAndTheStatusSaysWhy() {
        const QString stranded = capture("20240101-090000", 1, plainWav(0, 64));
        // A save folder that cannot exist: its parent is a file (root may write anywhere else).
        QVERIFY(writeFile(path("file"), "x"));

        recover(path("file/rec.wav"));

        QVERIFY(QFileInfo::exists(stranded));
        QCOMPARE(session->takes.rowCount(), 0);
        QCOMPARE(session->status.text(),
                 QString("1 interrupted recording(s) could not be moved to %1 (Not a directory); "
                         "they are kept in %2.")
                     .arg(path("file"), captures()));
        QCOMPARE(session->status.colour(), kRed);

        // Without a Save Position they go where a first run's takes go.
        recover("Default");
        QCOMPARE(lines(session->takes),
                 QStringList({"01     00:00     " + session->settings.defaultSavePosition()}));
    }

    void headersAreMeasuredAndRepaired() {
        // A header claiming more than the file holds is bounded by the bytes present.
        QVERIFY(writeFile(path("long.wav"), plainWav(kRate * 20, kRate * 2)));
        QCOMPARE(*wavSeconds(path("long.wav")), 1.0);
        QVERIFY(!wavSeconds(path("missing.wav")) && !repairWavLengths(path("missing.wav")));
        QVERIFY(!QFileInfo::exists(path("missing.wav")));
        QVERIFY(writeFile(path("text.wav"), "not a WAV file at all"));
        QVERIFY(!wavSeconds(path("text.wav")) && !repairWavLengths(path("text.wav")));

        // RF64: ds64 holds the sizes and the count; the 32-bit fields keep saying so.
        const QString rf64 = path("rf64.wav");
        QVERIFY(writeFile(rf64, rf64Wav(10, kRate * 4 + 1)));
        QVERIFY(repairWavLengths(rf64));
        const qint64 size = QFileInfo(rf64).size();
        QCOMPARE(size, qint64(rf64Wav(10, kRate * 4 + 1).size()));
        QCOMPARE(fieldAt<quint32>(rf64, 4), 0xFFFFFFFFu);
        QCOMPARE(fieldAt<quint64>(rf64, 20), quint64(size - 8));
        QCOMPARE(fieldAt<quint64>(rf64, 28), quint64(kRate * 4));
        QCOMPARE(fieldAt<quint64>(rf64, 36), quint64(kRate * 2));
        QCOMPARE(fieldAt<quint32>(rf64, 76), 0xFFFFFFFFu);
        QCOMPARE(*wavSeconds(rf64), 2.0);
    }

    void movesNeverReplace() {
        QVERIFY(writeFile(path("a"), "a") && writeFile(path("b"), "b"));
        QString why;
        QVERIFY(!moveNoReplace(path("a"), path("b"), &why));
        QCOMPARE(why, QString("a file of that name exists"));
        QCOMPARE(readFile(path("a")), QByteArray("a"));
        QCOMPARE(readFile(path("b")), QByteArray("b"));

        // Across file systems where there are two: a copy, with no partial file left over.
        QTemporaryDir other(QFileInfo::exists("/dev/shm") ? "/dev/shm/recovery-XXXXXX" : QString());
        QVERIFY(moveNoReplace(path("a"), other.path() + "/a", &why));
        QCOMPARE(readFile(other.path() + "/a"), QByteArray("a"));
        QVERIFY(!QFileInfo::exists(path("a")));
        QCOMPARE(QDir(other.path()).entryList(QDir::Files | QDir::Hidden), QStringList({"a"}));
    }
};

QTEST_GUILESS_MAIN(TestCoreRecovery)
#include "test_core_recovery.moc"
