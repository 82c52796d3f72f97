// WAV to MP3 through the encoder in the application directory, with its progress on the
// status line.
#include "app/Form1.h"
#include "app/Yield.h"
#include "encoding/DOSOutputs.h"
#include "platform/IFileDialogs.h"
#include "skins/SkinControls.h"

#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QRegularExpression>

namespace tw {

namespace {
// Linux paths keep their blanks (there are no short names), so a path with one is quoted;
// any other path stands on the command line exactly as it is.
QString commandLineWord(const QString& path) {
    if (!path.contains(QLatin1Char(' ')))
        return path;
    QString quoted = path;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString mp3PathFor(const QString& wav) {
    return wav.left(wav.size() - 3) + QStringLiteral("mp3");
}
} // namespace

void Form1::Converting(const QString& inputf, const QString& outputf) {
    converting_ = true;
    conversionEnded_ = false;
    const int colourBefore = statusColour();
    SkinButton1->setEnabled(false);
    setStatus(Text1->text(), kBlue);
    objDOS->setCommandline(commandLineWord(appDir + QStringLiteral("/lame")) + shared.LameOptions +
                           QLatin1Char(' ') + commandLineWord(inputf) + QLatin1Char(' ') +
                           commandLineWord(outputf));
    objDOS->ExecuteCommand(QString());
    if (!conversionEnded_) {
        // The encoder never started: after the runner's message the window is idle again.
        SkinButton1->setEnabled(!SkinButton2->isEnabled());
        setStatus(Text1->text(), colourBefore);
    }
    converting_ = false;
}

void Form1::objDOS_ReceiveOutputs(const QString& CommandOutputs) {
    const int percent = CommandOutputs.indexOf(QLatin1Char('%'));
    if (percent >= 2) {
        setStatus(QStringLiteral("Encoding in progress...  Status=") +
                      CommandOutputs.mid(percent - 2, 3),
                  statusColour());
        yieldToWindowSystem();
    }
    if (CommandOutputs.isEmpty()) {
        conversionEnded_ = true;
        // A conversion that ends while a take records leaves Record off.
        SkinButton1->setEnabled(!SkinButton2->isEnabled());
        setStatus(QStringLiteral("Finish Converting"), kRed);
    }
}

namespace {
const QString kBusy =
    QStringLiteral("A conversion is running; wait for it to finish before starting another.");
}

void Form1::Convert_Click() {
    if (converting_) {
        setStatus(kBusy, kRed);
        return;
    }
    const QString inputf = Getfilename();
    if (inputf.size() < 3) {
        setStatus(QStringLiteral("Select a recording in the list to convert."), kRed);
        return;
    }
    const QString outputf = mp3PathFor(inputf);
    Converting(inputf, outputf);
    if (!QFileInfo::exists(outputf)) {
        if (conversionEnded_)
            setStatus(QStringLiteral("The conversion failed: %1 was not written.").arg(outputf),
                      kRed);
        return;
    }
    // The duration of the line selected now, as the design reads it.
    QString duration;
    if (const QListWidgetItem* item = List1->currentItem()) {
        static const QRegularExpression layout(QStringLiteral("^\\d+ {5}(\\d+:\\d+) {5}"));
        const QRegularExpressionMatch match = layout.match(item->text());
        duration = match.hasMatch() ? match.captured(1) : item->text().mid(7, 5);
    }
    List1->addItem(QStringLiteral("%1").arg(NextEntryNumber, 2, 10, QLatin1Char('0')) +
                   QStringLiteral("     ") + duration + QStringLiteral("     ") + outputf);
    ++NextEntryNumber;
}

void Form1::Wavtomp3_Click() {
    if (converting_) {
        setStatus(kBusy, kRed);
        return;
    }
    if (!available(services_.dialogs, QStringLiteral("file dialog")))
        return;
    const std::optional<QString> chosen =
        services_.dialogs->open(QStringLiteral("Wave Files(*.wav)|*.wav"));
    if (!chosen)
        return;
    Common3.FileName = *chosen;
    Text1->setText(GetShortPath(*chosen));
    const QString inputf = Text1->text();
    if (inputf.size() < 3)
        return;
    const QString outputf = mp3PathFor(inputf);
    Converting(inputf, outputf);
    if (conversionEnded_ && !QFileInfo::exists(outputf))
        setStatus(QStringLiteral("The conversion failed: %1 was not written.").arg(outputf), kRed);
}

} // namespace tw
