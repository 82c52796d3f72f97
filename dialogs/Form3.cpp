#include "dialogs/Form3.h"

#include "platform/IDesktop.h"
#include "skins/Layout.h"

#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QShortcut>

namespace tw {

namespace {

QPushButton* plainButton(const QString& text, const QRect& geometry, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setGeometry(geometry);
    // Neither is a default button: Enter opens only from the address box, as set below.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

} // namespace

Form3::Form3(IDesktop& desktop) : QWidget(nullptr), desktop_(desktop) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Form3"));
    // 1800 twips tall: at 1650 the buttons sat 5 pixels from the bottom edge, which reads as
    // cut off; now 15 pixels of margin are left below them.
    setFixedSize(4725 / 15, 1800 / 15);
    setFont(timesFont(11.25));

    Label1 = new QLabel(QStringLiteral("Enter an Internet location to open here:"), this);
    Label1->setGeometry(twips(240, 120, 3855, 255));
    Label2 = new QLabel(QStringLiteral("For Example:http://example.org/file.mp3"), this);
    Label2->setGeometry(twips(240, 480, 4095, 255));
    for (QLabel* label : {Label1, Label2})
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    Text1 = new QLineEdit(this);
    Text1->setGeometry(twips(240, 840, 3975, 285));
    Text1->setFont(timesFont(9));

    Command1 = plainButton(QStringLiteral("Open"), twips(240, 1200, 975, 375), this);
    Command2 = plainButton(QStringLiteral("Cancel"), twips(1440, 1200, 975, 375), this);
    connect(Command1, &QPushButton::clicked, this, &Form3::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form3::Command2_Click);
    // Return and the keypad's Enter alike; Escape wherever the focus is.
    connect(Text1, &QLineEdit::returnPressed, this, &Form3::Command1_Click);
    connect(new QShortcut(Qt::Key_Escape, this), &QShortcut::activated, this,
            &Form3::Command2_Click);
}

void Form3::Command1_Click() {
    const QString location = Text1->text();
    // The text goes unquoted, as a command line: a space parts two arguments unless the
    // user quoted it.
    if (!location.isEmpty())
        desktop_.startMediaPlayer(QProcess::splitCommand(location), report_);
    close();
}

void Form3::Command2_Click() {
    close();
}

} // namespace tw
