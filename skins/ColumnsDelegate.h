#pragma once

#include <QStyledItemDelegate>

namespace tw {

// Draws a list line whose leading columns are separated by runs of blanks ("01     02:05
// path"): the leading columns in a fixed-pitch font, so that numbers and times of every line
// stand under each other, and the rest in the view's own font, cut short with an ellipsis
// where it runs past the edge. The line's text itself is left as the model gives it.
class ColumnsDelegate : public QStyledItemDelegate {
    Q_OBJECT
  public:
    ColumnsDelegate(int columns, QObject* parent);

    // Where the free text starts: the length of the leading columns with their blanks, or 0
    // when the text has fewer columns.
    static qsizetype leadLength(const QString& text, int columns);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

  private:
    QFont fixedFont(const QFont& like) const;

    int columns_;
};

} // namespace tw
