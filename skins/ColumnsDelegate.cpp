#include "skins/ColumnsDelegate.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPainter>

namespace tw {

ColumnsDelegate::ColumnsDelegate(int columns, QObject* parent)
    : QStyledItemDelegate(parent), columns_(columns) {}

qsizetype ColumnsDelegate::leadLength(const QString& text, int columns) {
    qsizetype i = 0;
    for (int column = 0; column < columns; ++column) {
        while (i < text.size() && text[i] != u' ')
            ++i;
        if (i == text.size())
            return 0;
        while (i < text.size() && text[i] == u' ')
            ++i;
    }
    return i;
}

QString ColumnsDelegate::elidePath(const QString& path, const QFontMetrics& metrics, int width) {
    if (metrics.horizontalAdvance(path) <= width)
        return path;
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const QString name = path.mid(slash + 1);
    const int nameWidth = metrics.horizontalAdvance(name);
    const QString folder = path.left(slash + 1);
    if (slash < 0 || nameWidth >= width)
        return metrics.elidedText(name, Qt::ElideRight, width);
    // An elided folder of nothing but the ellipsis still tells that the name has one.
    return metrics.elidedText(folder, Qt::ElideLeft, width - nameWidth) + name;
}

QFont ColumnsDelegate::fixedFont(const QFont& like) const {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    // A fixed-pitch face looks larger than a serif one of the same size; a point less keeps
    // the digits the height of the path's letters.
    font.setPointSizeF(qMax(1.0, like.pointSizeF() - 1));
    font.setBold(like.bold());
    return font;
}

void ColumnsDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    QStyleOptionViewItem item = option;
    initStyleOption(&item, index);
    const QString text = item.text;
    const qsizetype lead = leadLength(text, columns_);
    if (lead == 0) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    // The style draws the selection and focus; the text is ours.
    item.text.clear();
    QStyle* style = item.widget ? item.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &item, painter, item.widget);

    const QRect box = style->subElementRect(QStyle::SE_ItemViewItemText, &item, item.widget)
                          .adjusted(2, 0, -2, 0);
    const bool selected = item.state & QStyle::State_Selected;
    const QPalette::ColorGroup group = !(item.state & QStyle::State_Enabled) ? QPalette::Disabled
                                       : (item.state & QStyle::State_Active) ? QPalette::Active
                                                                             : QPalette::Inactive;
    painter->save();
    const bool pale = paleRole_ >= 0 && index.data(paleRole_).toBool();
    painter->setPen(item.palette.color(group, selected ? QPalette::HighlightedText
                                              : pale   ? QPalette::PlaceholderText
                                                       : QPalette::Text));
    const QFont fixed = fixedFont(item.font);
    painter->setFont(fixed);
    const QString head = text.left(lead);
    painter->drawText(box, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, head);
    const int headWidth = QFontMetrics(fixed).horizontalAdvance(head);
    painter->setFont(item.font);
    const QRect rest = box.adjusted(headWidth, 0, 0, 0);
    const QString tail = elidePath(text.mid(lead), QFontMetrics(item.font), rest.width());
    painter->drawText(rest, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, tail);
    painter->restore();
}

QSize ColumnsDelegate::sizeHint(const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
    // No width of its own: the path is cut to the list's width, so a horizontal scroll bar
    // would only move the columns out of sight.
    const QSize size = QStyledItemDelegate::sizeHint(option, index);
    return {0, qMax(size.height(), QFontMetrics(fixedFont(option.font)).height() + 2)};
}

} // namespace tw
