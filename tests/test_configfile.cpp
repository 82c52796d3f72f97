#include "platform/ConfigFile.h"
#include "platform/ConfigFile_p.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <climits>
#include <cstdlib>

using tw::ConfigFile;

namespace {

const QString kSection = QStringLiteral("Config");

// The environment variable that turns this test program into a child that dies in the
// middle of a write (see crashBeforeRenameLeavesOldFile).
constexpr const char* kCrashWriteEnv = "TW_TEST_CONFIGFILE_CRASH_WRITE";
constexpr int kCrashExitCode = 42;

QByteArray readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return f.readAll();
}

bool writeAll(const QString& path, const QByteArray& data) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

} // namespace

class TestConfigFile : public QObject {
    Q_OBJECT

  private slots:
    void init();

    void readsTheFileTheWizardWrites();
    void namesAreTrimmedAndCaseInsensitive();
    void firstSectionAndFirstKeyWin();
    void absentKeySectionOrFileGivesDefault();

    void readIntParsesLikeThePlatform_data();
    void readIntParsesLikeThePlatform();

    void readStringCutsToBufferAndCountsCopied();

    void writeCreatesFileSectionAndKey();
    void wizardSequenceGivesTheDocumentedLayout();
    void writeReplacesValueKeepingEverythingElse();
    void writeAddsKeyAfterLastKeyOfItsSection();
    void writeNormalisesLineEndsAndKeepsUtf8();

    void garbageFileReadsDefaultsAndKeepsItsBytes();
    void directoryAtPathGivesDefaultsAndFailsWrite();
    void unwritableFolderFailsWrite();
    void invalidNamesAndValuesAreRefused_data();
    void invalidNamesAndValuesAreRefused();

    void abandonedWriteLeavesOldFileWhole();
    void crashBeforeRenameLeavesOldFile();

  private:
    QString path() const { return dir_->filePath(QStringLiteral("Config.ini")); }
    QStringList dirEntries() const {
        return QDir(dir_->path())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }

    std::unique_ptr<QTemporaryDir> dir_;
};

void TestConfigFile::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
}

void TestConfigFile::readsTheFileTheWizardWrites() {
    QVERIFY(writeAll(path(), "[Config]\r\n"
                             "Recording Source=2\r\n"
                             "Save Position=/opt/tw/Larktake.wav\r\n"
                             "Channels=2\r\n"
                             "BitsPerSample=16\r\n"
                             "SamplesPerSec=22050\r\n"
                             "Recording Volume=-3\r\n"));
    const ConfigFile cfg(path());
    QVERIFY(cfg.exists());
    QCOMPARE(cfg.readInt(kSection, "Recording Source", -1), 2);
    QCOMPARE(cfg.readInt(kSection, "Channels", 0), 2);
    QCOMPARE(cfg.readInt(kSection, "BitsPerSample", 0), 16);
    QCOMPARE(cfg.readInt(kSection, "SamplesPerSec", 0), 22050);
    QCOMPARE(cfg.readInt(kSection, "Recording Volume", 0), -3);
    QString out;
    QCOMPARE(cfg.readString(kSection, "Save Position", "Default", out), 20);
    QCOMPARE(out, QStringLiteral("/opt/tw/Larktake.wav"));
}

void TestConfigFile::namesAreTrimmedAndCaseInsensitive() {
    QVERIFY(writeAll(path(), "; written by hand\n"
                             "  [ config ]  ; trailing note\n"
                             "  recording SOURCE   =   7  \n"
                             "\tSave Position\t=\t\"/tmp/quoted take.wav\"\t\n"
                             "CHANNELS=1\n"));
    const ConfigFile cfg(path());
    QCOMPARE(cfg.readInt("CONFIG", "Recording Source", -1), 7);
    QCOMPARE(cfg.readInt("Config", "channels", 0), 1);
    QCOMPARE(cfg.readInt(" Config ", " Channels ", 0), 1);
    QString out;
    QCOMPARE(cfg.readString("config", "SAVE POSITION", "Default", out), 20);
    QCOMPARE(out, QStringLiteral("/tmp/quoted take.wav"));
}

void TestConfigFile::firstSectionAndFirstKeyWin() {
    QVERIFY(writeAll(path(), "Channels=9\n" // before any section: belongs to none
                             "[Other]\n"
                             "BitsPerSample=4\n"
                             "[Config]\n"
                             "Channels=1\n"
                             "channels=2\n"
                             "[config]\n"
                             "Channels=3\n"
                             "SamplesPerSec=8000\n"));
    const ConfigFile cfg(path());
    QCOMPARE(cfg.readInt(kSection, "Channels", 0), 1);
    // A key of a later duplicate of the section is not seen, nor one of another section.
    QCOMPARE(cfg.readInt(kSection, "SamplesPerSec", 0), 0);
    QCOMPARE(cfg.readInt(kSection, "BitsPerSample", 0), 0);

    QVERIFY(ConfigFile(path()).writeString(kSection, "Channels", "2"));
    QCOMPARE(readAll(path()), QByteArray("Channels=9\n"
                                         "[Other]\n"
                                         "BitsPerSample=4\n"
                                         "[Config]\n"
                                         "Channels=2\n"
                                         "channels=2\n"
                                         "[config]\n"
                                         "Channels=3\n"
                                         "SamplesPerSec=8000\n"));
}

void TestConfigFile::absentKeySectionOrFileGivesDefault() {
    const ConfigFile missing(path());
    QVERIFY(!missing.exists());
    QCOMPARE(missing.readInt(kSection, "Recording Source", -1), -1);
    QCOMPARE(missing.readInt(kSection, "Recording Source", 0), 0);
    QString out = "stale";
    QCOMPARE(missing.readString(kSection, "Save Position", "Default", out), 7);
    QCOMPARE(out, QStringLiteral("Default"));

    // Only the key the shutdown writes: every other key takes its default.
    QVERIFY(writeAll(path(), "[Config]\nRecording Volume=12\n[Other]\nChannels=2\n"));
    const ConfigFile cfg(path());
    QVERIFY(cfg.exists());
    QCOMPARE(cfg.readInt(kSection, "Recording Volume", 0), 12);
    QCOMPARE(cfg.readInt(kSection, "Recording Source", -1), -1);
    QCOMPARE(cfg.readInt(kSection, "Channels", 0), 0);
    QCOMPARE(cfg.readInt("Missing", "Recording Volume", 5), 5);
    QCOMPARE(cfg.readString(kSection, "Save Position", "Default", out), 7);
    QCOMPARE(out, QStringLiteral("Default"));
    // The platform drops a default's trailing blanks.
    QCOMPARE(cfg.readString(kSection, "Save Position", "  Default  ", out), 9);
    QCOMPARE(out, QStringLiteral("  Default"));
    // A present key with an empty value is present: it reads as empty, not as the default.
    QVERIFY(writeAll(path(), "[Config]\nSave Position=\nChannels=\n"));
    QCOMPARE(cfg.readString(kSection, "Save Position", "Default", out), 0);
    QCOMPARE(out, QString());
    QCOMPARE(cfg.readInt(kSection, "Channels", 5), 0);
}

void TestConfigFile::readIntParsesLikeThePlatform_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("expected");
    QTest::newRow("plain") << QByteArray("22050") << 22050;
    QTest::newRow("negative") << QByteArray("-1") << -1;
    QTest::newRow("plus sign") << QByteArray("+8") << 8;
    QTest::newRow("leading zeros") << QByteArray("007") << 7;
    QTest::newRow("trailing text") << QByteArray("16 Bit") << 16;
    QTest::newRow("decimal point") << QByteArray("2.9") << 2;
    QTest::newRow("letters") << QByteArray("stereo") << 0;
    QTest::newRow("hex is not read") << QByteArray("0x10") << 0;
    QTest::newRow("sign alone") << QByteArray("-") << 0;
    QTest::newRow("blank after sign") << QByteArray("- 5") << 0;
    QTest::newRow("double sign") << QByteArray("--5") << 0;
    QTest::newRow("non-ASCII digits") << QByteArray("\xd9\xa3") << 0; // ARABIC-INDIC THREE
    QTest::newRow("int max") << QByteArray("2147483647") << INT_MAX;
    QTest::newRow("int min") << QByteArray("-2147483648") << INT_MIN;
    QTest::newRow("just above max clamps") << QByteArray("2147483648") << INT_MAX;
    QTest::newRow("just below min clamps") << QByteArray("-2147483649") << INT_MIN;
    QTest::newRow("huge clamps") << QByteArray(400, '9') << INT_MAX;
    QTest::newRow("huge negative clamps") << ("-" + QByteArray(400, '9')) << INT_MIN;
}

void TestConfigFile::readIntParsesLikeThePlatform() {
    QFETCH(QByteArray, text);
    QFETCH(int, expected);
    QVERIFY(writeAll(path(), "[Config]\nChannels = " + text + "\n"));
    QCOMPARE(ConfigFile(path()).readInt(kSection, "Channels", 12345), expected);
}

void TestConfigFile::readStringCutsToBufferAndCountsCopied() {
    QString longPath = "/";
    for (int i = 0; longPath.size() < 300; ++i)
        longPath += QString::number(i % 10);
    QVERIFY(writeAll(path(), "[Config]\nSave Position=" + longPath.toUtf8() + "\n"));
    const ConfigFile cfg(path());
    QString out;
    QCOMPARE(cfg.readString(kSection, "Save Position", "Default", out), 254);
    QCOMPARE(out, longPath.left(254));

    QCOMPARE(cfg.readString(kSection, "Save Position", "Default", out, 10), 9);
    QCOMPARE(out, longPath.left(9));
    QCOMPARE(cfg.readString(kSection, "Save Position", "Default", out, 1), 0);
    QCOMPARE(out, QString());
    QCOMPARE(cfg.readString(kSection, "Save Position", "Default", out, 0), 0);
    QCOMPARE(out, QString());

    // The default is cut the same way.
    QCOMPARE(cfg.readString(kSection, "Missing", longPath, out), 254);
    QCOMPARE(out, longPath.left(254));

    // A value of exactly 254 characters is whole.
    QVERIFY(ConfigFile(path()).writeString(kSection, "Save Position", longPath.left(254)));
    QCOMPARE(cfg.readString(kSection, "Save Position", "Default", out), 254);
    QCOMPARE(out, longPath.left(254));

    // A character outside the BMP that straddles the cut is dropped whole, not halved.
    const QString straddling = QString(253, u'a') + QString::fromUtf8("\xf0\x9f\x8e\xb5") + "b";
    QVERIFY(ConfigFile(path()).writeString(kSection, "Save Position", straddling));
    QCOMPARE(cfg.readString(kSection, "Save Position", "Default", out), 253);
    QCOMPARE(out, QString(253, u'a'));
}

void TestConfigFile::writeCreatesFileSectionAndKey() {
    ConfigFile cfg(path());
    QVERIFY(cfg.writeString(kSection, "Recording Volume", "31"));
    QVERIFY(cfg.exists());
    QCOMPARE(readAll(path()), QByteArray("[Config]\nRecording Volume=31\n"));
    QCOMPARE(cfg.readInt(kSection, "recording volume", 0), 31);

    // A new section goes at the end, after whatever the file holds.
    QVERIFY(writeAll(path(), "; comment\nstray line\n[Other]\nx=1"));
    QVERIFY(cfg.writeString(kSection, "Channels", "2"));
    QCOMPARE(readAll(path()), QByteArray("; comment\nstray line\n[Other]\nx=1\n"
                                         "[Config]\nChannels=2\n"));
    QCOMPARE(dirEntries(), QStringList{"Config.ini"});
}

void TestConfigFile::wizardSequenceGivesTheDocumentedLayout() {
    ConfigFile cfg(path());
    QVERIFY(cfg.writeString(kSection, "Recording Source", "2"));
    QVERIFY(cfg.writeString(kSection, "Save Position", "/opt/tw/Larktake.wav"));
    QVERIFY(cfg.writeString(kSection, "Channels", "2"));
    QVERIFY(cfg.writeString(kSection, "BitsPerSample", "16"));
    QVERIFY(cfg.writeString(kSection, "SamplesPerSec", "22050"));
    QVERIFY(cfg.writeString(kSection, "Recording Volume", "40"));
    QCOMPARE(readAll(path()), QByteArray("[Config]\n"
                                         "Recording Source=2\n"
                                         "Save Position=/opt/tw/Larktake.wav\n"
                                         "Channels=2\n"
                                         "BitsPerSample=16\n"
                                         "SamplesPerSec=22050\n"
                                         "Recording Volume=40\n"));
}

void TestConfigFile::writeReplacesValueKeepingEverythingElse() {
    QVERIFY(writeAll(path(), "; settings\n"
                             "[Config]\n"
                             "Recording Source=2\n"
                             "  channels = 2  \n"
                             "# not ours\n"
                             "BitsPerSample=16\n"
                             "\n"
                             "[Later]\n"
                             "Channels=7\n"));
    ConfigFile cfg(path());
    QVERIFY(cfg.writeString("CONFIG", "Channels", "1"));
    // The key keeps the spelling it has in the file; only its line is rewritten.
    QCOMPARE(readAll(path()), QByteArray("; settings\n"
                                         "[Config]\n"
                                         "Recording Source=2\n"
                                         "channels=1\n"
                                         "# not ours\n"
                                         "BitsPerSample=16\n"
                                         "\n"
                                         "[Later]\n"
                                         "Channels=7\n"));
    QCOMPARE(cfg.readInt(kSection, "Channels", 0), 1);
    QCOMPARE(cfg.readInt("Later", "Channels", 0), 7);

    // Writing the value that is already there changes nothing.
    const QByteArray before = readAll(path());
    QVERIFY(cfg.writeString(kSection, "Channels", "1"));
    QCOMPARE(readAll(path()), before);
}

void TestConfigFile::writeAddsKeyAfterLastKeyOfItsSection() {
    QVERIFY(writeAll(path(), "[Config]\n"
                             "Recording Source=2\n"
                             "; end of config\n"
                             "\n"
                             "[Other]\n"
                             "a=1\n"));
    ConfigFile cfg(path());
    QVERIFY(cfg.writeString(kSection, "Recording Volume", "5"));
    QVERIFY(cfg.writeString("Other", "b", "2"));
    QVERIFY(cfg.writeString("Empty", "c", "3"));
    QCOMPARE(readAll(path()), QByteArray("[Config]\n"
                                         "Recording Source=2\n"
                                         "Recording Volume=5\n"
                                         "; end of config\n"
                                         "\n"
                                         "[Other]\n"
                                         "a=1\n"
                                         "b=2\n"
                                         "[Empty]\n"
                                         "c=3\n"));

    // A section with no keys yet takes the new key right under its header.
    QVERIFY(writeAll(path(), "[Config]\n; nothing yet\n[Other]\n"));
    QVERIFY(cfg.writeString(kSection, "Channels", "2"));
    QCOMPARE(readAll(path()), QByteArray("[Config]\nChannels=2\n; nothing yet\n[Other]\n"));
}

void TestConfigFile::writeNormalisesLineEndsAndKeepsUtf8() {
    QVERIFY(writeAll(path(), "[Config]\r\nChannels=2\r\nBitsPerSample=16"));
    ConfigFile cfg(path());
    const QString umlautPath = QString::fromUtf8("/home/j\xc3\xbcrgen/\xe3\x83\x86\xe3\x82\xa4\xe3"
                                                 "\x82\xaf.wav");
    QVERIFY(cfg.writeString(kSection, "Save Position", umlautPath));
    QCOMPARE(readAll(path()), QByteArray("[Config]\nChannels=2\nBitsPerSample=16\n"
                                         "Save Position=") +
                                  umlautPath.toUtf8() + "\n");
    QString out;
    QCOMPARE(cfg.readString(kSection, "Save Position", "Default", out), umlautPath.size());
    QCOMPARE(out, umlautPath);
}

void TestConfigFile::garbageFileReadsDefaultsAndKeepsItsBytes() {
    QByteArray garbage;
    for (int i = 0; i < 64 * 1024; ++i)
        garbage += char((i * 7919 + 13) % 256); // every byte value, NULs and '=' included
    garbage.replace('[', '(');                  // no section header by chance
    QVERIFY(writeAll(path(), garbage));
    ConfigFile cfg(path());
    QVERIFY(cfg.exists());
    QCOMPARE(cfg.readInt(kSection, "Recording Source", -1), -1);
    QString out;
    QCOMPARE(cfg.readString(kSection, "Save Position", "Default", out), 7);
    QCOMPARE(out, QStringLiteral("Default"));

    // The settings still get saved, and the bytes that were there are kept as they were
    // (apart from the "\r" of a "\r\n", which every rewrite drops).
    QVERIFY(cfg.writeString(kSection, "Channels", "2"));
    QByteArray expected = garbage;
    expected.replace("\r\n", "\n");
    if (!expected.endsWith('\n'))
        expected += '\n';
    expected += "[Config]\nChannels=2\n";
    QCOMPARE(readAll(path()), expected);
    QCOMPARE(cfg.readInt(kSection, "Channels", 0), 2);
}

void TestConfigFile::directoryAtPathGivesDefaultsAndFailsWrite() {
    QVERIFY(QDir(dir_->path()).mkdir("Config.ini"));
    ConfigFile cfg(path());
    QVERIFY(!cfg.exists());
    QCOMPARE(cfg.readInt(kSection, "Channels", 4), 4);
    QString out;
    QCOMPARE(cfg.readString(kSection, "Save Position", "Default", out), 7);
    QCOMPARE(out, QStringLiteral("Default"));
    QVERIFY(!cfg.writeString(kSection, "Channels", "2"));
    QVERIFY(QFileInfo(path()).isDir());
    QCOMPARE(dirEntries(), QStringList{"Config.ini"});
}

void TestConfigFile::unwritableFolderFailsWrite() {
    // The tests run as root, whom a read-only mode bit does not stop; a "folder" that is a
    // regular file refuses every new entry whoever asks.
    const QString notADir = dir_->filePath("app");
    QVERIFY(writeAll(notADir, "plain file\n"));
    ConfigFile cfg(notADir + "/Config.ini");
    QVERIFY(!cfg.exists());
    QVERIFY(!cfg.writeString(kSection, "Recording Volume", "3"));
    QCOMPARE(cfg.readInt(kSection, "Recording Volume", 0), 0);
    QCOMPARE(readAll(notADir), QByteArray("plain file\n"));
    QCOMPARE(dirEntries(), QStringList{"app"});

    // A folder that does not exist is not made.
    ConfigFile nowhere(dir_->filePath("missing/Config.ini"));
    QVERIFY(!nowhere.writeString(kSection, "Recording Volume", "3"));
    QCOMPARE(dirEntries(), QStringList{"app"});

    ConfigFile empty{QString()};
    QVERIFY(!empty.exists());
    QVERIFY(!empty.writeString(kSection, "Recording Volume", "3"));
    QCOMPARE(empty.readInt(kSection, "Recording Volume", 9), 9);
}

void TestConfigFile::invalidNamesAndValuesAreRefused_data() {
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::newRow("empty key") << kSection << QString() << "1";
    QTest::newRow("blank key") << kSection << "   "
                               << "1";
    QTest::newRow("empty section") << QString() << "Channels"
                                   << "1";
    QTest::newRow("key with =") << kSection << "Chan=nels"
                                << "1";
    QTest::newRow("key like a comment") << kSection << ";Channels"
                                        << "1";
    QTest::newRow("key like a section") << kSection << "[Other]"
                                        << "1";
    QTest::newRow("section with ]") << "Con]fig"
                                    << "Channels"
                                    << "1";
    QTest::newRow("line break in key") << kSection << "Chan\nnels"
                                       << "1";
    QTest::newRow("line break in section") << "Con\nfig"
                                           << "Channels"
                                           << "1";
    QTest::newRow("value injects a key") << kSection << "Recording Volume"
                                         << "3\nChannels=9";
    QTest::newRow("value with CR") << kSection << "Recording Volume"
                                   << "3\rChannels=9";
}

void TestConfigFile::invalidNamesAndValuesAreRefused() {
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    const QByteArray before = "[Config]\nChannels=2\nSave Position=/tmp/take.wav\n";
    QVERIFY(writeAll(path(), before));
    ConfigFile cfg(path());
    QVERIFY(!cfg.writeString(section, key, value));
    QCOMPARE(readAll(path()), before);
    QCOMPARE(cfg.readInt(section, key, -7), -7);
    QCOMPARE(cfg.readInt(kSection, "Channels", 0), 2);
}

void TestConfigFile::abandonedWriteLeavesOldFileWhole() {
    const QByteArray before = "[Config]\nChannels=2\nSave Position=/tmp/take.wav\n";
    QVERIFY(writeAll(path(), before));

    int calls = 0;
    QByteArray seenDuringWrite;
    const bool written = tw::detail::writeProfileString(path(), kSection, "Channels", "1", [&] {
        ++calls;
        seenDuringWrite = readAll(path());
        return false;
    });
    QVERIFY(!written);
    QCOMPARE(calls, 1);
    // Nothing was written into the file in place, even while the new contents existed.
    QCOMPARE(seenDuringWrite, before);
    QCOMPARE(readAll(path()), before);
    QCOMPARE(dirEntries(), QStringList{"Config.ini"});

    // The same path let through does replace the file.
    QVERIFY(tw::detail::writeProfileString(path(), kSection, "Channels", "1", [&] {
        ++calls;
        return true;
    }));
    QCOMPARE(calls, 2);
    QCOMPARE(readAll(path()), QByteArray("[Config]\nChannels=1\nSave Position=/tmp/take.wav\n"));
    QCOMPARE(dirEntries(), QStringList{"Config.ini"});
}

void TestConfigFile::crashBeforeRenameLeavesOldFile() {
    const QByteArray before = "[Config]\nChannels=2\nSave Position=/tmp/take.wav\n";
    QVERIFY(writeAll(path(), before));

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kCrashWriteEnv, path());
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY2(child.waitForFinished(30000), qPrintable(child.errorString()));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), kCrashExitCode); // it did die inside the write

    QCOMPARE(readAll(path()), before);
    QCOMPARE(dirEntries(), QStringList{"Config.ini"});
    QCOMPARE(ConfigFile(path()).readInt(kSection, "Channels", 0), 2);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString crashPath = qEnvironmentVariable(kCrashWriteEnv);
    if (!crashPath.isEmpty()) {
        // The process ends at once, with no clean-up of any kind, as a crash or a kill
        // would end it.
        tw::detail::writeProfileString(crashPath, kSection, "Channels", "1", [] {
            std::_Exit(kCrashExitCode);
            return true;
        });
        return 1;
    }
    TestConfigFile test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_configfile.moc"
