// The recording-format dialog against a real main window, with fakes for the platform.
#include "app/Form1.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakePlayer.h"
#include "settings/Preferences.h"
#include "skins/SkinControls.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(tw::RecordingFormatValues)

using namespace tw;

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

bool writeAll(const QString& path, const QByteArray& text) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(text) == text.size();
}

// What start-up and the wizard leave behind, with the format keys given.
QByteArray configWith(const QByteArray& formatLines) {
    return "[Config]\nRecording Source=2\nSave Position=/music/rec.wav\n" + formatLines +
           "Recording Volume=30000\n";
}

// Destroys what close() handed to deleteLater.
void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
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
        QVERIFY(writeAll(ini(), config));
        form = std::make_unique<Form1>(Services{dir.path(), audio, hotkeys, player});
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

    static RecordingFormatValues format(int channels, int rate, int bits) {
        RecordingFormatValues f;
        f.Channels = channels;
        f.SamplesPerSec = rate;
        f.BitsPerSample = bits;
        return f;
    }

    void compareFormat(const RecordingFormatValues& actual, const RecordingFormatValues& expected) {
        QCOMPARE(actual.Channels, expected.Channels);
        QCOMPARE(actual.SamplesPerSec, expected.SamplesPerSec);
        QCOMPARE(actual.BitsPerSample, expected.BitsPerSample);
    }

  private slots:
    void init() {
        QVERIFY(dir.isValid());
        QFile::remove(ini());
        audio = FakeAudioLibraries();
        QDir().mkpath(dir.path() + "/skin");
        for (const char* name : {"green.skn", "red.skn", "blue.skn"}) {
            QFile::remove(dir.path() + "/skin/" + name);
            QVERIFY(QFile::copy(qEnvironmentVariable("TW_APPDIR") + "/skin/" + name,
                                dir.path() + "/skin/" + name));
        }
    }
    void cleanup() {
        form.reset();
        flushDeletes();
        QLocale::setDefault(QLocale::c());
    }

    void rate_data() {
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("samples");
        QTest::addColumn<QString>("shown");

        const int rates[] = {8000, 11025, 22050, 44100};
        const char* table[4][3] = {{"0.458", "0.916", "1.831"},
                                   {"0.631", "1.262", "2.523"},
                                   {"1.262", "2.523", "5.047"},
                                   {"2.523", "5.047", "10.094"}};
        for (int r = 0; r < 4; ++r) {
            const int rate = rates[r];
            QTest::addRow("%d mono 8", rate) << 1 << 8 << rate << table[r][0];
            QTest::addRow("%d mono 16", rate) << 1 << 16 << rate << table[r][1];
            QTest::addRow("%d stereo 8", rate) << 2 << 8 << rate << table[r][1];
            QTest::addRow("%d stereo 16", rate) << 2 << 16 << rate << table[r][2];
        }
        QTest::newRow("no channels") << 0 << 16 << 44100 << "0.000";
        QTest::newRow("no sample size") << 2 << 0 << 44100 << "0.000";
        QTest::newRow("no rate") << 2 << 16 << 0 << "0.000";
        // Stored values the dialog cannot offer still show what they amount to. A single
        // reads as 7 digits, which are then rounded half away from zero.
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

        // A decimal comma in the user's locale must not reach the panel: the recording
        // control reads the number back.
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        start(configWith("Channels=2\nBitsPerSample=16\nSamplesPerSec=22050\n"));
        Preferences* dialog = form->preferences();

        form->shared.RecordingFormat = format(channels, samples, bits);
        const float returned = dialog->room();
        QCOMPARE(dialog->SkinPanel1->text(), shown + "  MB/min");
        const double exact = double(channels) * samples * bits * 60 / 8 / 1024 / 1024;
        QCOMPARE(returned, float(exact));
        // The recording control drops the unit and reads the rest as a number.
        QCOMPARE(dialog->SkinPanel1->text().chopped(8), shown);
    }

    void opening_data() {
        QTest::addColumn<QByteArray>("formatLines");
        QTest::addColumn<int>("autoMp3");
        QTest::addColumn<bool>("mono");
        QTest::addColumn<bool>("eightBit");
        QTest::addColumn<QString>("comboText");
        QTest::addColumn<QString>("panel");
        QTest::addColumn<RecordingFormatValues>("inMemory");

        QTest::newRow("mono 8 bit 8000")
            << QByteArray("Channels=1\nBitsPerSample=8\nSamplesPerSec=8000\n") << 0 << true << true
            << "8000  Hz"
            << "0.458  MB/min" << format(1, 8000, 8);
        QTest::newRow("stereo 16 bit 44100")
            << QByteArray("Channels=2\nBitsPerSample=16\nSamplesPerSec=44100\n") << 1 << false
            << false << "44100 Hz"
            << "10.094  MB/min" << format(2, 44100, 16);
        QTest::newRow("11025 from padded text")
            << QByteArray("Channels= 1\nBitsPerSample=16\nSamplesPerSec=11025\n") << 0 << true
            << false << "11025 Hz"
            << "1.262  MB/min" << format(1, 11025, 16);
        // What the buttons cannot show becomes what they do show; a rate outside the list
        // stays as stored behind the default text.
        QTest::newRow("out of range")
            << QByteArray("Channels=3\nBitsPerSample=12\nSamplesPerSec=48000\n") << 0 << false
            << false << "22050 Hz"
            << "10.986  MB/min" << format(2, 48000, 16);
        QTest::newRow("keys missing") << QByteArray() << 1 << false << false << "22050 Hz"
                                      << "0.000  MB/min" << format(2, 0, 16);
    }
    void opening() {
        QFETCH(QByteArray, formatLines);
        QFETCH(int, autoMp3);
        QFETCH(bool, mono);
        QFETCH(bool, eightBit);
        QFETCH(QString, comboText);
        QFETCH(QString, panel);
        QFETCH(RecordingFormatValues, inMemory);

        start(configWith(formatLines));
        const QByteArray fileBefore = readAll(ini());
        const QString mainPanelBefore = form->SkinPanel1->text();
        // Whatever memory held is replaced by the file.
        form->shared.RecordingFormat = format(1, 11025, 8);
        form->shared.AutoMp3 = autoMp3;

        Preferences* dialog = form->preferences();
        QVERIFY(!dialog->isVisible()); // created hidden until the menu shows it
        QVERIFY(dialog->isWindow());
        QCOMPARE(dialog->windowTitle(), QString("Preferences"));

        QCOMPARE(dialog->Option1->isChecked(), mono);
        QCOMPARE(dialog->Option2->isChecked(), !mono);
        QCOMPARE(dialog->Option3->isChecked(), eightBit);
        QCOMPARE(dialog->Option4->isChecked(), !eightBit);
        QCOMPARE(dialog->Combo1->currentText(), comboText);
        QCOMPARE(dialog->SkinPanel1->text(), panel);
        QCOMPARE(dialog->Check1->isChecked(), autoMp3 == 1);
        compareFormat(form->shared.RecordingFormat, inMemory);

        QCOMPARE(dialog->Option1->text(), QString("Mono"));
        QCOMPARE(dialog->Option2->text(), QString("Stereo"));
        QCOMPARE(dialog->Option3->text(), QString("8  Bit"));
        QCOMPARE(dialog->Option4->text(), QString("16 Bit"));
        QCOMPARE(dialog->Frame1->title(), QString("Channels"));
        QCOMPARE(dialog->Frame2->title(), QString("Sample Bit"));
        QCOMPARE(dialog->SkinLabel1->text(), QString("Sample Rate"));
        QCOMPARE(dialog->SkinLabel2->text(), QString("Byte Rate"));
        QCOMPARE(dialog->Check1->text(), QString("Convert recording to MP3 on completion"));
        QCOMPARE(dialog->SkinButton1->text(), QString("Ok"));
        QCOMPARE(dialog->SkinButton2->text(), QString("Cancel"));
        QVERIFY(dialog->Combo1->isEditable());
        QStringList entries;
        for (int i = 0; i < dialog->Combo1->count(); ++i)
            entries << dialog->Combo1->itemText(i);
        QCOMPARE(entries, QStringList({"8000  Hz", "11025 Hz", "22050 Hz", "44100 Hz"}));
        QVERIFY(dialog->SkinForm1->loaded());
        QCOMPARE(dialog->SkinForm1->skinFile(), dir.path() + "/skin/green.skn");

        // Opening only reads.
        QCOMPARE(form->shared.AutoMp3, autoMp3);
        QCOMPARE(readAll(ini()), fileBefore);
        QCOMPARE(form->SkinPanel1->text(), mainPanelBefore);

        // Showing an existing dialog does not run the opening again.
        form->shared.RecordingFormat.Channels = 1;
        openFromMenu();
        QCOMPARE(form->preferences(), dialog);
        QVERIFY(dialog->isVisible());
        QCOMPARE(form->shared.RecordingFormat.Channels, 1);
    }

    void choicesApplyAtOnce() {
        start(configWith("Channels=2\nBitsPerSample=16\nSamplesPerSec=22050\n"));
        Preferences* dialog = openFromMenu();

        QTest::mouseClick(dialog->Option1, Qt::LeftButton);
        QCOMPARE(form->shared.RecordingFormat.Channels, 1);
        QCOMPARE(dialog->SkinPanel1->text(), QString("2.523  MB/min"));
        QTest::mouseClick(dialog->Option3, Qt::LeftButton);
        QCOMPARE(form->shared.RecordingFormat.BitsPerSample, 8);
        QCOMPARE(dialog->SkinPanel1->text(), QString("1.262  MB/min"));

        // Chosen from the open list with the mouse.
        dialog->Combo1->showPopup();
        QAbstractItemView* list = dialog->Combo1->view();
        QVERIFY(QTest::qWaitForWindowExposed(list->window()));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualRect(list->model()->index(3, 0)).center());
        QTRY_VERIFY(!list->isVisible());
        QCOMPARE(dialog->Combo1->currentText(), QString("44100 Hz"));
        QCOMPARE(form->shared.RecordingFormat.SamplesPerSec, 44100);
        QCOMPARE(dialog->SkinPanel1->text(), QString("2.523  MB/min"));

        // And with the arrow keys.
        dialog->Combo1->setFocus();
        QTest::keyClick(dialog->Combo1, Qt::Key_Up);
        QCOMPARE(dialog->Combo1->currentText(), QString("22050 Hz"));
        QCOMPARE(form->shared.RecordingFormat.SamplesPerSec, 22050);
        QCOMPARE(dialog->SkinPanel1->text(), QString("1.262  MB/min"));

        QTest::mouseClick(dialog->Option2, Qt::LeftButton);
        QTest::mouseClick(dialog->Option4, Qt::LeftButton);
        compareFormat(form->shared.RecordingFormat, format(2, 22050, 16));
        QCOMPARE(dialog->SkinPanel1->text(), QString("5.047  MB/min"));
    }

    void closingKeepsTheChoiceUntilRecreated_data() {
        QTest::addColumn<bool>("byCancel");
        QTest::newRow("Cancel") << true;
        QTest::newRow("window frame") << false;
    }
    void closingKeepsTheChoiceUntilRecreated() {
        QFETCH(bool, byCancel);
        start(configWith("Channels=2\nBitsPerSample=16\nSamplesPerSec=22050\n"));
        const QByteArray fileBefore = readAll(ini());
        const QString mainPanelBefore = form->SkinPanel1->text();
        QPointer<Preferences> dialog = openFromMenu();
        QTest::mouseClick(dialog->Check1, Qt::LeftButton);
        QVERIFY(dialog->Check1->isChecked());

        QTest::mouseClick(dialog->Option1, Qt::LeftButton);
        QCOMPARE(form->shared.RecordingFormat.Channels, 1);
        if (byCancel)
            QTest::mouseClick(dialog->SkinButton2, Qt::LeftButton);
        else
            QVERIFY(dialog->close());
        flushDeletes();
        QVERIFY(dialog.isNull());
        QVERIFY(!form->hasPreferences());

        // The next recording is mono; nothing else moved.
        QCOMPARE(form->shared.RecordingFormat.Channels, 1);
        QCOMPARE(form->shared.AutoMp3, 0);
        QCOMPARE(readAll(ini()), fileBefore);
        QCOMPARE(form->SkinPanel1->text(), mainPanelBefore);

        // Its start creates the dialog hidden, which reloads the stored format and gives the
        // stored format's rate.
        Preferences* again = form->preferences();
        QVERIFY(!again->isVisible());
        compareFormat(form->shared.RecordingFormat, format(2, 22050, 16));
        QVERIFY(again->Option2->isChecked());
        QVERIFY(!again->Check1->isChecked());
        QCOMPARE(again->SkinPanel1->text(), QString("5.047  MB/min"));
    }

    void okWritesTheThreeKeys_data() {
        QTest::addColumn<QByteArray>("formatLines");
        QTest::addColumn<bool>("change");
        QTest::addColumn<QByteArray>("expectedLines");
        QTest::addColumn<QString>("mainPanel");

        // Unchanged values are written all the same, so the file holds plain numbers after.
        QTest::newRow("nothing changed")
            << QByteArray("Channels= 2\nBitsPerSample=+16\nSamplesPerSec=044100\n") << false
            << QByteArray("Channels=2\nBitsPerSample=16\nSamplesPerSec=44100\n")
            << "44100  Hz   16  Bit";
        // Keys the file lacks are added in the order they are written.
        QTest::newRow("keys added in order")
            << QByteArray() << true
            << QByteArray("Channels=1\nBitsPerSample=8\nSamplesPerSec=11025\n")
            << "11025  Hz   8  Bit";
    }
    void okWritesTheThreeKeys() {
        QFETCH(QByteArray, formatLines);
        QFETCH(bool, change);
        QFETCH(QByteArray, expectedLines);
        QFETCH(QString, mainPanel);

        start(configWith(formatLines));
        QPointer<Preferences> dialog = openFromMenu();
        if (change) {
            QTest::mouseClick(dialog->Option1, Qt::LeftButton);
            QTest::mouseClick(dialog->Option3, Qt::LeftButton);
            dialog->Combo1->setFocus();
            QTest::keyClick(dialog->Combo1, Qt::Key_Up);
            QTest::keyClick(dialog->Combo1, Qt::Key_Up);
            QTest::keyClick(dialog->Combo1, Qt::Key_Down);
            QCOMPARE(dialog->Combo1->currentText(), QString("11025 Hz"));
        }
        QTest::mouseClick(dialog->SkinButton1, Qt::LeftButton);
        flushDeletes();
        QVERIFY(dialog.isNull());

        const QByteArray expected =
            formatLines.isEmpty() ? configWith({}) + expectedLines : configWith(expectedLines);
        QCOMPARE(readAll(ini()), expected);
        QCOMPARE(form->SkinPanel1->text(), mainPanel);
        QCOMPARE(form->shared.AutoMp3, 0);
    }

    void okSetsAutoMp3InMemoryOnly() {
        start(configWith("Channels=2\nBitsPerSample=16\nSamplesPerSec=22050\n"));
        QPointer<Preferences> dialog = openFromMenu();
        QTest::mouseClick(dialog->Check1, Qt::LeftButton);
        QTest::mouseClick(dialog->SkinButton1, Qt::LeftButton);
        flushDeletes();
        QVERIFY(dialog.isNull());
        QCOMPARE(form->shared.AutoMp3, 1);
        QVERIFY(!readAll(ini()).toLower().contains("mp3"));

        // Reopened, it shows the flag; unticking it and Ok clears it.
        dialog = openFromMenu();
        QVERIFY(dialog->Check1->isChecked());
        QTest::mouseClick(dialog->Check1, Qt::LeftButton);
        QTest::mouseClick(dialog->SkinButton1, Qt::LeftButton);
        QCOMPARE(form->shared.AutoMp3, 0);

        // A restart starts without it.
        form.reset();
        flushDeletes();
        start(readAll(ini()));
        QCOMPARE(form->shared.AutoMp3, 0);
        QVERIFY(!form->preferences()->Check1->isChecked());
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
        QCOMPARE(form->shared.RecordingFormat.SamplesPerSec, 44100);
        QCOMPARE(dialog->SkinPanel1->text(), QString("10.094  MB/min"));

        // Nor does a rate of one's own, even confirmed with Enter; it is not added to the list.
        edit->selectAll();
        QTest::keyClicks(edit, "48000 Hz");
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(dialog->Combo1->currentText(), QString("48000 Hz"));
        QCOMPARE(dialog->Combo1->count(), 4);
        QCOMPARE(form->shared.RecordingFormat.SamplesPerSec, 44100);
        QCOMPARE(dialog->SkinPanel1->text(), QString("10.094  MB/min"));

        QTest::mouseClick(dialog->SkinButton1, Qt::LeftButton);
        flushDeletes();
        QVERIFY(dialog.isNull());
        QVERIFY(readAll(ini()).contains("\nSamplesPerSec=44100\n"));
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
        QCOMPARE(dialog->size(), QSize(273, 218));

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
            dialog->Option1, dialog->Option2,     dialog->Option3,    dialog->Option4,
            dialog->Check1,  dialog->SkinButton1, dialog->SkinButton2};
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
              static_cast<QLabel*>(dialog->SkinPanel1)}) {
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
