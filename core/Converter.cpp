#include "core/Converter.h"

#include "core/DOSOutputs.h"
#include "core/StatusLine.h"
#include "core/Yield.h"

#include <QFileInfo>
#include <QProcess>

namespace tw {

Converter::Converter(DOSOutputs& runner, StatusLine& status, QString encoder, QObject* parent)
    : QObject(parent), runner_(runner), status_(status), encoder_(std::move(encoder)) {
    connect(&runner_, &DOSOutputs::ReceiveOutputs, this, &Converter::receiveOutputs);
}

QStringList Converter::arguments(const QString& options, const QString& input,
                                 const QString& output) const {
    // Paths stay whole words whatever they hold; only the switches are split.
    return QStringList{encoder_} + QProcess::splitCommand(options) + QStringList{input, output};
}

void Converter::convert(const QString& options, const QString& input, const QString& output,
                        const QVariant& tag) {
    queue_.append(Job{arguments(options, input, output), input, output, tag});
    if (busy_)
        return; // the running loop below takes it when its turn comes
    busy_ = true;
    emit busyChanged(true);
    while (!queue_.isEmpty())
        run(queue_.takeFirst());
    busy_ = false;
    emit busyChanged(false);
}

void Converter::run(const Job& job) {
    ended_ = false;
    const int colourBefore = status_.colour();
    status_.setColour(kBlue);
    runner_.ExecuteArguments(job.arguments);
    const bool started = ended_;
    if (!started)
        status_.setColour(colourBefore); // after the runner's message the window is idle again
    emit finished(job.input, job.output, started && QFileInfo::exists(job.output), started,
                  job.tag);
}

void Converter::receiveOutputs(const QString& chunk) {
    if (!busy_)
        return;
    const int percent = int(chunk.indexOf(QLatin1Char('%')));
    if (percent >= 2) {
        status_.setText(QStringLiteral("Encoding in progress...  Status=") +
                        chunk.mid(percent - 2, 3));
        yieldToWindowSystem();
    }
    if (chunk.isEmpty()) {
        ended_ = true;
        status_.set(QStringLiteral("Finish Converting"), kRed);
    }
}

} // namespace tw
