#pragma once

#include <QFont>
#include <QRect>
#include <QString>

namespace tw {

// Window layouts are given in twips, 15 to a logical pixel.
inline QRect twips(int left, int top, int width, int height) {
    return {left / 15, top / 15, width / 15, height / 15};
}

// Every window uses Times New Roman; where it is not installed, fontconfig substitutes a
// metric-compatible serif (Liberation Serif).
inline QFont timesFont(double points, bool bold = false) {
    QFont font(QStringLiteral("Times New Roman"));
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

} // namespace tw
