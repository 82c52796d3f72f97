// The about box and the Internet-location window against a fake desktop, and the Linux
// desktop opener against a fake xdg-mime and desktop entry.
#include "dialogs/Form3.h"
#include "dialogs/aboutme.h"
#include "platform/DesktopOpener.h"
#include "platform/FakeDesktop.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;

namespace {

const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);

QColor textColor(const QLabel* label) {
    return label->palette().color(QPalette::WindowText);
}

// Destroys what close() handed to deleteLater.
void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Moves the pointer through the window system, so the event reaches whichever control lies
// under it, as a real pointer's would.
void pointAt(QWidget* window, QWidget* over, QPoint local) {
    QTest::mouseMove(window->windowHandle(), over->mapTo(window, local));
}

void pointAt(QWidget* window, QWidget* over) {
    pointAt(window, over, over->rect().center());
}

void clickAt(QWidget* window, QWidget* over, Qt::MouseButton button = Qt::LeftButton) {
    QTest::mouseClick(window->windowHandle(), button, {},
                      over->mapTo(window, over->rect().center()));
}

bool writeFile(const QString& path, const QByteArray& text, bool executable = false) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size())
        return false;
    f.close();
    return !executable || f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
}

// True when the label shows its whole text on one line inside its box and the window.
bool fitsOneLine(const QLabel* label) {
    const QFontMetrics metrics(label->font());
    const QRect visible = label->geometry() & label->window()->rect();
    return metrics.horizontalAdvance(label->text()) <= visible.width() &&
           metrics.height() <= visible.height();
}

} // namespace

class TestDialogs : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    FakeDesktop desktop;

  private slots:
    void init() { desktop.log.clear(); }

    // ---- the about box

    void aboutShowsNameVersionAndLinks() {
        aboutme box(desktop);
        QCOMPARE(box.windowTitle(), QStringLiteral("About Tunewright"));
        QCOMPARE(box.size(), QSize(436, 131));
        QVERIFY(box.parent() == nullptr);
        QCOMPARE(box.Label1->text(), QStringLiteral("Tunewright Ver 1. 70"));
        QCOMPARE(box.Label3->text(), QStringLiteral("Support Email:"));
        QCOMPARE(box.Label5->text(), QStringLiteral("Homepage:"));
        QCOMPARE(box.Label4->text(), QStringLiteral("support@example.com"));
        QCOMPARE(QUrl(box.Label6->text()).host(), QStringLiteral("www.example.com"));
        QCOMPARE(box.Image1->geometry(), QRect(8, 16, 32, 32));
        QCOMPARE(box.Label6->geometry(), QRect(144, 96, 321, 17));

        QCOMPARE(box.Label1->font().family(), QStringLiteral("Times New Roman"));
        QCOMPARE(box.Label1->font().pointSizeF(), 9.75);
        QVERIFY(box.Label1->font().bold());
        for (QLabel* link : {box.Label4, box.Label6}) {
            QCOMPARE(link->font().pointSizeF(), 11.25);
            QVERIFY(link->font().bold());
            QCOMPARE(textColor(link), kBlue);
        }
        QCOMPARE(textColor(box.Label1), textColor(box.Label3));

        // Nothing shown is cut off, the home page included, though its box runs past the
        // window's edge.
        for (QLabel* label : {box.Label1, box.Label3, box.Label4, box.Label5, box.Label6})
            QVERIFY2(fitsOneLine(label), qPrintable(label->text()));
        const QFontMetrics credit(box.Label2->font());
        QVERIFY(credit.boundingRect(box.Label2->rect(), Qt::TextWordWrap, box.Label2->text())
                    .height() <= box.Label2->height());
    }

    void aboutLinksTurnRedUnderThePointerAndBlueOverTheBackground() {
        aboutme box(desktop);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        const QPoint background(box.width() - 10, 4);
        QVERIFY(box.childAt(background) == nullptr);

        pointAt(&box, box.Label4);
        QCOMPARE(textColor(box.Label4), kRed);
        QCOMPARE(textColor(box.Label6), kBlue);

        // From the link straight onto its neighbour and the picture: it stays red.
        pointAt(&box, box.Label3);
        pointAt(&box, box.Label2);
        pointAt(&box, box.Image1);
        QCOMPARE(textColor(box.Label4), kRed);

        pointAt(&box, box.Label6, QPoint(2, 2));
        QCOMPARE(textColor(box.Label6), kRed);
        QCOMPARE(textColor(box.Label4), kRed);

        QTest::mouseMove(box.windowHandle(), background);
        QCOMPARE(textColor(box.Label4), kBlue);
        QCOMPARE(textColor(box.Label6), kBlue);

        pointAt(&box, box.Label6);
        QCOMPARE(textColor(box.Label6), kRed);
        QCOMPARE(textColor(box.Label4), kBlue);
        QVERIFY(desktop.log.isEmpty());
    }

    void aboutLinksOpenTheirAddresses() {
        aboutme box(desktop);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));

        clickAt(&box, box.Label4);
        QCOMPARE(desktop.log, QStringList{"open mailto:support@example.com"});
        QCOMPARE(desktop.log.first(), "open mailto:" + box.Label4->text());

        desktop.log.clear();
        clickAt(&box, box.Label6);
        QCOMPARE(desktop.log, QStringList{"open " + box.Label6->text()});

        // The caption is the address: changing it changes where the link goes.
        desktop.log.clear();
        box.Label6->setText(QStringLiteral("http://www.example.org/elsewhere"));
        clickAt(&box, box.Label6);
        QCOMPARE(desktop.log, QStringList{"open http://www.example.org/elsewhere"});

        // Only a left press and release on the link itself is a click.
        desktop.log.clear();
        clickAt(&box, box.Label4, Qt::RightButton);
        clickAt(&box, box.Label1);
        clickAt(&box, box.Image1);
        const QPoint onLink = box.Label4->mapTo(&box, box.Label4->rect().center());
        QTest::mousePress(box.windowHandle(), Qt::LeftButton, {}, onLink);
        QTest::mouseRelease(box.windowHandle(), Qt::LeftButton, {}, QPoint(box.width() - 10, 4));
        QVERIFY2(desktop.log.isEmpty(), qPrintable(desktop.log.join(", ")));
    }

    void aboutIsDestroyedWhenClosed() {
        QPointer<aboutme> box = new aboutme(desktop);
        QVERIFY(box->testAttribute(Qt::WA_DeleteOnClose));
        box->show();
        QVERIFY(QTest::qWaitForWindowExposed(box.data()));
        box->close();
        flushDeletes();
        QVERIFY(box.isNull());

        box = new aboutme(desktop);
        box->show();
        QVERIFY(QTest::qWaitForWindowExposed(box.data()));
        QTest::keyClick(box.data(), Qt::Key_Escape);
        flushDeletes();
        QVERIFY(box.isNull());
    }

    // ---- the location window

    void locationShowsPromptAndEmptyBox() {
        QPointer<Form3> form = new Form3(desktop);
        QCOMPARE(form->windowTitle(), QStringLiteral("Form3"));
        // The buttons keep a margin below them, as the first label has above it.
        QVERIFY(form->height() - form->Command1->geometry().bottom() > form->Label1->y());
        QVERIFY(form->parent() == nullptr);
        QCOMPARE(form->Label1->text(), QStringLiteral("Enter an Internet location to open here:"));
        QVERIFY(form->Label2->text().startsWith(QStringLiteral("For Example:http://")));
        QVERIFY(form->Label2->text().endsWith(QStringLiteral("/file.mp3")));
        QVERIFY(form->Text1->text().isEmpty());
        QCOMPARE(form->Command1->text(), QStringLiteral("Open"));
        QCOMPARE(form->Command2->text(), QStringLiteral("Cancel"));
        QCOMPARE(form->Text1->geometry(), QRect(16, 56, 265, 19));
        QCOMPARE(form->Command2->geometry(), QRect(96, 80, 65, 25));
        QCOMPARE(form->Label1->font().family(), QStringLiteral("Times New Roman"));
        QCOMPARE(form->Label1->font().pointSizeF(), 11.25);
        QCOMPARE(form->Command1->font().pointSizeF(), 11.25);
        QCOMPARE(form->Text1->font().pointSizeF(), 9.0);
        for (QLabel* label : {form->Label1, form->Label2})
            QVERIFY2(fitsOneLine(label), qPrintable(label->text()));

        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.data()));
        QCOMPARE(QApplication::focusWidget(), form->Text1);
        QCOMPARE(form->Text1->nextInFocusChain(), form->Command1);
        QCOMPARE(form->Command1->nextInFocusChain(), form->Command2);
        form->close();
        flushDeletes();
        QVERIFY(form.isNull());
    }

    void locationOpenStartsThePlayerAndCloses_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("log");
        QTest::newRow("address") << "http://www.example.org/file.mp3"
                                 << QStringList{"player http://www.example.org/file.mp3"};
        QTest::newRow("spaces part arguments") << "http://a b" << QStringList{"player http://a|b"};
        QTest::newRow("quotes keep them")
            << "\"http://a b\" c" << QStringList{"player http://a b|c"};
        QTest::newRow("empty starts nothing") << "" << QStringList{};
    }

    void locationOpenStartsThePlayerAndCloses() {
        QFETCH(QString, typed);
        QFETCH(QStringList, log);
        QPointer<Form3> form = new Form3(desktop);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.data()));
        QTest::keyClicks(form->Text1, typed);
        QCOMPARE(form->Text1->text(), typed);
        QTest::mouseClick(form->Command1, Qt::LeftButton);
        QCOMPARE(desktop.log, log);
        QVERIFY(!form->isVisible());
        flushDeletes();
        QVERIFY(form.isNull());
    }

    void locationCancelClosesWithoutOpening() {
        QPointer<Form3> form = new Form3(desktop);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.data()));
        QTest::keyClicks(form->Text1, QStringLiteral("http://www.example.org/file.mp3"));
        QTest::mouseClick(form->Command2, Qt::LeftButton);
        flushDeletes();
        QVERIFY(form.isNull());
        QVERIFY(desktop.log.isEmpty());

        // The close box unloads it too, and the next one starts empty.
        form = new Form3(desktop);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.data()));
        QTest::keyClicks(form->Text1, QStringLiteral("typed"));
        form->close();
        flushDeletes();
        QVERIFY(form.isNull());
        Form3 next(desktop);
        QVERIFY(next.Text1->text().isEmpty());
    }

    void locationEnterOpensAndEscapeCancels() {
        for (int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
            desktop.log.clear();
            QPointer<Form3> form = new Form3(desktop);
            form->show();
            QVERIFY(QTest::qWaitForWindowExposed(form.data()));
            QTest::keyClicks(form->Text1, QStringLiteral("http://www.example.org/file.mp3"));
            // Escape from a button too: it belongs to the window, not to the box.
            QWidget* target =
                key == Qt::Key_Escape ? static_cast<QWidget*>(form->Command1) : form->Text1;
            target->setFocus();
            QTest::keyClick(target, Qt::Key(key));
            flushDeletes();
            QVERIFY2(form.isNull(), qPrintable(QString::number(key, 16)));
            QCOMPARE(desktop.log, key == Qt::Key_Escape
                                      ? QStringList()
                                      : QStringList{"player http://www.example.org/file.mp3"});
        }
    }

    // ---- the Linux desktop opener

    void openerKeepsSpacesOfHandWrittenAddresses() {
        const QString mail = QStringLiteral(
            "mailto:?subject=Recording from Wavelark&body=Why not visit x to know more ? :)");
        const QUrl url = DesktopOpener::urlFor(mail);
        QVERIFY(url.isValid());
        QCOMPARE(url.scheme(), QStringLiteral("mailto"));
        // xdg-open receives the address as one word of a command line.
        QVERIFY(!url.toEncoded().contains(' '));
        QCOMPARE(QUrl::fromPercentEncoding(url.toEncoded()), mail);

        QCOMPARE(DesktopOpener::urlFor(QStringLiteral("mailto:support@example.com")).toEncoded(),
                 QByteArray("mailto:support@example.com"));
        QCOMPARE(
            DesktopOpener::urlFor(QStringLiteral("http://www.example.com/tunewright")).toEncoded(),
            QByteArray("http://www.example.com/tunewright"));

        QVERIFY(dir.isValid());
        const QString file = dir.filePath(QStringLiteral("take 1.wav"));
        QVERIFY(writeFile(file, "RIFF"));
        const QUrl local = DesktopOpener::urlFor(file);
        QVERIFY(local.isLocalFile());
        QCOMPARE(local.toLocalFile(), file);
        QVERIFY(DesktopOpener::urlFor(QString()).isEmpty());
    }

    void openerBuildsThePlayerCommand_data() {
        QTest::addColumn<QString>("exec");
        QTest::addColumn<QStringList>("command");
        const QStringList args{"http://a", "b"};
        QTest::newRow("list code") << "vlc --started-from-file %U"
                                   << QStringList{"vlc", "--started-from-file", "http://a", "b"};
        QTest::newRow("single code") << "player %u" << QStringList{"player", "http://a", "b"};
        QTest::newRow("no code appends")
            << "player --play" << QStringList{"player", "--play", "http://a", "b"};
        QTest::newRow("icon and name dropped")
            << "player %i %c %k --x=%%d %F" << QStringList{"player", "--x=%d", "http://a", "b"};
        QTest::newRow("quoted program")
            << "\"/opt/My Player/run\" \"say \\\"hi\\\"\" %U"
            << QStringList{"/opt/My Player/run", "say \"hi\"", "http://a", "b"};
        // String escapes come first, so an escaped space still parts words unless quoted.
        QTest::newRow("escaped space")
            << "/opt/My\\sPlayer/run \"a\\sb\" %U"
            << QStringList{"/opt/My", "Player/run", "a b", "http://a", "b"};
        QTest::newRow("only one place") << "player %U %F" << QStringList{"player", "http://a", "b"};
        QTest::newRow("unbalanced quote") << "\"player %U" << QStringList{};
        QTest::newRow("empty") << "" << QStringList{};
        QTest::newRow("no program") << "%U" << QStringList{};
    }

    void openerBuildsThePlayerCommand() {
        QFETCH(QString, exec);
        QFETCH(QStringList, command);
        QCOMPARE(DesktopOpener::commandFromExec(exec, {"http://a", "b"}), command);
    }

    void openerStartsTheRegisteredPlayer() {
        QVERIFY(dir.isValid());
        const QString bin = dir.filePath(QStringLiteral("bin"));
        const QString apps = dir.filePath(QStringLiteral("data/applications"));
        const QString player = dir.filePath(QStringLiteral("my player"));
        const QString heard = dir.filePath(QStringLiteral("heard.txt"));
        QVERIFY(QDir().mkpath(bin) && QDir().mkpath(apps));
        QVERIFY(writeFile(bin + "/xdg-mime",
                          "#!/bin/sh\n"
                          "[ \"$*\" = \"query default audio/mpeg\" ] && echo fake-player.desktop\n",
                          true));
        QVERIFY(writeFile(player,
                          "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + heard.toLocal8Bit() +
                              ".part'\nmv '" + heard.toLocal8Bit() + ".part' '" +
                              heard.toLocal8Bit() + "'\n",
                          true));
        QVERIFY(writeFile(apps + "/fake-player.desktop",
                          "[Desktop Entry]\nType=Application\nName=Fake\n"
                          "Exec=\"" +
                              player.toLocal8Bit() +
                              "\" --enqueue %U\n"
                              "[Desktop Action Other]\nExec=wrong %U\n"));
        const QByteArray oldPath = qgetenv("PATH");
        const QByteArray oldData = qgetenv("XDG_DATA_HOME");
        qputenv("PATH", bin.toLocal8Bit() + ':' + oldPath);
        qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toLocal8Bit());

        DesktopOpener opener;
        QStringList failures;
        opener.startMediaPlayer({"http://a", "b"}, [&](const QString& t, const QString& why) {
            failures << t + ": " + why;
        });

        // The answers come later, looked up where the call was made.
        qputenv("PATH", oldPath);
        if (oldData.isNull())
            qunsetenv("XDG_DATA_HOME");
        else
            qputenv("XDG_DATA_HOME", oldData);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(heard), 5000);
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));
        QFile f(heard);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("--enqueue\nhttp://a\nb\n"));
    }

    // xdg-open that starts but finds no program: its exit code and last complaint are the
    // reason, and the window goes on meanwhile.
    void openerReportsWhatXdgOpenSaid() {
        QVERIFY(dir.isValid());
        const QString bin = dir.filePath(QStringLiteral("failing-bin"));
        QVERIFY(QDir().mkpath(bin));
        QVERIFY(writeFile(bin + "/xdg-open",
                          "#!/bin/sh\nsleep 0.3\necho 'first line' >&2\n"
                          "echo \"xdg-open: no method available for opening '$1'\" >&2\nexit 3\n",
                          true));
        const QByteArray oldPath = qgetenv("PATH");
        qputenv("PATH", bin.toLocal8Bit() + ':' + oldPath);
        DesktopOpener opener;
        QStringList failures;
        QElapsedTimer clock;
        clock.start();
        opener.open("mailto:?subject=a b",
                    [&](const QString& t, const QString& why) { failures << t + " | " + why; });
        qputenv("PATH", oldPath);
        QVERIFY(clock.elapsed() < 200); // not waited for
        QVERIFY(failures.isEmpty());
        QTRY_COMPARE(failures.size(), 1);
        QCOMPARE(failures[0], "mailto:?subject=a b | xdg-open: no method available for opening "
                              "'mailto:?subject=a%20b' (xdg-open exit code 3)");

        // Nothing at all to start it with.
        qputenv("PATH", dir.filePath(QStringLiteral("nowhere")).toLocal8Bit());
        opener.open("http://example.org",
                    [&](const QString& t, const QString& why) { failures << t + " | " + why; });
        qputenv("PATH", oldPath);
        QTRY_COMPARE(failures.size(), 2);
        QVERIFY2(failures[1].contains("xdg-open is not installed"), qPrintable(failures[1]));
    }
};

QTEST_MAIN(TestDialogs)
#include "test_dialogs.moc"
