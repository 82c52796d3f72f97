#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace tw {

class DOSOutputs;
class StatusLine;

// WAV to MP3 through the encoder, one conversion at a time: a conversion asked for while
// one runs waits its turn and starts when the running one has ended, never inside it.
// Progress and the end go to the status line. An MP3 never replaces a file: when the wanted
// name is taken by the time the conversion starts, the first free "<name>_n.mp3" is written.
// A conversion has succeeded only when the encoder exited with status 0, reported no error
// and wrote a non-empty MP3; otherwise the status line says why in red and whatever the
// encoder wrote is removed.
class Converter : public QObject {
    Q_OBJECT
  public:
    Converter(DOSOutputs& runner, StatusLine& status, QString encoder, QObject* parent = nullptr);

    // The encoder's arguments: the encoder, its switches, input and output.
    QStringList arguments(const QString& options, const QString& input,
                          const QString& output) const;

    // Runs the conversion now when none runs, returning when the queue is empty; otherwise
    // queues it and returns at once. `tag` comes back with `finished`. An input that is the
    // output itself, or an MP3 already, is refused without running the encoder.
    void convert(const QString& options, const QString& input, const QString& output,
                 const QVariant& tag = {});
    bool busy() const { return busy_; }
    int queued() const { return int(queue_.size()); }

  signals:
    void busyChanged(bool busy);
    // `output` is the MP3's name as written (or as it would have been). `started` is false
    // when the encoder was not run at all (refused, or the runner has said why); `ok` when
    // the conversion succeeded; `why`, empty then, says what went wrong.
    void finished(const QString& input, const QString& output, bool ok, bool started,
                  const QVariant& tag, const QString& why);

  private:
    struct Job {
        QString options, input, output;
        QVariant tag;
    };
    void run(const Job& job);
    // Empty when this run's MP3 is good, else the reason it is not.
    QString failure(const QString& input, const QString& output);
    void receiveOutputs(const QString& chunk);

    DOSOutputs& runner_;
    StatusLine& status_;
    QString encoder_;
    QList<Job> queue_;
    bool busy_ = false;
    bool ended_ = false;
};

} // namespace tw
