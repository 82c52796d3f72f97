// Record, pause/resume and stop of the main window, the recording clock and the volume
// slider. The engine captures on its own thread; these handlers only tell it what to do.
#include "app/Form1.h"
#include "app/Yield.h"
#include "platform/IAudioLibraries.h"
#include "settings/Preferences.h"
#include "skins/SkinControls.h"

#include <QApplication>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>

namespace tw {

namespace {
const QString kRecordingText = QStringLiteral("The Program is Recording now........");
const QString kPausedText = QStringLiteral("Recording Paused,Press Resume\\Stop to continue\\over");

// At least two digits, as "00" formats a number; wider numbers keep all their digits.
QString twoDigits(const QString& number) {
    bool ok = false;
    const qlonglong value = number.toLongLong(&ok);
    return ok ? QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0')) : number;
}
// The engine's answers to a refused start, in the user's words.
QString startFailure(int32_t result, const RecordingFormatValues& f) {
    switch (result) {
    case -1:
        return QStringLiteral("the format %1 channels, %2 Hz, %3 bits is not possible; choose "
                              "one in Options, Preferences...")
            .arg(f.Channels)
            .arg(f.SamplesPerSec)
            .arg(f.BitsPerSample);
    case -2:
        return QStringLiteral("no sound server answers.");
    case -3:
        return QStringLiteral("a recording is already running.");
    case -6:
        return QStringLiteral("the recording source is gone; run the sound-card set-up again.");
    default:
        return QStringLiteral("the sound engine answered %1.").arg(result);
    }
}
} // namespace

void Form1::SkinButton1_Click() {
    const RecordingFormatValues& f = shared.RecordingFormat;
    const int32_t result = engine(QByteArray(), 1, f.Channels, f.SamplesPerSec, f.BitsPerSample, 0);
    if (result < 0) {
        // Showing "Recording now" while nothing records would lose the user's take.
        if (result != IAudioLibraries::kNotLoaded)
            setStatus(QStringLiteral("Recording could not start: ") + startFailure(result, f),
                      kRed);
        return;
    }
    Timer2.start();
    ElapsedSeconds = 0;
    // A take stopped before the clock's first tick lasted 00:00, not the last take's time.
    MinutesText = QStringLiteral("0");
    SecondsText = QStringLiteral("0");
    SkinButton1->setEnabled(false);
    SkinButton2->setEnabled(true);
    SkinButton4->setEnabled(true);
    setStatus(kRecordingText, kBlue);

    QString rate = preferences()->SkinPanel1->text();
    rate.chop(8);
    const float perMinute = rate.toFloat();
    MbPerSecond = QString::number(perMinute / 60.0f, 'f', 3);
}

void Form1::SkinButton4_Click() {
    if (saving_)
        return;
    if (SkinButton4->text() == QStringLiteral("Pause F10")) {
        SkinButton4->setText(QStringLiteral("Resume F10"));
        engine(QByteArray(), 2, 0, 0, 0, 0);
        setStatus(kPausedText, kRed);
        Timer2.stop();
    } else {
        SkinButton4->setText(QStringLiteral("Pause F10"));
        engine(QByteArray(), 3, 0, 0, 0, 0);
        setStatus(kRecordingText, kBlue);
        Timer2.start();
    }
}

QString Form1::takeFileName(int number) const {
    if (number == 0)
        return OutputPath;
    return OutputPath.left(OutputPath.size() - 4) + QLatin1Char('_') + QString::number(number) +
           QStringLiteral(".wav");
}

void Form1::SkinButton2_Click() {
    // A second Stop or a Pause while this one waits for the engine would save twice.
    if (saving_)
        return;
    saving_ = true;

    // Never overwrite: a name taken by an earlier run or before "Clear list" is skipped.
    while (QFileInfo::exists(takeFileName(TakeCounter)))
        ++TakeCounter;
    const QString target = takeFileName(TakeCounter);
    OutputPath = target;

    QApplication::setOverrideCursor(Qt::WaitCursor);
    setStatus(QStringLiteral("Saving your recording, Please wait..."), kRed);
    yieldToWindowSystem();

    const int32_t result = engine(target.toLocal8Bit(), 0, 0, 0, 0, 0);

    SkinButton2->setEnabled(false);
    SkinButton4->setEnabled(false);
    SkinButton1->setEnabled(true);
    SkinButton4->setText(QStringLiteral("Pause F10"));
    Timer2.stop();

    const QString shortPath = GetShortPath(target);
    // The file at its path is what counts: a take cut short by a lost sound server is
    // still put in place, though the engine reports the loss.
    if (shortPath.isEmpty()) {
        if (result != IAudioLibraries::kNotLoaded)
            setStatus(QStringLiteral("The recording could not be saved as %1; the sound "
                                     "engine keeps the captured audio in ~/.cache/tunewright.")
                          .arg(target),
                      kRed);
        Savefile();
        QApplication::restoreOverrideCursor();
        saving_ = false;
        return;
    }

    addListLine(shortPath);
    QString done = QStringLiteral("Recording is over,Wave file has saved in appointed path");
    if (shared.AutoMp3 == 1) {
        const QString mp3 = shortPath.left(shortPath.size() - 3) + QStringLiteral("mp3");
        Converting(shortPath, mp3);
        if (QFileInfo::exists(mp3))
            addListLine(mp3);
        else
            done = QStringLiteral("The recording is saved, but the conversion failed: %1 was "
                                  "not written.")
                       .arg(mp3);
    }

    setStatus(done, statusColour());
    Savefile();
    ++TakeCounter;
    QApplication::restoreOverrideCursor();
    saving_ = false;
}

void Form1::addListLine(const QString& path) {
    // Linux file names are case-sensitive: the path keeps its letter case.
    List1->addItem(twoDigits(QString::number(NextEntryNumber)) + QStringLiteral("     ") +
                   twoDigits(MinutesText) + QLatin1Char(':') + twoDigits(SecondsText) +
                   QStringLiteral("     ") + path);
    ++NextEntryNumber;
}

void Form1::Timer2_Timer() {
    Mmss();
    ++ElapsedSeconds;
}

void Form1::Mmss() {
    const int32_t e = ElapsedSeconds;
    MinutesText = QString::number(e / 60);
    SecondsText = QString::number(e - MinutesText.toInt() * 60);
    const QString size = QString::number(MbPerSecond.toDouble() * e, 'f', 3);
    SkinPanel1->setText(size + QStringLiteral(" MB") + QLatin1Char(' ') + MinutesText +
                        QLatin1Char(':') + twoDigits(SecondsText));
}

void Form1::showVolume() {
    SkinLabel5->setText(QStringLiteral("Recording volume setting :") +
                        QString::number(SkinScrollBar1->position()));
}

void Form1::SkinScrollBar1_Change() {
    showVolume();
    mixer(shared.SourceIndex, SkinScrollBar1->position());
}

} // namespace tw
