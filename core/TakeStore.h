#pragma once

#include "core/Takes.h"

#include <QObject>
#include <QString>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace tw {

class StatusLine;

// The list of takes kept across runs, in a JSON file of the user's data folder. Opening it
// lists the earlier runs' takes whose files still exist, above this run's; from then on each
// change of the list is written. A missing or damaged file is said and begun anew (a damaged
// one is kept beside it). Reading and writing run on a thread of the store's own, so that a
// slow disk never holds the window.
class TakeStore : public QObject {
    Q_OBJECT
  public:
    TakeStore(Takes& takes, StatusLine& status, QObject* parent = nullptr);
    // What is still to be written is written first.
    ~TakeStore() override;
    TakeStore(const TakeStore&) = delete;
    TakeStore& operator=(const TakeStore&) = delete;

    void open(const QString& file);
    const QString& file() const { return file_; }

    struct Read {
        QList<Takes::Take> takes; // those whose file exists, in the file's order
        bool missing = false;
        int leftOut = 0; // lines whose file has gone
        QString damage;  // why the file could not be read, "" when it could
    };
    // The file's takes; exposed for the tests of damaged files.
    static Read read(const QString& file);
    static QByteArray serialize(const Takes& takes);

  signals:
    // The earlier takes are listed (none, when the file was missing or damaged).
    void opened(int earlier);

  private:
    void listEarlier(const Read& read);
    void changed();
    void work();

    Takes& takes_;
    StatusLine& status_;
    QString file_;
    bool open_ = false; // the earlier takes are in: the file may be written
    std::mutex mutex_;
    std::condition_variable wake_;
    bool readAsked_ = false;
    bool stop_ = false;
    std::optional<QByteArray> pending_;
    std::thread worker_; // writes
    std::thread reader_; // reads once, at the lowest priority
};

} // namespace tw
