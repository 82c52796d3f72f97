#pragma once

#include <QObject>
#include <QString>

namespace tw {

// Status colours as 0x00BBGGRR numbers, red in the low byte: the status line keeps its colour
// as a plain number, which statusTextColour() turns into the text's colour.
inline constexpr int kBlue = 0xFF0000;
inline constexpr int kRed = 0x0000FF;

// The one line where every command reports, by text and colour. The session's parts write
// it; the main window shows it. Nothing reads the text back to learn what state the program
// is in.
class StatusLine : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    void set(const QString& text, int colour) {
        text_ = text;
        colour_ = colour;
        emit changed(text_, colour_);
    }
    void setText(const QString& text) { set(text, colour_); }
    void setColour(int colour) { set(text_, colour); }
    const QString& text() const { return text_; }
    int colour() const { return colour_; }

  signals:
    void changed(const QString& text, int colour);

  private:
    QString text_;
    int colour_ = 0;
};

} // namespace tw
