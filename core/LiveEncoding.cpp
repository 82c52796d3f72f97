#include "core/LiveEncoding.h"

#include "engine/take_encoder.h"
#include "platform/FileSystem.h"

#include <QDateTime>
#include <QFile>
#include <QPointer>
#include <QProcess>

namespace tw {

namespace {

encode::Codec codecOf(TakeFormat format) {
    switch (format) {
    case TakeFormat::Opus:
        return encode::Codec::Opus;
    case TakeFormat::Vorbis:
        return encode::Codec::Vorbis;
    case TakeFormat::Mp3:
        return encode::Codec::Mp3;
    default:
        return encode::Codec::Flac;
    }
}

std::string local(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

} // namespace

QString LiveEncoding::encoderTag() {
#ifdef TW_VERSION
    return QStringLiteral("Tunewright " TW_VERSION);
#else
    return QStringLiteral("Tunewright");
#endif
}

LiveEncoding::LiveEncoding(const EncodingOrder& order, const QString& source, const QString& near,
                           QObject* parent)
    : QObject(parent), work_(std::make_unique<UnfinishedConversion>(near)) {
    encode::Job job;
    job.codec = codecOf(order.format);
    job.source = local(source);
    job.target = local(work_->path());
    job.tags.title = order.title.toStdString();
    // The local time with its offset, so that the date means the same anywhere.
    const QDateTime now = QDateTime::currentDateTime();
    job.tags.date = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate).toStdString();
    job.tags.encoder = encoderTag().toStdString();
    job.lame = local(order.lame);
    for (const QString& word : QProcess::splitCommand(order.lameOptions))
        job.lameSwitches.push_back(word.toStdString());
    // The encoder's thread says it ended; the rest happens on this object's thread.
    const QPointer<LiveEncoding> self(this);
    encoder_ = std::make_unique<encode::TakeEncoder>(
        std::move(job), [self](encode::TakeEncoder::State state) {
            QMetaObject::invokeMethod(
                self,
                [self, state] {
                    if (self)
                        self->endedOnThread(state == encode::TakeEncoder::State::Done);
                },
                Qt::QueuedConnection);
        });
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        timedOut_ = true;
        encoder_->cancel();
    });
}

LiveEncoding::~LiveEncoding() {
    encoder_->cancel();
    encoder_->wait();
    // The encoder removes a file it did not finish; a finished one nobody placed goes too.
    if (!workFile().isEmpty() && QFile::exists(workFile()))
        QFile::remove(workFile());
}

bool LiveEncoding::start() {
    if (encoder_->start())
        return true;
    end_ = std::pair(false, error());
    return false;
}

void LiveEncoding::finish(int deadlineMs, const QString& sourceNow) {
    finishing_ = true;
    if (end_) {
        QMetaObject::invokeMethod(this, &LiveEncoding::report, Qt::QueuedConnection);
        return;
    }
    deadline_.start(deadlineMs);
    encoder_->sourceComplete(sourceNow.isEmpty() ? std::string() : local(sourceNow));
}

void LiveEncoding::cancel() {
    encoder_->cancel();
}

bool LiveEncoding::failed() const {
    return encoder_->state() == encode::TakeEncoder::State::Failed;
}

QString LiveEncoding::error() const {
    return QString::fromStdString(encoder_->error());
}

QString LiveEncoding::workFile() const {
    return work_ ? work_->path() : QString();
}

qint64 LiveEncoding::framesDone() const {
    return encoder_->framesDone();
}

qint64 LiveEncoding::sourceFrames() const {
    return encoder_->sourceFrames();
}

void LiveEncoding::endedOnThread(bool ok) {
    if (end_)
        return;
    deadline_.stop();
    encoder_->wait();
    QString why;
    if (!ok)
        why = timedOut_ ? QStringLiteral("the encoder did not finish in time") : error();
    end_ = std::pair(ok, why);
    // An encoder that failed while the take still records is told now and at its end.
    if (finishing_)
        report();
    else
        emit failedEarly(why);
}

void LiveEncoding::report() {
    emit ended(end_->first, end_->second);
}

} // namespace tw
