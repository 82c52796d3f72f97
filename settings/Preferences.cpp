#include "settings/Preferences.h"

#include "core/Session.h"
#include "core/TakeNaming.h"
#include "skins/Layout.h"
#include "skins/PickOnlyCombo.h"
#include "skins/SkinControls.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QShortcut>
#include <QSpinBox>
#include <cmath>

namespace tw {

namespace {

const QString kRateUnit = QStringLiteral("  MB/min");
constexpr int kTakeFormatWidth = 96;
// The band under the format's controls: take names, notifications and the tray.
constexpr int kExtraHeight = 96;
constexpr int kExtraTop = 2280 / 15 + 36;
// Under it, voice activation and the input kept before a start.
constexpr int kVoiceHeight = 150;
constexpr int kVoiceTop = kExtraTop + kExtraHeight - 10;
constexpr int kPreRecordDefault = 3;

// "8000  Hz", "11025 Hz": the number in five places, so that the units line up.
QString sampleRateText(int32_t rate) {
    return QStringLiteral("%1 Hz").arg(rate, -5);
}

} // namespace

Preferences::Preferences(Session& session, const QIcon& icon)
    : QWidget(nullptr), session_(session), settings_(session.settings) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Preferences"));
    setWindowIcon(icon);
    // Wider by the take format's group on the right.
    setFixedSize(4095 / 15 + kTakeFormatWidth + 8, 3270 / 15 + kExtraHeight + kVoiceHeight);
    setFont(timesFont(9.75));

    SkinForm1 = new SkinForm(this);

    Frame1 = new QGroupBox(QStringLiteral("Channels"), this);
    Frame1->setGeometry(twips(360, 240, 1575, 1095));
    Option1 = new QRadioButton(QStringLiteral("Mono"), Frame1);
    Option1->setGeometry(twips(120, 360, 1095, 255));
    Option2 = new QRadioButton(QStringLiteral("Stereo"), Frame1);
    Option2->setGeometry(twips(120, 720, 1095, 255));
    Option2->setChecked(true);

    Frame2 = new QGroupBox(QStringLiteral("Sample Bit"), this);
    Frame2->setGeometry(twips(2160, 240, 1695, 1095));
    Option3 = new QRadioButton(QStringLiteral("8  Bit"), Frame2);
    Option3->setGeometry(twips(240, 360, 1095, 255));
    Option4 = new QRadioButton(QStringLiteral("16 Bit"), Frame2);
    Option4->setGeometry(twips(240, 720, 1095, 255));
    Option4->setChecked(true);

    SkinLabel1 = new SkinLabel(this);
    SkinLabel1->setGeometry(twips(480, 1440, 975, 255));
    SkinLabel1->setText(QStringLiteral("Sample Rate"));
    SkinLabel2 = new SkinLabel(this);
    SkinLabel2->setGeometry(twips(2280, 1440, 1455, 255));
    SkinLabel2->setText(QStringLiteral("Byte Rate"));

    Combo1 = new QComboBox(this);
    Combo1->setGeometry(twips(360, 1800, 1455, 345));
    Combo1->setEditable(true);
    for (int32_t rate : offeredRates())
        Combo1->addItem(sampleRateText(rate), rate);
    Combo1->setCurrentIndex(int(offeredRates().indexOf(22050)));
    makePickOnly(Combo1);

    SkinPanel1 = new SkinPanel(this);
    SkinPanel1->setGeometry(twips(2160, 1800, 1695, 375));

    Check1 = new QCheckBox(QStringLiteral("Convert recording to MP3 on completion"), this);
    Check1->setGeometry(twips(360, 2280, 3615, 495));

    buildExtras();
    buildVoiceBand();

    // Ok and Cancel stay at the window's foot, under the bands.
    SkinButton1 = new SkinButton(this);
    SkinButton1->setGeometry(
        twips(480, 2880, 1215, 255).translated(0, kExtraHeight + kVoiceHeight));
    SkinButton1->setText(QStringLiteral("Ok"));
    SkinButton2 = new SkinButton(this);
    SkinButton2->setGeometry(
        twips(2400, 2880, 1215, 255).translated(0, kExtraHeight + kVoiceHeight));
    SkinButton2->setText(QStringLiteral("Cancel"));

    TakeFormatFrame = new QGroupBox(QStringLiteral("Take Format"), this);
    TakeFormatFrame->setGeometry(4095 / 15, 240 / 15, kTakeFormatWidth, 150);
    for (const TakeFormatInfo& info : takeFormats()) {
        auto* option = new QRadioButton(info.configValue, TakeFormatFrame);
        option->setGeometry(8, 22 + 24 * int(TakeFormatOptions.size()), kTakeFormatWidth - 12, 20);
        TakeFormatOptions << option;
    }

    // clicked, not toggled: selecting a button from code at opening must not count as the
    // user's choice.
    connect(Option1, &QRadioButton::clicked, this, [this] { Option1_Click(); });
    connect(Option2, &QRadioButton::clicked, this, [this] { Option2_Click(); });
    connect(Option3, &QRadioButton::clicked, this, [this] { Option3_Click(); });
    connect(Option4, &QRadioButton::clicked, this, [this] { Option4_Click(); });
    connect(Combo1, &QComboBox::activated, this, [this] { Combo1_Click(); });
    connect(SkinButton1, &SkinButton::Click, this, [this] { SkinButton1_Click(); });
    connect(SkinButton2, &SkinButton::Click, this, [this] { SkinButton2_Click(); });
    // Escape leaves the window as Cancel does; an open list closes first, taking the key.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, [this] { SkinButton2_Click(); });
}

void Preferences::buildExtras() {
    const int left = 360 / 15;
    TakeNameLabel = new QLabel(QStringLiteral("Take names:"), this);
    TakeNameLabel->setGeometry(left, kExtraTop, 80, 22);
    TakeNamePattern = new QLineEdit(this);
    TakeNamePattern->setGeometry(left + 80, kExtraTop, 240, 22);
    TakeNamePattern->setPlaceholderText(QStringLiteral("numbered, as the Save Position"));
    TakeNamePattern->setToolTip(
        QStringLiteral("Empty: takes are numbered after the Save Position. Else a name with the "
                       "take's date and time: %Y year, %m month, %d day, %H hour, %M minute, "
                       "%S second, e.g. %Y-%m-%d %H-%M-%S"));
    TakeNameExample = new QLabel(this);
    TakeNameExample->setGeometry(left + 80, kExtraTop + 22, 260, 18);
    connect(TakeNamePattern, &QLineEdit::textChanged, this, [this] { showTakeNameExample(); });
    NotificationsCheck = new QCheckBox(QStringLiteral("Show desktop notifications"), this);
    NotificationsCheck->setGeometry(left, kExtraTop + 42, 320, 20);
    TrayCheck =
        new QCheckBox(QStringLiteral("Keep running in the tray when the window closes"), this);
    TrayCheck->setGeometry(left, kExtraTop + 62, 320, 20);
}

void Preferences::buildVoiceBand() {
    const int left = 360 / 15;
    const auto decibels = [this] {
        auto* spin = new QDoubleSpinBox(VoiceFrame);
        spin->setRange(-60, 0);
        spin->setDecimals(0);
        spin->setSuffix(QStringLiteral(" dB"));
        return spin;
    };
    VoiceFrame = new QGroupBox(QStringLiteral("Voice activation"), this);
    VoiceFrame->setGeometry(left, kVoiceTop, width() - 2 * left, 108);
    VoiceStartDb = decibels();
    VoiceStartMs = new QSpinBox(VoiceFrame);
    VoiceStartMs->setRange(0, 10000);
    VoiceStartMs->setSingleStep(50);
    VoiceStartMs->setSuffix(QStringLiteral(" ms"));
    VoiceSilenceDb = decibels();
    VoiceSilenceSeconds = new QDoubleSpinBox(VoiceFrame);
    VoiceSilenceSeconds->setRange(0.1, 600);
    VoiceSilenceSeconds->setDecimals(1);
    VoiceSilenceSeconds->setSingleStep(0.5);
    VoiceSilenceSeconds->setSuffix(QStringLiteral(" s"));
    VoicePause = new QRadioButton(QStringLiteral("Pause until sound returns"), VoiceFrame);
    VoiceSplit =
        new QRadioButton(QStringLiteral("End the take; the next starts on sound"), VoiceFrame);
    auto* grid = new QGridLayout(VoiceFrame);
    grid->setContentsMargins(8, 4, 8, 4);
    grid->setVerticalSpacing(2);
    grid->addWidget(new QLabel(QStringLiteral("Start on sound above"), VoiceFrame), 0, 0);
    grid->addWidget(VoiceStartDb, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("for"), VoiceFrame), 0, 2);
    grid->addWidget(VoiceStartMs, 0, 3);
    grid->addWidget(new QLabel(QStringLiteral("On silence below"), VoiceFrame), 1, 0);
    grid->addWidget(VoiceSilenceDb, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("for"), VoiceFrame), 1, 2);
    grid->addWidget(VoiceSilenceSeconds, 1, 3);
    grid->addWidget(VoicePause, 2, 0, 1, 5);
    grid->addWidget(VoiceSplit, 3, 0, 1, 5);
    grid->setColumnStretch(4, 1); // the room to spare goes to the right, not between the fields
    VoiceFrame->setToolTip(QStringLiteral(
        "While Options > Voice activation is on, a take starts once the input stays above the "
        "first level for the time given, and pauses or ends once it stays below the second."));

    const int preTop = kVoiceTop + VoiceFrame->height() + 4;
    PreRecordCheck = new QCheckBox(QStringLiteral("Keep the last"), this);
    PreRecordCheck->setGeometry(left, preTop, 100, 22);
    PreRecordSeconds = new QSpinBox(this);
    PreRecordSeconds->setRange(1, 10);
    PreRecordSeconds->setSuffix(QStringLiteral(" s"));
    PreRecordSeconds->setGeometry(left + 100, preTop, 56, 22);
    PreRecordAfter = new QLabel(QStringLiteral("before each start"), this);
    PreRecordAfter->setGeometry(left + 162, preTop, 150, 22);
    PreRecordNote = new QLabel(QStringLiteral("The input stays open while Tunewright runs."), this);
    PreRecordNote->setGeometry(left + 20, preTop + 22, 300, 16);
    QFont small = PreRecordNote->font();
    small.setPointSizeF(small.pointSizeF() - 1);
    small.setItalic(true);
    PreRecordNote->setFont(small);
    connect(PreRecordCheck, &QCheckBox::toggled, this, [this](bool on) {
        PreRecordSeconds->setEnabled(on);
        PreRecordNote->setVisible(on);
    });
}

VoiceSettings Preferences::chosenVoice() const {
    VoiceSettings voice;
    voice.startDb = VoiceStartDb->value();
    voice.startMs = VoiceStartMs->value();
    voice.silenceDb = VoiceSilenceDb->value();
    voice.silenceMs = int(std::lround(VoiceSilenceSeconds->value() * 1000));
    voice.split = VoiceSplit->isChecked();
    return voice;
}

int Preferences::chosenPreRecord() const {
    return PreRecordCheck->isChecked() ? PreRecordSeconds->value() : 0;
}

void Preferences::keepVoiceChoices() {
    const VoiceSettings voice = chosenVoice();
    if (voice != voiceShown_) {
        settings_.writeVoiceSettings(voice);
        session_.voice.setThresholds(voice);
    }
    const int preRecord = chosenPreRecord();
    if (preRecord != preRecordShown_) {
        settings_.writePreRecordSeconds(preRecord);
        session_.setPreRecordSeconds(preRecord);
    }
}

void Preferences::showTakeNameExample() {
    const QString pattern = TakeNamePattern->text().trimmed();
    TakeNameExample->setText(
        pattern.isEmpty() ? QString()
                          : QStringLiteral("A take now: %1")
                                .arg(QFileInfo(patternedTakePath(settings_.savePosition(), pattern,
                                                                 QDateTime::currentDateTime()))
                                         .fileName()));
}

void Preferences::Form_Load() {
    SkinForm1->setSkinFile(settings_.appFile(QStringLiteral("skin/green.skn")));
    SkinLabel1->applySkin(*SkinForm1);
    SkinLabel2->applySkin(*SkinForm1);
    SkinPanel1->applySkin(*SkinForm1);
    SkinButton1->applySkin(*SkinForm1);
    SkinButton2->applySkin(*SkinForm1);
    // The captions were laid out for the platform the dialog was drawn on; where this
    // platform's font runs wider, a caption grows to the right rather than losing letters.
    for (SkinLabel* label : {SkinLabel1, SkinLabel2}) {
        label->ensurePolished();
        if (label->sizeHint().width() > label->width())
            label->resize(label->sizeHint().width(), label->height());
    }
    // The frames and boxes keep the platform's look but sit on the skin's background, where
    // the platform's dark text is unreadable: they take the skinned labels' text colour.
    const QColor text = QColor::fromString(
        SkinForm1->skin().value(QStringLiteral("Label"), QStringLiteral("foreground")));
    if (text.isValid()) {
        QList<QWidget*> plainControls = {Frame1,    Frame2,          Option1,
                                         Option2,   Option3,         Option4,
                                         Check1,    TakeFormatFrame, NotificationsCheck,
                                         TrayCheck, TakeNameLabel,   TakeNameExample};
        for (QRadioButton* option : TakeFormatOptions)
            plainControls << option;
        plainControls << VoiceFrame << PreRecordCheck << PreRecordAfter << PreRecordNote;
        for (QWidget* inBand : VoiceFrame->findChildren<QWidget*>())
            if (qobject_cast<QLabel*>(inBand) || qobject_cast<QRadioButton*>(inBand))
                plainControls << inBand;
        for (QWidget* plain : plainControls) {
            QPalette palette = plain->palette();
            palette.setColor(QPalette::WindowText, text);
            plain->setPalette(palette);
        }
    }

    settings_.openFormat();
    const RecordingFormat& format = settings_.format;
    Check1->setChecked(settings_.AutoMp3 == 1);
    TakeNamePattern->setText(settings_.takeNamePattern());
    NotificationsCheck->setChecked(settings_.notificationsOn());
    TrayCheck->setChecked(settings_.keepInTray());
    const VoiceSettings voice = settings_.voiceSettings();
    VoiceStartDb->setValue(voice.startDb);
    VoiceStartMs->setValue(voice.startMs);
    VoiceSilenceDb->setValue(voice.silenceDb);
    VoiceSilenceSeconds->setValue(voice.silenceMs / 1000.0);
    (voice.split ? VoiceSplit : VoicePause)->setChecked(true);
    voiceShown_ = chosenVoice();
    const int preRecord = settings_.preRecordSeconds();
    PreRecordCheck->setChecked(preRecord > 0);
    PreRecordSeconds->setValue(preRecord > 0 ? preRecord : kPreRecordDefault);
    PreRecordSeconds->setEnabled(preRecord > 0);
    PreRecordNote->setVisible(preRecord > 0);
    preRecordShown_ = chosenPreRecord();
    for (qsizetype i = 0; i < TakeFormatOptions.size(); ++i)
        TakeFormatOptions.at(i)->setChecked(takeFormats().at(i).format == settings_.takeFormat);
    (format.Channels == 1 ? Option1 : Option2)->setChecked(true);
    (format.BitsPerSample == 8 ? Option3 : Option4)->setChecked(true);

    if (const auto at = offeredRates().indexOf(format.SamplesPerSec); at >= 0)
        Combo1->setCurrentIndex(int(at));
    room();
}

void Preferences::Option1_Click() {
    settings_.format.Channels = 1;
    room();
}

void Preferences::Option2_Click() {
    settings_.format.Channels = 2;
    room();
}

void Preferences::Option3_Click() {
    settings_.format.BitsPerSample = 8;
    room();
}

void Preferences::Option4_Click() {
    settings_.format.BitsPerSample = 16;
    room();
}

void Preferences::Combo1_Click() {
    // The texts are matched exactly, blanks included.
    const int at = Combo1->findText(Combo1->currentText(), Qt::MatchExactly);
    if (at >= 0)
        settings_.format.SamplesPerSec = Combo1->itemData(at).toInt();
    room();
}

float Preferences::room() {
    const float rate = dataRatePerMinute(settings_.format);
    SkinPanel1->setText(rateText(rate) + kRateUnit);
    return rate;
}

void Preferences::SkinButton1_Click() {
    settings_.AutoMp3 = Check1->isChecked() ? 1 : 0;
    for (qsizetype i = 0; i < TakeFormatOptions.size(); ++i)
        if (TakeFormatOptions.at(i)->isChecked())
            settings_.takeFormat = takeFormats().at(i).format;
    // Config.ini gains the key only once the user chooses: a file without it stays as it was.
    QString unknown;
    if (settings_.takeFormatFromFile(&unknown) != settings_.takeFormat || !unknown.isEmpty())
        settings_.writeTakeFormat(settings_.takeFormat);
    if (TakeNamePattern->text().trimmed() != settings_.takeNamePattern())
        settings_.writeTakeNamePattern(TakeNamePattern->text());
    if (NotificationsCheck->isChecked() != settings_.notificationsOn())
        settings_.writeNotificationsOn(NotificationsCheck->isChecked());
    if (TrayCheck->isChecked() != settings_.keepInTray())
        settings_.writeKeepInTray(TrayCheck->isChecked());
    keepVoiceChoices();
    settings_.acceptFormat();
    accepted_ = true;
    settings_.writeFormat(settings_.format);
    settings_.announceFormat();
    close();
}

void Preferences::SkinButton2_Click() {
    close();
}

void Preferences::closeEvent(QCloseEvent* event) {
    // Choices not taken with Ok are undone: the format in force is the one the panel and
    // Config.ini show.
    if (!accepted_)
        settings_.cancelFormat();
    event->accept();
}

} // namespace tw
