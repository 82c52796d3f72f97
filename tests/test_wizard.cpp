// The sound-card wizard with fakes: each path through its steps.
#include "app/Form1.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakePlayer.h"
#include "settings/Form2.h"
#include "skins/SkinControls.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;

namespace {
const QString kConfirm = "Have you heard the TEST chime AGAIN? If you haven't heard any voice, "
                         "press NEXT button to continue.";
const QString kRecorded = "Press Next button, you should hear the same TEST chime AGAIN or you "
                          "will not hear any voice.";
const QString kNoSource = "Your sound card cannot support recording function.";
QString announce(int n) {
    return "Program will test NO." + QString::number(n) +
           " recording source. Press the NEXT button, You will hear the TEST chime.";
}
} // namespace

class TestWizard : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    FakeAudioLibraries audio;
    FakeHotkeys hotkeys;
    FakePlayer player;
    std::unique_ptr<Form1> form;
    Form2* wizard = nullptr;
    QStringList engineLog;

    void next() { wizard->SkinButton1->click(); }
    QString label() const { return wizard->SkinLabel1->text(); }
    QString readIni() const {
        QFile f(dir->path() + "/Config.ini");
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        audio = FakeAudioLibraries();
        audio.volumeRange = {0, 65536};
        player = FakePlayer();
        player.autoFinish = true;
        engineLog.clear();
        audio.onWavelark = [this](const QByteArray& file, int32_t mode, int32_t a, int32_t b,
                                  int32_t c, int32_t d) -> int32_t {
            engineLog << QStringLiteral("%1 %2 %3 %4 %5 %6")
                             .arg(QString::fromLocal8Bit(file))
                             .arg(mode)
                             .arg(a)
                             .arg(b)
                             .arg(c)
                             .arg(d);
            if (mode == 0) {
                QFile out(QString::fromLocal8Bit(file));
                if (out.open(QIODevice::WriteOnly))
                    out.write("RIFF");
            }
            return mode == 4 ? audio.sourceCount : 0;
        };
        QFile::remove(Form2::testRecordingPath());
        form = std::make_unique<Form1>(Services{dir->path(), audio, hotkeys, player});
        form->Form_Load();
        QVERIFY(form->hasForm2());
        wizard = form->form2();
    }
    void cleanup() {
        form.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void secondSourceHeard() {
        audio.sourceCount = 2;
        QVERIFY(wizard->isVisible());
        QCOMPARE(label(), QString("Program is preparing to configure your sound card settings."));
        QVERIFY(!wizard->SkinButton2->isVisible());

        next();
        QCOMPARE(label(), QString("Program has detected   2   usable recording sources."));
        next();
        QCOMPARE(label(), announce(1));
        next();
        QCOMPARE(label(), kRecorded);
        QVERIFY(!wizard->SkinButton2->isVisible());
        next();
        QCOMPARE(label(), kConfirm);
        QVERIFY(wizard->SkinButton2->isVisible());
        QCOMPARE(wizard->SkinButton2->text(), QString("heard"));
        next(); // not heard: on to source 2
        QCOMPARE(label(), announce(2));
        QVERIFY(!wizard->SkinButton2->isVisible());
        next();
        next();
        QCOMPARE(label(), kConfirm);

        const QString tmp = Form2::testRecordingPath();
        QCOMPARE(engineLog,
                 QStringList({" 4 0 0 0 0", " 5 0 0 0 0", " 1 1 22050 8 0", tmp + " 0 0 0 0 0",
                              " 5 0 0 0 1", " 1 1 22050 8 0", tmp + " 0 0 0 0 0"}));
        const QString chime = dir->path() + "/test.wav";
        QCOMPARE(player.log,
                 QStringList({"play " + chime, "close " + chime, "play " + tmp, "close " + tmp,
                              "play " + chime, "close " + chime, "play " + tmp, "close " + tmp}));
        QVERIFY(QFile::exists(tmp));

        wizard->SkinButton2->click(); // heard
        QCOMPARE(wizard->SkinButton2->text(), QString("Done"));
        QVERIFY(!wizard->SkinButton1->isVisible());
        QCOMPARE(label(), QString("Sound card settings Completed,the information has be saved!"));
        QCOMPARE(readIni(),
                 "[Config]\nRecording Source=2\nSave Position=" + dir->path() +
                     "/Larktake.wav\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\n");
        QVERIFY(!QFile::exists(tmp));

        audio.calls.clear();
        wizard->SkinButton2->click(); // Done
        QCOMPARE(form->shared.SourceIndex, 1);
        QCOMPARE(audio.calls.size(), 2);
        QCOMPARE(audio.calls[0].args, QList<int32_t>({1, 0}));
        QCOMPARE(audio.calls[1].args, QList<int32_t>({1, 32768}));
        QCOMPARE(form->SkinScrollBar1->position(), 32768);
        QCOMPARE(form->SkinLabel5->text(), QString("Recording volume setting :32768"));
        QCOMPARE(form->SkinScrollBar1->maximum(), 65536);
        QCOMPARE(form->SkinPanel1->text(), QString("22050  Hz   16  Bit"));
        QCOMPARE(form->shared.RecordingFormat.Channels, 2);
        QVERIFY(!wizard->isVisible());
        QVERIFY(form->isVisible());
        QCOMPARE(form->OutputPath, dir->path() + "/Larktake.wav");
    }

    void noSourceAtAll() {
        audio.sourceCount = 0;
        next();
        QCOMPARE(label(), kNoSource);
        QVERIFY(wizard->SkinButton1->isEnabled());
        next();
        QVERIFY(!wizard->SkinButton1->isEnabled());
        QCOMPARE(label(), kNoSource);
        QVERIFY(player.log.isEmpty());
        QVERIFY(!QFile::exists(dir->path() + "/Config.ini"));
    }

    void everySourceRefused() {
        audio.sourceCount = 2;
        next();
        for (int source = 1; source <= 2; ++source) {
            next();
            next();
            next();
            QCOMPARE(label(), kConfirm);
        }
        next();
        QCOMPARE(label(), kNoSource);
        QVERIFY(QFile::exists(Form2::testRecordingPath()));
        next();
        QVERIFY(!QFile::exists(Form2::testRecordingPath()));
        QVERIFY(!wizard->SkinButton1->isEnabled());

        // Only closing is left, and it ends the program without the wizard's keys.
        QSignalSpy stopped(form.get(), &Form1::pumpStopped);
        wizard->close();
        QCOMPARE(stopped.count(), 1);
        QCOMPARE(readIni(), QString("[Config]\nRecording Volume=0\n"));
    }

    void closingAtAnyStepEndsTheProgram_data() {
        QTest::addColumn<int>("nexts");
        QTest::addColumn<bool>("heard");
        for (int n = 0; n <= 4; ++n)
            QTest::newRow(qPrintable(QString("after %1 next").arg(n))) << n << false;
        QTest::newRow("after heard") << 4 << true;
    }
    void closingAtAnyStepEndsTheProgram() {
        QFETCH(int, nexts);
        QFETCH(bool, heard);
        audio.sourceCount = 1;
        for (int i = 0; i < nexts; ++i)
            next();
        if (heard)
            wizard->SkinButton2->click();
        QSignalSpy stopped(form.get(), &Form1::pumpStopped);
        wizard->close();
        QCOMPARE(stopped.count(), 1);
        QVERIFY(hotkeys.registered.isEmpty());
        form->close(); // the main window's own close afterwards runs nothing again
        QCOMPARE(stopped.count(), 1);
    }

    void shutdownAfterDoneUnloadsTheHiddenWizardOnce() {
        audio.sourceCount = 1;
        for (int i = 0; i < 4; ++i)
            next();
        wizard->SkinButton2->click();
        wizard->SkinButton2->click();
        QVERIFY(form->isVisible() && !wizard->isVisible());
        QSignalSpy stopped(form.get(), &Form1::pumpStopped);
        form->close();
        QCOMPARE(stopped.count(), 1);
        QVERIFY(!form->hasForm2());
    }
};

QTEST_MAIN(TestWizard)
#include "test_wizard.moc"
