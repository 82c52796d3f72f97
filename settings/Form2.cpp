#include "settings/Form2.h"

#include "app/Form1.h"
#include "skins/SkinControls.h"

#include <QCloseEvent>

namespace tw {

Form2::Form2(Form1& main) : QWidget(nullptr), main_(main) {
    setWindowTitle(QStringLiteral("Sound Card Setting"));
    setWindowIcon(main.windowIcon());
    setFixedSize(5130 / 15, 1740 / 15);
    SkinForm1 = new SkinForm(this);

    SkinLabel1 = new SkinLabel(this);
    SkinLabel1->setGeometry(360 / 15, 360 / 15, 4455 / 15, 735 / 15);
    SkinLabel1->setWordWrap(true);
    SkinLabel1->setText(
        QStringLiteral("Program is preparing to configure your sound card settings."));

    // The test steps behind "next" and "heard" arrive with the wizard itself; until then
    // neither button is offered.
    SkinButton1 = new SkinButton(this);
    SkinButton1->setGeometry(3120 / 15, 1320 / 15, 855 / 15, 255 / 15);
    SkinButton1->setText(QStringLiteral("next"));
    SkinButton1->setVisible(false);
    SkinButton2 = new SkinButton(this);
    SkinButton2->setGeometry(3960 / 15, 1320 / 15, 855 / 15, 255 / 15);
    SkinButton2->setText(QStringLiteral("heard"));
    SkinButton2->setVisible(false);
}

void Form2::Form_Load() {
    SkinForm1->setSkinFile(main_.appDir + QStringLiteral("/skin/green.skn"));
    SkinLabel1->applySkin(*SkinForm1);
    SkinButton1->applySkin(*SkinForm1);
    SkinButton2->applySkin(*SkinForm1);
}

void Form2::closeEvent(QCloseEvent* event) {
    Form_QueryUnload();
    event->accept();
}

void Form2::Form_QueryUnload() {
    // The main window's own shutdown runs once however often this arrives.
    main_.Exit_Click();
}

} // namespace tw
