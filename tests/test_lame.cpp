// The MP3 options dialog on the settings of a run.
#include "core/Settings.h"
#include "encoding/lame.h"
#include "skins/SkinControls.h"
#include "tests/support/TestSupport.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;
using namespace tw::test;

namespace {

QStringList entries(const QComboBox* box) {
    QStringList list;
    for (int i = 0; i < box->count(); ++i)
        list << box->itemText(i);
    return list;
}

// Picks a list entry the way a user does: opens the list and clicks the row.
void pick(QComboBox* box, const QString& text) {
    const int row = box->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    QVERIFY2(row >= 0, qPrintable(text));
    box->showPopup();
    QAbstractItemView* list = box->view();
    QVERIFY(QTest::qWaitForWindowExposed(list->window()));
    const QModelIndex index = list->model()->index(row, 0);
    list->scrollTo(index);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(index).center());
    QTRY_VERIFY(!list->isVisible());
    QCOMPARE(box->currentText(), text);
}

// Replaces a box's text by typing, as the user would; no entry is picked.
void type(QComboBox* box, const QString& text) {
    QLineEdit* edit = box->lineEdit();
    QVERIFY(edit);
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    for (const QChar c : text) {
        // Characters no key makes arrive as an input method commits them.
        if (c.unicode() < 0x80)
            QTest::keyClick(edit, c.toLatin1());
        else
            edit->insert(c);
    }
    QCOMPARE(box->currentText(), text);
}

} // namespace

class TestLame : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Settings> settings;
    QPointer<lame> dialog;

    // The dialog as the main window opens it: loaded, then shown.
    lame* open() {
        dialog = new lame(*settings, QIcon());
        dialog->Form_Load();
        dialog->show();
        if (!QTest::qWaitForWindowExposed(dialog))
            qWarning("the dialog was not exposed");
        return dialog;
    }

    // Closes the dialog by its frame, as the window manager asks.
    static bool closeByFrame(lame* d) { return d->windowHandle()->close(); }
    // Escape as a user presses it: into the active window, at whatever has the focus.
    static void pressEscape(QWidget* window) {
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QTest::keyClick(window->focusWidget() ? window->focusWidget() : window, Qt::Key_Escape);
    }

  private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(copySkins(dir->path()));
        settings = std::make_unique<Settings>(dir->path());
    }
    void cleanup() {
        delete dialog.data();
        flushDeletes();
        settings.reset();
    }

    void opening() {
        settings->LameOptions = " -b 64 -m m -f";
        lame* d = open();
        QVERIFY(d->isWindow());
        QCOMPARE(d->windowModality(), Qt::NonModal);
        QVERIFY(d->SkinForm1->loaded());
        QCOMPARE(d->SkinForm1->skinFile(), dir->path() + "/skin/green.skn");
        // The stored switches are shown; the boxes start on their own texts.
        QCOMPARE(d->SkinLabel4->text(), QString(" -b 64 -m m -f"));
        QCOMPARE(QStringList({d->Combo1->currentText(), d->Combo2->currentText(),
                              d->Combo3->currentText()}),
                 QStringList({"128", "joint stereo", "None"}));
        QCOMPARE(settings->LameOptions, QString(" -b 64 -m m -f"));
    }

    // Each pick recomposes the whole string from the three boxes, not from the stored one;
    // nothing is stored.
    void picksBuildOnEachOther() {
        settings->LameOptions = " -b 64 -m m -f";
        lame* d = open();
        pick(d->Combo3, "Speed");
        QCOMPARE(d->SkinLabel4->text(), QString(" -b 128 -m j -f"));
        pick(d->Combo3, "None");
        QCOMPARE(d->SkinLabel4->text(), QString(" -b 128 -m j"));
        pick(d->Combo2, "mono");
        pick(d->Combo1, "64");
        pick(d->Combo3, "Speed");
        QCOMPARE(d->SkinLabel4->text(), QString(" -b 64 -m m -f"));

        // The arrow keys choose as well.
        d->Combo1->setFocus();
        QTest::keyClick(d->Combo1, Qt::Key_Down);
        QCOMPARE(d->SkinLabel4->text(), QString(" -b 80 -m m -f"));
        QCOMPARE(settings->LameOptions, QString(" -b 64 -m m -f"));
    }

    void okStoresTheShownString() {
        QPointer<lame> d = open();
        pick(d->Combo1, "192");
        pick(d->Combo2, "stereo");
        pick(d->Combo3, "Quality");
        QCOMPARE(settings->LameOptions, QString(" -b 128 -m j"));
        QTest::mouseClick(d->SkinButton1, Qt::LeftButton);
        flushDeletes();
        QVERIFY(d.isNull());
        QCOMPARE(settings->LameOptions, QString(" -b 192 -m s -h"));

        // Ok with nothing picked stores what was shown on opening.
        d = open();
        QCOMPARE(d->SkinLabel4->text(), QString(" -b 192 -m s -h"));
        QTest::mouseClick(d->SkinButton1, Qt::LeftButton);
        flushDeletes();
        QVERIFY(d.isNull());
        QCOMPARE(settings->LameOptions, QString(" -b 192 -m s -h"));
    }

    void closingWithoutOkKeepsTheOptions_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("Cancel") << "Cancel";
        QTest::newRow("window frame") << "frame";
        QTest::newRow("Escape") << "Escape";
    }
    void closingWithoutOkKeepsTheOptions() {
        QFETCH(QString, how);
        settings->LameOptions = " -b 64 -m m -f";
        QPointer<lame> d = open();
        pick(d->Combo1, "256");
        pick(d->Combo2, "stereo");
        pick(d->Combo3, "Quality");
        QCOMPARE(d->SkinLabel4->text(), QString(" -b 256 -m s -h"));
        if (how == "Cancel")
            QTest::mouseClick(d->SkinButton2, Qt::LeftButton);
        else if (how == "Escape")
            pressEscape(d.data());
        else
            QVERIFY(closeByFrame(d));
        flushDeletes();
        QVERIFY(d.isNull());
        QCOMPARE(settings->LameOptions, QString(" -b 64 -m m -f"));

        d = open();
        QCOMPARE(d->SkinLabel4->text(), QString(" -b 64 -m m -f"));
    }

    // Typing is not a pick: the label keeps its text until an entry is picked, and then the
    // typed text goes in as it stands.
    void typedTextWaitsForAPick_data() {
        QTest::addColumn<int>("box");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("pickIn");
        QTest::addColumn<QString>("picked");
        QTest::addColumn<QString>("shown");

        QTest::newRow("bit rate of one's own") << 1 << "100" << 3 << "None"
                                               << " -b 100 -m j";
        QTest::newRow("bit rate not a number") << 1 << "fast" << 2 << "mono"
                                               << " -b fast -m m";
        QTest::newRow("mode of one's own") << 2 << "dual channel" << 1 << "160"
                                           << " -b 160 -m d";
        QTest::newRow("mode starting with a blank") << 2 << " mono" << 1 << "160"
                                                    << " -b 160 -m  ";
        QTest::newRow("empty mode") << 2 << "" << 1 << "128"
                                    << " -b 128 -m ";
        QTest::newRow("mode outside the basic plane")
            << 2 << QString::fromUtf8("\xF0\x9D\x84\x9E clef") << 1 << "128"
            << QString::fromUtf8(" -b 128 -m \xF0\x9D\x84\x9E");
        QTest::newRow("optimization in small letters") << 3 << "quality" << 1 << "128"
                                                       << " -b 128 -m j";
        QTest::newRow("optimization with a blank") << 3 << "Speed " << 1 << "96"
                                                   << " -b 96 -m j";
        // An entry's exact text typed in is no pick either.
        QTest::newRow("bit rate entry") << 1 << "192" << 3 << "None"
                                        << " -b 192 -m j";
        QTest::newRow("mode entry") << 2 << "mono" << 1 << "128"
                                    << " -b 128 -m m";
        QTest::newRow("optimization entry") << 3 << "Quality" << 1 << "128"
                                            << " -b 128 -m j -h";
    }
    void typedTextWaitsForAPick() {
        QFETCH(int, box);
        QFETCH(QString, typed);
        QFETCH(int, pickIn);
        QFETCH(QString, picked);
        QFETCH(QString, shown);

        lame* d = open();
        QComboBox* boxes[] = {d->Combo1, d->Combo2, d->Combo3};
        QComboBox* typedInto = boxes[box - 1];
        type(typedInto, typed);
        QCOMPARE(d->SkinLabel4->text(), QString(" -b 128 -m j"));

        // Leaving the box with Return and then Tab picks nothing, and the typed text is
        // neither completed nor added to the list.
        const int count = typedInto->count();
        QTest::keyClick(typedInto->lineEdit(), Qt::Key_Return);
        QTest::keyClick(typedInto->lineEdit(), Qt::Key_Tab);
        QVERIFY(!typedInto->hasFocus());
        QCOMPARE(typedInto->currentText(), typed);
        QCOMPARE(typedInto->count(), count);
        QCOMPARE(d->SkinLabel4->text(), QString(" -b 128 -m j"));

        pick(boxes[pickIn - 1], picked);
        QCOMPARE(typedInto->currentText(), typed);
        QCOMPARE(d->SkinLabel4->text(), shown);
        QCOMPARE(settings->LameOptions, QString(" -b 128 -m j"));
        QTest::mouseClick(d->SkinButton1, Qt::LeftButton);
        QCOMPARE(settings->LameOptions, shown);
    }

    // Every caption fits, the longest composed string from the lists shows in full inside
    // the window, and the skin dresses it. The picture goes to TW_LAME_SHOT when set.
    void looksRight() {
        lame* d = open();
        pick(d->Combo1, "320");
        pick(d->Combo3, "Quality");
        QCOMPARE(d->SkinLabel4->text(), QString(" -b 320 -m j -h"));

        const QImage image = d->grab().toImage();
        QVERIFY(!image.isNull());
        const QColor corner = image.pixelColor(2, image.height() - 3);
        QVERIFY2(corner.green() > corner.red() + 10 && corner.green() > corner.blue() + 10,
                 qPrintable(corner.name()));
        const QString shot = qEnvironmentVariable("TW_LAME_SHOT");
        if (!shot.isEmpty())
            QVERIFY(image.save(shot));

        for (SkinButton* b : {d->SkinButton1, d->SkinButton2}) {
            QVERIFY2(b->sizeHint().width() <= b->width(),
                     qPrintable(QString("\"%1\" wants %2 px, has %3")
                                    .arg(b->text())
                                    .arg(b->sizeHint().width())
                                    .arg(b->width())));
        }
        // Labels are measured by their ink, and must end inside the window.
        for (SkinLabel* l :
             {d->SkinLabel1, d->SkinLabel2, d->SkinLabel3, d->SkinLabel4, d->SkinLabel5}) {
            const QRect ink = l->fontMetrics().tightBoundingRect(l->text());
            const int room = qMin(l->contentsRect().width(), d->width() - l->x());
            QVERIFY2(ink.right() < room, qPrintable(QString("\"%1\" needs %2 px, has %3")
                                                        .arg(l->text())
                                                        .arg(ink.right() + 1)
                                                        .arg(room)));
        }
        // Neighbouring captions do not run into each other.
        const QRect label3Ink = d->SkinLabel3->fontMetrics()
                                    .tightBoundingRect(d->SkinLabel3->text())
                                    .translated(d->SkinLabel3->pos());
        QVERIFY(label3Ink.right() <
                d->SkinLabel4->x() +
                    d->SkinLabel4->fontMetrics().tightBoundingRect(d->SkinLabel4->text()).left());
        // Each entry shows whole in its box: with the cursor at its end nothing has scrolled
        // out at the start.
        for (QComboBox* box : {d->Combo1, d->Combo2, d->Combo3}) {
            QVERIFY(d->rect().contains(box->geometry()));
            QLineEdit* edit = box->lineEdit();
            for (const QString& text : entries(box)) {
                edit->setText(text);
                edit->end(false);
                edit->grab(); // the line edit settles its scrolling when painted
                const int endX =
                    edit->inputMethodQuery(Qt::ImCursorRectangle).toRect().center().x();
                edit->home(false);
                edit->grab();
                const int homeX =
                    edit->inputMethodQuery(Qt::ImCursorRectangle).toRect().center().x();
                QVERIFY2(
                    endX - homeX == edit->fontMetrics().horizontalAdvance(text),
                    qPrintable(
                        QString("\"%1\" scrolls in a box %2 px wide").arg(text).arg(box->width())));
            }
        }
    }
};

QTEST_MAIN(TestLame)
#include "test_lame.moc"
