// WAV to MP3 through the runner, with a stand-in encoder script in the application folder.
#include "app/Form1.h"
#include "encoding/DOSOutputs.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeFileDialogs.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakeMessageBox.h"
#include "platform/FakePlayer.h"
#include "skins/SkinControls.h"

#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace tw;

class TestConversion : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    FakeAudioLibraries audio;
    FakeHotkeys hotkeys;
    FakePlayer player;
    FakeMessageBox messages;
    FakeFileDialogs dialogs;
    std::unique_ptr<Form1> form;

    QString path(const QString& name) const { return dir->path() + "/" + name; }
    void write(const QString& name, const QByteArray& text) {
        QFile f(path(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    // An encoder that reports progress, records its arguments and writes the MP3 unless
    // told not to.
    void installEncoder(bool writesOutput = true, const QByteArray& extra = {}) {
        write("lame", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"" +
                          path("args.txt").toUtf8() + "\"\nprintf '  5%%|'\n" + extra +
                          "printf ' 42%% done'\n" +
                          (writesOutput ? QByteArray("for last; do :; done; echo mp3 > \"$last\"\n")
                                        : QByteArray()));
        QFile::setPermissions(path("lame"), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ExeOwner);
    }
    QStringList args() const {
        QFile f(path("args.txt"));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    QStringList lines() const {
        QStringList out;
        for (int i = 0; i < form->List1->count(); ++i)
            out << form->List1->item(i)->text();
        return out;
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
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
        form = std::make_unique<Form1>(
            Services{dir->path(), audio, hotkeys, player, &messages, nullptr, &dialogs});
        form->Form_Load();
    }
    void cleanup() { form.reset(); }

    void progressOnTheStatusLine_data() {
        QTest::addColumn<QString>("chunk");
        QTest::addColumn<QString>("status");
        const QString before = "Please read help files before starting program.";
        QTest::newRow("two digits") << "frame 42% done"
                                    << "Encoding in progress...  Status=42%";
        QTest::newRow("one digit") << "frame 7%"
                                   << "Encoding in progress...  Status= 7%";
        QTest::newRow("hundred") << "100%"
                                 << "Encoding in progress...  Status=00%";
        QTest::newRow("first only") << "ab12%cd34%"
                                    << "Encoding in progress...  Status=12%";
        QTest::newRow("at 1") << "%abc" << before;
        QTest::newRow("at 2") << "a%bc" << before;
        QTest::newRow("none") << "no percent here" << before;
    }
    void progressOnTheStatusLine() {
        QFETCH(QString, chunk);
        QFETCH(QString, status);
        form->objDOS_ReceiveOutputs(chunk);
        QCOMPARE(form->Text1->text(), status);
    }

    void theEmptyChunkFinishes() {
        form->SkinButton1->setEnabled(false);
        form->setStatus("x", kBlue);
        form->objDOS_ReceiveOutputs(QString());
        QCOMPARE(form->Text1->text(), QString("Finish Converting"));
        QCOMPARE(form->statusColour(), kRed);
        QVERIFY(form->SkinButton1->isEnabled());

        // Ending while a take records leaves Record off.
        form->SkinButton1->setEnabled(false);
        form->SkinButton2->setEnabled(true);
        form->objDOS_ReceiveOutputs(QString());
        QVERIFY(!form->SkinButton1->isEnabled());
    }

    void convertTheSelectedLine() {
        installEncoder();
        const QString wav = path("My Take.wav");
        write("My Take.wav", "RIFF");
        form->List1->addItem("03     00:42     " + wav);
        form->List1->setCurrentRow(0);
        form->NextEntryNumber = 7;
        form->Convert_Click();
        QCOMPARE(args(), QStringList({"-b", "128", "-m", "j", wav, path("My Take.mp3")}));
        QCOMPARE(lines().last(), "07     00:42     " + path("My Take.mp3"));
        QCOMPARE(form->NextEntryNumber, 8);
        QCOMPARE(form->Text1->text(), QString("Finish Converting"));
        QVERIFY(form->SkinButton1->isEnabled());
        QVERIFY(messages.texts.isEmpty());
        QCOMPARE(form->objDOS->Commandline(),
                 path("lame") + " -b 128 -m j \"" + wav + "\" \"" + path("My Take.mp3") + "\"");
    }

    void aPathWithoutBlanksStandsAsItIs() {
        installEncoder();
        write("t.wav", "RIFF");
        form->shared.LameOptions = " -b 192 -m s -h";
        form->Converting(path("t.wav"), path("t.mp3"));
        if (!dir->path().contains(' '))
            QCOMPARE(form->objDOS->Commandline(),
                     path("lame") + " -b 192 -m s -h " + path("t.wav") + " " + path("t.mp3"));
        QCOMPARE(args(), QStringList({"-b", "192", "-m", "s", "-h", path("t.wav"), path("t.mp3")}));
    }

    void anEncoderThatCannotStart() {
        write("a.wav", "RIFF");
        form->List1->addItem("01     00:01     " + path("a.wav"));
        form->List1->setCurrentRow(0);
        form->setStatus("before", kRed);
        form->Convert_Click();
        QCOMPARE(messages.texts, QStringList{"File or command not found"});
        QVERIFY(form->SkinButton1->isEnabled());
        QCOMPARE(form->statusColour(), kRed);
        QCOMPARE(lines().size(), 1);
        QVERIFY(!form->converting());
    }

    void anEncoderThatWritesNothing() {
        installEncoder(false);
        write("a.wav", "RIFF");
        form->List1->addItem("01     00:01     " + path("a.wav"));
        form->List1->setCurrentRow(0);
        form->Convert_Click();
        QCOMPARE(lines().size(), 1);
        QCOMPARE(form->statusColour(), kRed);
        QCOMPARE(form->Text1->text(),
                 "The conversion failed: " + path("a.mp3") + " was not written.");
    }

    void noSecondConversionWhileOneRuns() {
        installEncoder(true, "sleep 1\n");
        write("a.wav", "RIFF");
        form->List1->addItem("01     00:01     " + path("a.wav"));
        form->List1->setCurrentRow(0);
        QString refusal;
        QTimer::singleShot(300, form.get(), [&] {
            form->Convert_Click();
            form->Wavtomp3_Click();
            refusal = form->Text1->text();
        });
        form->Convert_Click();
        QVERIFY(refusal.startsWith("A conversion is running"));
        QCOMPARE(lines().size(), 2); // the one conversion's line
        QVERIFY(dialogs.log.isEmpty());
    }

    void autoMp3AddsTheMp3Line() {
        installEncoder();
        form->shared.AutoMp3 = 1;
        form->SkinButton1_Click();
        form->Timer2_Timer();
        form->Timer2_Timer();
        form->SkinButton2_Click();
        QCOMPARE(lines(), QStringList({"01     00:01     " + path("take.wav"),
                                       "02     00:01     " + path("take.mp3")}));
        QCOMPARE(form->Text1->text(),
                 QString("Recording is over,Wave file has saved in appointed path"));
        QVERIFY(form->SkinButton1->isEnabled());
    }

    void wavToMp3FromTheDialog() {
        installEncoder();
        dialogs.answer = std::nullopt;
        form->Wavtomp3_Click();
        QCOMPARE(dialogs.log, QStringList{"open Wave Files(*.wav)|*.wav"});
        QVERIFY(args().isEmpty());

        write("b.wav", "RIFF");
        dialogs.answer = path("b.wav");
        form->Wavtomp3_Click();
        QCOMPARE(args().mid(4), QStringList({path("b.wav"), path("b.mp3")}));
        QVERIFY(QFile::exists(path("b.mp3")));
        QVERIFY(lines().isEmpty());
        QCOMPARE(form->Text1->text(), QString("Finish Converting"));
    }
};

QTEST_MAIN(TestConversion)
#include "test_conversion.moc"
