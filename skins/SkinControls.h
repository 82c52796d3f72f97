#pragma once

#include "skins/Skin.h"

#include <QLabel>
#include <QObject>
#include <QPushButton>
#include <QScrollBar>

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
