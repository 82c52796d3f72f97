#include "core/DOSOutputs.h"
#include "core/OutputFormat.h"
#include "platform/FakeMessageBox.h"
#include "platform/QtMessageBox.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <cstdio>
#include <vector>

using namespace tw;

namespace {

void recordChunks(DOSOutputs& dos, QStringList& chunks) {
    QObject::connect(&dos, &DOSOutputs::ReceiveOutputs,
                     [&chunks](const QString& chunk) { chunks.append(chunk); });
}

// Processes whose parent is this test, zombies included, as "pid state".
QStringList childrenOfThisProcess() {
    const QByteArray self = QByteArray::number(QCoreApplication::applicationPid());
    QStringList children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool numeric = false;
        entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // "pid (name) state ppid ...": the name may hold blanks and parentheses.
        const qsizetype close = line.lastIndexOf(')');
        if (close < 0)
            continue;
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        if (fields.size() > 1 && fields[1] == self)
            children.append(entry + QLatin1Char(' ') + QString::fromLatin1(fields[0]));
    }
    return children;
}

qsizetype openDescriptors() {
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System).size();
}

QString quoted(const QString& path) {
    return QLatin1Char('"') + path + QLatin1Char('"');
}

} // namespace

class TestDOSOutputs : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() { QApplication::setApplicationDisplayName(QStringLiteral("Tunewright")); }
    // No run may leave a child behind, living or zombie.
    void cleanup() { QTRY_COMPARE_WITH_TIMEOUT(childrenOfThisProcess(), QStringList(), 5000); }

    void commandLineProperty() {
        FakeMessageBox box;
        DOSOutputs dos(box);
        QCOMPARE(dos.property("Commandline").toString(), QString());
        QVERIFY(dos.setProperty("Commandline", QStringLiteral("echo stored")));
        QCOMPARE(dos.Commandline(), QStringLiteral("echo stored"));
        QVERIFY(!dos.setProperty("Outputs", QStringLiteral("x")));

        // An empty argument runs the stored line; a non-empty one replaces it for good.
        QCOMPARE(dos.ExecuteCommand(), QStringLiteral("stored\n"));
        QCOMPARE(dos.ExecuteCommand(QStringLiteral("echo given")), QStringLiteral("given\n"));
        QCOMPARE(dos.Commandline(), QStringLiteral("echo given"));
        QCOMPARE(dos.ExecuteCommand(QString()), QStringLiteral("given\n"));
        QCOMPARE(dos.property("Outputs").toString(), QStringLiteral("given\n"));
        QVERIFY(box.texts.isEmpty());
    }

    void emptyCommandLine() {
        FakeMessageBox box;
        DOSOutputs dos(box);
        QStringList chunks;
        recordChunks(dos, chunks);
        QCOMPARE(dos.ExecuteCommand(), QString());
        QCOMPARE(box.texts, QStringList{QStringLiteral("Command Line empty")});
        QVERIFY(chunks.isEmpty());

        QCOMPARE(dos.ExecuteCommand(QStringLiteral("echo previous")), QStringLiteral("previous\n"));
        dos.setCommandline(QString());
        chunks.clear();
        QCOMPARE(dos.ExecuteCommand(QString()), QString());
        QCOMPARE(box.texts.size(), 2);
        QCOMPARE(box.texts.last(), QStringLiteral("Command Line empty"));
        QVERIFY(chunks.isEmpty());
        QCOMPARE(dos.Outputs(), QStringLiteral("previous\n"));
    }

    void programNotStarted_data() {
        QTest::addColumn<QString>("commandLine");
        QTest::newRow("missing path") << QStringLiteral("/nonexistent/tw-no-such-program -x");
        QTest::newRow("missing on PATH") << QStringLiteral("tw-no-such-program-anywhere arg");
        QTest::newRow("a directory") << QStringLiteral("/tmp");
        QTest::newRow("blanks only") << QStringLiteral("   ");
        QTest::newRow("empty quotes") << QStringLiteral("\"\"");
    }
    void programNotStarted() {
        QFETCH(QString, commandLine);
        FakeMessageBox box;
        DOSOutputs dos(box);
        QStringList chunks;
        recordChunks(dos, chunks);
        QCOMPARE(dos.ExecuteCommand(QStringLiteral("echo previous")), QStringLiteral("previous\n"));
        chunks.clear();
        const qsizetype descriptorsBefore = openDescriptors();

        QCOMPARE(dos.ExecuteCommand(commandLine), QString());
        QCOMPARE(box.texts, QStringList{QStringLiteral("File or command not found")});
        QVERIFY(chunks.isEmpty());
        QCOMPARE(dos.Outputs(), QStringLiteral("previous\n"));
        QCOMPARE(dos.Commandline(), commandLine);
        QCOMPARE(openDescriptors(), descriptorsBefore);                 // both pipe ends closed
        QCOMPARE(int(dos.lastExit().how), int(ChildExit::How::NotRun)); // not the previous run's
    }

    // The run does not wait for its child; asking how it ended does, for five seconds at most.
    void exitStatusOfTheRun_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("how");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("minMs");
        const int exited = int(ChildExit::How::Exited);
        QTest::newRow("status 3") << "echo hi; exit 3" << exited << 3 << 0;
        QTest::newRow("signal") << "kill -9 $$" << int(ChildExit::How::Signalled) << 9 << 0;
        QTest::newRow("ends after its output")
            << "exec >&- 2>&-; sleep 0.5; exit 4" << exited << 4 << 400;
        QTest::newRow("runs on") << "exec >&- 2>&-; sleep 6.5" << int(ChildExit::How::StillRunning)
                                 << 0 << 5000;
    }
    void exitStatusOfTheRun() {
        QFETCH(QString, script);
        QFETCH(int, how);
        QFETCH(int, code);
        QFETCH(int, minMs);
        FakeMessageBox box;
        DOSOutputs dos(box);
        dos.ExecuteArguments({QStringLiteral("sh"), QStringLiteral("-c"), script});
        QElapsedTimer clock;
        clock.start();
        const ChildExit exit = dos.lastExit();
        QCOMPARE(int(exit.how), how);
        QCOMPARE(exit.code, code);
        QVERIFY2(clock.elapsed() >= minMs && clock.elapsed() < minMs + 1000,
                 qPrintable(QString::number(clock.elapsed())));
    }

    void pipeNotCreatedWhenOutOfDescriptors() {
        FakeMessageBox box;
        DOSOutputs dos(box);
        QStringList chunks;
        recordChunks(dos, chunks);
        QCOMPARE(dos.ExecuteCommand(QStringLiteral("echo previous")), QStringLiteral("previous\n"));
        chunks.clear();

        std::vector<std::FILE*> hogs;
        while (hogs.size() < 200000) {
            std::FILE* file = std::fopen("/dev/null", "r");
            if (!file)
                break;
            hogs.push_back(file);
        }
        const bool exhausted = hogs.size() < 200000;
        const QString result = dos.ExecuteCommand(QStringLiteral("echo never"));
        for (std::FILE* file : hogs)
            std::fclose(file);

        QVERIFY2(exhausted, "the open-file limit is too high to run out of descriptors");
        QCOMPARE(result, QString());
        QCOMPARE(box.texts, QStringList{QStringLiteral("CreatePipe failed. Error: 24")}); // EMFILE
        QVERIFY(chunks.isEmpty());
        QCOMPARE(dos.Outputs(), QStringLiteral("previous\n"));
    }

    void chunksOfAtMost256Bytes_data() {
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QList<int>>("sizes"); // empty: any split is right

        // One write of 600 bytes is in the pipe whole before the first read.
        QTest::newRow("600 bytes at once")
            << QStringLiteral("printf %0600d 0") << QString(600, QLatin1Char('0'))
            << QList<int>{256, 256, 88, 0};
        QString lines;
        while (lines.size() < 10240)
            lines += QStringLiteral("0123456789abcdef\n");
        lines.truncate(10240);
        QTest::newRow("10 KB in a stream")
            << QStringLiteral("sh -c \"yes 0123456789abcdef | head -c 10240\"") << lines
            << QList<int>{};
        QTest::newRow("no output") << QStringLiteral("true") << QString() << QList<int>{0};
    }
    void chunksOfAtMost256Bytes() {
        QFETCH(QString, commandLine);
        QFETCH(QString, expected);
        QFETCH(QList<int>, sizes);
        FakeMessageBox box;
        DOSOutputs dos(box);
        QStringList chunks;
        recordChunks(dos, chunks);
        const qsizetype descriptorsBefore = openDescriptors();

        QCOMPARE(dos.ExecuteCommand(commandLine), expected);
        QCOMPARE(dos.Outputs(), expected);
        QVERIFY(!chunks.isEmpty());
        QCOMPARE(chunks.last(), QString());
        QCOMPARE(chunks.count(QString()), 1);
        QVERIFY(chunks.size() >= expected.size() / 256 + 1);
        for (const QString& chunk : chunks)
            QVERIFY2(chunk.size() <= 256, qPrintable(QString::number(chunk.size())));
        QCOMPARE(chunks.join(QString()), expected);
        if (!sizes.isEmpty()) {
            QList<int> seen;
            for (const QString& chunk : chunks)
                seen.append(int(chunk.size()));
            QCOMPARE(seen, sizes);
        }
        QVERIFY(box.texts.isEmpty());
        QCOMPARE(openDescriptors(), descriptorsBefore);
    }

    void outputAndErrorJoined() {
        FakeMessageBox box;
        DOSOutputs dos(box);
        QCOMPARE(dos.ExecuteCommand(QStringLiteral("sh -c \"echo only-error >&2\"")),
                 QStringLiteral("only-error\n"));
        QCOMPARE(dos.ExecuteCommand(QStringLiteral("sh -c \"echo out; echo err >&2; echo out2\"")),
                 QStringLiteral("out\nerr\nout2\n"));
    }

    void standardInputIsEmpty() {
        // This program's own input has something to read, which the child must not see.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QFile typed(dir.filePath(QStringLiteral("typed")));
        QVERIFY(typed.open(QIODevice::WriteOnly));
        typed.write("typed\n");
        typed.close();
        QVERIFY(std::freopen(QFile::encodeName(typed.fileName()).constData(), "r", stdin));
        FakeMessageBox box;
        DOSOutputs dos(box);
        QStringList chunks;
        recordChunks(dos, chunks);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(dos.ExecuteCommand(QStringLiteral("cat")), QString());
        QVERIFY(clock.elapsed() < 2000);
        QCOMPARE(chunks, QStringList{QString()});
        QCOMPARE(dos.ExecuteCommand(QStringLiteral("sh -c \"read line; echo status=$?\"")),
                 QStringLiteral("status=1\n"));
    }

    void noShell() {
        FakeMessageBox box;
        DOSOutputs dos(box);
        QCOMPARE(dos.ExecuteCommand(QStringLiteral("echo $HOME \"two  spaces\" * ;x")),
                 QStringLiteral("$HOME two  spaces * ;x\n"));
        QCOMPARE(dos.ExecuteCommand(QStringLiteral("printf [%s] \"a b\" c")),
                 QStringLiteral("[a b][c]"));
    }

    void argumentsGivenOneByOne() {
        // Each word reaches the child whole and unexpanded, an empty one included.
        FakeMessageBox box;
        DOSOutputs dos(box);
        const QString odd = QStringLiteral("/tmp/my \"take\"  $HOME 'n'*.wav");
        QCOMPARE(dos.ExecuteArguments({QStringLiteral("printf"), QStringLiteral("[%s]"), odd,
                                       QString(), QStringLiteral("b")}),
                 QLatin1Char('[') + odd + QStringLiteral("][][b]"));
        QCOMPARE(dos.ExecuteArguments({}), QString());
        QCOMPARE(dos.ExecuteArguments({QString(), QStringLiteral("x")}), QString());
        QCOMPARE(box.texts, QStringList(2, QStringLiteral("Command Line empty")));
    }

    void characterAcrossReads_data() {
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<QStringList>("expected");
        // 257 bytes in one write: the first read ends inside "é".
        QTest::newRow("split character")
            << QStringLiteral("printf %0255d%s 0 é")
            << QStringList{QString(255, QLatin1Char('0')), QStringLiteral("é"), QString()};
        QTest::newRow("truncated at the end")
            << QStringLiteral("printf a\\303")
            << QStringList{QStringLiteral("a"), QString(QChar::ReplacementCharacter), QString()};
    }
    void characterAcrossReads() {
        QFETCH(QString, commandLine);
        QFETCH(QStringList, expected);
        FakeMessageBox box;
        DOSOutputs dos(box);
        QStringList chunks;
        recordChunks(dos, chunks);
        QCOMPARE(dos.ExecuteCommand(commandLine), expected.join(QString()));
        QCOMPARE(chunks, expected);
    }

    void grandchildHoldsThePipe() {
        FakeMessageBox box;
        DOSOutputs dos(box);
        QElapsedTimer clock;
        QList<qint64> times;
        QStringList chunks;
        connect(&dos, &DOSOutputs::ReceiveOutputs, this, [&](const QString& chunk) {
            chunks.append(chunk);
            times.append(clock.elapsed());
        });
        clock.start();
        QCOMPARE(dos.ExecuteCommand(QStringLiteral("sh -c \"sleep 1 & echo hi\"")),
                 QStringLiteral("hi\n"));
        QCOMPARE(chunks, (QStringList{QStringLiteral("hi\n"), QString()}));
        QVERIFY2(times[0] < 600, qPrintable(QString::number(times[0])));
        QVERIFY2(times[1] >= 900, qPrintable(QString::number(times[1])));
    }

    void childThatClosesItsOutputIsNotAwaited() {
        FakeMessageBox box;
        DOSOutputs dos(box);
        QStringList chunks;
        recordChunks(dos, chunks);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(dos.ExecuteCommand(QStringLiteral("sh -c \"exec >&- 2>&-; sleep 0.6\"")),
                 QString());
        QVERIFY2(clock.elapsed() < 400, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(chunks, QStringList{QString()});
        QCOMPARE(childrenOfThisProcess().size(), 1); // still running; cleanup() sees it reaped
    }

    void onlyStandardDescriptorsInTheChild() {
        // Neither the pipe's ends nor a descriptor this program opened without close-on-exec
        // reach the child.
        std::FILE* inheritable = std::fopen("/dev/null", "r");
        QVERIFY(inheritable);
        FakeMessageBox box;
        DOSOutputs dos(box);
        const QString listing =
            dos.ExecuteCommand(QStringLiteral("sh -c \"ls /proc/$$/fd; true\""));
        std::fclose(inheritable);
        QCOMPARE(listing, QStringLiteral("0\n1\n2\n"));
        QCOMPARE(dos.ExecuteCommand(QStringLiteral("readlink /proc/self/fd/0")),
                 QStringLiteral("/dev/null\n"));
    }

    // Started, a run hands its output over from the event loop: the caller returns at once,
    // timers fire meanwhile, and the end comes as the empty chunk, then RunEnded with the
    // exit known. One run at a time; a cancelled run ends the same way.
    void aStartedRunIsReadByTheEventLoop() {
        FakeMessageBox box;
        DOSOutputs dos(box);
        QStringList chunks;
        recordChunks(dos, chunks);
        QSignalSpy ended(&dos, &DOSOutputs::RunEnded);
        bool timerFired = false;
        QTimer::singleShot(100, this, [&] { timerFired = true; });
        bool timerFiredBeforeOutput = false;
        connect(&dos, &DOSOutputs::ReceiveOutputs, this, [&](const QString& chunk) {
            timerFiredBeforeOutput |= !chunk.isEmpty() && timerFired;
        });
        QVERIFY(dos.StartArguments({"sh", "-c", "sleep 0.4; echo done; exit 3"}));
        QVERIFY(dos.running());
        QVERIFY(chunks.isEmpty());
        QVERIFY(!dos.StartArguments({"echo", "second"})); // the running one keeps the runner
        QCOMPARE(dos.ExecuteArguments({"echo", "second"}), QString());
        QTRY_COMPARE(ended.size(), 1);
        QVERIFY(timerFiredBeforeOutput);
        QCOMPARE(chunks, (QStringList{QStringLiteral("done\n"), QString()}));
        QCOMPARE(dos.Outputs(), QStringLiteral("done\n"));
        QVERIFY(!dos.running());
        QCOMPARE(dos.lastExit().how, ChildExit::How::Exited);
        QCOMPARE(dos.lastExit().code, 3);
        QVERIFY(box.texts.isEmpty());

        QVERIFY(dos.StartArguments({"sh", "-c", "echo started; exec sleep 30"}));
        QTRY_COMPARE(chunks.size(), 3);
        dos.Cancel();
        QTRY_COMPARE(ended.size(), 2);
        QCOMPARE(chunks.last(), QString());
        QCOMPARE(dos.lastExit().how, ChildExit::How::Signalled);
        QCOMPARE(dos.lastExit().code, 15);

        QVERIFY(!dos.StartArguments({"/no/such/program"}));
        QCOMPARE(box.texts, QStringList{"File or command not found"});
        QCOMPARE(ended.size(), 2);
    }

    void listenerMayDestroyTheRunner() {
        FakeMessageBox box;
        QPointer<DOSOutputs> dos = new DOSOutputs(box);
        int calls = 0;
        connect(dos, &DOSOutputs::ReceiveOutputs, this, [&](const QString&) {
            ++calls;
            delete dos.data();
        });
        QCOMPARE(dos->ExecuteCommand(QStringLiteral("sh -c \"echo a; sleep 0.2; echo b\"")),
                 QString());
        QVERIFY(dos.isNull());
        QCOMPARE(calls, 1);
    }

    void messageBoxOfTheWindowSystem() {
        QtMessageBox box;
        DOSOutputs dos(box);
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            auto* shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!shown)
                return;
            title = shown->windowTitle();
            text = shown->text();
            icon = shown->icon();
            buttons = shown->standardButtons();
            shown->button(QMessageBox::Ok)->click();
        });
        poll.start(20);
        QCOMPARE(dos.ExecuteCommand(), QString());
        poll.stop();
        QCOMPARE(text, QStringLiteral("Command Line empty"));
        QCOMPARE(title, QStringLiteral("Tunewright"));
        QCOMPARE(icon, QMessageBox::Critical);
        QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }

    void lameLauncherInTheApplicationDirectory() {
        const QString appDir = qEnvironmentVariable("TW_APPDIR");
        QVERIFY2(!appDir.isEmpty(), "TW_APPDIR is not set; run the test through ctest");
        const QString launcher = appDir + QStringLiteral("/lame");
        FakeMessageBox box;
        DOSOutputs dos(box);
        dos.setMissingProgramHint(mp3Format().missingHint);
        if (QStandardPaths::findExecutable(QStringLiteral("lame")).isEmpty()) {
            QVERIFY(!QFile::exists(launcher));
            QCOMPARE(dos.ExecuteCommand(quoted(launcher) + QStringLiteral(" --version")),
                     QString());
            QCOMPARE(box.texts.size(), 1);
            QVERIFY2(box.texts[0].startsWith(QStringLiteral("File or command not found")) &&
                         box.texts[0].contains(QStringLiteral("apt install lame")),
                     qPrintable(box.texts[0]));
            return;
        }
        QVERIFY(QFileInfo(launcher).isExecutable());
        const QString banner = dos.ExecuteCommand(quoted(launcher) + QStringLiteral(" --version"));
        QVERIFY2(banner.startsWith(QStringLiteral("LAME ")) && banner.contains("Copyright") &&
                     !banner.contains("usage:"),
                 qPrintable(banner));

        // Arguments reach lame whole, blanks included.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString missing = dir.filePath(QStringLiteral("no such take.wav"));
        const QString complaint =
            dos.ExecuteCommand(quoted(launcher) + QLatin1Char(' ') + quoted(missing));
        QVERIFY2(complaint.contains(QLatin1Char('"') + missing + QLatin1Char('"')),
                 qPrintable(complaint));
        QVERIFY(box.texts.isEmpty());
    }
};

QTEST_MAIN(TestDOSOutputs)
#include "test_dosoutputs.moc"
