#include "skins/SkinControls.h"

#include <QFrame>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionSlider>

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
    window_->setStyleSheet(styleSheetFor(skin_, QStringLiteral("form"), kHostSelector));
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

} // namespace tw
