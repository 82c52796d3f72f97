// WAV to MP3 without a window: the converter on the runner and the status line, and the
// session's commands around it, with a stand-in encoder script in a scratch application
// folder.
#include "core/Converter.h"
#include "core/DOSOutputs.h"
#include "core/Session.h"
#include "core/StatusLine.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeMessageBox.h"
#include "platform/FakePlayer.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace tw;
using namespace tw::test;

namespace {
const QString kFinish = QStringLiteral("Finish Converting");

QByteArray le(quint32 v, int bytes = 4) {
    QByteArray b;
    for (int i = 0; i < bytes; ++i)
        b += char((v >> (8 * i)) & 0xff);
    return b;
}
// A WAV file's bytes with the header fields given; its fmt chunk where `fmtFirst` says.
QByteArray wavBytes(quint16 channels, quint32 rate, quint16 bits, bool fmtFirst = true,
                    quint32 fmtLength = 16) {
    const QByteArray fmt = "fmt " + le(fmtLength) + le(1, 2) + le(channels, 2) + le(rate) +
                           le(rate * channels * bits / 8) + le(channels * bits / 8, 2) +
                           le(bits, 2);
    const QByteArray data = "data" + le(64) + QByteArray(64, '\x40');
    const QByteArray chunks = fmtFirst ? fmt + data : data + fmt;
    return "RIFF" + le(4 + chunks.size()) + "WAVE" + chunks;
}
} // namespace

class TestCoreConverter : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    FakeAudioLibraries audio;
    FakePlayer player;
    FakeMessageBox messages;
    std::unique_ptr<Session> session;

    QString path(const QString& name) const { return dir->path() + "/" + name; }
    // A WAV file on disk and its line in the list.
    void addLine(const QString& name, int seconds = 1) {
        QVERIFY(writeWav(path(name), 0.1));
        session->takes.add(path(name), seconds, Takes::Kind::Wav);
    }
    QStringList log() const { return readLines(path("log.txt")); }
    void hold() { writeFile(path("hold"), ""); }
    void release() { QFile::remove(path("hold")); }
    void expectStatus(const QString& text, int colour) {
        QCOMPARE(session->status.text(), text);
        QCOMPARE(session->status.colour(), colour);
    }
    // A take recording for one second.
    void recordOneSecond() {
        session->recorder.record();
        QTRY_COMPARE(session->recorder.phase(), Recorder::Phase::Recording);
        audio.savedSeconds = 1.2;
    }
    // Conversions run in the background: the queue has emptied.
    void settle() { QTRY_VERIFY(!session->converter().busy()); }
    // The file the encoder was told to write.
    QString written() const {
        const QStringList args = readLines(path("args.txt"));
        return args.isEmpty() ? QString() : args.last();
    }
    QString listFolder() const { return path("cache/tunewright/unfinished"); }
    // Where each listed unfinished file lies.
    QStringList listed() const {
        QStringList targets;
        const QDir list(listFolder());
        for (const QString& entry : list.entryList(QDir::Files | QDir::System | QDir::Hidden))
            targets << QFile::symLinkTarget(list.filePath(entry));
        return targets;
    }
    // The hidden files in the scratch folder, as a kill would leave them.
    QStringList hidden() const {
        QStringList names = QDir(dir->path()).entryList(QDir::Files | QDir::Hidden);
        return names.filter(QRegularExpression("^\\."));
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CACHE_HOME", path("cache").toUtf8());
        messages = FakeMessageBox();
        saveWritesTheTake(audio);
        session = startSession(dir->path(), configFor(path("take.wav")), audio, player, &messages);
        QVERIFY(session);
        session->status.set(QStringLiteral("before"), 0x00FF00);
    }
    void cleanup() {
        release();
        session.reset();
    }

    void progressOnTheStatusLine_data() {
        QTest::addColumn<QByteArray>("chunk");
        QTest::addColumn<QStringList>("progress");
        const QString p = QStringLiteral("Encoding in progress...  Status=");
        QTest::newRow("two digits") << QByteArray("frame 42% done") << QStringList{p + "42%"};
        QTest::newRow("one digit") << QByteArray("frame 7%") << QStringList{p + " 7%"};
        QTest::newRow("hundred") << QByteArray("100%") << QStringList{p + "00%"};
        QTest::newRow("first only") << QByteArray("ab12%cd34%") << QStringList{p + "12%"};
        QTest::newRow("at 1") << QByteArray("%abc") << QStringList{};
        QTest::newRow("at 2") << QByteArray("a%bc") << QStringList{};
        QTest::newRow("none") << QByteArray("no percent here") << QStringList{};
    }
    void progressOnTheStatusLine() {
        QFETCH(QByteArray, chunk);
        QFETCH(QStringList, progress);
        // The encoder prints only the chunk, in one write, and writes the MP3.
        QVERIFY(writeScript(path("lame"), "printf '%s' '" + chunk +
                                              "'\nfor last; do :; done; echo mp3 > \"$last\"\n"));
        QStringList texts;
        QList<int> colours;
        connect(&session->status, &StatusLine::changed, this, [&](const QString& t, int c) {
            texts << t;
            colours << c;
        });
        session->converter().convert(mp3Format(), QString(), path("a.wav"), path("a.mp3"));
        settle();
        // Blue while it runs, the progress in the encoder's words, red once it has ended.
        QCOMPARE(texts, QStringList{"before"} + progress + QStringList{kFinish});
        QCOMPARE(colours, QList<int>(texts.size() - 1, kBlue) + QList<int>{kRed});
    }

    void convertALineAddsItsMp3Line() {
        QVERIFY(installEncoder(dir->path()));
        addLine("My \"Take\" $1.wav", 42);
        addLine("other.wav", 5);
        session->convertLine(0);
        settle();
        const QString mp3 = path("My \"Take\" $1.mp3");
        QCOMPARE(readLines(path("args.txt")).mid(0, 5),
                 QStringList({"-b", "128", "-m", "j", path("My \"Take\" $1.wav")}));
        QCOMPARE(QFileInfo(written()).absolutePath(), dir->path());
        QVERIFY2(QFileInfo(written()).fileName().startsWith(".My \"Take\" $1.mp3.converting-"),
                 qPrintable(written()));
        // The MP3 line gives the length of the line it came from.
        QCOMPARE(lines(session->takes).last(), "03     00:42     " + mp3);
        expectStatus(kFinish, kRed);
        QVERIFY(messages.texts.isEmpty());
        QVERIFY(!session->converter().busy());

        session->settings.LameOptions = " -b 192 -m s -h";
        session->convertLine(1);
        settle();
        QCOMPARE(readLines(path("args.txt")).mid(0, 6),
                 QStringList({"-b", "192", "-m", "s", "-h", path("other.wav")}));
        QVERIFY(QFileInfo::exists(path("other.mp3")) && !QFileInfo::exists(written()));
        QCOMPARE(lines(session->takes).last(), "04     00:05     " + path("other.mp3"));

        session->convertLine(-1);
        QCOMPARE(session->status.text(), QString("Select a recording in the list to convert."));
        QCOMPARE(session->takes.rowCount(), 4);
    }

    // The formats the program makes itself go through the same queue, without a console
    // encoder, and never replace a file either.
    void aLineConvertsToEachFormatTheProgramMakes() {
        addLine("song.wav", 3);
        QVERIFY(writeFile(path("song.flac"), "an earlier one"));
        for (const QString id : {"flac", "opus", "vorbis"}) {
            session->convertLine(0, id);
            settle();
        }
        QCOMPARE(lines(session->takes).mid(1),
                 QStringList({"02     00:03     " + path("song_1.flac"),
                              "03     00:03     " + path("song.opus"),
                              "04     00:03     " + path("song.ogg")}));
        QCOMPARE(readFile(path("song.flac")), QByteArray("an earlier one"));
        for (const QString name : {"song_1.flac", "song.opus", "song.ogg"})
            QVERIFY2(QFileInfo(path(name)).size() > 0, qPrintable(name));
        expectStatus(kFinish, kRed);
        QVERIFY(hidden().isEmpty());
        QVERIFY(listed().isEmpty());

        // A file the encoder cannot read is said, and leaves nothing.
        QVERIFY(writeFile(path("odd.wav"), wavBytes(2, 44100, 24)));
        session->takes.add(path("odd.wav"), 1, Takes::Kind::Wav);
        session->convertLine(4, "opus");
        settle();
        QVERIFY2(
            session->status.text().startsWith("The conversion of " + path("odd.wav") + " failed: "),
            qPrintable(session->status.text()));
        QVERIFY(!QFileInfo::exists(path("odd.opus")));
        QVERIFY(hidden().isEmpty());
    }

    void convertAFile() {
        QVERIFY(installEncoder(dir->path()));
        QVERIFY(writeWav(path("b.wav"), 0.1));
        session->convertFile(path("b.wav"));
        settle();
        QCOMPARE(readLines(path("args.txt")).mid(4, 1), QStringList({path("b.wav")}));
        QCOMPARE(readFile(path("b.mp3")), QByteArray("mp3\n"));
        QCOMPARE(session->takes.rowCount(), 0); // a file from the dialog gets no line
        QCOMPARE(session->status.text(), kFinish);

        // A file that is not there shows as the empty path and is not converted.
        session->convertFile(path("gone.wav"));
        QCOMPARE(session->status.text(), QString());
        QCOMPARE(log().size(), 2);
    }

    void anEncoderThatCannotStart() {
        addLine("a.wav");
        QList<bool> started;
        connect(&session->converter(), &Converter::finished, this,
                [&](const QString&, const QString&, bool, bool s) { started << s; });
        session->convertLine(0);
        // The runner's own words first, then what to do about the missing encoder.
        QCOMPARE(messages.texts.size(), 1);
        QVERIFY2(messages.texts[0].startsWith("File or command not found\n\n") &&
                     messages.texts[0].contains("lame") &&
                     messages.texts[0].contains("apt install lame"),
                 qPrintable(messages.texts[0]));
        QCOMPARE(started, QList<bool>{false});
        expectStatus("before", 0x00FF00); // idle again as it was: text and colour
        QCOMPARE(session->takes.rowCount(), 1);
        QVERIFY(!session->converter().busy());
    }

    // Success is exit status 0, no error line and a non-empty MP3 written by this run.
    void aFailedConversionIsReportedAndLeavesNothing_data() {
        QTest::addColumn<QByteArray>("ending");
        QTest::addColumn<QString>("why");
        const QByteArray partial = "printf part > \"$last\"\n";
        QTest::newRow("exit status")
            << partial + "printf '\\nUnsupported audio format\\n\\n'; exit 1"
            << "the encoder exited with status 1 (Unsupported audio format)";
        QTest::newRow("signal") << partial + "kill -9 $$"
                                << "the encoder was stopped by signal 9 (5%| 42% done)";
        QTest::newRow("no output") << QByteArray() << "the encoder wrote no output (5%| 42% done)";
        QTest::newRow("empty output")
            << QByteArray(": > \"$last\"") << "the encoder wrote no output (5%| 42% done)";
        QTest::newRow("error line")
            << kWritesMp3 + "echo; echo 'Error writing to output file'"
            << "the encoder reported an error (Error writing to output file)";
    }
    void aFailedConversionIsReportedAndLeavesNothing() {
        QFETCH(QByteArray, ending);
        QFETCH(QString, why);
        QVERIFY(installEncoder(dir->path(), ending));
        addLine("a.wav");
        session->convertLine(0);
        settle();
        QCOMPARE(log(), QStringList({"start a.mp3", "end a.mp3"}));
        expectStatus("The conversion of " + path("a.wav") + " failed: " + why, kRed);
        QVERIFY(!QFileInfo::exists(path("a.mp3")));
        QCOMPARE(hidden(), QStringList());
        QCOMPARE(listed(), QStringList());
        QCOMPARE(session->takes.rowCount(), 1);
    }

    // Not run at all: the MP3 would be the input itself, or the input is no WAV file.
    void refusedBeforeStarting_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("why");
        QTest::newRow("an MP3 line") << "c.mp3" << QByteArray("mp3") << "its MP3 would replace it";
        QTest::newRow("not a WAV")
            << "noise.wav" << QByteArray("noise, no header") << "it is not a WAV file";
        // Headers an encoder would take for raw samples and turn into noise, said "finished".
        const QString notWav = "it is not a WAV file";
        QTest::newRow("empty") << "e.wav" << QByteArray() << notWav;
        QTest::newRow("fmt after data") << "f.wav" << wavBytes(1, 8000, 16, false) << notWav;
        QTest::newRow("0 bits") << "z.wav" << wavBytes(1, 8000, 0) << notWav;
        QTest::newRow("negative rate") << "r.wav" << wavBytes(1, 0xFFFFFFF0u, 16) << notWav;
        QTest::newRow("huge fmt") << "h.wav" << wavBytes(1, 8000, 16, true, 0x7FFFFFF0u) << notWav;
        QTest::newRow("255 bits") << "b.wav" << wavBytes(1, 8000, 255)
                                  << "its header gives 255 bits per sample, which no WAV file "
                                     "holds";
        QTest::newRow("65535 channels") << "c.wav" << wavBytes(65535, 8000, 16)
                                        << "it has 65535 channels, and MP3 takes at most 2";
    }
    void refusedBeforeStarting() {
        QFETCH(QString, input);
        QFETCH(QByteArray, content);
        QFETCH(QString, why);
        QVERIFY(installEncoder(dir->path()));
        QVERIFY(writeFile(path(input), content));
        session->takes.add(path(input), 1, Takes::Kind::Wav);
        session->convertLine(0);
        QVERIFY(log().isEmpty());
        expectStatus(path(input) + " is not converted: " + why + ".", kRed);
        QCOMPARE(session->takes.rowCount(), 1);
        QCOMPARE(readFile(path(input)), content);
    }

    // A file the user has keeps its name and content; the MP3 goes to the first free name.
    void anMp3NeverReplacesAFile() {
        QVERIFY(installEncoder(dir->path()));
        addLine("song.wav");
        QVERIFY(writeFile(path("song.mp3"), "mine"));
        session->convertLine(0);
        settle();
        session->convertLine(0);
        settle();
        QCOMPARE(log(), QStringList({"start song_1.mp3", "end song_1.mp3", "start song_2.mp3",
                                     "end song_2.mp3"}));
        QCOMPARE(session->takes.path(1), path("song_1.mp3"));
        QCOMPARE(session->takes.path(2), path("song_2.mp3"));
        QCOMPARE(readFile(path("song.mp3")), QByteArray("mine"));
    }

    // Until the encoder has ended well, the MP3's name stays free: it writes under a hidden
    // name beside it, listed for a start after a kill, and the file is named only when whole.
    void onlyAFinishedMp3GetsItsName() {
        QVERIFY(installEncoder(dir->path(), "printf 'whole mp3' > \"$last\"\n"));
        addLine("a.wav");
        hold();
        session->convertLine(0);
        QTRY_VERIFY(session->status.text().startsWith("Encoding in progress..."));
        const QString unfinished = written();
        QCOMPARE(QFileInfo(unfinished).absolutePath(), dir->path());
        QVERIFY2(QRegularExpression("^\\.a\\.mp3\\.converting-" +
                                    QString::number(QCoreApplication::applicationPid()) + "-\\d+$")
                     .match(QFileInfo(unfinished).fileName())
                     .hasMatch(),
                 qPrintable(unfinished));
        QCOMPARE(listed(), QStringList{unfinished});
        QVERIFY(!QFileInfo::exists(path("a.mp3")));

        release();
        settle();
        QCOMPARE(readFile(path("a.mp3")), QByteArray("whole mp3"));
        QCOMPARE(hidden(), QStringList());
        QCOMPARE(listed(), QStringList());
        QCOMPARE(session->takes.path(1), path("a.mp3"));
    }

    // A file that takes the MP3's name while the encoder runs is the user's: it stays, and the
    // MP3 gets the next free name.
    void aFileThatTookTheNameMeanwhileStays() {
        QVERIFY(installEncoder(dir->path()));
        addLine("a.wav");
        QStringList outputs;
        connect(&session->converter(), &Converter::finished, this,
                [&](const QString&, const QString& output, bool ok) {
                    outputs << QFileInfo(output).fileName() + (ok ? " ok" : " failed");
                });
        hold();
        session->convertLine(0);
        QTRY_VERIFY(session->status.text().startsWith("Encoding in progress..."));
        QVERIFY(writeFile(path("a.mp3"), "mine"));
        QVERIFY(writeFile(path("a_1.mp3"), "mine too"));
        release();
        settle();
        QCOMPARE(outputs, QStringList{"a_2.mp3 ok"});
        QCOMPARE(readFile(path("a.mp3")), QByteArray("mine"));
        QCOMPARE(readFile(path("a_1.mp3")), QByteArray("mine too"));
        QCOMPARE(readFile(path("a_2.mp3")), QByteArray("mp3\n"));
        QCOMPARE(session->takes.path(1), path("a_2.mp3"));
        QCOMPARE(hidden(), QStringList());
        expectStatus(kFinish, kRed);
    }

    // A conversion the user asks for while one runs is refused with the reason; the window
    // stays live meanwhile, and a cancel stops the encoder and removes what it wrote.
    void refusedWhileOneRunsAndCancelled() {
        QVERIFY(installEncoder(dir->path()));
        addLine("a.wav");
        hold();
        session->convertLine(0);
        QVERIFY(session->converter().busy());
        QTRY_VERIFY(session->status.text().startsWith("Encoding in progress..."));
        const QString refused = "A conversion is running; wait for it to finish before starting "
                                "another.";
        session->convertLine(0);
        expectStatus(refused, kRed);
        session->convertFile(path("a.wav"));
        expectStatus(refused, kRed);
        QCOMPARE(session->converter().queued(), 0);

        QVERIFY(writeFile(written(), "half")); // what the encoder has written so far
        QStringList why;
        connect(&session->converter(), &Converter::finished, this,
                [&](const QString&, const QString&, bool, bool, const QVariant&, const QString& w) {
                    why << w;
                });
        session->converter().cancel();
        settle();
        QCOMPARE(why, QStringList{"it was cancelled"});
        QVERIFY(!QFileInfo::exists(path("a.mp3")));
        QCOMPARE(hidden(), QStringList());
        QCOMPARE(listed(), QStringList());
        QCOMPARE(log(), QStringList{"start a.mp3"}); // stopped before its end
        QCOMPARE(session->takes.rowCount(), 1);
        release();
        session->convertLine(0); // and the next one runs as usual
        settle();
        QCOMPARE(session->takes.rowCount(), 2);
    }

    void convertOnCompletion_data() {
        QTest::addColumn<QByteArray>("ending");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("lineCount");
        QTest::newRow("converted")
            << kWritesMp3 << "Recording is over,Wave file has saved in appointed path" << 2;
        QTest::newRow("failed") << QByteArray("exit 2")
                                << "The recording is saved, but the conversion failed: %1 was "
                                   "not written, because the encoder exited with status 2 (5%| "
                                   "42% done)."
                                << 1;
    }
    void convertOnCompletion() {
        QFETCH(QByteArray, ending);
        QFETCH(QString, status);
        QFETCH(int, lineCount);
        QVERIFY(installEncoder(dir->path(), ending));
        session->settings.AutoMp3 = 1;
        recordOneSecond();
        session->recorder.stopAndSave();
        QTRY_COMPARE(session->recorder.phase(), Recorder::Phase::Idle);
        settle();
        QCOMPARE(readLines(path("args.txt")).mid(4, 1), QStringList({path("take.wav")}));
        QCOMPARE(lines(session->takes), QStringList({"01     00:01     " + path("take.wav"),
                                                     "02     00:01     " + path("take.mp3")})
                                            .mid(0, lineCount));
        expectStatus(status.replace("%1", path("take.mp3")), kRed);
    }

    // A conversion asked for while one runs (here from the status line's listener, i.e.
    // within the first one's output) runs after it, on its own, and the converter is busy
    // throughout.
    void aConversionAskedForWhileOneRunsWaitsItsTurn() {
        QVERIFY(installEncoder(dir->path()));
        hold();
        DOSOutputs runner(messages);
        StatusLine status;
        Converter converter(runner, status, dir->path());
        QList<bool> busy;
        connect(&converter, &Converter::busyChanged, this, [&](bool b) { busy << b; });
        QStringList done;
        connect(&converter, &Converter::finished, this,
                [&](const QString&, const QString& output, bool ok, bool, const QVariant& tag) {
                    done << QFileInfo(output).fileName() + (ok ? " ok " : " failed ") +
                                tag.toString() + (converter.busy() ? " busy" : " idle");
                });
        bool asked = false;
        connect(&status, &StatusLine::changed, this, [&](const QString& text) {
            if (asked || !text.startsWith("Encoding"))
                return;
            asked = true;
            converter.convert(mp3Format(), QString(), path("b.wav"), path("b.mp3"),
                              QStringLiteral("B"));
            QVERIFY(writeFile(path("b.mp3"), "mine")); // before b's turn: b_1.mp3 is written
            release();
        });
        converter.convert(mp3Format(), QString(), path("a.wav"), path("a.mp3"),
                          QStringLiteral("A"));
        QTRY_VERIFY(!converter.busy());
        QVERIFY(asked);
        QCOMPARE(log(), QStringList({"start a.mp3", "end a.mp3", "start b_1.mp3", "end b_1.mp3"}));
        QCOMPARE(done, QStringList({"a.mp3 ok A busy", "b_1.mp3 ok B busy"}));
        QCOMPARE(busy, QList<bool>({true, false}));
        QVERIFY(!converter.busy());
        QCOMPARE(status.text(), kFinish);
    }

    // Stop during a running conversion with convert-on-completion set: the take's conversion
    // waits for the running one; both MP3s get their lines.
    void aTakeSavedDuringAConversionIsConvertedAfterIt() {
        QVERIFY(installEncoder(dir->path()));
        addLine("a.wav", 42);
        session->settings.AutoMp3 = 1;
        recordOneSecond();

        QList<bool> busy;
        connect(&session->converter(), &Converter::busyChanged, this, [&](bool b) { busy << b; });
        // The take is saved while the first conversion waits; then it may end.
        connect(&session->recorder, &Recorder::takeSaved, this, [&] { release(); });
        hold();
        session->convertLine(0);
        session->recorder.stopAndSave();
        QTRY_COMPARE(log().size(), 4);
        settle();

        QCOMPARE(session->recorder.phase(), Recorder::Phase::Idle);
        QCOMPARE(log(),
                 QStringList({"start a.mp3", "end a.mp3", "start take.mp3", "end take.mp3"}));
        QCOMPARE(busy, QList<bool>({true, false}));
        QCOMPARE(lines(session->takes), QStringList({"01     00:42     " + path("a.wav"),
                                                     "02     00:01     " + path("take.wav"),
                                                     "03     00:42     " + path("a.mp3"),
                                                     "04     00:01     " + path("take.mp3")}));
        QVERIFY(messages.texts.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestCoreConverter)
#include "test_core_converter.moc"
