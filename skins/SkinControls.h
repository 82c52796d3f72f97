#pragma once

#include "skins/Skin.h"

#include <QLabel>
#include <QObject>
#include <QPushButton>
#include <QScrollBar>

class QPainter;

namespace tw {

// The skin host of one window. Setting its skin file loads the file and dresses the
// window frame (its background); a missing or unreadable file leaves the plain look.
class SkinForm : public QObject {
    Q_OBJECT
  public:
    explicit SkinForm(QWidget* window);

    void setSkinFile(const QString& path);
    const QString& skinFile() const { return file_; }
    const Skin& skin() const { return skin_; }
    bool loaded() const { return loaded_; }

  private:
    QWidget* window_;
    QString file_;
    Skin skin_;
    bool loaded_ = false;
};

// Push button with a caption. A disabled button raises no Click.
class SkinButton : public QPushButton {
    Q_OBJECT
  public:
    explicit SkinButton(QWidget* parent = nullptr);
    void applySkin(const SkinForm& host);

  signals:
    void Click();
};

// One line of text. The text reads back exactly as written.
class SkinLabel : public QLabel {
    Q_OBJECT
  public:
    explicit SkinLabel(QWidget* parent = nullptr);
    void applySkin(const SkinForm& host);
};

// A framed line of text.
class SkinPanel : public QLabel {
    Q_OBJECT
  public:
    explicit SkinPanel(QWidget* parent = nullptr);
    void applySkin(const SkinForm& host);
};

// The input's level: a bar from -60 dBFS to full scale, a tick where the peak is held, and a
// mark at the right end while the input clips. With two inputs, two thinner bars, the first
// above the second, each with its own hold and clip mark. Colours from the skin's [Meter]
// element.
class SkinMeter : public QWidget {
    Q_OBJECT
  public:
    explicit SkinMeter(QWidget* parent = nullptr);
    void applySkin(const SkinForm& host);
    // Shares of full scale.
    void setLevel(double peak, double hold, bool clipped);
    double peak() const { return bars_[0].peak; }
    bool clipped() const { return bars_[0].clipped; }
    // One bar, or two (the inputs' own levels, given by setInputLevel; setLevel then only
    // keeps the mixed level for when the meter has one bar again).
    void setBarCount(int count);
    int barCount() const { return barCount_; }
    // Input 0 or 1's level, shown while the meter has two bars.
    void setInputLevel(int input, double peak, double hold, bool clipped);
    double inputPeak(int input) const;
    // A thin line across the bar at a share of full scale (voice activation's start level);
    // zero, a negative share or NaN draws none.
    void setThreshold(double share);
    double threshold() const { return threshold_; }
    // Where a share of full scale falls on the bar, 0..1 (decibels, -60 dB at the left).
    static double position(double share);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    struct Bar {
        double peak = 0, hold = 0;
        bool clipped = false;
        friend bool operator==(const Bar&, const Bar&) = default;
    };
    void paintBar(QPainter& p, const QRect& inside, const Bar& bar) const;
    // [0] the mixed level with one bar; with two, the inputs' own, the mixed kept in mixed_.
    Bar bars_[2];
    Bar mixed_;
    int barCount_ = 1;
    double threshold_ = 0;
    // Amber in every skin: no shipped skin's level or hold is near it.
    const QColor thresholdColour_{0xff, 0xb0, 0x20};
    QColor background_{0x10, 0x10, 0x10}, level_{0x50, 0xd0, 0x50}, holdColour_{Qt::white},
        clip_{Qt::red}, border_{Qt::black};
};

// Horizontal slider. Change is raised when the user moves it, not when the program sets
// the position.
class SkinScrollBar : public QScrollBar {
    Q_OBJECT
  public:
    explicit SkinScrollBar(QWidget* parent = nullptr);
    void applySkin(const SkinForm& host);

    int position() const { return value(); }
    void setPosition(int position); // clamps to the range, raises no Change
    void setSmallStep(int step) { setSingleStep(step); }
    void setLargeStep(int step) { setPageStep(step); }

  signals:
    void Change();

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    bool userMove_ = false;
    QColor arrowColour_; // invalid while plain: the style draws its own arrows
};

} // namespace tw
