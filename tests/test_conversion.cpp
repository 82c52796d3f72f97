// The conversion as the main window shows it: which line or file its commands hand over,
// Record while a conversion runs, and the status line's text and colour on Text1. A
// stand-in encoder script in the application folder does the work.
#include "app/Form1.h"
#include "core/Session.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeFileDialogs.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakeMessageBox.h"
#include "platform/FakePlayer.h"
#include "skins/SkinControls.h"

#include <QFile>
#include <QLineEdit>
#include <QListView>
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
    // An encoder that notes its input, reports progress, waits while the file "hold"
    // exists and writes the MP3.
    void installEncoder() {
        write("lame", "#!/bin/sh\nd=$(dirname \"$0\")\nfor last; do :; done\n"
                      "for a in \"$@\"; do input=$prev; prev=$a; done\n"
                      "echo \"$input\" >> \"$d/inputs.txt\"\nprintf '  5%%|'\n"
                      "i=0; while [ -e \"$d/hold\" ] && [ $i -lt 200 ]; do sleep 0.05; "
                      "i=$((i+1)); done\nprintf ' 42%% done'\necho mp3 > \"$last\"\n");
        QFile::setPermissions(path("lame"), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ExeOwner);
    }
    QStringList inputs() const {
        QFile f(path("inputs.txt"));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    Session& session() { return form->session(); }
    void addLine(const QString& name) {
        write(name, "RIFF");
        session().takes.add(path(name), 1, Takes::Kind::Wav);
    }
    void record() {
        form->SkinButton1_Click();
        QTRY_COMPARE(session().recorder.phase(), Recorder::Phase::Recording);
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        messages = FakeMessageBox();
        dialogs = FakeFileDialogs();
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
        installEncoder();
        form = std::make_unique<Form1>(
            Services{dir->path(), audio, hotkeys, player, &messages, nullptr, &dialogs});
        form->Form_Load();
    }
    void cleanup() {
        QFile::remove(path("hold"));
        form.reset();
    }

    void convertTheSelectedLine() {
        addLine("a.wav");
        addLine("b.wav");
        form->List1->setCurrentIndex(session().takes.index(1));
        form->Convert_Click();
        QCOMPARE(inputs(), QStringList{path("b.wav")});
        QCOMPARE(session().takes.path(2), path("b.mp3"));

        // A current line that is not selected is no selection.
        form->List1->selectionModel()->clearSelection();
        form->Convert_Click();
        QCOMPARE(inputs().size(), 1);
        QCOMPARE(form->Text1->text(), QString("Select a recording in the list to convert."));
    }

    void wavToMp3FromTheDialog() {
        dialogs.answer = std::nullopt;
        form->Wavtomp3_Click();
        QCOMPARE(dialogs.log, QStringList{"open Wave Files(*.wav)|*.wav"});
        QVERIFY(inputs().isEmpty());

        write("b.wav", "RIFF");
        dialogs.answer = path("b.wav");
        form->Wavtomp3_Click();
        QCOMPARE(inputs(), QStringList{path("b.wav")});
        QCOMPARE(form->Common3.FileName, path("b.wav"));
        QCOMPARE(form->Text1->text(), QString("Finish Converting"));

        // While one runs, the dialog does not open.
        dialogs.log.clear();
        write("hold", "");
        QTimer::singleShot(0, this, [&] {
            form->Wavtomp3_Click();
            QFile::remove(path("hold"));
        });
        form->Wavtomp3_Click();
        QCOMPARE(dialogs.log, QStringList{"open Wave Files(*.wav)|*.wav"});
        QCOMPARE(inputs().size(), 2);
    }

    void recordWaitsForTheConversion() {
        addLine("a.wav");
        form->List1->setCurrentIndex(session().takes.index(0));
        write("hold", "");
        bool enabledDuring = true;
        QTimer::singleShot(0, this, [&] {
            enabledDuring = form->SkinButton1->isEnabled();
            QFile::remove(path("hold"));
        });
        form->Convert_Click();
        QVERIFY(!enabledDuring);
        QVERIFY(form->SkinButton1->isEnabled());

        // A conversion that ends while a take records leaves Record off and Stop on.
        record();
        form->Convert_Click();
        QVERIFY(!form->SkinButton1->isEnabled());
        QVERIFY(form->SkinButton2->isEnabled());
    }

    // Stop during a conversion with convert-on-completion set: the take's conversion waits
    // its turn, and Record stays off until the last one has ended.
    void recordWaitsForTheWholeQueue() {
        addLine("a.wav");
        form->List1->setCurrentIndex(session().takes.index(0));
        session().settings.AutoMp3 = 1;
        record();
        form->Timer2_Timer();
        form->Timer2_Timer();
        QList<bool> enabledAtEachEnd;
        connect(&session().converter(), &Converter::finished, this,
                [&] { enabledAtEachEnd << form->SkinButton1->isEnabled(); });
        connect(&session().recorder, &Recorder::takeSaved, this,
                [&] { QFile::remove(path("hold")); });
        write("hold", "");
        QTimer::singleShot(0, this, [&] { form->SkinButton2_Click(); });
        form->Convert_Click();
        QCOMPARE(inputs(), QStringList({path("a.wav"), path("take.wav")}));
        QCOMPARE(enabledAtEachEnd, QList<bool>({false, false}));
        QVERIFY(form->SkinButton1->isEnabled());
    }

    void textShowsTheStatusLine_data() {
        QTest::addColumn<int>("colour");
        QTest::addColumn<QColor>("shown");
        QTest::newRow("blue") << kBlue << QColor(0, 0, 255);
        QTest::newRow("red") << kRed << QColor(255, 0, 0);
        QTest::newRow("mixed") << 0x336699 << QColor(0x99, 0x66, 0x33);
    }
    void textShowsTheStatusLine() {
        QFETCH(int, colour);
        QFETCH(QColor, shown);
        session().status.set("Encoding in progress...  Status=42%", colour);
        QCOMPARE(form->Text1->text(), QString("Encoding in progress...  Status=42%"));
        QCOMPARE(form->Text1->palette().color(QPalette::Text), shown);
    }
};

QTEST_MAIN(TestConversion)
#include "test_conversion.moc"
