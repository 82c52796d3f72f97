#include "core/Converter.h"

#include "core/DOSOutputs.h"
#include "core/LiveEncoding.h"
#include "core/StatusLine.h"
#include "core/WavFile.h"
#include "platform/FileSystem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <climits>

namespace tw {

namespace {

// The encoder's output as lines; its progress ends lines with carriage returns.
QStringList nonEmptyLines(const QString& output) {
    static const QRegularExpression ends(QStringLiteral("[\r\n]"));
    QStringList lines;
    for (const QString& line : output.split(ends)) {
        if (const QString trimmed = line.trimmed(); !trimmed.isEmpty())
            lines << trimmed;
    }
    return lines;
}

// Lines the encoder prints when it gives up, some of them with exit status 0. The paths are left
// out of the look, so that a take named "unsupported" is no error.
bool reportsError(QString line, const QString& input, const QString& output) {
    line.remove(input).remove(output);
    return line.startsWith(QStringLiteral("Error"), Qt::CaseInsensitive) ||
           line.contains(QStringLiteral("unsupported"), Qt::CaseInsensitive) ||
           line.contains(QStringLiteral("Could not"), Qt::CaseInsensitive) ||
           line.contains(QStringLiteral("Can't"), Qt::CaseInsensitive);
}

// Why the encoder cannot take the file as WAV ("" when it can), read with the program's own
// WAV reader: an encoder takes what it cannot read as a header for raw samples and encodes
// noise without a word. A file that cannot be opened is left to the encoder, whose
// complaint then shows.
QString notEncodable(const QString& path, const OutputFormat& format) {
    if (!QFile(path).open(QIODevice::ReadOnly))
        return QString();
    const std::optional<WavHeader> h = readWavHeader(path);
    if (!h)
        return QStringLiteral("it is not a WAV file");
    if (h->channels > format.maxChannels)
        return QStringLiteral("it has %1 channels, and %2 takes at most %3")
            .arg(h->channels)
            .arg(format.label)
            .arg(format.maxChannels);
    const int bits = h->bitsPerSample;
    if ((bits != 8 && bits != 16 && bits != 24 && bits != 32) ||
        h->blockAlign != h->channels * bits / 8)
        return QStringLiteral("its header gives %1 bits per sample, which no WAV file holds")
            .arg(bits);
    return QString();
}

QString because(const QString& why, const QString& line) {
    return line.isEmpty() ? why : why + QStringLiteral(" (") + line + QLatin1Char(')');
}

} // namespace

Converter::Converter(DOSOutputs& runner, StatusLine& status, QString appDir, QObject* parent)
    : QObject(parent), runner_(runner), status_(status), appDir_(std::move(appDir)) {
    connect(&runner_, &DOSOutputs::ReceiveOutputs, this, &Converter::receiveOutputs);
    connect(&runner_, &DOSOutputs::RunEnded, this, &Converter::ended);
    encodingProgress_.setInterval(250);
    connect(&encodingProgress_, &QTimer::timeout, this, &Converter::showEncodingProgress);
}

Converter::~Converter() {
    if (unfinished_)
        QFile::remove(unfinished_->path());
    // An encoding of the program's own stops and removes its file with its owner.
}

QString Converter::encoderPath(const OutputFormat& format) const {
    // The application directory holds a launcher for each encoder that is installed.
    return appDir_ + QLatin1Char('/') + format.encoder;
}

void Converter::setBusy(bool busy) {
    if (busy_ == busy)
        return;
    busy_ = busy;
    emit busyChanged(busy);
}

void Converter::convert(const OutputFormat& format, const QString& options, const QString& input,
                        const QString& output, const QVariant& tag) {
    queue_.append(Job{format, options, input, output, tag});
    if (!running_)
        startNext();
}

void Converter::startNext() {
    setBusy(true);
    while (!queue_.isEmpty()) {
        if (start(queue_.takeFirst()))
            return;
    }
    setBusy(false);
}

bool Converter::start(const Job& job) {
    QString refusal;
    if (QDir::cleanPath(job.input) == QDir::cleanPath(job.output) ||
        job.format.isOwnFile(job.input))
        refusal = QStringLiteral("its %1 would replace it").arg(job.format.label);
    else
        refusal = notEncodable(job.input, job.format);
    if (!refusal.isEmpty()) {
        status_.set(QStringLiteral("%1 is not converted: %2.").arg(job.input, refusal), kRed);
        emit finished(job.input, job.output, false, false, job.tag, refusal);
        return false;
    }
    if (job.format.inProcess())
        return startInProcess(job);
    current_ = job;
    wanted_ = job.output;
    // Named only now: a queued conversion may start long after it was asked for.
    current_.output = job.format.freePath(job.output);
    // Listed before the encoder makes it, so that no kill leaves it unlisted.
    unfinished_ = std::make_unique<UnfinishedConversion>(current_.output);
    cancelled_ = false;
    const int colourBefore = status_.colour();
    status_.setColour(kBlue);
    runner_.setMissingProgramHint(job.format.missingHint);
    if (!runner_.StartArguments(job.format.arguments(encoderPath(job.format), job.options,
                                                     job.input, unfinished_->path()))) {
        unfinished_.reset();
        status_.setColour(colourBefore); // after the runner's message the window is idle again
        emit finished(job.input, current_.output, false, false, job.tag,
                      QStringLiteral("the encoder could not be started"));
        return false;
    }
    running_ = true;
    return true;
}

bool Converter::startInProcess(const Job& job) {
    current_ = job;
    wanted_ = job.output;
    current_.output = job.format.freePath(job.output);
    const EncodingOrder order{takeFormatConvertedBy(job.format.id).value_or(TakeFormat::Flac),
                              QFileInfo(current_.output).completeBaseName(),
                              {},
                              {}};
    encoding_ = std::make_unique<LiveEncoding>(order, job.input, current_.output);
    connect(encoding_.get(), &LiveEncoding::ended, this, &Converter::encodingEnded);
    cancelled_ = false;
    running_ = true;
    status_.setColour(kBlue);
    // A file that cannot be read ends at once, through `ended`, with the encoder's reason.
    encoding_->start();
    encoding_->finish(INT_MAX);
    encodingProgress_.start();
    return true;
}

void Converter::showEncodingProgress() {
    const qint64 total = encoding_ ? encoding_->sourceFrames() : 0;
    if (total <= 0)
        return;
    const int percent = int(qBound(qint64(0), encoding_->framesDone() * 100 / total, qint64(100)));
    status_.setText(QStringLiteral("Encoding in progress...  Status=%1%").arg(percent, 2));
    emit progress(percent);
}

void Converter::encodingEnded(bool ok, const QString& why) {
    encodingProgress_.stop();
    if (!running_)
        return;
    running_ = false;
    conclude(encoding_->workFile(), ok ? QString() : why);
}

void Converter::ended() {
    if (!running_)
        return;
    running_ = false;
    const QString written = unfinished_->path();
    conclude(written,
             cancelled_ ? QStringLiteral("it was cancelled") : failure(current_.input, written));
}

void Converter::conclude(const QString& written, QString why) {
    Job job = current_;
    if (why.isEmpty()) {
        const QString placed = place(written, why);
        if (!placed.isEmpty())
            job.output = placed;
    }
    if (why.isEmpty()) {
        status_.set(QStringLiteral("Finish Converting"), kRed);
    } else {
        QFile::remove(written);
        status_.set(QStringLiteral("The conversion of %1 failed: %2").arg(job.input, why), kRed);
    }
    unfinished_.reset();
    // Reached from the encoding's own signal: it goes once that has returned.
    if (encoding_)
        encoding_.release()->deleteLater();
    emit finished(job.input, job.output, why.isEmpty(), true, job.tag, why);
    startNext();
}

QString Converter::place(const QString& finished, QString& why) {
    QString error, target;
    const QString placed =
        current_.format.placeFinished(finished, current_.output, wanted_, &error, &target);
    if (placed.isEmpty())
        why = QStringLiteral("the finished %1 could not be named %2 (%3)")
                  .arg(current_.format.label, target, error);
    return placed;
}

void Converter::cancel() {
    const QList<Job> dropped = std::exchange(queue_, {});
    for (const Job& job : dropped)
        emit finished(job.input, job.format.pathFor(job.input), false, false, job.tag,
                      QStringLiteral("it was cancelled"));
    if (running_) {
        cancelled_ = true;
        if (encoding_)
            encoding_->cancel();
        else
            runner_.Cancel();
    }
}

QString Converter::failure(const QString& input, const QString& output) {
    const QStringList lines = nonEmptyLines(runner_.Outputs());
    const QString last = lines.isEmpty() ? QString() : lines.last();
    const ChildExit exit = runner_.lastExit();
    switch (exit.how) {
    case ChildExit::How::Exited:
        if (exit.code != 0)
            return because(QStringLiteral("the encoder exited with status %1").arg(exit.code),
                           last);
        break;
    case ChildExit::How::Signalled:
        return because(QStringLiteral("the encoder was stopped by signal %1").arg(exit.code), last);
    case ChildExit::How::StillRunning:
        return because(QStringLiteral("the encoder was still running after its output ended"),
                       last);
    case ChildExit::How::NotRun:
    case ChildExit::How::Unknown:
        return because(QStringLiteral("the encoder's exit status is unknown"), last);
    }
    for (const QString& line : lines) {
        if (reportsError(line, input, output))
            return because(QStringLiteral("the encoder reported an error"), line);
    }
    if (QFileInfo(output).size() <= 0)
        return because(QStringLiteral("the encoder wrote no output"), last);
    return QString();
}

void Converter::receiveOutputs(const QString& chunk) {
    if (!running_)
        return;
    const int percent = int(chunk.indexOf(QLatin1Char('%')));
    if (percent >= 2) {
        status_.setText(QStringLiteral("Encoding in progress...  Status=") +
                        chunk.mid(percent - 2, 3));
        int digits = 0;
        while (digits < 3 && percent - digits > 0 && chunk.at(percent - digits - 1).isDigit())
            ++digits;
        emit progress(chunk.mid(percent - digits, digits).toInt());
    }
}

} // namespace tw
