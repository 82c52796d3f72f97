#include "encoding/lame.h"

#include "core/Settings.h"
#include "skins/Layout.h"
#include "skins/PickOnlyCombo.h"
#include "skins/SkinControls.h"

#include <QComboBox>
#include <QLineEdit>
#include <QShortcut>
#include <QStyle>
#include <QStyleOptionComboBox>

namespace tw {

namespace {

const QStringList kBitRates = {QStringLiteral("32"),  QStringLiteral("40"),  QStringLiteral("48"),
                               QStringLiteral("56"),  QStringLiteral("64"),  QStringLiteral("80"),
                               QStringLiteral("96"),  QStringLiteral("112"), QStringLiteral("128"),
                               QStringLiteral("160"), QStringLiteral("192"), QStringLiteral("224"),
                               QStringLiteral("256"), QStringLiteral("320")};
const QStringList kModes = {QStringLiteral("stereo"), QStringLiteral("joint stereo"),
                            QStringLiteral("mono")};
const QStringList kOptimizations = {QStringLiteral("None"), QStringLiteral("Speed"),
                                    QStringLiteral("Quality")};
// The encoder switch for each optimization item, by list position.
const QStringList kOptimizationSwitches = {QString(), QStringLiteral(" -f"), QStringLiteral(" -h")};

SkinLabel* label(QWidget* parent, const QRect& geometry, qreal points, const QString& text) {
    auto* l = new SkinLabel(parent);
    l->setGeometry(geometry);
    l->setFont(timesFont(points, true));
    l->setText(text);
    return l;
}

QComboBox* comboBox(QWidget* parent, const QRect& geometry, qreal points, const QStringList& items,
                    int initial) {
    auto* box = new QComboBox(parent);
    box->setGeometry(geometry);
    box->setFont(timesFont(points, false));
    box->setEditable(true);
    box->addItems(items);
    box->setCurrentIndex(initial);
    makePickOnly(box);
    return box;
}

// Room kept clear between a control and the window's right edge, so that nothing looks
// cut off by the frame.
constexpr int kRightMargin = 4;
constexpr qreal kSwitchPoints = 9.75;

// The boxes were laid out for the platform they were drawn on; where this platform's frame
// and arrow take more room, a box grows to the right so that its longest entry shows whole
// instead of scrolled, and where the window's margin stops it, moves left the rest.
void fitEntries(QComboBox* box, int windowWidth) {
    box->ensurePolished();
    QStyleOptionComboBox option;
    option.initFrom(box);
    option.editable = true;
    option.frame = box->hasFrame();
    option.rect = QRect(QPoint(), box->size());
    const QRect field = box->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                     QStyle::SC_ComboBoxEditField, box);
    const QFontMetrics metrics(box->lineEdit()->font());
    int widest = 0;
    for (int i = 0; i < box->count(); ++i)
        widest = qMax(widest, metrics.horizontalAdvance(box->itemText(i)));
    const QMargins margins = box->lineEdit()->textMargins();
    // The line edit keeps two pixels clear on each side, and the cursor takes one.
    const int needed = widest + margins.left() + margins.right() + 2 * 2 + 1;
    if (needed <= field.width())
        return;
    const int wanted = qMin(box->width() + needed - field.width(), windowWidth - 2 * kRightMargin);
    box->setGeometry(qMin(box->x(), windowWidth - kRightMargin - wanted), box->y(), wanted,
                     box->height());
}

// The switch string stays inside the window: a string wider than its room (one stored by
// an older version, say) is set a little smaller rather than cut off, and shows whole in the
// tooltip.
void fitSwitches(SkinLabel* label, int windowWidth, qreal points) {
    label->resize(qMin(label->width(), windowWidth - kRightMargin - label->x()), label->height());
    QFont font = timesFont(points, true);
    const int room = label->contentsRect().width();
    while (font.pointSizeF() > 6 && QFontMetrics(font).horizontalAdvance(label->text()) >= room)
        font.setPointSizeF(font.pointSizeF() - 0.5);
    label->setFont(font);
    label->setToolTip(label->text());
}

// The first character of a mode text, kept whole when it lies outside the basic plane.
QString firstCharacter(const QString& text) {
    if (text.isEmpty())
        return {};
    const bool pair =
        text.size() > 1 && text.at(0).isHighSurrogate() && text.at(1).isLowSurrogate();
    return text.left(pair ? 2 : 1);
}

} // namespace

lame::lame(Settings& settings, const QIcon& icon) : QWidget(nullptr), settings_(settings) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("MP3 Options"));
    setWindowIcon(icon);
    setFixedSize(3840 / 15, 2715 / 15);
    setFont(timesFont(9.75, false));

    SkinForm1 = new SkinForm(this);

    SkinLabel1 = label(this, twips(360, 240, 1215, 255), 9.75, QStringLiteral("Bitrate (Kbit):"));
    Combo1 = comboBox(this, twips(360, 480, 1215, 345), 9.75, kBitRates,
                      kBitRates.indexOf(QStringLiteral("128")));
    SkinLabel2 = label(this, twips(2400, 240, 975, 255), 9.75, QStringLiteral("Mode:"));
    Combo2 = comboBox(this, twips(2400, 480, 1335, 375), 11.25, kModes,
                      kModes.indexOf(QStringLiteral("joint stereo")));
    SkinLabel5 = label(this, twips(360, 960, 1215, 255), 9.75, QStringLiteral("Optimization:"));
    Combo3 = comboBox(this, twips(360, 1320, 1215, 345), 9.75, kOptimizations,
                      kOptimizations.indexOf(QStringLiteral("None")));
    SkinLabel3 =
        label(this, twips(360, 1800, 1935, 255), 9, QStringLiteral("Current Lame Options:"));
    SkinLabel4 = label(this, twips(2280, 1800, 2175, 255), kSwitchPoints, QString());

    SkinButton1 = new SkinButton(this);
    SkinButton1->setGeometry(twips(360, 2280, 975, 255));
    SkinButton1->setText(QStringLiteral("Ok"));
    SkinButton2 = new SkinButton(this);
    SkinButton2->setGeometry(twips(1680, 2280, 975, 255));
    SkinButton2->setText(QStringLiteral("Cancel"));

    // activated only: a pick from the list (or with the arrow keys) is the user's choice,
    // text typed into the box is not.
    connect(Combo1, &QComboBox::activated, this, [this] { Combo1_Click(); });
    connect(Combo2, &QComboBox::activated, this, [this] { Combo2_Click(); });
    connect(Combo3, &QComboBox::activated, this, [this] { Combo3_Click(); });
    connect(SkinButton1, &SkinButton::Click, this, [this] { SkinButton1_Click(); });
    connect(SkinButton2, &SkinButton::Click, this, [this] { SkinButton2_Click(); });
    // Escape leaves the window as Cancel does; an open list closes first, taking the key.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, [this] { SkinButton2_Click(); });
}

void lame::Form_Load() {
    SkinForm1->setSkinFile(settings_.appFile(QStringLiteral("skin/green.skn")));
    SkinLabel1->applySkin(*SkinForm1);
    SkinLabel2->applySkin(*SkinForm1);
    SkinLabel3->applySkin(*SkinForm1);
    SkinLabel4->applySkin(*SkinForm1);
    SkinLabel5->applySkin(*SkinForm1);
    SkinButton1->applySkin(*SkinForm1);
    SkinButton2->applySkin(*SkinForm1);
    for (QComboBox* box : {Combo1, Combo2, Combo3})
        fitEntries(box, width());
    // A caption stays over its box.
    SkinLabel2->move(Combo2->x(), SkinLabel2->y());

    SkinLabel4->setText(settings_.LameOptions);
    fitSwitches(SkinLabel4, width(), kSwitchPoints);
}

void lame::Combo1_Click() {
    Combo3_Click();
}

void lame::Combo2_Click() {
    Combo3_Click();
}

void lame::Combo3_Click() {
    // Exact, case-sensitive match; any other text adds no switch.
    const qsizetype position = kOptimizations.indexOf(Combo3->currentText());
    const QString optimization = position >= 0 ? kOptimizationSwitches.at(position) : QString();
    SkinLabel4->setText(QStringLiteral(" -b ") + Combo1->currentText() + QStringLiteral(" -m ") +
                        firstCharacter(Combo2->currentText()) + optimization);
    fitSwitches(SkinLabel4, width(), kSwitchPoints);
}

void lame::SkinButton1_Click() {
    settings_.LameOptions = SkinLabel4->text();
    close();
}

void lame::SkinButton2_Click() {
    close();
}

} // namespace tw
