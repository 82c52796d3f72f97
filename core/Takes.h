#pragma once

#include <QAbstractListModel>
#include <QList>
#include <QString>

namespace tw {

// The recordings of the run as data. A row's display text is the list line: the entry
// number, five blanks, minutes:seconds, five blanks, the path; it is rendered here and never
// read back.
class Takes : public QAbstractListModel {
    Q_OBJECT
  public:
    enum class Kind { Wav, Converted };
    struct Take {
        int number = 0;
        int seconds = 0;
        QString path;
        Kind kind = Kind::Wav;
        bool earlier = false; // listed from an earlier run
    };
    enum Role { PathRole = Qt::UserRole + 1, SecondsRole, EarlierRole };

    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // Appends a line numbered with the next entry number.
    void add(const QString& path, int seconds, Kind kind);
    void remove(int row);
    // Puts a line that was removed back at `row` (or at the end), with its own number.
    void insert(int row, const Take& take);
    // The line's file was replaced by another (a take encoded after its recovery).
    void replacePath(int row, const QString& path);
    void clear();
    // Lists the takes of earlier runs above this run's; every line is numbered anew from 01.
    void prependEarlier(const QList<Take>& earlier);

    const Take& at(int row) const { return takes_.at(row); }
    QString path(int row) const;
    int nextEntryNumber() const { return nextEntryNumber_; }
    static QString line(const Take& take);

  private:
    QList<Take> takes_;
    int nextEntryNumber_ = 1;
};

} // namespace tw
