// The tray icon as a StatusNotifierItem on the test's own bus and X server: it registers
// with the fake watcher, its menu (com.canonical.dbusmenu, clicked as a panel would) runs the
// session's commands, and its icon and tooltip follow the recorder. Offscreen Qt has no tray
// at all, hence the X server.
#include "app/TrayIcon.h"
#include "platform/FakeHotkeys.h"
#include "tests/desktop/DesktopRig.h"
#include "tests/support/WindowRig.h"

#include <QApplication>
#include <QSignalSpy>
#include <QtTest>

using namespace tw;
using namespace tw::test;

class TestDesktopTray : public QObject, DesktopRig {
    Q_OBJECT

    QStringList enabledEntries() {
        QStringList out;
        for (const QJsonValue& entry : json("Menu").toArray())
            if (entry[1].toBool())
                out << entry[0].toString();
        return out;
    }
    static QStringList with(const QStringList& c) { return c + QStringList{"Show window", "Quit"}; }
    // The ARGB of its middle pixel.
    QString icon() { return json("Item", {"IconPixmap"}).toString(); }
    QString toolTip() { return json("Item", {"ToolTip"}).toArray().at(1).toString(); }
    void click(const QString& label) { QVERIFY2(ok("Click", {label}), qPrintable(label)); }

  private slots:
    void initTestCase() { QVERIFY(QSystemTrayIcon::isSystemTrayAvailable()); }
    void init() { fresh(2); }
    void cleanup() { session.reset(); }

    void theMenuRunsATakeAndTheWindow() {
        QVERIFY(startSession());
        TrayIcon tray(*session);
        QTRY_COMPARE(json("Items").toArray().size(), 1);
        QTRY_COMPARE(enabledEntries(), with({"Record"}));
        const QString idleIcon = icon(), idleTip = toolTip();

        click("Record");
        QTRY_COMPARE(phase(), Recorder::Phase::Recording);
        QTRY_COMPARE(enabledEntries(), with({"Pause", "Stop"}));
        QTRY_VERIFY(icon() != idleIcon);
        const QString recordingIcon = icon();
        QTRY_VERIFY2(toolTip().contains(" MB 0:0"), qPrintable(toolTip()));

        click("Pause");
        QTRY_COMPARE(phase(), Recorder::Phase::Paused);
        QTRY_COMPARE(enabledEntries(), with({"Resume", "Stop"}));
        QTRY_VERIFY(icon() != recordingIcon && icon() != idleIcon);
        QVERIFY2(toolTip().contains("Paused"), qPrintable(toolTip()));
        click("Resume");
        QTRY_COMPARE(phase(), Recorder::Phase::Recording);

        click("Stop");
        QTRY_COMPARE(phase(), Recorder::Phase::Idle);
        QTRY_COMPARE(icon(), idleIcon);
        QTRY_COMPARE(toolTip(), idleTip);
        QTRY_COMPARE(enabledEntries(), with({"Record"}));

        QSignalSpy shows(&tray, &TrayIcon::showWindowRequested);
        click("Show window");
        QTRY_COMPARE(shows.size(), 1);
        QVERIFY(ok("Activate"));
        QTRY_COMPARE(shows.size(), 2);
        QSignalSpy ready(session.get(), &Session::quitReady);
        click("Quit");
        QTRY_COMPARE(ready.size(), 1);
    }

    // With Keep In Tray, closing the window puts it away and the take goes on until Exit;
    // without, closing ends the run.
    void closingTheWindow() {
        for (const bool kept : {true, false}) {
            fresh(2);
            FakeHotkeys hotkeys;
            QVERIFY(copySkins(dir->path()));
            QVERIFY(writeFile(path("Config.ini"), configFor(path("take.wav")) +
                                                      "Keep In Tray=" + (kept ? "1" : "0") + "\n"));
            RiggedForm1 form(Services{dir->path(), audio, hotkeys, player});
            form.Form_Load();
            QTRY_VERIFY(!form.session().engine.busy());
            QVERIFY(form.session().request(Session::Command::Record));
            QTRY_COMPARE(form.session().recorder.phase(), Recorder::Phase::Recording);
            form.close();
            QVERIFY(!form.isVisible());
            QCOMPARE(form.session().quitting(), !kept);
            if (kept) {
                QCOMPARE(form.session().recorder.phase(), Recorder::Phase::Recording);
                form.Exit_Click();
                QVERIFY(form.session().quitting());
            }
            QTRY_COMPARE(form.session().recorder.phase(), Recorder::Phase::Idle);
        }
    }
};

TW_DESKTOP_TEST_MAIN(TestDesktopTray, true)
#include "test_desktop_tray.moc"
