// The recording-format dialog against a real main window, with fakes for the platform.
#include "app/Form1.h"
#include "core/Session.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakePlayer.h"
#include "settings/Preferences.h"
#include "skins/SkinControls.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WindowRig.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;
using namespace tw::test;

namespace {

// What start-up and the wizard leave behind, with the format keys given.
QByteArray configWith(const QByteArray& formatLines) {
    return "[Config]\nRecording Source=2\nSave Position=/music/rec.wav\n" + formatLines +
           "Recording Volume=30000\n";
}

} // namespace

class TestPreferences : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    FakeAudioLibraries audio;
    FakeHotkeys hotkeys;
    FakePlayer player;
    std::unique_ptr<Form1> form;

    QString ini() const { return dir.path() + "/Config.ini"; }

    // A main window started up on the given Config.ini text.
    void start(const QByteArray& config) {
        QVERIFY(writeFile(ini(), config));
        form = std::make_unique<RiggedForm1>(Services{dir.path(), audio, hotkeys, player});
        form->Form_Load();
    }

    // The dialog as the menu command opens it.
    Preferences* openFromMenu() {
        form->mPreferences_Click();
        Preferences* dialog = form->preferences();
        if (!QTest::qWaitForWindowExposed(dialog))
            qWarning("the dialog was not exposed");
        return dialog;
    }

    Settings& settings() { return form->session().settings; }

    // Escape as a user presses it: into the active window, at whatever has the focus.
    static void pressEscape(QWidget* window) {
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QTest::keyClick(window->focusWidget() ? window->focusWidget() : window, Qt::Key_Escape);
    }

  private slots:
    void init() {
        QVERIFY(dir.isValid());
        QFile::remove(ini());
        audio = FakeAudioLibraries();
        QVERIFY(copySkins(dir.path()));
    }
    void cleanup() {
        form.reset();
        flushDeletes();
    }

    void opening_data() {
        QTest::addColumn<QByteArray>("formatLines");
        QTest::addColumn<int>("autoMp3");
        QTest::addColumn<bool>("mono");
        QTest::addColumn<bool>("eightBit");
        QTest::addColumn<QString>("comboText");
        QTest::addColumn<QString>("panel");

        QTest::newRow("mono 8 bit 8000")
            << QByteArray("Channels=1\nBitsPerSample=8\nSamplesPerSec=8000\n") << 0 << true << true
            << "8000  Hz"
            << "0.458  MB/min";
        QTest::newRow("stereo 16 bit 44100")
            << QByteArray("Channels=2\nBitsPerSample=16\nSamplesPerSec=44100\n") << 1 << false
            << false << "44100 Hz"
            << "10.094  MB/min";
        QTest::newRow("stereo 16 bit 48000")
            << QByteArray("Channels=2\nBitsPerSample=16\nSamplesPerSec=48000\n") << 0 << false
            << false << "48000 Hz"
            << "10.986  MB/min";
        // A rate outside the list shows and takes 22050 Hz: the panel never shows a rate
        // that is not in force.
        QTest::newRow("out of range")
            << QByteArray("Channels=3\nBitsPerSample=12\nSamplesPerSec=96000\n") << 0 << false
            << false << "22050 Hz"
            << "5.047  MB/min";
    }
    void opening() {
        QFETCH(QByteArray, formatLines);
        QFETCH(int, autoMp3);
        QFETCH(bool, mono);
        QFETCH(bool, eightBit);
        QFETCH(QString, comboText);
        QFETCH(QString, panel);

        start(configWith(formatLines));
        const QByteArray fileBefore = readFile(ini());
        const QString mainPanelBefore = form->SkinPanel1->text();
        settings().AutoMp3 = autoMp3;

        Preferences* dialog = form->preferences();
        QVERIFY(!dialog->isVisible()); // created hidden until the menu shows it
        QCOMPARE(dialog->Option1->isChecked(), mono);
        QCOMPARE(dialog->Option2->isChecked(), !mono);
        QCOMPARE(dialog->Option3->isChecked(), eightBit);
        QCOMPARE(dialog->Option4->isChecked(), !eightBit);
        QCOMPARE(dialog->Combo1->currentText(), comboText);
        QCOMPARE(dialog->SkinPanel1->text(), panel);
        QCOMPARE(dialog->Check1->isChecked(), autoMp3 == 1);

        // Opening only reads.
        QCOMPARE(settings().AutoMp3, autoMp3);
        QCOMPARE(readFile(ini()), fileBefore);
        QCOMPARE(form->SkinPanel1->text(), mainPanelBefore);

        // Showing an existing dialog does not load the format again.
        settings().format.Channels = 1;
        openFromMenu();
        QCOMPARE(form->preferences(), dialog);
        QVERIFY(dialog->isVisible());
        QCOMPARE(settings().format.Channels, 1);
    }

    void choicesApplyAtOnceAndOkWritesThem() {
        start(configWith("Channels=2\nBitsPerSample=16\nSamplesPerSec=22050\n"));
        Preferences* dialog = openFromMenu();
        const RecordingFormat& format = settings().format;

        QTest::mouseClick(dialog->Option1, Qt::LeftButton);
        QCOMPARE(format.Channels, 1);
        QCOMPARE(dialog->SkinPanel1->text(), QString("2.523  MB/min"));
        QTest::mouseClick(dialog->Option3, Qt::LeftButton);
        QCOMPARE(format.BitsPerSample, 8);
        QCOMPARE(dialog->SkinPanel1->text(), QString("1.262  MB/min"));

        // Chosen from the open list with the mouse.
        dialog->Combo1->showPopup();
        QAbstractItemView* list = dialog->Combo1->view();
        QVERIFY(QTest::qWaitForWindowExposed(list->window()));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualRect(list->model()->index(3, 0)).center());
        QTRY_VERIFY(!list->isVisible());
        QCOMPARE(dialog->Combo1->currentText(), QString("44100 Hz"));
        QCOMPARE(format.SamplesPerSec, 44100);
        QCOMPARE(dialog->SkinPanel1->text(), QString("2.523  MB/min"));

        // And with the arrow keys, down to the last rate and back.
        dialog->Combo1->setFocus();
        QTest::keyClick(dialog->Combo1, Qt::Key_Down);
        QCOMPARE(format.SamplesPerSec, 48000);
        QCOMPARE(dialog->SkinPanel1->text(), QString("2.747  MB/min"));
        QTest::keyClick(dialog->Combo1, Qt::Key_Up);
        QTest::keyClick(dialog->Combo1, Qt::Key_Up);
        QCOMPARE(dialog->Combo1->currentText(), QString("22050 Hz"));
        QCOMPARE(format.SamplesPerSec, 22050);
        QCOMPARE(dialog->SkinPanel1->text(), QString("1.262  MB/min"));

        QTest::mouseClick(dialog->Option2, Qt::LeftButton);
        QTest::mouseClick(dialog->Option4, Qt::LeftButton);
        QCOMPARE(format, (RecordingFormat{2, 22050, 16}));
        QCOMPARE(dialog->SkinPanel1->text(), QString("5.047  MB/min"));

        // Ok writes the choice (how Settings writes keys is tested in test_core_settings);
        // convert-on-completion lives in memory only.
        QTest::mouseClick(dialog->Option1, Qt::LeftButton);
        QTest::keyClick(dialog->Combo1, Qt::Key_Up);
        QTest::mouseClick(dialog->Check1, Qt::LeftButton);
        QPointer<Preferences> closing = dialog;
        QTest::mouseClick(dialog->SkinButton1, Qt::LeftButton);
        flushDeletes();
        QVERIFY(closing.isNull());
        QCOMPARE(readFile(ini()),
                 configWith("Channels=1\nBitsPerSample=16\nSamplesPerSec=11025\n"));
        QCOMPARE(form->SkinPanel1->text(), QString("11025  Hz   16  Bit"));
        QCOMPARE(settings().AutoMp3, 1);

        // The take format shows what is in force and is written once it changes.
        dialog = openFromMenu();
        QVERIFY(dialog->TakeFormatOptions.at(0)->isChecked());
        QTest::mouseClick(dialog->TakeFormatOptions.at(2), Qt::LeftButton);
        QTest::mouseClick(dialog->SkinButton1, Qt::LeftButton);
        flushDeletes();
        QCOMPARE(settings().takeFormat, TakeFormat::Opus);
        QVERIFY(readFile(ini()).endsWith("Take Format=Opus\n"));
        dialog = openFromMenu();
        QVERIFY(dialog->TakeFormatOptions.at(2)->isChecked());
        QTest::mouseClick(dialog->TakeFormatOptions.at(4), Qt::LeftButton);
        QTest::mouseClick(dialog->SkinButton2, Qt::LeftButton);
        flushDeletes();
        QCOMPARE(settings().takeFormat, TakeFormat::Opus);
    }

    // Take names, notifications and the tray: written with Ok, and only when they change.
    void namesNotificationsAndTrayAreKeptWithOk() {
        start(configWith("Channels=2\nBitsPerSample=16\nSamplesPerSec=22050\n"));
        Preferences* dialog = openFromMenu();
        QVERIFY(dialog->TakeNamePattern->text().isEmpty());
        QVERIFY(dialog->NotificationsCheck->isChecked()); // on unless switched off
        QVERIFY(!dialog->TrayCheck->isChecked());
        QTest::mouseClick(dialog->SkinButton1, Qt::LeftButton);
        flushDeletes();
        for (const char* key : {"Take Name Pattern", "Notifications", "Keep In Tray"})
            QVERIFY2(!readFile(ini()).contains(key), key);

        dialog = openFromMenu();
        dialog->TakeNamePattern->setFocus();
        QTest::keyClicks(dialog->TakeNamePattern, "show %Y");
        const QString year = QString::number(QDate::currentDate().year());
        QVERIFY2(dialog->TakeNameExample->text().endsWith("show " + year + ".wav"),
                 qPrintable(dialog->TakeNameExample->text()));
        QTest::mouseClick(dialog->NotificationsCheck, Qt::LeftButton);
        QTest::mouseClick(dialog->TrayCheck, Qt::LeftButton);
        QTest::mouseClick(dialog->SkinButton1, Qt::LeftButton);
        flushDeletes();
        QCOMPARE(settings().takeNamePattern(), QString("show %Y"));
        QVERIFY(!settings().notificationsOn());
        QVERIFY(settings().keepInTray());

        dialog = openFromMenu(); // it opens on what is kept
        QCOMPARE(dialog->TakeNamePattern->text(), QString("show %Y"));
        QVERIFY(!dialog->NotificationsCheck->isChecked());
        QVERIFY(dialog->TrayCheck->isChecked());
    }

    // Voice activation's levels and the input kept before a start: written with Ok, only
    // once changed, and in force at once; Cancel leaves both the file and the session alone.
    void voiceAndPreRecordAreKeptWithOk() {
        start(configWith("Channels=2\nBitsPerSample=16\nSamplesPerSec=22050\n"));
        Session& session = form->session();
        const QByteArray untouched = readFile(ini());
        const auto choose = [this](bool change, bool ok) {
            Preferences* dialog = openFromMenu();
            QVERIFY(dialog->PreRecordNote->isHidden());
            if (change) {
                dialog->VoiceStartDb->setValue(-30);
                dialog->VoiceSilenceSeconds->setValue(1.5);
                QTest::mouseClick(dialog->VoiceSplit, Qt::LeftButton);
                QTest::mouseClick(dialog->PreRecordCheck, Qt::LeftButton);
                QVERIFY(!dialog->PreRecordNote->isHidden());
                dialog->PreRecordSeconds->setValue(5);
            }
            QTest::mouseClick(ok ? dialog->SkinButton1 : dialog->SkinButton2, Qt::LeftButton);
            flushDeletes();
        };
        choose(false, true);
        choose(true, false);
        QCOMPARE(readFile(ini()), untouched);
        QCOMPARE(session.voice.thresholds(), VoiceSettings());
        QCOMPARE(session.preRecordSeconds(), 0);
        choose(true, true);
        const VoiceSettings chosen{-30, 200, -50, 1500, true};
        QCOMPARE(session.voice.thresholds(), chosen);
        QCOMPARE(session.preRecordSeconds(), 5);
        QCOMPARE(settings().voiceSettings(), chosen);
        QCOMPARE(settings().preRecordSeconds(), 5);
    }

    void closingWithoutOkUndoesTheChoice_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("Cancel") << "Cancel";
        QTest::newRow("window frame") << "frame";
        QTest::newRow("Escape") << "Escape";
    }
    void closingWithoutOkUndoesTheChoice() {
        QFETCH(QString, how);
        start(configWith("Channels=2\nBitsPerSample=16\nSamplesPerSec=22050\n"));
        const QByteArray fileBefore = readFile(ini());
        const QString mainPanelBefore = form->SkinPanel1->text();
        QPointer<Preferences> dialog = openFromMenu();
        QTest::mouseClick(dialog->Check1, Qt::LeftButton);
        QVERIFY(dialog->Check1->isChecked());
        QTest::mouseClick(dialog->Option1, Qt::LeftButton);

        if (how == "Cancel")
            QTest::mouseClick(dialog->SkinButton2, Qt::LeftButton);
        else if (how == "Escape")
            pressEscape(dialog.data());
        else
            QVERIFY(dialog->close());
        flushDeletes();
        QVERIFY(dialog.isNull());
        QVERIFY(!form->hasPreferences());

        // The next take records in the format the panel and Config.ini show, not in Mono.
        QCOMPARE(settings().format, RecordingFormat({2, 22050, 16}));
        QCOMPARE(settings().AutoMp3, 0);
        QCOMPARE(readFile(ini()), fileBefore);
        QCOMPARE(form->SkinPanel1->text(), mainPanelBefore);
    }

    void typedTextIsNotAChoice() {
        start(configWith("Channels=2\nBitsPerSample=16\nSamplesPerSec=44100\n"));
        QPointer<Preferences> dialog = openFromMenu();
        QLineEdit* edit = dialog->Combo1->lineEdit();
        QVERIFY(edit);

        // An entry's exact text typed in, without choosing it, changes nothing.
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, "8000  Hz");
        QCOMPARE(dialog->Combo1->currentText(), QString("8000  Hz"));
        QCOMPARE(settings().format.SamplesPerSec, 44100);
        QCOMPARE(dialog->SkinPanel1->text(), QString("10.094  MB/min"));

        // Nor does a rate of one's own, even confirmed with Enter; it is not added to the list.
        edit->selectAll();
        QTest::keyClicks(edit, "96000 Hz");
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(dialog->Combo1->currentText(), QString("96000 Hz"));
        QCOMPARE(dialog->Combo1->count(), 5);
        QCOMPARE(settings().format.SamplesPerSec, 44100);
        QCOMPARE(dialog->SkinPanel1->text(), QString("10.094  MB/min"));

        QTest::mouseClick(dialog->SkinButton1, Qt::LeftButton);
        flushDeletes();
        QVERIFY(dialog.isNull());
        QVERIFY(readFile(ini()).contains("\nSamplesPerSec=44100\n"));
        QCOMPARE(form->SkinPanel1->text(), QString("44100  Hz   16  Bit"));
    }

    void mainWindowShutdownDestroysIt() {
        start(configWith("Channels=2\nBitsPerSample=16\nSamplesPerSec=22050\n"));
        QPointer<Preferences> hidden = form->preferences();
        form->close();
        flushDeletes();
        QVERIFY(hidden.isNull());

        // Destroying the main window with the dialog open takes the dialog along.
        start(configWith("Channels=2\nBitsPerSample=16\nSamplesPerSec=22050\n"));
        QPointer<Preferences> shown = openFromMenu();
        form.reset();
        QVERIFY(shown.isNull());
    }

    // Every caption fits its control, and the skin dresses the window. Set
    // TW_PREFERENCES_SHOT to a file name to keep a picture of the dialog.
    void looksRight() {
        start(configWith("Channels=2\nBitsPerSample=16\nSamplesPerSec=44100\n"));
        Preferences* dialog = openFromMenu();
        dialog->PreRecordCheck->setChecked(true); // its note shows too
        const QImage image = dialog->grab().toImage();
        QVERIFY(!image.isNull());
        // The green skin's window background, not the platform's grey.
        const QColor corner = image.pixelColor(2, image.height() - 3);
        QVERIFY2(corner.green() > corner.red() + 10 && corner.green() > corner.blue() + 10,
                 qPrintable(corner.name()));
        const QString shot = qEnvironmentVariable("TW_PREFERENCES_SHOT");
        if (!shot.isEmpty())
            QVERIFY(image.save(shot));

        const QList<QAbstractButton*> buttons = {
            dialog->Option1,    dialog->Option2,       dialog->Option3,     dialog->Option4,
            dialog->Check1,     dialog->SkinButton1,   dialog->SkinButton2, dialog->VoicePause,
            dialog->VoiceSplit, dialog->PreRecordCheck};
        for (QAbstractButton* b : buttons) {
            QVERIFY2(b->sizeHint().width() <= b->width(),
                     qPrintable(QString("\"%1\" wants %2 px, has %3")
                                    .arg(b->text())
                                    .arg(b->sizeHint().width())
                                    .arg(b->width())));
            QVERIFY(dialog->rect().contains(b->mapTo(dialog, QPoint(b->width(), b->height()))));
        }
        // Labels are measured by their ink: the last glyph's advance may overhang a pixel.
        for (QLabel* l :
             {static_cast<QLabel*>(dialog->SkinLabel1), static_cast<QLabel*>(dialog->SkinLabel2),
              static_cast<QLabel*>(dialog->SkinPanel1), dialog->PreRecordAfter,
              dialog->PreRecordNote}) {
            const QRect ink = l->fontMetrics().tightBoundingRect(l->text());
            QVERIFY2(ink.width() <= l->contentsRect().width(),
                     qPrintable(QString("\"%1\" needs %2 px, has %3")
                                    .arg(l->text())
                                    .arg(ink.width())
                                    .arg(l->contentsRect().width())));
        }
        // The plain controls' captions stand out from the skinned background.
        const QColor caption = dialog->Frame1->palette().color(QPalette::WindowText);
        QVERIFY2(qAbs(caption.lightness() - corner.lightness()) > 100,
                 qPrintable(caption.name() + " on " + corner.name()));
        const QList<QWidget*> plain = {dialog->Frame2,  dialog->Option1, dialog->Option2,
                                       dialog->Option3, dialog->Option4, dialog->Check1};
        for (QWidget* w : plain)
            QCOMPARE(w->palette().color(QPalette::WindowText), caption);
        for (QGroupBox* frame : {dialog->Frame1, dialog->Frame2})
            QVERIFY(frame->minimumSizeHint().width() <= frame->width());
        QVERIFY(dialog->Combo1->minimumSizeHint().width() <= dialog->Combo1->width());
    }
};

QTEST_MAIN(TestPreferences)
#include "test_preferences.moc"
