#include "dialogs/aboutme.h"

#include "platform/IDesktop.h"
#include "skins/Layout.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QShortcut>

namespace tw {

namespace {

const QString kSupportAddress = QStringLiteral("support@example.com");
const QColor kLinkBlue(0, 0, 255);
const QColor kLinkRed(255, 0, 0);

// The product's emblem on a 32-unit grid: a microphone on the green tile of the program's
// icon, with its red recording light.
void paintEmblem(QPainter& p, const QRectF& area) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(area.topLeft());
    p.scale(area.width() / 32.0, area.height() / 32.0);

    p.setBrush(QColor(0x1f, 0x4e, 0x2c));
    p.setPen(QPen(QColor(0x0c, 0x24, 0x12), 1));
    p.drawRoundedRect(QRectF(0.5, 0.5, 31, 31), 6, 6);

    const QColor light(0xc8, 0xf0, 0xc8);
    p.setPen(Qt::NoPen);
    p.setBrush(light);
    p.drawRoundedRect(QRectF(11, 5, 8, 14), 4, 4);
    p.setBrush(QColor(0x1f, 0x4e, 0x2c));
    for (int y = 9; y <= 15; y += 3)
        p.drawRect(QRectF(12.5, y, 5, 1));

    QPen stand(light, 1.8);
    stand.setCapStyle(Qt::RoundCap);
    p.setPen(stand);
    p.setBrush(Qt::NoBrush);
    QPainterPath cradle;
    cradle.moveTo(8, 13);
    cradle.cubicTo(8, 25, 22, 25, 22, 13);
    p.drawPath(cradle);
    p.drawLine(QPointF(15, 22.5), QPointF(15, 26.5));
    p.drawLine(QPointF(10.5, 26.5), QPointF(19.5, 26.5));

    p.setPen(QPen(QColor(0x7a, 0x12, 0x10), 0.8));
    p.setBrush(QColor(0xe5, 0x39, 0x35));
    p.drawEllipse(QPointF(25.5, 7), 3.6, 3.6);
    p.restore();
}

class Emblem final : public QWidget {
  public:
    using QWidget::QWidget;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        paintEmblem(p, rect());
    }
};

QIcon emblemIcon() {
    QIcon icon;
    for (int size : {16, 32, 48}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        paintEmblem(p, pixmap.rect());
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

void setTextColor(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

} // namespace

aboutme::aboutme(IDesktop& desktop) : QWidget(nullptr), desktop_(desktop) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("About Tunewright"));
    setWindowIcon(emblemIcon());
    setFixedSize(6540 / 15, 1965 / 15);
    setFont(timesFont(9.75, true));
    // Moves over the background arrive here; the plain labels and the picture have no
    // tracking, so moves over them stop there and leave the links as they are.
    setMouseTracking(true);

    Image1 = new Emblem(this);
    Image1->setGeometry(twips(120, 240, 480, 480));

    auto label = [this](const QString& text, const QRect& geometry) {
        auto* l = new QLabel(text, this);
        l->setGeometry(geometry);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        l->setWordWrap(true);
        return l;
    };
    Label1 = label(QStringLiteral("Tunewright Ver 1. 70"), twips(840, 240, 2655, 255));
    Label2 = label(QStringLiteral("A sound recorder for the Linux desktop."),
                   twips(840, 600, 3975, 375));
    Label3 = label(QStringLiteral("Support Email:"), twips(840, 960, 1335, 255));
    Label4 = label(kSupportAddress, twips(2160, 960, 2775, 255));
    Label5 = label(QStringLiteral("Homepage:"), twips(840, 1440, 975, 255));
    Label6 = label(homepage(), twips(2160, 1440, 4815, 255));

    // A caption and its larger link share a row; bottom alignment puts them on one
    // baseline.
    for (QLabel* row : {Label3, Label4, Label5, Label6})
        row->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
    for (QLabel* link : {Label4, Label6}) {
        link->setFont(timesFont(11.25, true));
        setTextColor(link, kLinkBlue);
        link->setMouseTracking(true);
        link->installEventFilter(this);
    }
    // A shortcut of the window, so that it works whichever control has the focus.
    connect(new QShortcut(Qt::Key_Escape, this), &QShortcut::activated, this, &QWidget::close);
}

void aboutme::mouseMoveEvent(QMouseEvent* event) {
    Form_MouseMove(event->buttons(), event->modifiers(), event->position());
}

bool aboutme::eventFilter(QObject* watched, QEvent* event) {
    auto* link = qobject_cast<QLabel*>(watched);
    if (link != Label4 && link != Label6)
        return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::MouseMove: {
        const auto* move = static_cast<QMouseEvent*>(event);
        if (link == Label4)
            Label4_MouseMove(move->buttons(), move->modifiers(), move->position());
        else
            Label6_MouseMove(move->buttons(), move->modifiers(), move->position());
        return true;
    }
    case QEvent::MouseButtonPress: {
        const auto* press = static_cast<QMouseEvent*>(event);
        if (press->button() == Qt::LeftButton)
            pressedLink_ = link;
        return true;
    }
    case QEvent::MouseButtonRelease: {
        const auto* release = static_cast<QMouseEvent*>(event);
        if (release->button() != Qt::LeftButton)
            return true;
        // A click is a press and a release on the same link; letting go elsewhere cancels.
        const bool clicked =
            pressedLink_ == link && link->rect().contains(release->position().toPoint());
        pressedLink_ = nullptr;
        if (clicked && link == Label4)
            Label4_Click();
        else if (clicked)
            Label6_Click();
        return true;
    }
    case QEvent::MouseButtonDblClick:
        // The second press of a double click is not a click of its own.
        return true;
    default:
        return QWidget::eventFilter(watched, event);
    }
}

void aboutme::Form_MouseMove(Qt::MouseButtons, Qt::KeyboardModifiers, QPointF) {
    setTextColor(Label4, kLinkBlue);
    setTextColor(Label6, kLinkBlue);
}

void aboutme::Label4_MouseMove(Qt::MouseButtons, Qt::KeyboardModifiers, QPointF) {
    setTextColor(Label4, kLinkRed);
}

void aboutme::Label6_MouseMove(Qt::MouseButtons, Qt::KeyboardModifiers, QPointF) {
    setTextColor(Label6, kLinkRed);
}

void aboutme::Label4_Click() {
    desktop_.open(QStringLiteral("mailto:") + kSupportAddress, report_);
}

void aboutme::Label6_Click() {
    desktop_.open(Label6->text(), report_);
}

QString aboutme::homepage() {
    return QStringLiteral("http://www.example.com/tunewright");
}

} // namespace tw
