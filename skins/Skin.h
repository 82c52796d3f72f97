#pragma once

#include <QColor>
#include <QMap>
#include <QString>
#include <QStringList>

namespace tw {

// A parsed .skn file: properties per element name ("form", "Button", "Label", "Panel",
// "HScroll"). Element and property names match without regard to letter case.
struct Skin {
    QString name;
    QMap<QString, QMap<QString, QString>> elements; // keys stored lower-case

    bool isEmpty() const { return elements.isEmpty(); }
    QString value(const QString& element, const QString& property,
                  const QString& fallback = {}) const;
};

// Parses the text of a .skn file. Unknown or malformed lines are skipped and reported in
// `warnings` (when given); parsing never fails outright.
Skin parseSkin(const QString& text, QStringList* warnings = nullptr);

// Reads and parses a file; an unreadable file gives an empty skin and `ok` false.
Skin loadSkinFile(const QString& path, bool* ok = nullptr);

// The Qt style sheet that dresses a widget of `widgetClass` styled as `element`;
// empty for an empty skin.
QString styleSheetFor(const Skin& skin, const QString& element, const QString& widgetClass);

// The shade a status colour (0x00BBGGRR) is drawn in on the status line's white box. The
// pure red of the stored value reads at only 4:1 there; the deeper red shown keeps 4.5:1.
QColor statusTextColour(int bgr);

} // namespace tw
