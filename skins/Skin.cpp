#include "skins/Skin.h"

#include <QColor>
#include <QFile>
#include <QFileInfo>
#include <QHash>

namespace tw {

namespace {

// A skin is a small hand-written file; anything larger is not one of ours.
constexpr qint64 kMaxSkinFileSize = 256 * 1024;
constexpr int kMaxLength = 40;
constexpr int kMaxWarningsShown = 20;

struct ElementProperties {
    QStringList colours;
    QStringList lengths;
};

// What each element understands. Anything else in a file is most likely a typo, and saying
// so is kinder than silently ignoring it.
const QHash<QString, ElementProperties>& elementProperties() {
    static const QHash<QString, ElementProperties> table = {
        {QStringLiteral("form"),
         {{"background", "gradient-top", "gradient-bottom", "border"}, {"border-width"}}},
        {QStringLiteral("button"),
         {{"foreground", "background", "gradient-top", "gradient-bottom", "border", "focus-border",
           "hover-foreground", "hover-top", "hover-bottom", "hover-border", "pressed-foreground",
           "pressed-top", "pressed-bottom", "pressed-border", "disabled-foreground",
           "disabled-background", "disabled-border"},
          {"border-width", "radius"}}},
        {QStringLiteral("label"), {{"foreground", "background"}, {}}},
        {QStringLiteral("panel"),
         {{"foreground", "background", "gradient-top", "gradient-bottom", "border",
           "border-highlight"},
          {"border-width", "radius"}}},
        {QStringLiteral("hscroll"),
         {{"groove", "groove-border", "groove-highlight", "fill", "handle-top", "handle-bottom",
           "handle-border", "handle-hover-top", "handle-hover-bottom", "arrow-top", "arrow-bottom",
           "arrow-border", "arrow-foreground", "arrow-pressed-top", "arrow-pressed-bottom"},
          {"radius", "arrow-width"}}},
        {QStringLiteral("meter"), {{"background", "level", "hold", "clip", "border"}, {}}},
    };
    return table;
}

const QString kHeaderSection = QStringLiteral("skin");
const QStringList kHeaderProperties = {"name", "author", "description"};

// '#' also starts a colour, so only a '#' that begins the line or stands alone as a word
// (blank on both sides) opens a comment: "background = #102030  # dark" keeps its colour.
QString withoutComment(const QString& line) {
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line[i] != u'#') {
            continue;
        }
        const bool lineStart = line.left(i).trimmed().isEmpty();
        const bool blankBefore = i > 0 && line[i - 1].isSpace();
        const bool blankAfter = i + 1 == line.size() || line[i + 1].isSpace();
        if (lineStart || (blankBefore && blankAfter)) {
            return line.left(i);
        }
    }
    return line;
}

QString cssColour(const QColor& c) {
    if (c.alpha() == 255) {
        return c.name(QColor::HexRgb);
    }
    return QStringLiteral("rgba(%1, %2, %3, %4)")
        .arg(c.red())
        .arg(c.green())
        .arg(c.blue())
        .arg(c.alpha());
}

QString verticalFill(const QColor& top, const QColor& bottom) {
    if (top == bottom) {
        return cssColour(top);
    }
    return QStringLiteral("qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 %1, stop:1 %2)")
        .arg(cssColour(top), cssColour(bottom));
}

// Reads one element's values, falling back to derived colours so that a skin which gives
// only a few properties still looks coherent.
class Props {
  public:
    Props(const Skin& skin, const QString& element) : skin_(skin), element_(element) {}

    bool has(const QString& property) const { return !skin_.value(element_, property).isEmpty(); }

    QColor colour(const QString& property, const QColor& fallback) const {
        const QColor c = QColor::fromString(skin_.value(element_, property));
        return c.isValid() ? c : fallback;
    }

    int length(const QString& property, int fallback) const {
        bool ok = false;
        const int n = skin_.value(element_, property).toInt(&ok);
        return ok ? n : fallback;
    }

  private:
    const Skin& skin_;
    QString element_;
};

QColor muted(const QColor& c, int lightness) {
    return QColor::fromHsl(c.hslHue(), c.hslSaturation() / 5, lightness);
}

QString formSheet(const Props& p, const QString& w) {
    const QColor bg = p.colour("background", QColor(0xd4, 0xd4, 0xd4));
    QString sheet =
        QStringLiteral("%1 { background: %2; }\n")
            .arg(w, verticalFill(p.colour("gradient-top", bg), p.colour("gradient-bottom", bg)));
    if (p.has("border")) {
        sheet += QStringLiteral("%1 { border: %2px solid %3; }\n")
                     .arg(w)
                     .arg(p.length("border-width", 1))
                     .arg(cssColour(p.colour("border", bg)));
    }
    return sheet;
}

QString buttonSheet(const Props& p, const QString& w) {
    const QColor bg = p.colour("background", QColor(0xe0, 0xe0, 0xe0));
    const QColor top = p.colour("gradient-top", bg);
    const QColor bottom = p.colour("gradient-bottom", bg);
    const QColor fg = p.colour("foreground", Qt::black);
    const QColor border = p.colour("border", bottom.darker(160));
    const QColor disabledBg = p.colour("disabled-background", muted(bg, 150));

    QString sheet;
    sheet += QStringLiteral("%1 { color: %2; background: %3; border: %4px solid %5;"
                            " border-radius: %6px; padding: 1px 6px; }\n")
                 .arg(w, cssColour(fg), verticalFill(top, bottom))
                 .arg(p.length("border-width", 1))
                 .arg(cssColour(border))
                 .arg(p.length("radius", 3));
    sheet += QStringLiteral("%1:focus { border-color: %2; }\n")
                 .arg(w, cssColour(p.colour("focus-border", border)));
    sheet += QStringLiteral("%1:hover { color: %2; background: %3; border-color: %4; }\n")
                 .arg(w, cssColour(p.colour("hover-foreground", fg)),
                      verticalFill(p.colour("hover-top", top.lighter(115)),
                                   p.colour("hover-bottom", bottom.lighter(115))),
                      cssColour(p.colour("hover-border", border)));
    // The caption drops by a pixel while pressed, so the button feels pushed in.
    sheet += QStringLiteral("%1:pressed { color: %2; background: %3; border-color: %4;"
                            " padding-top: 2px; padding-bottom: 0px; }\n")
                 .arg(w, cssColour(p.colour("pressed-foreground", fg)),
                      verticalFill(p.colour("pressed-top", bottom.darker(120)),
                                   p.colour("pressed-bottom", top.darker(110))),
                      cssColour(p.colour("pressed-border", border)));
    // Last, so that a disabled button under the pointer still looks disabled.
    sheet += QStringLiteral("%1:disabled { color: %2; background: %3; border-color: %4; }\n")
                 .arg(w, cssColour(p.colour("disabled-foreground", muted(fg, 120))),
                      cssColour(disabledBg),
                      cssColour(p.colour("disabled-border", disabledBg.darker(130))));
    return sheet;
}

QString labelSheet(const Props& p, const QString& w) {
    return QStringLiteral("%1 { color: %2; background: %3; }\n")
        .arg(w, cssColour(p.colour("foreground", Qt::black)),
             cssColour(p.colour("background", Qt::transparent)));
}

QString panelSheet(const Props& p, const QString& w) {
    const QColor bg = p.colour("background", Qt::white);
    const QColor border = p.colour("border", bg.darker(200));
    // Dark upper-left and light lower-right edges make the readout look sunk into the window.
    const QColor highlight = p.colour("border-highlight", border);
    return QStringLiteral("%1 { color: %2; background: %3; border-style: solid; border-width: %4px;"
                          " border-color: %5 %6 %6 %5; border-radius: %7px;"
                          " padding: 0px 3px; }\n")
        .arg(w, cssColour(p.colour("foreground", Qt::black)),
             verticalFill(p.colour("gradient-top", bg), p.colour("gradient-bottom", bg)))
        .arg(p.length("border-width", 1))
        .arg(cssColour(border), cssColour(highlight))
        .arg(p.length("radius", 0));
}

QString scrollSheet(const Props& p, const QString& w) {
    const QColor groove = p.colour("groove", QColor(0xc0, 0xc0, 0xc0));
    const QColor grooveBorder = p.colour("groove-border", groove.darker(150));
    const QColor grooveHighlight = p.colour("groove-highlight", grooveBorder);
    const QColor handleTop = p.colour("handle-top", QColor(0xf0, 0xf0, 0xf0));
    const QColor handleBottom = p.colour("handle-bottom", handleTop.darker(125));
    const QColor arrowTop = p.colour("arrow-top", handleTop);
    const QColor arrowBottom = p.colour("arrow-bottom", handleBottom);
    const QColor arrowBorder = p.colour("arrow-border", p.colour("handle-border", grooveBorder));
    const int radius = p.length("radius", 2);
    // The arrow heads themselves ("arrow-foreground") are painted by the scroll bar: a style
    // sheet can only draw them from image files.
    const int arrowWidth = p.length("arrow-width", 16);

    QString sheet;
    sheet +=
        QStringLiteral("%1:horizontal { background: %2; border-style: solid; border-width: 1px;"
                       " border-color: %3 %4 %4 %3; border-radius: %5px;"
                       " margin: 0px %6px 0px %6px; }\n")
            .arg(w, cssColour(groove), cssColour(grooveBorder), cssColour(grooveHighlight))
            .arg(radius)
            .arg(arrowWidth + 1);
    // The part left of the handle is filled, so the bar reads as a level.
    sheet += QStringLiteral("%1::sub-page:horizontal { background: %2; border-radius: %3px; }\n")
                 .arg(w, cssColour(p.colour("fill", groove)))
                 .arg(qMax(0, radius - 1));
    sheet += QStringLiteral("%1::add-page:horizontal { background: none; }\n").arg(w);
    // Inside the groove's border, so one pixel less round than the groove.
    sheet += QStringLiteral("%1::handle:horizontal { background: %2; border: 1px solid %3;"
                            " border-radius: %4px; min-width: 18px; }\n")
                 .arg(w, verticalFill(handleTop, handleBottom),
                      cssColour(p.colour("handle-border", handleBottom.darker(160))))
                 .arg(qMax(0, radius - 1));
    sheet += QStringLiteral("%1::handle:horizontal:hover { background: %2; }\n")
                 .arg(w, verticalFill(p.colour("handle-hover-top", handleTop.lighter(110)),
                                      p.colour("handle-hover-bottom", handleBottom.lighter(110))));
    for (const auto& [line, side] :
         {std::pair{"sub-line", "left"}, std::pair{"add-line", "right"}}) {
        sheet += QStringLiteral("%1::%2:horizontal { subcontrol-origin: margin;"
                                " subcontrol-position: %3; width: %4px; background: %5;"
                                " border: 1px solid %6; border-radius: %7px; }\n")
                     .arg(w, QLatin1String(line), QLatin1String(side))
                     .arg(arrowWidth)
                     .arg(verticalFill(arrowTop, arrowBottom), cssColour(arrowBorder))
                     .arg(radius);
        sheet += QStringLiteral("%1::%2:horizontal:pressed { background: %3; }\n")
                     .arg(w, QLatin1String(line),
                          verticalFill(p.colour("arrow-pressed-top", arrowBottom.darker(115)),
                                       p.colour("arrow-pressed-bottom", arrowTop.darker(110))));
    }
    return sheet;
}

} // namespace

QString Skin::value(const QString& element, const QString& property,
                    const QString& fallback) const {
    const auto el = elements.constFind(element.toLower());
    if (el == elements.constEnd()) {
        return fallback;
    }
    return el->value(property.toLower(), fallback);
}

Skin parseSkin(const QString& text, QStringList* warnings) {
    Skin skin;
    auto warn = [warnings](int line, const QString& message) {
        if (warnings) {
            warnings->append(QStringLiteral("line %1: %2").arg(line).arg(message));
        }
    };

    enum class Section { None, Header, Element, Ignored };
    Section section = Section::None;
    QString element;
    const ElementProperties* known = nullptr;

    QString body = text;
    if (body.startsWith(QChar(0xfeff))) {
        body.remove(0, 1);
    }
    const QStringList lines = body.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const int lineNo = int(i) + 1;
        const QString line = withoutComment(lines[i]).trimmed();
        if (line.isEmpty()) {
            continue;
        }
        if (line.startsWith(u'[')) {
            if (!line.endsWith(u']')) {
                warn(lineNo, QStringLiteral("malformed section header \"%1\"").arg(line));
                section = Section::Ignored;
                continue;
            }
            const QString name = line.mid(1, line.size() - 2).trimmed().toLower();
            if (name == kHeaderSection) {
                section = Section::Header;
            } else if (const auto it = elementProperties().constFind(name);
                       it != elementProperties().constEnd()) {
                section = Section::Element;
                element = name;
                known = &it.value();
                skin.elements[element]; // an element given without properties is still styled
            } else {
                warn(lineNo, QStringLiteral("unknown element [%1] ignored").arg(name));
                section = Section::Ignored;
            }
            continue;
        }

        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0) {
            warn(lineNo, QStringLiteral("expected \"property = value\""));
            continue;
        }
        const QString key = line.left(eq).trimmed().toLower();
        const QString value = line.mid(eq + 1).trimmed();
        switch (section) {
        case Section::None:
            warn(lineNo, QStringLiteral("\"%1\" is outside any section").arg(key));
            break;
        case Section::Ignored:
            break;
        case Section::Header:
            if (!kHeaderProperties.contains(key)) {
                warn(lineNo, QStringLiteral("unknown property \"%1\" in [skin]").arg(key));
            } else if (key == u"name") {
                skin.name = value;
            }
            break;
        case Section::Element:
            if (known->colours.contains(key)) {
                if (!QColor::isValidColorName(value)) {
                    warn(lineNo, QStringLiteral("bad colour \"%1\" for %2.%3 skipped")
                                     .arg(value, element, key));
                    break;
                }
            } else if (known->lengths.contains(key)) {
                bool ok = false;
                const int n = value.toInt(&ok);
                if (!ok || n < 0 || n > kMaxLength) {
                    warn(lineNo, QStringLiteral("bad length \"%1\" for %2.%3 skipped (0 to %4)")
                                     .arg(value, element, key)
                                     .arg(kMaxLength));
                    break;
                }
            } else {
                warn(lineNo, QStringLiteral("unknown property \"%1\" in [%2]").arg(key, element));
                break;
            }
            skin.elements[element][key] = value;
            break;
        }
    }
    return skin;
}

Skin loadSkinFile(const QString& path, bool* ok) {
    if (ok) {
        *ok = false;
    }
    const QFileInfo info(path);
    QFile file(path);
    if (!info.isFile()) {
        qWarning("Skin file %s not found", qUtf8Printable(path));
        return {};
    }
    if (info.size() > kMaxSkinFileSize) {
        qWarning("Skin file %s is too large to be a skin", qUtf8Printable(path));
        return {};
    }
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("Skin file %s cannot be read: %s", qUtf8Printable(path),
                 qUtf8Printable(file.errorString()));
        return {};
    }
    const QByteArray data = file.read(kMaxSkinFileSize + 1);
    if (file.error() != QFileDevice::NoError) {
        qWarning("Skin file %s cannot be read: %s", qUtf8Printable(path),
                 qUtf8Printable(file.errorString()));
        return {};
    }

    QStringList warnings;
    Skin skin = parseSkin(QString::fromUtf8(data), &warnings);
    for (qsizetype i = 0; i < warnings.size() && i < kMaxWarningsShown; ++i) {
        qWarning("%s: %s", qUtf8Printable(path), qUtf8Printable(warnings[i]));
    }
    if (warnings.size() > kMaxWarningsShown) {
        qWarning("%s: %lld more problems not shown", qUtf8Printable(path),
                 static_cast<long long>(warnings.size() - kMaxWarningsShown));
    }
    if (skin.name.isEmpty()) {
        skin.name = info.completeBaseName();
    }
    if (ok) {
        *ok = true;
    }
    return skin;
}

QString styleSheetFor(const Skin& skin, const QString& element, const QString& widgetClass) {
    const QString el = element.toLower();
    if (!skin.elements.contains(el)) {
        return {};
    }
    const Props p(skin, el);
    if (el == u"form") {
        return formSheet(p, widgetClass);
    }
    if (el == u"button") {
        return buttonSheet(p, widgetClass);
    }
    if (el == u"label") {
        return labelSheet(p, widgetClass);
    }
    if (el == u"panel") {
        return panelSheet(p, widgetClass);
    }
    if (el == u"hscroll") {
        return scrollSheet(p, widgetClass);
    }
    return {};
}

QColor statusTextColour(int bgr) {
    const QColor stored(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
    return stored == QColor(Qt::red) ? QColor(0xD0, 0, 0) : stored;
}

} // namespace tw
