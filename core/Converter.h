#pragma once

#include "core/OutputFormat.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariant>
#include <memory>

namespace tw {

class DOSOutputs;
class LiveEncoding;
class StatusLine;
class UnfinishedConversion;

// WAV files converted through their format's console encoder, or the program's own encoder
// for the formats it makes itself, as a queue: one conversion
// runs at a time, in the background, and the next starts when it has ended. Progress and the
// end go to the status line and out as signals. A converted file never replaces a file: when
// the wanted name is taken by the time the conversion starts, or by the time it ends, the first
// free "<name>_n.<ext>" is used. The encoder writes under a hidden name beside the file, which a
// start after a kill removes, and the file appears under its own name only once finished. A
// conversion has succeeded only when the encoder exited with status 0, reported no error and
// wrote a non-empty file; otherwise the status line says why in red and whatever the encoder
// wrote is removed.
class Converter : public QObject {
    Q_OBJECT
  public:
    // `appDir` holds the encoders' launchers.
    Converter(DOSOutputs& runner, StatusLine& status, QString appDir, QObject* parent = nullptr);
    // An encoder still running keeps writing, but to a file that is no longer there.
    ~Converter() override;

    // Queues the conversion and returns at once; it starts now when none runs. `tag` comes
    // back with `finished`. An input that is the output itself, or of the format already,
    // is refused without running the encoder.
    void convert(const OutputFormat& format, const QString& options, const QString& input,
                 const QString& output, const QVariant& tag = {});
    // Stops the running conversion, removing what it wrote, and drops those waiting; each
    // ends with `finished` as failed ("it was cancelled").
    void cancel();
    bool busy() const { return busy_; }
    int queued() const { return int(queue_.size()); }

    // The encoder's launcher for `format` in the application directory.
    QString encoderPath(const OutputFormat& format) const;

  signals:
    void busyChanged(bool busy);
    // The running conversion's share done, as the encoder printed it.
    void progress(int percent);
    // `output` is the file's name as written (or as it would have been). `started` is false
    // when the encoder was not run at all (refused, or the runner has said why); `ok` when
    // the conversion succeeded; `why`, empty then, says what went wrong.
    void finished(const QString& input, const QString& output, bool ok, bool started,
                  const QVariant& tag, const QString& why);

  private:
    struct Job {
        OutputFormat format;
        QString options, input, output;
        QVariant tag;
    };
    // Starts queued jobs until one runs or the queue is empty.
    void startNext();
    // True when the job's encoder is running now; otherwise `finished` has been emitted.
    bool start(const Job& job);
    bool startInProcess(const Job& job);
    void ended();
    void encodingEnded(bool ok, const QString& why);
    // The running conversion's file is written (`why` empty) or has failed: it is placed or
    // removed, and the next one starts.
    void conclude(const QString& written, QString why);
    void showEncodingProgress();
    // Empty when this run's file is good, else the reason it is not.
    QString failure(const QString& input, const QString& output);
    // Puts the finished file under the job's name, or under the next free one when a file took
    // that name meanwhile: the name it got, or "" with `why` set.
    QString place(const QString& finished, QString& why);
    void receiveOutputs(const QString& chunk);
    void setBusy(bool busy);

    DOSOutputs& runner_;
    StatusLine& status_;
    QString appDir_;
    QList<Job> queue_;
    Job current_;
    // The name asked for, from which current_.output was chosen.
    QString wanted_;
    std::unique_ptr<UnfinishedConversion> unfinished_;
    std::unique_ptr<LiveEncoding> encoding_;
    QTimer encodingProgress_;
    // The lame launcher and switches, for a take's own encoder (see Settings).
    QString lamePath_;
    bool running_ = false;
    bool cancelled_ = false;
    bool busy_ = false;
};

} // namespace tw
