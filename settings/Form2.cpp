#include "settings/Form2.h"

#include "core/InputChoices.h"
#include "core/SoundCardWizard.h"
#include "settings/InputsWindow.h"
#include "skins/Layout.h"
#include "skins/SkinControls.h"

#include <QCloseEvent>
#include <QComboBox>

namespace {
// The window's height while it shows the steps, and at Done with its two lists.
constexpr int kStepsHeight = 1740 / 15;
constexpr int kChoicesHeight = kStepsHeight + 50;
constexpr int kChoiceTop = 84;
} // namespace

namespace tw {

Form2::Form2(SoundCardWizard& wizard, const QString& appDir, const QIcon& icon)
    : QWidget(nullptr), wizard_(wizard), appDir_(appDir) {
    setWindowTitle(QStringLiteral("Sound Card Setting"));
    setWindowIcon(icon);
    setFixedSize(5130 / 15, kStepsHeight);
    SkinForm1 = new SkinForm(this);

    const QFont font = timesFont(9.75);
    SkinLabel1 = new SkinLabel(this);
    SkinLabel1->setGeometry(twips(360, 360, 4455, 735));
    SkinLabel1->setWordWrap(true);
    SkinLabel1->setFont(font);

    // The sound server's name of the source under test, on a line of its own, so that the
    // user knows which input "NO.n" is.
    InputName = new SkinLabel(this);
    InputName->setGeometry(twips(360, 1320, 2700, 255));
    InputName->setFont(timesFont(8.25, true));

    SkinButton1 = new SkinButton(this);
    // A little narrower than laid out, so that "next" and "heard" do not touch.
    SkinButton1->setGeometry(twips(3120, 1320, 780, 255));
    SkinButton1->setText(QStringLiteral("next"));
    SkinButton1->setFont(font);
    SkinButton2 = new SkinButton(this);
    SkinButton2->setGeometry(twips(3960, 1320, 855, 255));
    SkinButton2->setFont(font);

    const auto choice = [this, &font](SkinLabel*& label, QComboBox*& box, const QString& text,
                                      int top) {
        label = new SkinLabel(this);
        label->setText(text);
        label->setFont(font);
        label->setGeometry(24, top, 104, 20);
        box = new QComboBox(this);
        box->setGeometry(132, top, 189, 20);
        label->hide();
        box->hide();
    };
    choice(SecondLabel, SecondInput, QStringLiteral("Second input"), kChoiceTop);
    choice(ProgramLabel, Program, QStringLiteral("One program only"), kChoiceTop + 24);
    SecondInput->setToolTip(QStringLiteral("Mixed into each take with the source found: e.g. the "
                                           "monitor of the speakers, to record a call."));
    Program->setToolTip(QStringLiteral("Record only what this program plays, in place of the "
                                       "source found."));
    connect(SecondInput, &QComboBox::activated, this, [this](int index) {
        wizard_.chooseSecondSource(
            wizard_.choices().secondInputs(wizard_.inputs().secondSource).value(index).source);
    });
    connect(Program, &QComboBox::activated, this, [this](int index) {
        wizard_.chooseApplication(
            wizard_.choices().programs(wizard_.inputs().application).value(index).program);
    });
    connect(&wizard_.choices(), &InputChoices::changed, this, &Form2::showChoices);

    connect(SkinButton1, &SkinButton::Click, this, [this] { SkinButton1_Click(); });
    connect(SkinButton2, &SkinButton::Click, this, [this] { SkinButton2_Click(); });
    connect(&wizard_, &SoundCardWizard::changed, this, &Form2::showStep);
    connect(&wizard_, &SoundCardWizard::busyChanged, this, [this](bool busy) {
        if (!busy && closePending_)
            close();
    });
    showStep();
}

void Form2::Form_Load() {
    SkinForm1->setSkinFile(appDir_ + QStringLiteral("/skin/green.skn"));
    SkinLabel1->applySkin(*SkinForm1);
    InputName->applySkin(*SkinForm1);
    SecondLabel->applySkin(*SkinForm1);
    ProgramLabel->applySkin(*SkinForm1);
    SkinButton1->applySkin(*SkinForm1);
    SkinButton2->applySkin(*SkinForm1);
}

void Form2::showStep() {
    SkinLabel1->setText(wizard_.text());
    using Step = SoundCardWizard::Step;
    const Step step = wizard_.step();
    const bool testing = step == Step::Announce || step == Step::Recorded || step == Step::Confirm;
    const QString input = testing ? wizard_.sourceDescription() : QString();
    InputName->setText(
        InputName->fontMetrics().elidedText(input, Qt::ElideRight, InputName->width()));
    InputName->setToolTip(input);
    SkinButton1->setVisible(wizard_.nextVisible());
    SkinButton1->setEnabled(wizard_.nextEnabled());
    SkinButton2->setVisible(wizard_.secondVisible());
    SkinButton2->setText(wizard_.done() ? QStringLiteral("Done") : QStringLiteral("heard"));
    showChoices();
}

void Form2::showChoices() {
    const bool shown = wizard_.done();
    for (QWidget* w :
         std::initializer_list<QWidget*>{SecondLabel, SecondInput, ProgramLabel, Program})
        w->setVisible(shown);
    // The buttons stay at the foot, under the lists.
    const int foot = (shown ? kChoicesHeight : kStepsHeight) - 28;
    for (QWidget* w : std::initializer_list<QWidget*>{InputName, SkinButton1, SkinButton2})
        w->move(w->x(), foot);
    setFixedSize(width(), shown ? kChoicesHeight : kStepsHeight);
    if (!shown)
        return;
    const InputChoice& inputs = wizard_.inputs();
    const auto seconds = wizard_.choices().secondInputs(inputs.secondSource);
    const auto programs = wizard_.choices().programs(inputs.application);
    fillInputBox(SecondInput, seconds, InputChoices::indexOfSource(seconds, inputs.secondSource));
    fillInputBox(Program, programs, InputChoices::indexOfProgram(programs, inputs.application));
}

void Form2::SkinButton1_Click() {
    // "heard" is offered only until the next step starts.
    SkinButton2->setVisible(false);
    wizard_.next();
}

void Form2::SkinButton2_Click() {
    if (!wizard_.done()) {
        wizard_.heard();
        return;
    }
    wizard_.finish();
    hide();
    emit handedOver();
}

void Form2::closeEvent(QCloseEvent* event) {
    if (wizard_.busy()) {
        // Mid-test the engine and the player are in use; the close follows the step.
        closePending_ = true;
        event->ignore();
        return;
    }
    Form_QueryUnload();
    event->accept();
}

void Form2::Form_QueryUnload() {
    // The main window's own shutdown runs once however often this arrives.
    emit closed();
}

} // namespace tw
