// Without a session bus, still one program per user: a second start hands its command to the
// first through a lock and a socket in the runtime folder. The starts are this binary run
// again as child processes, as the program's own second start would be.
#include "platform/SingleInstance.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

using tw::SingleInstance;
using Claim = SingleInstance::Claim;

namespace {

const QString kAppId = QStringLiteral("io.github.tunewright.Test");
const QFile::Permissions kPrivate = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;

QDBusConnection noBus() {
    return QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent"),
                                         QStringLiteral("none"));
}

// What the program's main() does with its claim.
int startLikeTheProgram(const QString& action) {
    SingleInstance instance(kAppId, noBus());
    const Claim claim = instance.claim();
    if (claim == Claim::Owned) {
        fputs("owned\n", stdout);
        fflush(stdout);
        return QCoreApplication::exec();
    }
    QString why;
    // "record=4000": the action with the number main() sends for --stop-after.
    const QString name = action.section(QLatin1Char('='), 0, 0);
    const qint64 number = action.section(QLatin1Char('='), 1).toLongLong();
    if (claim == Claim::Taken && SingleInstance::send(kAppId, name, &why, noBus(), 3000, number))
        return 0;
    fprintf(stderr, "claim %d: %s\n", int(claim), qPrintable(why));
    return 1;
}

QProcess* launch(QObject* parent, const QString& action) {
    auto* start = new QProcess(parent);
    start->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    start->start(QCoreApplication::applicationFilePath(), {QStringLiteral("--start"), action});
    return start;
}

// A second start, run to its end while this process's owner keeps serving.
int secondStart(const QString& action) {
    QObject scope;
    QProcess* start = launch(&scope, action);
    QSignalSpy finished(start, &QProcess::finished);
    return finished.wait(10000) ? start->exitCode() : -1;
}

} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_; // made before TMPDIR points into it

  private slots:
    void secondStartHandsItsCommandToTheOwner_data() {
        QTest::addColumn<QFile::Permissions>("runtimeDir"); // none: unset
        QTest::addColumn<QString>("folder");                // where the socket goes
        const QString own = QStringLiteral("tunewright-%1").arg(::getuid());
        QTest::newRow("runtime-dir") << kPrivate << QStringLiteral("run");
        QTest::newRow("unset") << QFile::Permissions() << own;
        QTest::newRow("open-to-others") << (kPrivate | QFile::ReadOther | QFile::ExeOther) << own;
    }
    void secondStartHandsItsCommandToTheOwner() {
        QFETCH(QFile::Permissions, runtimeDir);
        QFETCH(QString, folder);
        const QString base = tmp_.filePath(QLatin1String(QTest::currentDataTag()));
        QVERIFY(QDir().mkdir(base, kPrivate));
        qputenv("TMPDIR", base.toLocal8Bit());
        qunsetenv("XDG_RUNTIME_DIR");
        if (runtimeDir) {
            QVERIFY(QDir().mkdir(base + QStringLiteral("/run"), runtimeDir));
            qputenv("XDG_RUNTIME_DIR", (base + QStringLiteral("/run")).toLocal8Bit());
        }
        folder = base + QLatin1Char('/') + folder;

        SingleInstance owner(kAppId, noBus());
        QCOMPARE(owner.claim(), Claim::Owned);
        QCOMPARE(SingleInstance(kAppId, noBus()).claim(), Claim::Taken);
        const auto others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                            QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
        for (const QString& name : {QString(), kAppId + ".socket", kAppId + ".lock"}) {
            const QFileInfo file(folder + QLatin1Char('/') + name);
            QVERIFY2(file.exists(), qPrintable(file.filePath()));
            QVERIFY2(!(file.permissions() & others), qPrintable(file.filePath()));
        }

        QSignalSpy actions(&owner, &SingleInstance::actionRequested);
        QSignalSpy shown(&owner, &SingleInstance::activated);
        for (const char* action : {"record", "", "dance", "stop", "record=4000"})
            QCOMPARE(secondStart(QLatin1String(action)), 0);
        QCOMPARE(actions, (QList<QVariantList>{{QStringLiteral("record"), qint64(0)},
                                               {QStringLiteral("stop"), qint64(0)},
                                               {QStringLiteral("record"), qint64(4000)}}));
        QCOMPARE(shown.size(), 1);
    }

    void aDeadOwnersPlaceIsTakenOver() {
        const QString run = tmp_.filePath(QStringLiteral("dead-owner"));
        QVERIFY(QDir().mkdir(run, kPrivate));
        qputenv("XDG_RUNTIME_DIR", run.toLocal8Bit());
        const QString socket = run + QLatin1Char('/') + kAppId + ".socket";

        QProcess* first = launch(this, QStringLiteral("record"));
        QVERIFY(first->waitForReadyRead(10000));
        QCOMPARE(first->readLine(), QByteArray("owned\n"));
        first->kill();
        QVERIFY(first->waitForFinished(10000));
        QVERIFY(QFileInfo::exists(socket)); // left behind, as by a crash

        QString why;
        QVERIFY(!SingleInstance::send(kAppId, QStringLiteral("record"), &why, noBus(), 300));
        QVERIFY2(why.contains(socket), qPrintable(why));

        SingleInstance heir(kAppId, noBus());
        QCOMPARE(heir.claim(), Claim::Owned);
        QSignalSpy actions(&heir, &SingleInstance::actionRequested);
        QLocalSocket halves; // and a line may arrive in pieces
        halves.connectToServer(socket);
        halves.write("rec");
        QTest::qWait(100);
        halves.write("ord\n");
        QTRY_COMPARE(actions, (QList<QVariantList>{{QStringLiteral("record"), qint64(0)}}));
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--start") == 0)
        return startLikeTheProgram(QString::fromLocal8Bit(argv[2]));
    TestSingleInstance test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_single_instance.moc"
