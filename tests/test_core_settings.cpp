// The recording format's arithmetic and the Config.ini keys as Settings reads and writes them.
#include "core/Settings.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(tw::RecordingFormat)

using namespace tw;
using namespace tw::test;

class TestCoreSettings : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    QString ini() const { return dir->path() + "/Config.ini"; }

  private slots:
    void init() { dir = std::make_unique<QTemporaryDir>(); }
    void cleanup() { QLocale::setDefault(QLocale::c()); }

    void rate_data() {
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("samples");
        QTest::addColumn<QString>("shown");

        QTest::newRow("8000 mono 8") << 1 << 8 << 8000 << "0.458";
        QTest::newRow("11025 mono 16") << 1 << 16 << 11025 << "1.262";
        QTest::newRow("22050 stereo 8") << 2 << 8 << 22050 << "2.523";
        QTest::newRow("44100 stereo 16") << 2 << 16 << 44100 << "10.094";
        QTest::newRow("no sample size") << 2 << 0 << 44100 << "0.000";
        // A single reads as 7 digits, which are then rounded half away from zero.
        QTest::newRow("7 digits round up") << 1 << 8 << 17485 << "1.001";
        QTest::newRow("tie rounds away") << 1 << 16 << 24576 << "2.813";
        QTest::newRow("product beyond 32 bits") << 1000 << 32 << 2000000 << "457763.700";
        QTest::newRow("negative") << -1 << 8 << 8000 << "-0.458";
    }
    void rate() {
        QFETCH(int, channels);
        QFETCH(int, bits);
        QFETCH(int, samples);
        QFETCH(QString, shown);
        // The recording's size readout reads the number back, so a decimal comma of the
        // user's locale must not get in.
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));

        const RecordingFormat f{channels, samples, bits};
        const double exact = double(channels) * samples * bits * 60 / 8 / 1024 / 1024;
        QCOMPARE(dataRatePerMinute(f), float(exact));
        QCOMPARE(rateText(dataRatePerMinute(f)), shown);
    }

    void megabytesPerSecondComesFromTheShownRate_data() {
        QTest::addColumn<RecordingFormat>("format");
        QTest::addColumn<QString>("perSecond");
        QTest::newRow("44100 stereo 16") << RecordingFormat{2, 44100, 16} << "0.168";
        QTest::newRow("8000 mono 8") << RecordingFormat{1, 8000, 8} << "0.008";
        // 0.08955 MB/min shows as 0.090, and 0.090 / 60 is 0.0015: "0.002", where the exact
        // rate would give 0.001.
        QTest::newRow("rounded rate") << RecordingFormat{1, 1565, 8} << "0.002";
    }
    void megabytesPerSecondComesFromTheShownRate() {
        QFETCH(RecordingFormat, format);
        QFETCH(QString, perSecond);
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QCOMPARE(megabytesPerSecond(format), perSecond);
    }

    void formatCaptionLeavesOutTheChannels() {
        QCOMPARE(formatCaption({2, 22050, 16}), QString("22050  Hz   16  Bit"));
        QCOMPARE(formatCaption({1, 8000, 8}), QString("8000  Hz   8  Bit"));
    }

    void openFormat_data() {
        QTest::addColumn<QByteArray>("formatLines");
        QTest::addColumn<RecordingFormat>("expected");
        QTest::newRow("mono 8 bit 8000")
            << QByteArray("Channels=1\nBitsPerSample=8\nSamplesPerSec=8000\n")
            << RecordingFormat{1, 8000, 8};
        // Values the dialog has no control for become the ones it shows, so that it never
        // shows a format that is not in force.
        QTest::newRow("stereo 16 bit 48000")
            << QByteArray("Channels=2\nBitsPerSample=16\nSamplesPerSec=48000\n")
            << RecordingFormat{2, 48000, 16};
        QTest::newRow("out of range")
            << QByteArray("Channels=3\nBitsPerSample=12\nSamplesPerSec=96000\n")
            << RecordingFormat{2, 22050, 16};
        QTest::newRow("keys missing") << QByteArray() << RecordingFormat{2, 22050, 16};
    }
    void openFormat() {
        QFETCH(QByteArray, formatLines);
        QFETCH(RecordingFormat, expected);
        QVERIFY(writeFile(ini(), "[Config]\nRecording Source=2\n" + formatLines));
        const QByteArray before = readFile(ini());
        Settings settings(dir->path());

        // Whatever memory held is replaced by the file, and comes back on Cancel.
        settings.format = {1, 11025, 8};
        settings.openFormat();
        QCOMPARE(settings.format, expected);
        QCOMPARE(readFile(ini()), before);
        settings.format.Channels = 1;
        settings.cancelFormat();
        QCOMPARE(settings.format, RecordingFormat({1, 11025, 8}));

        // Ok keeps what was chosen.
        settings.openFormat();
        settings.format.SamplesPerSec = 8000;
        settings.acceptFormat();
        settings.cancelFormat();
        QCOMPARE(settings.format.SamplesPerSec, 8000);
    }

    // Without a recording source the program has nothing to record from: the wizard runs,
    // also when the wizard was closed early and left only the volume behind.
    // A write that did not reach the file says so, naming what and where, never "saved".
    // An installed program's folder cannot be written: its settings and first takes go to
    // the user's own folders, as the desktop names them.
    void aProgramFolderThatCannotBeWrittenKeepsNothingThere() {
        qputenv("XDG_CONFIG_HOME", (dir->path() + "/config").toLocal8Bit());
        QVERIFY(QDir().mkpath(dir->path() + "/config"));
        QVERIFY(writeFile(dir->path() + "/config/user-dirs.dirs",
                          "XDG_MUSIC_DIR=\"" + dir->path().toUtf8() + "/Tunes\"\n"));
        QCOMPARE(Settings::settingsFolder("/usr/lib/tunewright", false),
                 dir->path() + "/config/tunewright");
        QCOMPARE(Settings::savingFolder("/usr/lib/tunewright", false), dir->path() + "/Tunes");
        QCOMPARE(Settings::settingsFolder(dir->path(), true), dir->path());
        QCOMPARE(Settings::savingFolder(dir->path(), true), dir->path());
        qunsetenv("XDG_CONFIG_HOME");
    }

    void aFailedWriteIsReported() {
        const QString folder = dir->path() + "/gone"; // no such folder: no file can be written
        Settings settings(folder);
        QSignalSpy failed(&settings, &Settings::writeFailed);
        QVERIFY(!settings.writeSavePosition("/music/take.wav"));
        QCOMPARE(failed.last().at(0).toString(),
                 "The output file could not be saved in " + folder + "/Config.ini.");
        QVERIFY(!settings.writeVolume(3));
        QVERIFY(!settings.writeFormat({1, 8000, 8}));
        QVERIFY(!settings.writeWizardResult(1));
        QCOMPARE(failed.size(), 4);
        QVERIFY(settings.writeFailure("X").startsWith("X could not be saved in "));

        Settings fine(dir->path());
        QSignalSpy none(&fine, &Settings::writeFailed);
        QVERIFY(fine.writeVolume(3));
        QVERIFY(none.isEmpty());
    }

    void aFileWithoutASourceIsAFirstRun() {
        QVERIFY(writeFile(ini(), "[Config]\nRecording Volume=30000\n"));
        QVERIFY(Settings(dir->path()).firstRun());
        QVERIFY(writeFile(ini(), "[Config]\nRecording Source=1\n"));
        QVERIFY(!Settings(dir->path()).firstRun());
    }

    void readsDefaultsWithoutAFile() {
        Settings settings(dir->path());
        QVERIFY(settings.firstRun());
        QCOMPARE(settings.mixerSourceFromFile(), -2);
        QCOMPARE(settings.engineSourceFromFile(), -1);
        QVERIFY(!settings.volumeFromFile()); // the source keeps its own
        QCOMPARE(settings.savePosition(), settings.defaultSavePosition());
        QCOMPARE(settings.formatFromFile(), RecordingFormat{});
        QVERIFY(!QFile::exists(ini()));

        // The format's keys are added in the order they are written.
        settings.writeVolume(1);
        settings.writeFormat({1, 11025, 8});
        QCOMPARE(readFile(ini()), QByteArray("[Config]\nRecording Volume=1\nChannels=1\n"
                                             "BitsPerSample=8\nSamplesPerSec=11025\n"));
    }

    void readsAndWritesTheKeys() {
        QVERIFY(writeFile(ini(), "[Config]\nRecording Source=2\nSave Position=/music/rec.wav\n"
                                 "Channels= 2\nBitsPerSample=+16\nSamplesPerSec=044100\n"
                                 "Recording Volume=30000\n"));
        Settings settings(dir->path());
        QVERIFY(!settings.firstRun());
        QCOMPARE(settings.mixerSourceFromFile(), 1);
        QCOMPARE(settings.engineSourceFromFile(), 1);
        QCOMPARE(settings.volumeFromFile(), 30000);
        QCOMPARE(settings.savePosition(), QString("/music/rec.wav"));
        QCOMPARE(settings.formatFromFile(), (RecordingFormat{2, 44100, 16}));

        // Values are replaced in place, as plain numbers; the other lines stay.
        settings.writeFormat(settings.formatFromFile());
        settings.writeVolume(-5);
        settings.writeSavePosition("/tmp/other take.wav");
        QCOMPARE(readFile(ini()),
                 QByteArray("[Config]\nRecording Source=2\nSave Position=/tmp/other take.wav\n"
                            "Channels=2\nBitsPerSample=16\nSamplesPerSec=44100\n"
                            "Recording Volume=-5\n"));
        QCOMPARE(settings.volumeFromFile(), -5);

        // A save position is read whole, past the 254 characters of old profile files.
        const QString longPath = "/" + QString(300, 'a');
        settings.writeSavePosition(longPath);
        QCOMPARE(settings.savePosition(), longPath);
    }

    // The inputs' keys: a hand-edited file with a value out of range or no number at all
    // records as it can, never with a silent input or a refused program name.
    void inputKeysRead_data() {
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<int>("second");
        QTest::addColumn<QString>("program");
        QTest::addColumn<int>("firstLevel");
        QTest::addColumn<int>("secondLevel");
        QTest::addColumn<bool>("own");
        QTest::newRow("missing") << QByteArray() << 0 << "" << 100 << 100 << false;
        QTest::newRow("set") << QByteArray("Second Recording Source=3\nApplication Source= Firefox "
                                           "\nFirst Input Level=80\nSecond Input Level=150\n"
                                           "Inputs On Own Channels=1\n")
                             << 3 << "Firefox" << 80 << 150 << true;
        QTest::newRow("out of range") << QByteArray("Second Recording Source=-2\nFirst Input "
                                                    "Level=250\nSecond Input Level=-5\n")
                                      << 0 << "" << 200 << 0 << false;
        QTest::newRow("no numbers") << QByteArray("Second Recording Source=two\nFirst Input "
                                                  "Level=loud\nSecond Input Level=\nInputs On Own "
                                                  "Channels=yes\n")
                                    << 0 << "" << 100 << 100 << false;
        QTest::newRow("name too long") << "Application Source=" + QByteArray(256, 'x') + "\n"
                                       << 0 << "" << 100 << 100 << false;
    }
    void inputKeysRead() {
        QFETCH(QByteArray, keys);
        QVERIFY(writeFile(ini(), "[Config]\nRecording Source=1\n" + keys));
        const InputChoice inputs = Settings(dir->path()).inputChoice();
        QFETCH(int, second);
        QFETCH(QString, program);
        QFETCH(int, firstLevel);
        QFETCH(int, secondLevel);
        QFETCH(bool, own);
        QCOMPARE(inputs.secondSource, second);
        QCOMPARE(inputs.application, program);
        QCOMPARE(inputs.firstLevel, firstLevel);
        QCOMPARE(inputs.secondLevel, secondLevel);
        QCOMPARE(inputs.ownChannels, own);
    }

    void inputKeysWrittenReadBack() {
        Settings settings(dir->path());
        InputChoice inputs;
        inputs.secondSource = 2;
        inputs.application = QString::fromUtf8("Réunion");
        inputs.firstLevel = 40;
        inputs.secondLevel = 200;
        inputs.ownChannels = true;
        QVERIFY(settings.writeInputChoice(inputs));
        QCOMPARE(Settings(dir->path()).inputChoice(), inputs);
        QVERIFY(readFile(ini()).contains("Application Source=R\xc3\xa9union\n"));
        // Back to none: the keys say so, the other settings stay.
        QVERIFY(settings.writeSavePosition("/m/a.wav"));
        QVERIFY(settings.writeInputChoice(InputChoice()));
        QCOMPARE(Settings(dir->path()).inputChoice(), InputChoice());
        QCOMPARE(Settings(dir->path()).savePosition(), QString("/m/a.wav"));
    }
};

QTEST_GUILESS_MAIN(TestCoreSettings)
#include "test_core_settings.moc"
