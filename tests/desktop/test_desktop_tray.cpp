// The tray icon as a StatusNotifierItem on the test's own bus and X server: it registers
// with the fake watcher, its menu (com.canonical.dbusmenu, clicked as a panel would) runs the
// session's commands, and its icon and tooltip follow the recorder. Offscreen Qt has no tray
// at all, hence the X server.
#include "app/Form1.h"
#include "app/TrayIcon.h"
#include "core/Session.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakePlayer.h"
#include "tests/desktop/DesktopRig.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WindowRig.h"

#include <QApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;
using namespace tw::test;

namespace {
using Menu = QList<QPair<QString, bool>>;
// The middle pixels of the drawn states, as the item hands them out (ARGB).
const QString kIdle = "ff5a5a5a", kRecording = "ffdc1e1e", kPaused = "ffe6a014";
} // namespace

class TestDesktopTray : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    FakeAudioLibraries audio;
    FakePlayer player;
    FakeHotkeys hotkeys;
    FakeDesktopBus fake;
    std::unique_ptr<Session> session;
    std::unique_ptr<TrayIcon> tray;

    QString path(const QString& name) const { return dir->path() + "/" + name; }
    Recorder::Phase phase() const { return session->recorder.phase(); }
    void start() {
        session = startSession(dir->path(), configFor(path("take.wav")), audio, player);
        QVERIFY(session);
        const qsizetype before = fake.items().size();
        tray = std::make_unique<TrayIcon>(*session);
        QVERIFY(tray->isVisible());
        QTRY_COMPARE(fake.items().size(), before + 1);
    }
    Menu menu() {
        Menu out;
        for (const QJsonValue& entry : fake.json("Menu").at(0).toArray())
            out << qMakePair(entry[0].toString(), entry[1].toBool());
        return out;
    }
    Menu expected(bool record, const QString& pause, bool pauseOn, bool stop) {
        return {{"Record", record},
                {pause, pauseOn},
                {"Stop", stop},
                {"Show window", true},
                {"Quit", true}};
    }
    QString middlePixel() { return fake.item("IconPixmap").toString(); }
    QString toolTip() { return fake.item("ToolTip").toArray().at(1).toString(); }
    void click(const QString& label) { QVERIFY2(fake.ok("Click", {label}), qPrintable(label)); }

  private slots:
    void initTestCase() { QVERIFY(QSystemTrayIcon::isSystemTrayAvailable()); }
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        audio = FakeAudioLibraries();
        saveWritesTheTake(audio);
        audio.savedSeconds = 2;
    }
    void cleanup() {
        tray.reset();
        session.reset();
    }

    void theMenuRunsATakeAndTheIconFollowsIt() {
        start();
        QTRY_COMPARE(menu(), expected(true, "Pause", false, false));
        QCOMPARE(middlePixel(), kIdle);
        QCOMPARE(toolTip(), QString("Tunewright"));

        QSignalSpy listed(session.get(), &Session::takeListed);
        click("Record");
        QTRY_COMPARE(phase(), Recorder::Phase::Recording);
        QTRY_COMPARE(menu(), expected(false, "Pause", true, true));
        QTRY_COMPARE(middlePixel(), kRecording);
        QTRY_VERIFY2(toolTip().startsWith("Tunewright — Recording ") &&
                         toolTip().contains(" MB 0:0"),
                     qPrintable(toolTip()));

        click("Pause");
        QTRY_COMPARE(phase(), Recorder::Phase::Paused);
        QTRY_COMPARE(menu(), expected(false, "Resume", true, true));
        QTRY_COMPARE(middlePixel(), kPaused);
        QVERIFY2(toolTip().startsWith("Tunewright — Paused"), qPrintable(toolTip()));
        click("Resume");
        QTRY_COMPARE(phase(), Recorder::Phase::Recording);

        click("Stop");
        QTRY_COMPARE(listed.size(), 1);
        QTRY_COMPARE(phase(), Recorder::Phase::Idle);
        QTRY_COMPARE(middlePixel(), kIdle);
        QTRY_COMPARE(toolTip(), QString("Tunewright"));
        QTRY_COMPARE(menu(), expected(true, "Pause", false, false));
    }

    void showWindowIsAskedForAndQuitEndsTheRun() {
        start();
        QSignalSpy shows(tray.get(), &TrayIcon::showWindowRequested);
        click("Show window");
        QTRY_COMPARE(shows.size(), 1);
        QVERIFY(fake.ok("Activate"));
        QTRY_COMPARE(shows.size(), 2);
        QSignalSpy ready(session.get(), &Session::quitReady);
        click("Quit");
        QTRY_COMPARE(ready.size(), 1);
        QVERIFY(session->quitting());
    }

    // With a tray and Keep In Tray, closing the window puts it away and the take goes on;
    // Exit ends the run. Without the setting, closing ends it as before.
    void closingTheWindowKeepsTheRunInTheTray_data() {
        QTest::addColumn<QByteArray>("setting");
        QTest::addColumn<bool>("kept");
        QTest::newRow("kept") << QByteArray("Keep In Tray=1\n") << true;
        QTest::newRow("not kept") << QByteArray("Keep In Tray=0\n") << false;
    }
    void closingTheWindowKeepsTheRunInTheTray() {
        QFETCH(QByteArray, setting);
        QFETCH(bool, kept);
        QVERIFY(copySkins(dir->path()));
        QVERIFY(writeFile(path("Config.ini"), configFor(path("take.wav")) + setting));
        RiggedForm1 form(Services{dir->path(), audio, hotkeys, player});
        form.Form_Load();
        QTRY_VERIFY(!form.session().engine.busy());
        QVERIFY(form.session().request(Session::Command::Record));
        QTRY_COMPARE(form.session().recorder.phase(), Recorder::Phase::Recording);
        QVERIFY(form.isVisible());
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
};

TW_DESKTOP_TEST_MAIN(TestDesktopTray, true)
#include "test_desktop_tray.moc"
