// The main window's controls, menus, icon and skin choice.
#include "app/Form1.h"
#include "app/GnomeShortcutOffer.h"
#include "core/Session.h"
#include "skins/ColumnsDelegate.h"
#include "skins/Layout.h"
#include "skins/SkinControls.h"

#include <QAction>
#include <QCursor>
#include <QLayout>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QToolButton>

namespace tw {

namespace {
QIcon makeIcon() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(0x1f, 0x4e, 0x2c));
    p.setPen(QPen(QColor(0x0c, 0x24, 0x12), 1));
    p.drawRoundedRect(QRectF(1.5, 1.5, 29, 29), 6, 6);
    QPainterPath wave;
    wave.moveTo(4, 20);
    const double heights[] = {20, 14, 24, 9, 26, 12, 22, 17, 20};
    for (int i = 1; i < 9; ++i)
        wave.lineTo(4 + i * 3, heights[i]);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0xc8, 0xf0, 0xc8), 1.6));
    p.drawPath(wave);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xe5, 0x39, 0x35));
    p.drawEllipse(QPointF(23, 9), 5, 5);
    return QIcon(pixmap);
}

const QString kListTip =
    QStringLiteral("Double Click list to Play Recording , Right Click to Edit.");
} // namespace

void Form1::buildControls() {
    setWindowTitle(QStringLiteral("Tunewright"));
    setWindowIcon(makeIcon());

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(5190 / 15, 5700 / 15);
    setCentralWidget(client);
    SkinForm1 = new SkinForm(client);

    SkinLabel2 = new SkinLabel(client);
    SkinLabel2->setGeometry(twips(240, 240, 4815, 255));
    SkinLabel2->setText(kListTip);
    SkinLabel2->setFont(timesFont(9.75));

    List1 = new QListView(client);
    List1->setModel(&session_.takes);
    List1->setSelectionMode(QAbstractItemView::SingleSelection);
    List1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Every line is one line high: the view need not ask each of a long kept list its size.
    List1->setUniformItemSizes(true);
    List1->setGeometry(twips(120, 600, 4935, 2865));
    List1->setToolTip(kListTip);
    List1->setFont(timesFont(11.25));
    // Entry numbers and times in fixed-pitch figures, so that they stand in columns.
    auto* columns = new ColumnsDelegate(2, List1);
    columns->setPaleRole(Takes::EarlierRole); // earlier runs' takes stand apart from this run's
    List1->setItemDelegate(columns);
    // A new line is shown, however long the list has grown.
    connect(
        &session_.takes, &QAbstractItemModel::rowsInserted, List1,
        [this](const QModelIndex&, int, int last) { List1->scrollTo(session_.takes.index(last)); });

    SkinMeter1 = new SkinMeter(client);
    SkinMeter1->setGeometry(twips(120, 3525, 4935, 120));
    SkinMeter1->setToolTip(QStringLiteral("The input's level while recording"));
    SkinMeter1->setBarCount(session_.meter.inputCount());

    SkinButton1 = new SkinButton(client);
    SkinButton1->setGeometry(twips(240, 3720, 1095, 375));
    SkinButton1->setText(QStringLiteral("Record F9"));
    SkinButton4 = new SkinButton(client);
    SkinButton4->setGeometry(twips(1920, 3720, 1095, 375));
    SkinButton4->setText(QStringLiteral("Pause F10"));
    SkinButton4->setEnabled(false);
    SkinButton2 = new SkinButton(client);
    SkinButton2->setGeometry(twips(3600, 3720, 1095, 375));
    SkinButton2->setText(QStringLiteral("Stop F11"));
    SkinButton2->setEnabled(false);
    for (SkinButton* b : {SkinButton1, SkinButton4, SkinButton2})
        b->setFont(timesFont(9));

    Text1 = new QLineEdit(client);
    Text1->setGeometry(twips(120, 4440, 4815, 270));
    Text1->setReadOnly(true);
    Text1->setFont(timesFont(9.75));
    // The last file moved to the trash comes back from the status line's end, or with Ctrl+Z.
    Undo = new QAction(
        QIcon::fromTheme(QStringLiteral("edit-undo"), style()->standardIcon(QStyle::SP_ArrowBack)),
        QStringLiteral("Undo delete"), this);
    Undo->setShortcut(QKeySequence::Undo);
    Undo->setShortcutContext(Qt::WindowShortcut);
    Text1->addAction(Undo, QLineEdit::TrailingPosition);
    addAction(Undo);
    connect(Undo, &QAction::triggered, this, [this] { session_.undoDelete(); });
    // The line's button does not follow its action's visibility: both are set.
    const auto showUndo = [this](const QString& file) {
        Undo->setVisible(!file.isEmpty());
        Undo->setToolTip(QStringLiteral("Put %1 back (Ctrl+Z)").arg(file));
        for (QObject* shown : Undo->associatedObjects())
            if (auto* button = qobject_cast<QToolButton*>(shown))
                button->setVisible(!file.isEmpty());
    };
    showUndo(QString());
    connect(&session_, &Session::undoChanged, this, showUndo);

    SkinScrollBar1 = new SkinScrollBar(client);
    SkinScrollBar1->setGeometry(twips(120, 4920, 4815, 255));

    SkinLabel5 = new SkinLabel(client);
    SkinLabel5->setGeometry(twips(240, 5280, 2655, 255));
    SkinLabel5->setText(QStringLiteral("Recording volume setting :"));
    SkinLabel5->setFont(timesFont(9.75));

    SkinPanel1 = new SkinPanel(client);
    SkinPanel1->setGeometry(twips(3120, 5280, 1815, 255));
    SkinPanel1->setFont(timesFont(9.75, true));

    Timer1.setInterval(1000);
    // Timer3 and the activation retry are set up when the mail composer watch starts.

    connect(SkinButton1, &SkinButton::Click, this, [this] { SkinButton1_Click(); });
    connect(SkinButton4, &SkinButton::Click, this, [this] { SkinButton4_Click(); });
    connect(SkinButton2, &SkinButton::Click, this, [this] { SkinButton2_Click(); });
    connect(&Timer1, &QTimer::timeout, this, [this] { Timer1_Timer(); });
    connect(List1, &QListView::doubleClicked, this, [this] { List1_DblClick(); });
    List1->viewport()->installEventFilter(this);
    connect(SkinScrollBar1, &SkinScrollBar::Change, this, [this] { SkinScrollBar1_Change(); });
}

void Form1::buildMenus() {
    QMenuBar* bar = menuBar();
    auto item = [](QMenu* menu, const QString& caption) { return menu->addAction(caption); };

    file = bar->addMenu(QStringLiteral("&File"));
    position = item(file, QStringLiteral("Output File"));
    input = item(file, QStringLiteral("Input  File"));
    Location = item(file, QStringLiteral("Location..."));
    Exit = item(file, QStringLiteral("Exit"));

    mOptions = bar->addMenu(QStringLiteral("&Options"));
    mPreferences = item(mOptions, QStringLiteral("Preferences..."));
    Clear = item(mOptions, QStringLiteral("Clear list"));
    skin = mOptions->addMenu(QStringLiteral("Skin"));
    green = item(skin, QStringLiteral("Green"));
    red = item(skin, QStringLiteral("Red"));
    blue = item(skin, QStringLiteral("pink"));
    for (QAction* a : {green, red, blue})
        a->setCheckable(true);
    green->setChecked(true);
    // Last in the menu, so that the older items keep their places.
    soundCard = item(mOptions, QStringLiteral("Sound card setting..."));
    mInputs = item(mOptions, QStringLiteral("Inputs..."));
    mOptions->addSeparator();
    mTimer = item(mOptions, QStringLiteral("Timer..."));
    mVoice = item(mOptions, QStringLiteral("Voice activation"));
    mVoice->setCheckable(true);
    if (services_.gnomeShortcuts)
        services_.gnomeShortcuts->addMenuItems(mOptions);

    encoder = bar->addMenu(QStringLiteral("&Encoder"));
    mp3otion = item(encoder, QStringLiteral("MP3 Options"));
    Wavtomp3 = item(encoder, QStringLiteral("Wav to Mp3"));

    help = bar->addMenu(QStringLiteral("&Help"));
    about = item(help, QStringLiteral("Help Topics"));
    Homepage = item(help, QStringLiteral("Support Homepage"));
    Larktake = item(help, QStringLiteral("About Wavelark"));

    // The skin covers the window's fixed size only: a larger one would show a bare grey margin.
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    // The context menu of the list, kept off the menu bar.
    Popup = new QMenu(QStringLiteral("PopupMenu"), this);
    Stop = item(Popup, QStringLiteral("Stop playing"));
    separate1 = Popup->addSeparator();
    Delist = item(Popup, QStringLiteral("Remove selected item"));
    output = item(Popup, QStringLiteral("Delete output file"));
    Convert = item(Popup, QStringLiteral("Convert wav to mp3"));
    ConvertTo = Popup->addMenu(QStringLiteral("Convert wav to"));
    for (const OutputFormat& format : outputFormats()) {
        if (!format.inProcess())
            continue;
        connect(item(ConvertTo, format.label), &QAction::triggered, this,
                [this, id = format.id] { session_.convertLine(selectedRow(), id); });
    }
    separate = Popup->addSeparator();
    send = item(Popup, QStringLiteral("Mail to friends"));
    separate3 = Popup->addSeparator();
    Ccancel = item(Popup, QStringLiteral("Cancel"));

    connect(Exit, &QAction::triggered, this, [this] { Exit_Click(); });
    connect(position, &QAction::triggered, this, [this] { position_Click(); });
    connect(input, &QAction::triggered, this, [this] { input_Click(); });
    connect(Location, &QAction::triggered, this, [this] { location_Click(); });
    connect(Wavtomp3, &QAction::triggered, this, [this] { Wavtomp3_Click(); });
    connect(about, &QAction::triggered, this, [this] { about_Click(); });
    connect(Homepage, &QAction::triggered, this, [this] { Homepage_Click(); });
    connect(Larktake, &QAction::triggered, this, [this] { Larktake_Click(); });
    connect(Convert, &QAction::triggered, this, [this] { Convert_Click(); });
    connect(send, &QAction::triggered, this, [this] { send_Click(); });
    connect(&Timer3, &QTimer::timeout, this, [this] { mailWatchTimeout(); });
    connect(&mailActivateRetry_, &QTimer::timeout, this, [this] { Timer3_Timer(); });
    connect(Clear, &QAction::triggered, this, [this] { Clear_Click(); });
    connect(soundCard, &QAction::triggered, this, [this] { soundCard_Click(); });
    connect(Stop, &QAction::triggered, this, [this] { Stop_Click(); });
    connect(Delist, &QAction::triggered, this, [this] { Delist_Click(); });
    connect(output, &QAction::triggered, this, [this] { output_Click(); });
    connect(mp3otion, &QAction::triggered, this, [this] { mp3otion_Click(); });
    connect(mPreferences, &QAction::triggered, this, [this] { mPreferences_Click(); });
    connect(mTimer, &QAction::triggered, this, [this] { mTimer_Click(); });
    connect(mInputs, &QAction::triggered, this, [this] { mInputs_Click(); });
    connect(mVoice, &QAction::triggered, this,
            [this](bool on) { on ? session_.voice.arm() : session_.voice.disarm(); });
    // Stop disarms it from any front end; the item shows what is in force.
    connect(&session_.voice, &VoiceTrigger::armedChanged, mVoice, &QAction::setChecked);
    connect(green, &QAction::triggered, this, [this] { green_Click(); });
    connect(red, &QAction::triggered, this, [this] { red_Click(); });
    connect(blue, &QAction::triggered, this, [this] { blue_Click(); });
}

void Form1::showPopup(QMenu* menu) {
    menu->exec(QCursor::pos());
}

void Form1::skins() {
    SkinLabel2->applySkin(*SkinForm1);
    SkinLabel5->applySkin(*SkinForm1);
    SkinPanel1->applySkin(*SkinForm1);
    SkinButton1->applySkin(*SkinForm1);
    SkinButton2->applySkin(*SkinForm1);
    SkinButton4->applySkin(*SkinForm1);
    SkinScrollBar1->applySkin(*SkinForm1);
    SkinMeter1->applySkin(*SkinForm1);
}

void Form1::chooseSkin(QAction* chosen, QAction* firstOther, QAction* secondOther,
                       const QString& file) {
    firstOther->setChecked(false);
    secondOther->setChecked(false);
    chosen->setChecked(true);
    SkinForm1->setSkinFile(session_.settings.appDir() + file);
    skins();
}

void Form1::green_Click() {
    chooseSkin(green, blue, red, QStringLiteral("/skin/green.skn"));
}
void Form1::red_Click() {
    chooseSkin(red, blue, green, QStringLiteral("/skin/red.skn"));
}
void Form1::blue_Click() {
    chooseSkin(blue, red, green, QStringLiteral("/skin/blue.skn"));
}

} // namespace tw
