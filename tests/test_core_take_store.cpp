// The list of takes kept across runs: written, read back, and a missing or damaged file.
#include "core/StatusLine.h"
#include "core/TakeStore.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;
using namespace tw::test;

class TestCoreTakeStore : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    QString path(const QString& name) const { return dir->path() + "/" + name; }
    QString take(const QString& name) const {
        writeFile(path(name), "RIFF");
        return path(name);
    }
    QString storeFile() const { return path("data/tunewright/takes.json"); }
    bool writeStore(const QByteArray& content) const {
        return QDir().mkpath(path("data/tunewright")) && writeFile(storeFile(), content);
    }

    // One run: a list and its store, opened and waited for.
    struct Run {
        Takes takes;
        StatusLine status;
        TakeStore store{takes, status};
    };
    std::unique_ptr<Run> start() {
        auto run = std::make_unique<Run>();
        QSignalSpy opened(&run->store, &TakeStore::opened);
        run->store.open(storeFile());
        if (!opened.wait(5000))
            return nullptr;
        return run;
    }

  private slots:
    void init() { dir = std::make_unique<QTemporaryDir>(); }

    void earlierTakesThatStillExistComeBackAboveThisRuns() {
        const QString a = take("a.wav"), b = take("b.mp3"), c = take("c.wav");
        {
            auto first = start();
            QVERIFY(first);
            // No file yet: said, and begun.
            QCOMPARE(first->status.colour(), kBlue);
            QVERIFY(first->status.text().contains(storeFile()));
            first->takes.add(a, 5, Takes::Kind::Wav);
            first->takes.add(b, 65, Takes::Kind::Converted);
            first->takes.add(c, 7, Takes::Kind::Wav);
            first->takes.remove(2); // a removed line is not listed again
        }                           // the store writes what is pending before it goes
        QVERIFY(QFile::exists(storeFile()));
        QFile::remove(a); // gone since: left out

        auto second = start();
        QVERIFY(second);
        QVERIFY(second->status.text().isEmpty()); // a good file says nothing
        QCOMPARE(lines(second->takes), QStringList{"01     01:05     " + b});
        QVERIFY(second->takes.at(0).earlier);
        QCOMPARE(second->takes.at(0).kind, Takes::Kind::Converted);
        second->takes.add(c, 7, Takes::Kind::Wav);
        QCOMPARE(lines(second->takes).last(), "02     00:07     " + c);
        QVERIFY(!second->takes.at(1).earlier);

        // "Clear list" empties the kept list too; no file goes.
        second->takes.clear();
        second.reset();
        QVERIFY(QFile::exists(b) && QFile::exists(c));
        auto third = start();
        QVERIFY(third);
        QCOMPARE(third->takes.rowCount(), 0);
    }

    void takesOfThisRunBeforeTheFileIsReadAreNumberedAfterIt() {
        const QString a = take("a.wav"), b = take("b.wav");
        Takes earlier;
        earlier.add(a, 1, Takes::Kind::Wav);
        QVERIFY(writeStore(TakeStore::serialize(earlier)));
        Run run;
        run.takes.add(b, 2, Takes::Kind::Wav);
        QSignalSpy opened(&run.store, &TakeStore::opened);
        run.store.open(storeFile());
        QVERIFY(opened.wait(5000));
        QCOMPARE(lines(run.takes), QStringList({"01     00:01     " + a, "02     00:02     " + b}));
        QCOMPARE(run.takes.nextEntryNumber(), 3);
    }

    void aDamagedFileIsSaidKeptAndBegunAnew_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("cut short") << QByteArray(R"({"takes": [{"path": "/x.wav")");
        QTest::newRow("not a list") << QByteArray(R"({"takes": 3})");
        QTest::newRow("binary") << QByteArray("\x00\xff\x13garbage", 10);
    }
    void aDamagedFileIsSaidKeptAndBegunAnew() {
        QFETCH(QByteArray, content);
        QVERIFY(writeStore(content));
        auto run = start();
        QVERIFY(run);
        QCOMPARE(run->takes.rowCount(), 0);
        QCOMPARE(run->status.colour(), kRed);
        const QString kept = storeFile() + ".damaged";
        QVERIFY2(run->status.text().contains(kept), qPrintable(run->status.text()));
        QCOMPARE(readFile(kept), content);
        const QString a = take("a.wav");
        run->takes.add(a, 3, Takes::Kind::Wav);
        run.reset();
        const TakeStore::Read again = TakeStore::read(storeFile());
        QVERIFY(again.damage.isEmpty());
        QCOMPARE(again.takes.size(), 1);
        QCOMPARE(again.takes.at(0).path, a);
    }
};

QTEST_GUILESS_MAIN(TestCoreTakeStore)
#include "test_core_take_store.moc"
