#pragma once

#include <QWidget>

namespace tw {

class Form1;
class SkinButton;
class SkinForm;
class SkinLabel;

// The sound-card set-up wizard, shown instead of the main window on a first run. Closing
// it, for any reason, closes the main window and so ends the program.
class Form2 : public QWidget {
    Q_OBJECT
public:
    explicit Form2(Form1& main);

    void Form_Load();

    SkinForm* SkinForm1 = nullptr;
    SkinLabel* SkinLabel1 = nullptr;
    SkinButton* SkinButton1 = nullptr;
    SkinButton* SkinButton2 = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Form_QueryUnload();
    Form1& main_;
};

} // namespace tw
