#include "skins/SkinControls.h"

#include <QFile>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStyleOptionSlider>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>

using namespace tw;

namespace {

const QStringList kElements = {"form", "Button", "Label", "Panel", "HScroll"};

QString shippedSkin(const QString& name) {
    return QStringLiteral(TW_SOURCE_DIR "/skins/files/") + name + QStringLiteral(".skn");
}

QString readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll());
}

bool writeFile(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

double luminance(const QColor& c) {
    auto linear = [](double v) {
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}

double contrast(const QColor& a, const QColor& b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (qMax(la, lb) + 0.05) / (qMin(la, lb) + 0.05);
}

QColor colourOf(const Skin& skin, const QString& element, const QString& property) {
    return QColor::fromString(skin.value(element, property));
}

class ProbeScrollBar : public SkinScrollBar {
  public:
    using SkinScrollBar::SkinScrollBar;
    QRect rectOf(QStyle::SubControl control) {
        QStyleOptionSlider option;
        initStyleOption(&option);
        return style()->subControlRect(QStyle::CC_ScrollBar, &option, control, this);
    }
};

// One control of each kind plus a standard text box, placed as on the main window.
struct SkinnedWindow {
    QWidget window;
    SkinForm host{&window};
    SkinLabel* label = new SkinLabel(&window);
    SkinPanel* panel = new SkinPanel(&window);
    SkinButton* button = new SkinButton(&window);
    ProbeScrollBar* bar = new ProbeScrollBar(&window);
    QLineEdit* edit = new QLineEdit(&window);

    SkinnedWindow() {
        window.resize(346, 150);
        label->setGeometry(16, 16, 321, 17);
        button->setGeometry(16, 45, 73, 25);
        edit->setGeometry(8, 80, 321, 18);
        bar->setGeometry(8, 105, 321, 17);
        panel->setGeometry(208, 128, 121, 17);
        label->setText("Double Click list to Play Recording , Right Click to Edit.");
        button->setText("Record F9");
        edit->setText("Please read help files before starting program.");
        panel->setText("44100 Hz");
    }

    void skin(const QString& path) {
        host.setSkinFile(path);
        label->applySkin(host);
        panel->applySkin(host);
        button->applySkin(host);
        bar->applySkin(host);
    }

    bool show() {
        window.show();
        return QTest::qWaitForWindowExposed(&window);
    }

    QImage image() { return window.grab().toImage(); }
};

} // namespace

class TestSkin : public QObject {
    Q_OBJECT

  private slots:
    void init() {
        // Qt reports a style sheet it cannot parse only as a warning while polishing.
        QTest::failOnWarning(QRegularExpression("parse|QPainter|QStyleSheet"));
    }

    void parsesSectionsWithoutRegardToCase() {
        QStringList warnings;
        const Skin skin = parseSkin("[SKIN]\nNAME = Moss\n"
                                    "[Form]\nBackground = #102030\n"
                                    "[BUTTON]\nradius=5\nGradient-Top = Red\n"
                                    "[button]\nborder = #abc\n"
                                    "[hScroll]\nFILL = #80ff0000\n",
                                    &warnings);
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
        QCOMPARE(skin.name, QString("Moss"));
        QCOMPARE(skin.elements.keys(), QStringList({"button", "form", "hscroll"}));
        QCOMPARE(skin.value("form", "background"), QString("#102030"));
        QCOMPARE(skin.value("FORM", "BACKGROUND"), QString("#102030"));
        QCOMPARE(skin.value("Button", "gradient-top"), QString("Red"));
        QCOMPARE(skin.value("Button", "radius"), QString("5"));
        // A second section of the same name adds to the first.
        QCOMPARE(skin.value("Button", "border"), QString("#abc"));
        QCOMPARE(skin.value("Label", "foreground", "none"), QString("none"));

        // A colour with alpha reaches the style sheet in a form Qt reads.
        QVERIFY(styleSheetFor(skin, "HScroll", "QScrollBar").contains("rgba(255, 0, 0, 128)"));
        // An element the skin does not give stays plain.
        QVERIFY(styleSheetFor(skin, "Label", "QLabel").isEmpty());
        QVERIFY(styleSheetFor(Skin{}, "Button", "QPushButton").isEmpty());
    }

    void commentsAndColoursBothUseHash() {
        QStringList warnings;
        const Skin skin = parseSkin("# a comment\n"
                                    "   # an indented comment\n"
                                    "[Label]   # a comment after a header\n"
                                    "foreground = #00ff00   # bright\n"
                                    "background = #000#\n"
                                    "[Panel]\n"
                                    "foreground = # 123\n",
                                    &warnings);
        QCOMPARE(skin.value("label", "foreground"), QString("#00ff00"));
        QVERIFY(skin.value("label", "background").isEmpty());
        QVERIFY(skin.value("panel", "foreground").isEmpty());
        QCOMPARE(warnings.size(), 2);
        QVERIFY2(warnings[0].startsWith("line 5:"), qPrintable(warnings[0]));
        QVERIFY2(warnings[1].startsWith("line 7:"), qPrintable(warnings[1]));
    }

    void badLinesAreSkippedWithAWarning() {
        QStringList warnings;
        const Skin skin =
            parseSkin("stray = #fff\n"                                               // 1
                      "[Button]\n"                                                   // 2
                      "background = #203040\n"                                       // 3
                      "background = bluish\n"                                        // 4
                      "foreground = red; } QWidget { background: url(/etc/passwd)\n" // 5
                      "radius = wide\n"                                              // 6
                      "radius = 400\n"                                               // 7
                      "sparkle = #fff\n"                                             // 8
                      "just words\n"                                                 // 9
                      "[Gadget]\n"                                                   // 10
                      "colour = ???\n"                                               // 11
                      "[Label\n"                                                     // 12
                      "foreground = #fff\n"                                          // 13
                      "[Label]\n"                                                    // 14
                      "foreground = white\n",                                        // 15
                      &warnings);
        QStringList lines;
        for (const QString& w : warnings) {
            lines << w.section(':', 0, 0);
        }
        QCOMPARE(lines, QStringList({"line 1", "line 4", "line 5", "line 6", "line 7", "line 8",
                                     "line 9", "line 10", "line 12"}));

        QCOMPARE(skin.value("Button", "background"), QString("#203040"));
        QVERIFY(skin.value("Button", "foreground").isEmpty());
        QVERIFY(skin.value("Button", "radius").isEmpty());
        QVERIFY(skin.value("Button", "sparkle").isEmpty());
        QCOMPARE(skin.value("Label", "foreground"), QString("white"));
        QVERIFY(!skin.elements.contains("gadget"));
        const QString sheet = styleSheetFor(skin, "Button", "QPushButton");
        QVERIFY(!sheet.isEmpty());
        QVERIFY(!sheet.contains("url"));
        QVERIFY(!sheet.contains("passwd"));
    }

    void garbageAndEmptyTextGiveAnEmptySkin() {
        QStringList warnings;
        QVERIFY(parseSkin(QString(), &warnings).isEmpty());
        QVERIFY(parseSkin("\n\n   \r\n# only a comment\n", &warnings).isEmpty());
        QVERIFY(warnings.isEmpty());

        QRandomGenerator random(42);
        QByteArray bytes(64 * 1024, Qt::Uninitialized);
        for (char& b : bytes) {
            b = char(random.bounded(256));
        }
        const Skin garbage = parseSkin(QString::fromUtf8(bytes), &warnings);
        QVERIFY(garbage.isEmpty());
        QVERIFY(!warnings.isEmpty());
        QVERIFY(styleSheetFor(garbage, "Button", "QPushButton").isEmpty());
    }

    void loadSkinFileReportsUnreadableFiles() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        bool ok = true;

        const QString missing = dir.filePath("missing.skn");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("missing.skn not found"));
        QVERIFY(loadSkinFile(missing, &ok).isEmpty());
        QVERIFY(!ok);

        ok = true;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not found"));
        QVERIFY(loadSkinFile(dir.path(), &ok).isEmpty());
        QVERIFY(!ok);

        const QString huge = dir.filePath("huge.skn");
        QVERIFY(writeFile(huge, QByteArray(1024 * 1024, '#')));
        ok = true;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("too large"));
        QVERIFY(loadSkinFile(huge, &ok).isEmpty());
        QVERIFY(!ok);

        const QString flawed = dir.filePath("flawed.skn");
        QVERIFY(writeFile(flawed, "\xef\xbb\xbf[Button]\nbackground = nope\nradius = 3\n"));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("flawed.skn: line 2: bad colour \"nope\""));
        const Skin skin = loadSkinFile(flawed, &ok);
        QVERIFY(ok);
        QCOMPARE(skin.name, QString("flawed"));
        QCOMPARE(skin.value("Button", "radius"), QString("3"));
        QVERIFY(skin.value("Button", "background").isEmpty());
    }

    void shippedSkinsAreCompleteAndReadable_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("green") << "green";
        QTest::newRow("red") << "red";
        QTest::newRow("blue") << "blue";
    }

    void shippedSkinsAreCompleteAndReadable() {
        QFETCH(QString, name);
        const QString text = readFile(shippedSkin(name));
        QVERIFY(!text.isEmpty());
        QStringList warnings;
        const Skin skin = parseSkin(text, &warnings);
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
        QCOMPARE(skin.name.toLower(), name);
        for (const QString& element : kElements) {
            QVERIFY2(skin.elements.contains(element.toLower()), qPrintable(element));
            QVERIFY2(!styleSheetFor(skin, element, "QWidget").isEmpty(), qPrintable(element));
        }

        // Every text against every background it is drawn on, at both ends of a gradient and
        // in every state of a button; 4.5:1 is the usual guidance for legible small text.
        // A state without its own foreground shows the button's.
        struct Pair {
            const char* element;
            const char* text;
            QStringList backgrounds;
        };
        const QList<Pair> pairs = {
            {"Label", "foreground", {"form:gradient-top", "form:gradient-bottom"}},
            {"Panel", "foreground", {"gradient-top", "gradient-bottom"}},
            {"Button", "foreground", {"gradient-top", "gradient-bottom"}},
            {"Button", "hover-foreground", {"hover-top", "hover-bottom"}},
            {"Button", "pressed-foreground", {"pressed-top", "pressed-bottom"}},
            {"Button", "disabled-foreground", {"disabled-background"}},
        };
        for (const Pair& pair : pairs) {
            QColor text = colourOf(skin, pair.element, pair.text);
            if (!text.isValid())
                text = colourOf(skin, pair.element, "foreground");
            for (const QString& background : pair.backgrounds) {
                const QStringList where = background.split(':');
                const QColor fill = where.size() == 2 ? colourOf(skin, where[0], where[1])
                                                      : colourOf(skin, pair.element, background);
                QVERIFY2(fill.isValid(), qPrintable(background));
                const double ratio = contrast(text, fill);
                QVERIFY2(ratio >= 4.5, qPrintable(QStringLiteral("%1 %2 on %3: %4:1")
                                                      .arg(pair.element, pair.text, background)
                                                      .arg(ratio, 0, 'f', 2)));
            }
        }

        // Every sheet must go through Qt's parser (init() fails on its warnings) and the
        // disabled button must not look like the enabled one.
        SkinnedWindow w;
        w.skin(shippedSkin(name));
        QVERIFY(w.host.loaded());
        QVERIFY(w.show());
        const QImage enabled = w.button->grab().toImage();
        w.button->setEnabled(false);
        const QImage disabled = w.button->grab().toImage();
        QVERIFY(enabled != disabled);
    }

    // The status line is a plain text box: its red and blue, as stored, on that box's base.
    void statusColoursReadable() {
        const QColor base = QLineEdit().palette().color(QPalette::Base);
        for (int stored : {0x0000FF, 0xFF0000}) {
            const QColor shown = statusTextColour(stored);
            QVERIFY2(contrast(shown, base) >= 4.5, qPrintable(shown.name()));
            QCOMPARE(shown.hue(), QColor(stored & 0xFF, 0, stored >> 16).hue());
        }
    }

    void shippedSkinsLookDifferent() {
        struct Look {
            QString name;
            int hueLow, hueHigh;
        };
        // Red wraps around 0; the others sit well inside their own band.
        const QList<Look> looks = {{"green", 90, 160}, {"red", -20, 20}, {"blue", 195, 250}};
        QList<QImage> buttons;
        QList<QString> sheets;
        for (const Look& look : looks) {
            SkinnedWindow w;
            w.skin(shippedSkin(look.name));
            QVERIFY(w.show());
            buttons << w.button->grab().toImage();
            sheets << w.button->styleSheet();

            const QColor corner = w.image().pixelColor(2, 2);
            int hue = corner.hsvHue();
            if (hue > 180 && look.hueLow < 0) {
                hue -= 360;
            }
            QVERIFY2(hue >= look.hueLow && hue <= look.hueHigh,
                     qPrintable(look.name + ": hue " + QString::number(hue)));
        }
        for (int i = 0; i < looks.size(); ++i) {
            for (int j = i + 1; j < looks.size(); ++j) {
                QVERIFY(sheets[i] != sheets[j]);
                QVERIFY(buttons[i] != buttons[j]);
            }
        }
    }

    void textReadsBackExactly() {
        SkinnedWindow w;
        w.skin(shippedSkin("green"));
        const QStringList texts = {"",
                                   "   ",
                                   "  Recording volume setting :42  ",
                                   "12.900 MB 1:15",
                                   "44100 Hz  16 bit\tStereo ",
                                   "<b>not bold</b> & more"};
        for (const QString& text : texts) {
            w.label->setText(text);
            w.panel->setText(text);
            w.button->setText(text);
            QCOMPARE(w.label->text(), text);
            QCOMPARE(w.panel->text(), text);
            QCOMPARE(w.button->text(), text);
        }
        // Markup is shown as written, so it takes more room than the bare word.
        w.label->setText("<b>x</b>");
        const int markupWidth = w.label->sizeHint().width();
        w.label->setText("x");
        QVERIFY(markupWidth > w.label->sizeHint().width());
    }

    void disabledButtonIgnoresClicks() {
        SkinnedWindow w;
        w.skin(shippedSkin("green"));
        QVERIFY(w.show());
        QSignalSpy clicks(w.button, &SkinButton::Click);

        QTest::mouseClick(w.button, Qt::LeftButton);
        QCOMPARE(clicks.count(), 1);

        w.button->setEnabled(false);
        QCOMPARE(w.button->isEnabled(), false);
        QTest::mouseClick(w.button, Qt::LeftButton);
        QTest::keyClick(w.button, Qt::Key_Space);
        QCOMPARE(clicks.count(), 1);

        w.button->setEnabled(true);
        QTest::mouseClick(w.button, Qt::LeftButton);
        QCOMPARE(clicks.count(), 2);
    }

    // Voice activation's start level: one amber column where position() puts it, which for
    // the level's own share is just past the bar's end; none once cleared.
    void meterDrawsTheThresholdWherePositionSays() {
        SkinMeter meter;
        meter.resize(300, 12);
        meter.setLevel(0.1, 0, false);
        int barEnd = 1;
        const auto amberColumns = [&meter, &barEnd] {
            const QImage image = meter.grab().toImage();
            const int y = image.height() / 2;
            while (image.pixelColor(barEnd, y) == image.pixelColor(1, y))
                ++barEnd;
            QList<int> found;
            for (int x = 0; x < image.width(); ++x)
                if (image.pixelColor(x, y) == QColor(0xff, 0xb0, 0x20))
                    found << x;
            return found;
        };
        QVERIFY(amberColumns().isEmpty());
        meter.setThreshold(0.1);
        const QList<int> line = amberColumns();
        QCOMPARE(line, QList<int>{barEnd});
        for (double none : {0.0, -1.0, std::nan("")}) {
            meter.setThreshold(0.1);
            meter.setThreshold(none);
            QVERIFY(amberColumns().isEmpty());
        }
    }

    // Two inputs: two bars, each as long as its own input's level says; the mixed level given
    // meanwhile does not show, and comes back with one bar.
    void meterShowsEachInputOnABarOfItsOwn() {
        SkinMeter meter;
        meter.resize(300, 12);
        const QColor level(0x50, 0xd0, 0x50);
        const auto barEnd = [&meter, level](int y) {
            const QImage image = meter.grab().toImage();
            int x = 1;
            while (x < image.width() && image.pixelColor(x, y) == level)
                ++x;
            return x;
        };
        const auto at = [&meter](double share) {
            const int clipWidth = (meter.height() - 2) * 2;
            return 1 + int((meter.width() - 2 - clipWidth - 1) * SkinMeter::position(share));
        };
        meter.setLevel(0.5, 0, false);
        QCOMPARE(barEnd(6), at(0.5));
        meter.setBarCount(2);
        QCOMPARE(barEnd(2), 1); // each input starts empty
        QCOMPARE(barEnd(9), 1);
        meter.setInputLevel(0, 0.1, 0, false);
        meter.setInputLevel(1, 1.0, 0, false);
        meter.setLevel(0.02, 0, false);
        meter.setInputLevel(2, 0.3, 0, false); // no third input
        QCOMPARE(barEnd(2), at(0.1));
        QCOMPARE(barEnd(9), at(1.0));
        QCOMPARE(meter.inputPeak(1), 1.0);
        meter.setBarCount(1);
        QCOMPARE(barEnd(2), at(0.02));
        QCOMPARE(barEnd(9), at(0.02));
        QCOMPARE(meter.inputPeak(0), 0.0);
    }

    void scrollBarRaisesChangeOnlyForUserMoves_data() {
        QTest::addColumn<QString>("skin");
        QTest::newRow("plain") << QString();
        QTest::newRow("green") << "green";
        QTest::newRow("red") << "red";
        QTest::newRow("blue") << "blue";
    }

    void scrollBarRaisesChangeOnlyForUserMoves() {
        QFETCH(QString, skin);
        SkinnedWindow w;
        if (!skin.isEmpty()) {
            w.skin(shippedSkin(skin));
        }
        QVERIFY(w.show());
        ProbeScrollBar* bar = w.bar;
        QCOMPARE(bar->orientation(), Qt::Horizontal);
        bar->setMinimum(0);
        bar->setMaximum(1000);
        bar->setSmallStep(10);
        bar->setLargeStep(100);

        QSignalSpy changes(bar, &SkinScrollBar::Change);
        QList<int> seen; // what a Change handler reads
        connect(bar, &SkinScrollBar::Change, bar, [&] { seen << bar->position(); });

        bar->setPosition(1500);
        QCOMPARE(bar->position(), 1000);
        bar->setPosition(-3);
        QCOMPARE(bar->position(), 0);
        bar->setPosition(400);
        QCOMPARE(bar->position(), 400);
        QCOMPARE(changes.count(), 0);

        const QRect right = bar->rectOf(QStyle::SC_ScrollBarAddLine);
        const QRect left = bar->rectOf(QStyle::SC_ScrollBarSubLine);
        QVERIFY(!right.isEmpty() && !left.isEmpty());
        QTest::mouseClick(bar, Qt::LeftButton, {}, right.center());
        QCOMPARE(bar->position(), 410);
        QTest::mouseClick(bar, Qt::LeftButton, {}, left.center());
        QTest::mouseClick(bar, Qt::LeftButton, {}, left.center());
        QCOMPARE(bar->position(), 390);
        QTest::mouseClick(bar, Qt::LeftButton, {},
                          bar->rectOf(QStyle::SC_ScrollBarAddPage).center());
        QCOMPARE(bar->position(), 490);
        QTest::keyClick(bar, Qt::Key_Right);
        QCOMPARE(bar->position(), 500);
        QTest::keyClick(bar, Qt::Key_Left);
        QCOMPARE(bar->position(), 490);
        const QPointF middle = bar->rect().center();
        QWheelEvent wheelUp(middle, bar->mapToGlobal(middle), QPoint(), QPoint(0, 120),
                            Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(bar, &wheelUp);
        QVERIFY(bar->position() > 490);
        QCOMPARE(seen, QList<int>({410, 400, 390, 490, 500, 490, bar->position()}));

        // A step at the end of the range moves nothing and must leave no Change pending for
        // the program's next change.
        QTest::keyClick(bar, Qt::Key_End);
        QCOMPARE(bar->position(), 1000);
        QTest::keyClick(bar, Qt::Key_Right);
        QCOMPARE(changes.count(), 8);
        bar->setMaximum(800);
        QCOMPARE(bar->position(), 800);
        bar->setMinimum(850);
        QCOMPARE(bar->position(), 850);
        bar->setMinimum(0);
        bar->setMaximum(1000);
        bar->setPosition(0);
        QCOMPARE(changes.count(), 8);

        // Dragging the handle.
        const QPoint grip = bar->rectOf(QStyle::SC_ScrollBarSlider).center();
        QMouseEvent press(QEvent::MouseButtonPress, grip, bar->mapToGlobal(grip), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(bar, &press);
        const QPoint to = grip + QPoint(80, 0);
        QMouseEvent move(QEvent::MouseMove, to, bar->mapToGlobal(to), Qt::NoButton, Qt::LeftButton,
                         Qt::NoModifier);
        QApplication::sendEvent(bar, &move);
        QMouseEvent release(QEvent::MouseButtonRelease, to, bar->mapToGlobal(to), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(bar, &release);
        QVERIFY(bar->position() > 0);
        QVERIFY(changes.count() > 8);
        QCOMPARE(seen.last(), bar->position());
    }

    void formSkinDressesOnlyTheWindow() {
        SkinnedWindow w;
        QVERIFY(w.show());
        const QImage plainWindow = w.image();
        const QImage plainEdit = w.edit->grab().toImage();

        w.skin(shippedSkin("green"));
        const Skin skin = parseSkin(readFile(shippedSkin("green")));
        const QColor top = colourOf(skin, "form", "gradient-top");
        const QColor corner = w.image().pixelColor(1, 1);
        QVERIFY(corner != plainWindow.pixelColor(1, 1));
        QVERIFY2(qAbs(corner.red() - top.red()) <= 6 && qAbs(corner.green() - top.green()) <= 6 &&
                     qAbs(corner.blue() - top.blue()) <= 6,
                 qPrintable(corner.name()));
        // The text box inside keeps its standard look.
        QCOMPARE(w.edit->grab().toImage(), plainEdit);
    }

    void textBoxColourSurvivesASkinChange() {
        // The status line is a plain text box whose text colour carries meaning.
        SkinnedWindow w;
        w.skin(shippedSkin("green"));
        QVERIFY(w.show());
        QPalette palette = w.edit->palette();
        palette.setColor(QPalette::Text, Qt::red);
        w.edit->setPalette(palette);
        for (const QString& name : {"red", "blue", "green"}) {
            w.skin(shippedSkin(name));
            QCOMPARE(w.edit->palette().color(QPalette::Text), QColor(Qt::red));
            const QImage text = w.edit->grab().toImage();
            bool red = false;
            for (int x = 0; x < text.width() && !red; ++x)
                for (int y = 0; y < text.height() && !red; ++y)
                    red = text.pixelColor(x, y).red() > 200 && text.pixelColor(x, y).green() < 60;
            QVERIFY2(red, qPrintable(name));
        }
    }

    void missingSkinFileLeavesThePlainLook() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString garbage = dir.filePath("garbage.skn");
        QVERIFY(writeFile(garbage, QByteArray("\x01\x02\xff\xfe garbage\0\0 more", 19)));

        SkinnedWindow w;
        QVERIFY(w.show());
        const QImage plain = w.image();

        struct Bad {
            QString path;
            QString warning;
        };
        const QList<Bad> bad = {{dir.filePath("missing.skn"), "not found"},
                                {dir.path(), "not found"},
                                {garbage, "line 1: expected"}};
        for (const Bad& b : bad) {
            w.skin(shippedSkin("red"));
            QVERIFY(w.host.loaded());
            QVERIFY(w.image() != plain);

            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(b.warning));
            w.skin(b.path);
            QVERIFY2(!w.host.loaded(), qPrintable(b.path));
            QVERIFY(w.host.skin().isEmpty());
            QCOMPARE(w.host.skinFile(), b.path);
            QCOMPARE(w.image(), plain);
        }
    }
};

QTEST_MAIN(TestSkin)
#include "test_skin.moc"
