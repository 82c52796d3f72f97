#include "skins/SkinControls.h"

#include <QFrame>
#include <QPainter>
#include <QPointer>
#include <QStyle>
#include <QStyleOptionSlider>
#include <algorithm>
#include <cmath>

namespace tw {

namespace {

// Marks the window a host dresses, so that the form's rules reach the window itself and none
// of the list boxes, text boxes or menus inside it.
constexpr char kHostProperty[] = "twSkinHost";
const QString kHostSelector = QStringLiteral("QWidget[twSkinHost=\"true\"]");

} // namespace

SkinForm::SkinForm(QWidget* window) : QObject(window), window_(window) {}

void SkinForm::setSkinFile(const QString& path) {
    file_ = path;
    bool read = false;
    skin_ = loadSkinFile(path, &read);
    loaded_ = read && !skin_.isEmpty();
    if (!loaded_) {
        skin_ = Skin{};
    }
    if (!window_) {
        return;
    }
    if (loaded_) {
        // Set before the sheet: property selectors are matched when the sheet polishes.
        window_->setProperty(kHostProperty, true);
        window_->setAttribute(Qt::WA_StyledBackground, true);
    }
    // Qt's style sheets remember the palette a widget had when the first sheet reached it and
    // put that back whenever a sheet above it changes, undoing colours set since: the status
    // line's red turned black at a skin change. The plain controls keep the colours they were
    // given.
    QList<std::pair<QPointer<QWidget>, QPalette>> ownColours;
    for (QWidget* child : window_->findChildren<QWidget*>()) {
        if (child->testAttribute(Qt::WA_SetPalette) && child->styleSheet().isEmpty())
            ownColours.append({child, child->palette()});
    }
    window_->setStyleSheet(styleSheetFor(skin_, QStringLiteral("form"), kHostSelector));
    for (const auto& [child, palette] : ownColours) {
        if (child)
            child->setPalette(palette);
    }
}

SkinButton::SkinButton(QWidget* parent) : QPushButton(parent) {
    connect(this, &QPushButton::clicked, this, &SkinButton::Click);
}

void SkinButton::applySkin(const SkinForm& host) {
    setStyleSheet(
        styleSheetFor(host.skin(), QStringLiteral("Button"), QStringLiteral("QPushButton")));
}

SkinLabel::SkinLabel(QWidget* parent) : QLabel(parent) {
    // Callers read the text back and compare or cut it, so it must never be taken as markup.
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

void SkinLabel::applySkin(const SkinForm& host) {
    setStyleSheet(styleSheetFor(host.skin(), QStringLiteral("Label"), QStringLiteral("QLabel")));
}

SkinPanel::SkinPanel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(1);
}

void SkinPanel::applySkin(const SkinForm& host) {
    setStyleSheet(styleSheetFor(host.skin(), QStringLiteral("Panel"), QStringLiteral("QLabel")));
}

SkinScrollBar::SkinScrollBar(QWidget* parent) : QScrollBar(Qt::Horizontal, parent) {
    // Every user move (arrow, page, drag, wheel, keyboard) is an action; the program's own
    // setValue and the clamping after a range change are not. When an action fires, the
    // slider position already holds the outcome and setValue follows at once, so a differing
    // position means valueChanged is about to report this very move.
    connect(this, &QAbstractSlider::actionTriggered, this,
            [this](int) { userMove_ = sliderPosition() != value(); });
    connect(this, &QAbstractSlider::valueChanged, this, [this](int) {
        if (userMove_) {
            userMove_ = false;
            emit Change();
        }
    });
    // The scroll bar's own context menu jumps with a plain setValue ("Scroll here"), which
    // would move the volume without a Change.
    setContextMenuPolicy(Qt::NoContextMenu);
    // A scroll bar steps the way a page scrolls: Right, Up and the wheel turned up all lower
    // its value. As a volume slider they must raise it.
    setInvertedControls(false);
    // Like any slider, reachable by Tab and by clicking, so the arrow keys can set it.
    setFocusPolicy(Qt::StrongFocus);
}

void SkinScrollBar::applySkin(const SkinForm& host) {
    const QString sheet =
        styleSheetFor(host.skin(), QStringLiteral("HScroll"), QStringLiteral("QScrollBar"));
    arrowColour_ = sheet.isEmpty()
                       ? QColor()
                       : QColor::fromString(host.skin().value(QStringLiteral("HScroll"),
                                                              QStringLiteral("arrow-foreground"),
                                                              QStringLiteral("black")));
    setStyleSheet(sheet);
    update();
}

void SkinScrollBar::paintEvent(QPaintEvent* event) {
    QScrollBar::paintEvent(event);
    if (!arrowColour_.isValid()) {
        return;
    }
    QStyleOptionSlider option;
    initStyleOption(&option);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    QColor colour = arrowColour_;
    if (!isEnabled()) {
        colour.setAlpha(colour.alpha() / 3);
    }
    painter.setBrush(colour);
    for (const auto control : {QStyle::SC_ScrollBarSubLine, QStyle::SC_ScrollBarAddLine}) {
        const QRectF box = style()->subControlRect(QStyle::CC_ScrollBar, &option, control, this);
        if (box.isEmpty()) {
            continue;
        }
        const bool pressed =
            (option.activeSubControls & control) && (option.state & QStyle::State_Sunken);
        const QPointF centre = box.center() + (pressed ? QPointF(0.5, 0.5) : QPointF());
        const qreal half = qMin(box.width(), box.height()) * 0.24;
        const qreal depth = half * 1.2;
        const qreal tip = control == QStyle::SC_ScrollBarSubLine ? -depth / 2 : depth / 2;
        const QPointF head[] = {centre + QPointF(tip, 0), centre + QPointF(-tip, -half),
                                centre + QPointF(-tip, half)};
        painter.drawPolygon(head, 3);
    }
}

void SkinScrollBar::setPosition(int position) {
    userMove_ = false;
    setValue(position); // QAbstractSlider bounds the value to the range
}

SkinMeter::SkinMeter(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void SkinMeter::applySkin(const SkinForm& host) {
    const auto colour = [&host](const char* property, const QColor& fallback) {
        const QColor c(host.skin().value(QStringLiteral("Meter"), QLatin1String(property)));
        return c.isValid() ? c : fallback;
    };
    background_ = colour("background", background_);
    level_ = colour("level", level_);
    holdColour_ = colour("hold", holdColour_);
    clip_ = colour("clip", clip_);
    border_ = colour("border", border_);
    update();
}

double SkinMeter::position(double share) {
    if (share <= 0.001)
        return 0;
    return std::clamp(1 + 20 * std::log10(std::min(share, 1.0)) / 60, 0.0, 1.0);
}

void SkinMeter::setLevel(double peak, double hold, bool clipped) {
    const Bar bar{peak, hold, clipped};
    if (bar == mixed_)
        return;
    mixed_ = bar;
    if (barCount_ == 1) {
        bars_[0] = bar;
        update();
    }
}

void SkinMeter::setBarCount(int count) {
    count = std::clamp(count, 1, 2);
    if (count == barCount_)
        return;
    barCount_ = count;
    // Each input starts empty; one bar goes back to the mixed level.
    bars_[0] = count == 1 ? mixed_ : Bar{};
    bars_[1] = Bar{};
    update();
}

void SkinMeter::setInputLevel(int input, double peak, double hold, bool clipped) {
    if (barCount_ < 2 || input < 0 || input > 1)
        return;
    const Bar bar{peak, hold, clipped};
    if (bar == bars_[input])
        return;
    bars_[input] = bar;
    update();
}

double SkinMeter::inputPeak(int input) const {
    return barCount_ == 2 && input >= 0 && input <= 1 ? bars_[input].peak : 0;
}

void SkinMeter::setThreshold(double share) {
    // NaN fails the comparison and counts as none.
    const double kept = share > 0 ? share : 0;
    if (kept == threshold_)
        return;
    threshold_ = kept;
    update();
}

void SkinMeter::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRect frame = rect();
    p.fillRect(frame, border_);
    const QRect inside = frame.adjusted(1, 1, -1, -1);
    p.fillRect(inside, background_);
    if (barCount_ == 1) {
        paintBar(p, inside, bars_[0]);
    } else {
        // A line of the border's colour between them, so that the two read as two.
        const int upper = (inside.height() - 1) / 2;
        const QRect first(inside.left(), inside.top(), inside.width(), std::max(upper, 1));
        const QRect second(inside.left(), inside.top() + upper + 1, inside.width(),
                           std::max(inside.height() - upper - 1, 1));
        p.fillRect(QRect(inside.left(), inside.top() + upper, inside.width(), 1), border_);
        paintBar(p, first, bars_[0]);
        paintBar(p, second, bars_[1]);
    }
    // Across both bars: voice activation reads the mixed level.
    if (threshold_ > 0) {
        const int span = inside.width() - inside.height() * 2 - 1;
        p.fillRect(QRect(inside.left() + int(span * position(threshold_)), inside.top(), 1,
                         inside.height()),
                   thresholdColour_);
    }
}

void SkinMeter::paintBar(QPainter& p, const QRect& inside, const Bar& bar) const {
    // The right end is kept for the clip mark, so that a full bar never hides it; its width
    // follows the whole meter's height, so that two bars end where one would.
    const int clipWidth = (rect().height() - 2) * 2;
    const int span = inside.width() - clipWidth - 1;
    p.fillRect(QRect(inside.left(), inside.top(), int(span * position(bar.peak)), inside.height()),
               level_);
    if (bar.hold > 0.001) {
        const int x = inside.left() + int(span * position(bar.hold));
        p.fillRect(QRect(std::max(inside.left(), x - 1), inside.top(), 2, inside.height()),
                   holdColour_);
    }
    if (bar.clipped)
        p.fillRect(QRect(inside.right() - clipWidth + 1, inside.top(), clipWidth, inside.height()),
                   clip_);
}

} // namespace tw
