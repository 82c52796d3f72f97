#pragma once

#include <QStyledItemDelegate>

namespace tw {

// Draws a list line whose leading columns are separated by runs of blanks ("01     02:05
// path"): the leading columns in a fixed-pitch font, so that numbers and times of every line
// stand under each other, and the rest, a path, in the view's own font, shortened in its
// folders where it runs past the edge so that the file's name stays whole. The line's text
// itself is left as the model gives it.
class ColumnsDelegate : public QStyledItemDelegate {
    Q_OBJECT
  public:
    ColumnsDelegate(int columns, QObject* parent);

    // Where the free text starts: the length of the leading columns with their blanks, or 0
    // when the text has fewer columns.
    static qsizetype leadLength(const QString& text, int columns);

    // `path` in `width` pixels: whole when it fits, else its folder part shortened from the
    // left ("…/music/take_3.wav"); only a name wider than `width` alone is cut, at its end.
    static QString elidePath(const QString& path, const QFontMetrics& metrics, int width);
    // Lines for which the model answers true in `role` are drawn in a paler colour.
    void setPaleRole(int role) { paleRole_ = role; }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

  private:
    QFont fixedFont(const QFont& like) const;

    int columns_;
    int paleRole_ = -1;
};

} // namespace tw
