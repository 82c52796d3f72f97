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
// Progress and the end go to the status line.
class Converter : public QObject {
    Q_OBJECT
  public:
    Converter(DOSOutputs& runner, StatusLine& status, QString encoder, QObject* parent = nullptr);

    // The encoder's arguments: the encoder, its switches, input and output.
    QStringList arguments(const QString& options, const QString& input,
                          const QString& output) const;

    // Runs the conversion now when none runs, returning when the queue is empty; otherwise
    // queues it and returns at once. `tag` comes back with `finished`.
    void convert(const QString& options, const QString& input, const QString& output,
                 const QVariant& tag = {});
    bool busy() const { return busy_; }
    int queued() const { return int(queue_.size()); }

  signals:
    void busyChanged(bool busy);
    // `started` is false when the encoder could not be run at all (the runner has said why);
    // `ok` when it ran to the end of its output and the MP3 exists.
    void finished(const QString& input, const QString& output, bool ok, bool started,
                  const QVariant& tag);

  private:
    struct Job {
        QStringList arguments;
        QString input, output;
        QVariant tag;
    };
    void run(const Job& job);
    void receiveOutputs(const QString& chunk);

    DOSOutputs& runner_;
    StatusLine& status_;
    QString encoder_;
    QList<Job> queue_;
    bool busy_ = false;
    bool ended_ = false;
};

} // namespace tw
