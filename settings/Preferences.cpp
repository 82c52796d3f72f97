#include "settings/Preferences.h"

#include "core/Settings.h"
#include "core/TakeNaming.h"
#include "skins/Layout.h"
#include "skins/PickOnlyCombo.h"
#include "skins/SkinControls.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QShortcut>

namespace tw {

namespace {

const QString kRateUnit = QStringLiteral("  MB/min");
constexpr int kTakeFormatWidth = 96;
// The band under the format's controls: take names, notifications and the tray.
constexpr int kExtraHeight = 96;
constexpr int kExtraTop = 2280 / 15 + 36;

// "8000  Hz", "11025 Hz": the number in five places, so that the units line up.
QString sampleRateText(int32_t rate) {
    return QStringLiteral("%1 Hz").arg(rate, -5);
}

} // namespace

Preferences::Preferences(Settings& settings, const QIcon& icon)
    : QWidget(nullptr), settings_(settings) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Preferences"));
    setWindowIcon(icon);
    // Wider by the take format's group on the right.
    setFixedSize(4095 / 15 + kTakeFormatWidth + 8, 3270 / 15 + kExtraHeight);
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

    // Ok and Cancel stay at the window's foot, under the band.
    SkinButton1 = new SkinButton(this);
    SkinButton1->setGeometry(twips(480, 2880, 1215, 255).translated(0, kExtraHeight));
    SkinButton1->setText(QStringLiteral("Ok"));
    SkinButton2 = new SkinButton(this);
    SkinButton2->setGeometry(twips(2400, 2880, 1215, 255).translated(0, kExtraHeight));
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
