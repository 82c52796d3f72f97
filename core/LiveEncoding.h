#pragma once

#include "core/TakeFormat.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <memory>
#include <optional>
#include <utility>

namespace tw {

class UnfinishedConversion;
namespace encode {
class TakeEncoder;
}

// What a compressed file is made with: its format, the title and date it is tagged with, and
// for MP3 the `lame` program and the user's switches.
struct EncodingOrder {
    TakeFormat format = TakeFormat::Flac;
    QString title;
    QString lame;
    QString lameOptions;
};

// One compressed file made from a WAV, on the encoder's own thread: from a take's capture while
// it records, or from a finished file. It writes under a hidden name beside `near` (listed, so
// that a start after a kill removes it), which the owner places once `ended` says it is good.
class LiveEncoding : public QObject {
    Q_OBJECT
  public:
    LiveEncoding(const EncodingOrder& order, const QString& source, const QString& near,
                 QObject* parent = nullptr);
    // An encoder still running is stopped and its file removed.
    ~LiveEncoding() override;

    // False, with `error()` set, when the source cannot be read or the file not made. A
    // conversion of a finished file calls finish() at once.
    bool start();
    // The source is complete: the rest is encoded and checked, then `ended` (also when it
    // failed earlier, or never started). An encoder that has not ended within `deadlineMs` is
    // stopped and has failed.
    // `sourceNow`: where the source lies now, when it was moved since the start.
    void finish(int deadlineMs, const QString& sourceNow = {});
    void cancel();

    bool failed() const;
    QString error() const;
    // The hidden file being written; the owner places or removes it after `ended`.
    QString workFile() const;
    // Frames encoded and the source's frames, for progress.
    qint64 framesDone() const;
    qint64 sourceFrames() const;

    // The encoder tag of every file the program makes.
    static QString encoderTag();

  signals:
    void ended(bool ok, const QString& why);
    // The encoder failed before finish() was asked: the take goes on, and `ended` follows then.
    void failedEarly(const QString& why);

  private:
    void endedOnThread(bool ok);
    void report();

    std::unique_ptr<UnfinishedConversion> work_;
    std::unique_ptr<encode::TakeEncoder> encoder_;
    QTimer deadline_;
    bool timedOut_ = false;
    bool finishing_ = false;
    // The end, once the encoder has told it: kept until finish() asks for it.
    std::optional<std::pair<bool, QString>> end_;
};

} // namespace tw
