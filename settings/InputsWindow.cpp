#include "settings/InputsWindow.h"

#include "core/Session.h"
#include "skins/Layout.h"
#include "skins/SkinControls.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QShortcut>
#include <QSpinBox>

namespace tw {

void fillInputBox(QComboBox* box, const QList<InputChoices::Item>& items, int index) {
    const QSignalBlocker quiet(box);
    box->clear();
    for (const InputChoices::Item& item : items) {
        const QIcon icon = !item.icon.isEmpty() && QIcon::hasThemeIcon(item.icon)
                               ? QIcon::fromTheme(item.icon)
                               : QIcon();
        box->addItem(icon, item.label);
        if (!item.present)
            box->setItemData(box->count() - 1, QColor(Qt::gray), Qt::ForegroundRole);
    }
    box->setCurrentIndex(index);
}

InputsWindow::InputsWindow(Session& session, const QIcon& icon)
    : QWidget(nullptr), session_(session) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Inputs"));
    setWindowIcon(icon);
    setFont(timesFont(9.75));
    SkinForm1 = new SkinForm(this);

    const auto caption = [this](const QString& text) {
        auto* label = new SkinLabel(this);
        label->setText(text);
        captions_ << label;
        return label;
    };
    const auto level = [this] {
        auto* spin = new QSpinBox(this);
        spin->setRange(0, InputChoice::kMaxLevel);
        spin->setSingleStep(10);
        spin->setSuffix(QStringLiteral(" %"));
        return spin;
    };
    Program = new QComboBox(this);
    Program->setToolTip(QStringLiteral(
        "Record only what this program plays, in place of the recording source. The take "
        "follows it from sound to sound and holds silence while it plays nothing."));
    Refresh = new SkinButton(this);
    Refresh->setText(QStringLiteral("Refresh"));
    Refresh->setToolTip(QStringLiteral("List the programs playing now"));
    SecondInput = new QComboBox(this);
    SecondInput->setToolTip(
        QStringLiteral("Mixed into the take with the first input: e.g. the microphone and the "
                       "monitor of the speakers, to record a call."));
    FirstLevel = level();
    SecondLevel = level();
    OwnChannels = new QCheckBox(
        QStringLiteral("Each on its own channel (first left, second right; stereo takes)"), this);
    Note = new QLabel(this);
    Note->setWordWrap(true);
    OkButton = new SkinButton(this);
    OkButton->setText(QStringLiteral("Ok"));
    CancelButton = new SkinButton(this);
    CancelButton->setText(QStringLiteral("Cancel"));

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(16, 14, 16, 12);
    grid->setVerticalSpacing(6);
    grid->addWidget(caption(QStringLiteral("One program only")), 0, 0);
    grid->addWidget(Program, 0, 1);
    grid->addWidget(Refresh, 0, 2);
    grid->addWidget(caption(QStringLiteral("Second input")), 1, 0);
    grid->addWidget(SecondInput, 1, 1, 1, 2);
    grid->addWidget(caption(QStringLiteral("First input's level")), 2, 0);
    grid->addWidget(FirstLevel, 2, 1, Qt::AlignLeft);
    grid->addWidget(caption(QStringLiteral("Second input's level")), 3, 0);
    grid->addWidget(SecondLevel, 3, 1, Qt::AlignLeft);
    grid->addWidget(OwnChannels, 4, 0, 1, 3);
    grid->addWidget(Note, 5, 0, 1, 3);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OkButton);
    buttons->addWidget(CancelButton);
    grid->addLayout(buttons, 6, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    for (QComboBox* box : {Program, SecondInput})
        box->setMinimumWidth(240);

    connect(&session_.inputChoices, &InputChoices::changed, this, &InputsWindow::showChoices);
    connect(Program, &QComboBox::activated, this, [this](int index) {
        program_ = programs_.value(index).program;
        showEnabled();
    });
    connect(SecondInput, &QComboBox::activated, this, [this](int index) {
        second_ = seconds_.value(index).source;
        showEnabled();
    });
    connect(Refresh, &SkinButton::Click, &session_.inputChoices, &InputChoices::refresh);
    connect(OkButton, &SkinButton::Click, this, &InputsWindow::ok);
    connect(CancelButton, &SkinButton::Click, this, &QWidget::close);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &QWidget::close);
}

void InputsWindow::Form_Load() {
    SkinForm1->setSkinFile(session_.settings.appFile(QStringLiteral("skin/green.skn")));
    for (SkinLabel* label : captions_)
        label->applySkin(*SkinForm1);
    for (SkinButton* button : {Refresh, OkButton, CancelButton})
        button->applySkin(*SkinForm1);
    // The plain controls sit on the skin's background: they take the captions' text colour.
    const QColor text = QColor::fromString(
        SkinForm1->skin().value(QStringLiteral("Label"), QStringLiteral("foreground")));
    if (text.isValid()) {
        for (QWidget* plain : std::initializer_list<QWidget*>{OwnChannels, Note}) {
            QPalette palette = plain->palette();
            palette.setColor(QPalette::WindowText, text);
            plain->setPalette(palette);
        }
    }
    const InputChoice& inputs = session_.inputs();
    program_ = inputs.application;
    second_ = inputs.secondSource;
    FirstLevel->setValue(inputs.firstLevel);
    SecondLevel->setValue(inputs.secondLevel);
    OwnChannels->setChecked(inputs.ownChannels);
    showChoices();
    session_.inputChoices.refresh();
    adjustSize();
    setFixedSize(sizeHint());
}

void InputsWindow::showChoices() {
    const InputChoices& choices = session_.inputChoices;
    programs_ = choices.programs(program_);
    seconds_ = choices.secondInputs(second_);
    fillInputBox(Program, programs_, InputChoices::indexOfProgram(programs_, program_));
    fillInputBox(SecondInput, seconds_, InputChoices::indexOfSource(seconds_, second_));
    showEnabled();
}

void InputsWindow::showEnabled() {
    const bool two = second_ > 0;
    SecondLevel->setEnabled(two);
    OwnChannels->setEnabled(two);
    QStringList notes;
    if (session_.inputChoices.loading())
        notes << QStringLiteral("Asking the sound server…");
    else if (session_.inputChoices.playing().isEmpty())
        notes << QStringLiteral("No program plays sound now; start it and press Refresh.");
    if (session_.recorder.phase() != Recorder::Phase::Idle)
        notes << QStringLiteral("The take running keeps its inputs; the next one uses these.");
    Note->setText(notes.join(QLatin1Char(' ')));
}

InputChoice InputsWindow::chosen() const {
    InputChoice inputs;
    inputs.application = program_;
    inputs.secondSource = second_;
    inputs.firstLevel = FirstLevel->value();
    inputs.secondLevel = SecondLevel->value();
    inputs.ownChannels = OwnChannels->isChecked();
    return inputs;
}

void InputsWindow::ok() {
    session_.setInputs(chosen());
    close();
}

} // namespace tw
