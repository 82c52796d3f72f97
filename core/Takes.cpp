#include "core/Takes.h"

#include <algorithm>

namespace tw {

namespace {
// At least two digits; wider numbers keep all of theirs.
QString twoDigits(int number) {
    return QStringLiteral("%1").arg(number, 2, 10, QLatin1Char('0'));
}
} // namespace

int Takes::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(takes_.size());
}

QVariant Takes::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= takes_.size())
        return {};
    const Take& take = takes_.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return line(take);
    case Qt::ToolTipRole: // a long path is cut off at the list's edge
        return take.earlier ? take.path + QStringLiteral("\n(recorded in an earlier run)")
                            : take.path;
    case PathRole:
        return take.path;
    case SecondsRole:
        return take.seconds;
    case EarlierRole:
        return take.earlier;
    default:
        return {};
    }
}

QString Takes::line(const Take& take) {
    // Linux file names are case-sensitive: the path keeps its letter case.
    return twoDigits(take.number) + QStringLiteral("     ") + twoDigits(take.seconds / 60) +
           QLatin1Char(':') + twoDigits(take.seconds % 60) + QStringLiteral("     ") + take.path;
}

void Takes::add(const QString& path, int seconds, Kind kind) {
    const int row = int(takes_.size());
    beginInsertRows(QModelIndex(), row, row);
    takes_.append(Take{nextEntryNumber_, seconds, path, kind});
    ++nextEntryNumber_;
    endInsertRows();
}

void Takes::remove(int row) {
    if (row < 0 || row >= takes_.size())
        return;
    beginRemoveRows(QModelIndex(), row, row);
    takes_.removeAt(row);
    endRemoveRows();
    if (takes_.isEmpty())
        nextEntryNumber_ = 1;
}

void Takes::insert(int row, const Take& take) {
    row = std::clamp(row, 0, int(takes_.size()));
    beginInsertRows(QModelIndex(), row, row);
    takes_.insert(row, take);
    nextEntryNumber_ = std::max(nextEntryNumber_, take.number + 1);
    endInsertRows();
}

void Takes::prependEarlier(const QList<Take>& earlier) {
    if (earlier.isEmpty())
        return;
    beginResetModel();
    takes_ = earlier + takes_;
    for (int row = 0; row < takes_.size(); ++row)
        takes_[row].number = row + 1;
    nextEntryNumber_ = int(takes_.size()) + 1;
    endResetModel();
}

void Takes::clear() {
    beginResetModel();
    takes_.clear();
    nextEntryNumber_ = 1;
    endResetModel();
}

QString Takes::path(int row) const {
    return row >= 0 && row < takes_.size() ? takes_.at(row).path : QString();
}

void Takes::replacePath(int row, const QString& path) {
    if (row < 0 || row >= takes_.size())
        return;
    takes_[row].path = path;
    emit dataChanged(index(row), index(row));
}

} // namespace tw
