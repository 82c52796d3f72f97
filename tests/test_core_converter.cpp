// WAV to MP3 without a window: the converter on the runner and the status line, and the
// session's commands around it, with a stand-in encoder script in a scratch application
// folder.
#include "core/Converter.h"
#include "core/DOSOutputs.h"
#include "core/Session.h"
#include "core/StatusLine.h"
#include "core/Yield.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeMessageBox.h"
#include "platform/FakePlayer.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace tw;

namespace {
const QString kFinish = QStringLiteral("Finish Converting");
} // namespace

class TestCoreConverter : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    FakeAudioLibraries audio;
    FakePlayer player;
    FakeMessageBox messages;
    std::unique_ptr<Session> session;

    QString path(const QString& name) const { return dir->path() + "/" + name; }
    void write(const QString& name, const QByteArray& text) {
        QFile f(path(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    QStringList readLines(const QString& name) const {
        QFile f(path(name));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    // The stand-in encoder: notes its arguments and "start/end <output name>" in a log,
    // prints progress, then waits while the file "hold" exists (so that a test can keep
    // it running), prints " 42% done" and writes the MP3 unless told not to.
    void installEncoder(bool writesOutput = true) {
        write("lame", "#!/bin/sh\nd=$(dirname \"$0\")\nfor last; do :; done\n"
                      "name=$(basename \"$last\")\necho \"start $name\" >> \"$d/log.txt\"\n"
                      "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$d/args.txt\"\n"
                      "printf '  5%%|'\n"
                      "i=0; while [ -e \"$d/hold\" ] && [ $i -lt 200 ]; do sleep 0.05; "
                      "i=$((i+1)); done\nprintf ' 42%% done'\n" +
                          (writesOutput ? QByteArray("echo mp3 > \"$last\"\n") : QByteArray()) +
                          "echo \"end $name\" >> \"$d/log.txt\"\n");
        QFile::setPermissions(path("lame"), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ExeOwner);
    }
    void hold() { write("hold", ""); }
    void release() { QFile::remove(path("hold")); }
    QStringList lines() const {
        QStringList out;
        for (int row = 0; row < session->takes.rowCount(); ++row)
            out << Takes::line(session->takes.at(row));
        return out;
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        messages = FakeMessageBox();
        write("Config.ini", "[Config]\nChannels=1\nBitsPerSample=16\nSamplesPerSec=22050\n"
                            "Save Position=" +
                                path("take.wav").toUtf8() + "\n");
        audio.onWavelark = [](const QByteArray& file, int32_t mode, int32_t, int32_t, int32_t,
                              int32_t) {
            if (mode == 0) {
                QFile out(QString::fromLocal8Bit(file));
                if (out.open(QIODevice::WriteOnly))
                    out.write("RIFF");
            }
            return 0;
        };
        session = std::make_unique<Session>(dir->path(), audio, player, &messages);
        session->recorder.reloadOutputPath();
        session->loadConfiguration();
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
        write("lame", "#!/bin/sh\nprintf '%s' '" + chunk +
                          "'\nfor last; do :; done; echo mp3 > \"$last\"\n");
        QFile::setPermissions(path("lame"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        QStringList texts;
        QList<int> colours;
        connect(&session->status, &StatusLine::changed, this, [&](const QString& t, int c) {
            texts << t;
            colours << c;
        });
        session->converter().convert(QString(), path("a.wav"), path("a.mp3"));
        // Blue while it runs, the progress in the encoder's words, red once it has ended.
        QCOMPARE(texts, QStringList{"before"} + progress + QStringList{kFinish});
        QCOMPARE(colours, QList<int>(texts.size() - 1, kBlue) + QList<int>{kRed});
    }

    void convertALineAddsItsMp3Line() {
        installEncoder();
        const QString wav = path("My \"Take\" $1.wav");
        write("My \"Take\" $1.wav", "RIFF");
        session->takes.add(wav, 42, Takes::Kind::Wav);
        session->takes.add(path("other.wav"), 5, Takes::Kind::Wav);
        session->convertLine(0);
        const QString mp3 = path("My \"Take\" $1.mp3");
        QCOMPARE(readLines("args.txt"), QStringList({"-b", "128", "-m", "j", wav, mp3}));
        // The MP3 line gives the length of the line it came from.
        QCOMPARE(lines().last(), "03     00:42     " + mp3);
        QCOMPARE(session->status.text(), kFinish);
        QCOMPARE(session->status.colour(), kRed);
        QVERIFY(messages.texts.isEmpty());
        QVERIFY(!session->converter().busy());

        session->settings.LameOptions = " -b 192 -m s -h";
        session->convertLine(1);
        QCOMPARE(readLines("args.txt"),
                 QStringList({"-b", "192", "-m", "s", "-h", path("other.wav"), path("other.mp3")}));
        QCOMPARE(lines().last(), "04     00:05     " + path("other.mp3"));

        session->convertLine(-1);
        QCOMPARE(session->status.text(), QString("Select a recording in the list to convert."));
        QCOMPARE(lines().size(), 4);
    }

    void convertAFile() {
        installEncoder();
        write("b.wav", "RIFF");
        session->convertFile(path("b.wav"));
        QCOMPARE(readLines("args.txt").mid(4), QStringList({path("b.wav"), path("b.mp3")}));
        QVERIFY(QFile::exists(path("b.mp3")));
        QVERIFY(lines().isEmpty()); // a file from the dialog gets no line
        QCOMPARE(session->status.text(), kFinish);

        // A file that is not there shows as the empty path and is not converted.
        session->convertFile(path("gone.wav"));
        QCOMPARE(session->status.text(), QString());
        QCOMPARE(readLines("log.txt").size(), 2);
    }

    void anEncoderThatCannotStart() {
        write("a.wav", "RIFF");
        session->takes.add(path("a.wav"), 1, Takes::Kind::Wav);
        QList<bool> started;
        connect(&session->converter(), &Converter::finished, this,
                [&](const QString&, const QString&, bool, bool s) { started << s; });
        session->convertLine(0);
        QCOMPARE(messages.texts, QStringList{"File or command not found"});
        QCOMPARE(started, QList<bool>{false});
        // The window is idle again as it was: text and colour.
        QCOMPARE(session->status.text(), QString("before"));
        QCOMPARE(session->status.colour(), 0x00FF00);
        QCOMPARE(lines().size(), 1);
        QVERIFY(!session->converter().busy());
    }

    void anEncoderThatWritesNothing() {
        installEncoder(false);
        write("a.wav", "RIFF");
        session->takes.add(path("a.wav"), 1, Takes::Kind::Wav);
        session->convertLine(0);
        QCOMPARE(lines().size(), 1);
        QCOMPARE(session->status.text(),
                 "The conversion failed: " + path("a.mp3") + " was not written.");
        QCOMPARE(session->status.colour(), kRed);

        write("b.wav", "RIFF");
        session->convertFile(path("b.wav"));
        QCOMPARE(session->status.text(),
                 "The conversion failed: " + path("b.mp3") + " was not written.");
    }

    void refusedWhileOneRuns() {
        installEncoder();
        write("a.wav", "RIFF");
        session->takes.add(path("a.wav"), 1, Takes::Kind::Wav);
        hold();
        QString refusals;
        int queued = -1;
        QList<int> colours;
        QTimer::singleShot(0, this, [&] {
            session->convertLine(0);
            refusals += session->status.text();
            colours << session->status.colour();
            session->convertFile(path("a.wav"));
            refusals += session->status.text();
            colours << session->status.colour();
            queued = session->converter().queued();
            release();
        });
        session->convertLine(0);
        QCOMPARE(refusals, QString("A conversion is running; wait for it to finish before starting "
                                   "another.")
                               .repeated(2));
        QCOMPARE(colours, QList<int>({kRed, kRed}));
        QCOMPARE(queued, 0);
        QCOMPARE(readLines("log.txt"), QStringList({"start a.mp3", "end a.mp3"}));
        QCOMPARE(lines().size(), 2);
    }

    void convertOnCompletion_data() {
        QTest::addColumn<bool>("writesOutput");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("lineCount");
        QTest::newRow("converted")
            << true << "Recording is over,Wave file has saved in appointed path" << 2;
        QTest::newRow("failed") << false
                                << "The recording is saved, but the conversion failed: %1 "
                                   "was not written."
                                << 1;
    }
    void convertOnCompletion() {
        QFETCH(bool, writesOutput);
        QFETCH(QString, status);
        QFETCH(int, lineCount);
        installEncoder(writesOutput);
        session->settings.AutoMp3 = 1;
        session->recorder.record();
        QTRY_COMPARE(session->recorder.phase(), Recorder::Phase::Recording);
        session->recorder.tick();
        session->recorder.tick();
        session->recorder.stopAndSave();
        QTRY_COMPARE(session->recorder.phase(), Recorder::Phase::Idle);
        QCOMPARE(readLines("args.txt").mid(4), QStringList({path("take.wav"), path("take.mp3")}));
        QCOMPARE(lines(), QStringList({"01     00:01     " + path("take.wav"),
                                       "02     00:01     " + path("take.mp3")})
                              .mid(0, lineCount));
        QCOMPARE(session->status.text(), status.replace("%1", path("take.mp3")));
        QCOMPARE(session->status.colour(), kRed);
    }

    // A conversion asked for inside a running one (here from the status line's listener,
    // i.e. within the first one's output) runs after it, on its own, and the converter is
    // busy throughout.
    void aConversionAskedForWhileOneRunsWaitsItsTurn() {
        installEncoder();
        hold();
        DOSOutputs runner(messages);
        runner.setYieldHook([] { yieldToWindowSystem(); });
        StatusLine status;
        Converter converter(runner, status, path("lame"));
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
            converter.convert(QString(), path("b.wav"), path("b.mp3"), QStringLiteral("B"));
            release();
        });
        converter.convert(QString(), path("a.wav"), path("a.mp3"), QStringLiteral("A"));
        QVERIFY(asked);
        QCOMPARE(readLines("log.txt"),
                 QStringList({"start a.mp3", "end a.mp3", "start b.mp3", "end b.mp3"}));
        QCOMPARE(done, QStringList({"a.mp3 ok A busy", "b.mp3 ok B busy"}));
        QCOMPARE(busy, QList<bool>({true, false}));
        QVERIFY(!converter.busy());
        QCOMPARE(status.text(), kFinish);
    }

    // Stop during a running conversion with convert-on-completion set: the take's conversion
    // waits for the running one; both MP3s get their lines.
    void aTakeSavedDuringAConversionIsConvertedAfterIt() {
        installEncoder();
        write("a.wav", "RIFF");
        session->takes.add(path("a.wav"), 42, Takes::Kind::Wav);
        session->settings.AutoMp3 = 1;
        session->recorder.record();
        QTRY_COMPARE(session->recorder.phase(), Recorder::Phase::Recording);
        session->recorder.tick();
        session->recorder.tick();

        QList<bool> busy;
        connect(&session->converter(), &Converter::busyChanged, this, [&](bool b) { busy << b; });
        // The take is saved while the first conversion waits; then it may end.
        connect(&session->recorder, &Recorder::takeSaved, this, [&] { release(); });
        hold();
        QTimer::singleShot(0, this, [&] { session->recorder.stopAndSave(); });
        session->convertLine(0);

        QCOMPARE(session->recorder.phase(), Recorder::Phase::Idle);
        QCOMPARE(readLines("log.txt"),
                 QStringList({"start a.mp3", "end a.mp3", "start take.mp3", "end take.mp3"}));
        QCOMPARE(busy, QList<bool>({true, false}));
        QCOMPARE(lines(), QStringList({"01     00:42     " + path("a.wav"),
                                       "02     00:01     " + path("take.wav"),
                                       "03     00:42     " + path("a.mp3"),
                                       "04     00:01     " + path("take.mp3")}));
        QVERIFY(messages.texts.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestCoreConverter)
#include "test_core_converter.moc"
