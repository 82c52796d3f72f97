// GNOME's custom shortcuts as GnomeShortcuts changes them (GSettings' keyfile backend in a
// folder of the test's own, GNOME's real schemas), and the offer that asks for them.
#include "app/Form1.h"
#include "app/GnomeShortcutOffer.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeDesktopShortcuts.h"
#include "platform/FakeHotkeys.h"
#include "platform/FakeMessageBox.h"
#include "platform/FakePlayer.h"
#include "platform/GnomeShortcuts.h"

#include <QApplication>
#include <QMenu>
#include <QTemporaryDir>
#include <QtTest>

#pragma push_macro("signals")
#undef signals
#include <gio/gio.h>
#pragma pop_macro("signals")

using namespace tw;

namespace {

const char kMedia[] = "org.gnome.settings-daemon.plugins.media-keys";
const char kCustom[] = "org.gnome.settings-daemon.plugins.media-keys.custom-keybinding";
const char kWm[] = "org.gnome.desktop.wm.keybindings";
const char kList[] = "custom-keybindings";
const QString kDir = "/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/";
const QStringList kOurs = {kDir + "tunewright-record/", kDir + "tunewright-pause/",
                           kDir + "tunewright-stop/"};

// Looked up first: g_settings_new would end the test on a schema that is not installed.
GSettings* settingsOf(const char* id, const QString& path = {}) {
    GSettingsSchema* schema =
        g_settings_schema_source_lookup(g_settings_schema_source_get_default(), id, TRUE);
    if (!schema)
        return nullptr;
    GSettings* s =
        g_settings_new_full(schema, nullptr, path.isEmpty() ? nullptr : qPrintable(path));
    g_settings_schema_unref(schema);
    return s;
}

QStringList strv(const char* id, const char* key) {
    GSettings* s = settingsOf(id);
    gchar** values = g_settings_get_strv(s, key);
    QStringList list;
    for (gchar** v = values; *v; ++v)
        list << QString::fromUtf8(*v);
    g_strfreev(values);
    g_object_unref(s);
    return list;
}

void setStrv(const char* id, const char* key, const QStringList& list) {
    QByteArrayList utf8;
    std::vector<const gchar*> pointers;
    for (const QString& item : list)
        utf8 << item.toUtf8();
    for (const QByteArray& item : utf8)
        pointers.push_back(item.constData());
    pointers.push_back(nullptr);
    GSettings* s = settingsOf(id);
    g_settings_set_strv(s, key, pointers.data());
    g_object_unref(s);
}

// A custom shortcut's name, command and binding: read, or written when `values` are given.
QStringList custom(const QString& path, const QStringList& values = {}) {
    GSettings* s = settingsOf(kCustom, path);
    QStringList read;
    int i = 0;
    for (const char* key : {"name", "command", "binding"}) {
        if (!values.isEmpty())
            g_settings_set_string(s, key, qPrintable(values[i++]));
        gchar* value = g_settings_get_string(s, key);
        read << QString::fromUtf8(value);
        g_free(value);
    }
    g_object_unref(s);
    return read;
}

// A user's custom shortcut, appended to the list as GNOME's Settings does.
QString userShortcut(const QString& name, const QString& binding) {
    const QString path = kDir + "custom-" + name + "/";
    custom(path, {name, "run-" + name, binding});
    setStrv(kMedia, kList, strv(kMedia, kList) << path);
    return path;
}

} // namespace

class TestGnomeShortcuts : public QObject {
    Q_OBJECT

    const QString program = "/opt/tunewright/tunewright";
    QTemporaryDir appDir;
    FakeAudioLibraries audio;
    FakePlayer player;
    FakeHotkeys hotkeys;
    FakeMessageBox box;

    std::unique_ptr<Session> start() {
        return std::make_unique<Session>(appDir.path(), audio, player, &box);
    }

  private slots:
    void initTestCase() {
        for (const char* id : {kMedia, kCustom, kWm}) {
            GSettingsSchema* schema =
                g_settings_schema_source_lookup(g_settings_schema_source_get_default(), id, TRUE);
            QVERIFY2(schema, qPrintable(QStringLiteral("schema %1 is missing: install "
                                                       "gnome-settings-daemon-common")
                                            .arg(id)));
            g_settings_schema_unref(schema);
        }
        QVERIFY(GnomeShortcuts(program).available());
    }

    void init() {
        for (const auto& [id, key] :
             {std::pair{kMedia, kList}, {kMedia, "calculator"}, {kWm, "switch-to-workspace-1"}})
            setStrv(id, key, {});
        for (const QString& path : kOurs)
            custom(path, {"", "", ""});
        QFile::remove(appDir.path() + "/Config.ini");
        box = FakeMessageBox();
    }

    void addsBesideTheUsers_data() {
        QTest::addColumn<QStringList>("bindings");
        QTest::newRow("empty list") << QStringList();
        // A key with modifiers leaves the bare key free.
        QTest::newRow("user's") << QStringList{"<Super>t", "<Primary>F9", "<Shift>f11"};
    }
    void addsBesideTheUsers() {
        QFETCH(QStringList, bindings);
        QStringList users;
        for (const QString& binding : bindings)
            users << userShortcut(QString::number(users.size()), binding);
        GnomeShortcuts shortcuts(program);
        QVERIFY(!shortcuts.ours());
        for (int twice = 0; twice < 2; ++twice) {
            const IDesktopShortcuts::Change change = shortcuts.add();
            QVERIFY2(change.done, qPrintable(change.error + change.inTheWay.join(", ")));
            QCOMPARE(strv(kMedia, kList), users + kOurs);
        }
        QVERIFY(shortcuts.ours());
        QCOMPARE(custom(kOurs[0]),
                 QStringList({"Tunewright: record", program + " --record", "F9"}));
        QCOMPARE(custom(kOurs[1]).mid(1), QStringList({program + " --pause", "F10"}));
        QCOMPARE(custom(kOurs[2]).mid(1), QStringList({program + " --stop", "F11"}));
        for (int i = 0; i < users.size(); ++i)
            QCOMPARE(custom(users[i]).value(2), bindings[i]);
        // Into the test's own folder, never the user's dconf.
        QVERIFY(
            QFile::exists(qEnvironmentVariable("XDG_CONFIG_HOME") + "/glib-2.0/settings/keyfile"));
    }

    void keyInTheWay_data() {
        QTest::addColumn<QString>("where");
        QTest::addColumn<QString>("named");
        QTest::newRow("custom, other case") << "custom"
                                            << "Custom shortcut “Mic” (F10)";
        QTest::newRow("media keys") << "media"
                                    << "GNOME's shortcut “Launch calculator” (F9)";
        QTest::newRow("window manager") << "wm"
                                        << "GNOME's shortcut “Switch to workspace 1” (F11)";
    }
    void keyInTheWay() {
        QFETCH(QString, where);
        QFETCH(QString, named);
        const QString user = userShortcut("Mic", where == "custom" ? "f10" : "<Alt>F10");
        if (where == "media")
            setStrv(kMedia, "calculator", {"", "F9"});
        if (where == "wm")
            setStrv(kWm, "switch-to-workspace-1", {"<Super>Home", "F11"});
        GnomeShortcuts shortcuts(program);

        const IDesktopShortcuts::Change change = shortcuts.add();
        QVERIFY(!change.done);
        QCOMPARE(change.inTheWay, QStringList{named});
        QCOMPARE(strv(kMedia, kList), QStringList{user});
        QCOMPARE(custom(user).value(2), where == "custom" ? "f10" : "<Alt>F10");
        QCOMPARE(custom(kOurs[0]).value(2), QString());
    }

    void removesOnlyOurs() {
        const QString before = userShortcut("Terminal", "<Super>t");
        GnomeShortcuts shortcuts(program);
        QVERIFY(shortcuts.add().done);
        const QString after = userShortcut("Mixer", "<Super>m");

        QVERIFY(shortcuts.remove().done);
        QVERIFY(!shortcuts.ours());
        QCOMPARE(strv(kMedia, kList), QStringList({before, after}));
        QCOMPARE(custom(kOurs[1]), QStringList({"", "", ""}));
        QCOMPARE(custom(before), QStringList({"Terminal", "run-Terminal", "<Super>t"}));
        QCOMPARE(custom(after), QStringList({"Mixer", "run-Mixer", "<Super>m"}));
    }

    void asksOnce_data() {
        QTest::addColumn<bool>("yes");
        QTest::newRow("yes") << true;
        QTest::newRow("no") << false;
    }
    void asksOnce() {
        QFETCH(bool, yes);
        FakeDesktopShortcuts shortcuts;
        box.answer = yes;
        for (int run = 0; run < 2; ++run) {
            auto session = start();
            GnomeShortcutOffer offer(*session, shortcuts, &box);
            QCOMPARE(offer.offerOnce(), run == 0);
        }
        QCOMPARE(box.questions.size(), 1);
        QCOMPARE(shortcuts.adds, yes ? 1 : 0);
    }

    // The question is modal to the recorder: a hotkey must not start a take under it.
    void questionHoldsTheCommands() {
        struct Probe final : IMessageBox {
            Session* session = nullptr;
            bool held = false;
            void critical(const QString&) override {}
            bool question(const QString&) override { return held = session->modalOpen(); }
        } probe;
        FakeDesktopShortcuts shortcuts;
        auto session = start();
        probe.session = session.get();
        GnomeShortcutOffer(*session, shortcuts, &probe).askAndAdd();
        QVERIFY(probe.held);
        QVERIFY(!session->modalOpen());
    }

    void statusNamesTheKeyInTheWay() {
        userShortcut("Mic", "F10");
        GnomeShortcuts shortcuts(program);
        auto session = start();
        box.answer = true;
        GnomeShortcutOffer(*session, shortcuts, &box).offerOnce();
        QCOMPARE(session->status.colour(), kRed);
        QVERIFY2(session->status.text().contains("Custom shortcut “Mic” (F10) is in the way"),
                 qPrintable(session->status.text()));
    }

    void menuItems() {
        FakeDesktopShortcuts shortcuts;
        auto session = start();
        GnomeShortcutOffer offer(*session, shortcuts, &box);
        const auto services = [&](GnomeShortcutOffer* given) {
            return Services{appDir.path(), audio, hotkeys, player, &box, {}, {}, {}, given};
        };
        const auto gnomeItems = [](const Form1& form) {
            int n = 0;
            for (const QAction* a : form.mOptions->actions())
                n += a->text().contains("GNOME");
            return n;
        };
        QCOMPARE(gnomeItems(Form1(*session, services(nullptr))), 0);
        shortcuts.isAvailable = false;
        QCOMPARE(gnomeItems(Form1(*session, services(&offer))), 0);
        shortcuts.isAvailable = true;

        Form1 form(*session, services(&offer));
        QCOMPARE(gnomeItems(form), 2);
        QVERIFY(form.mOptions->actions().contains(offer.removeItem()));
        QVERIFY(!offer.removeItem()->isEnabled());
        box.answer = true;
        offer.addItem()->trigger();
        QVERIFY(offer.removeItem()->isEnabled());
        offer.removeItem()->trigger();
        QCOMPARE(shortcuts.removes, 1);
        QVERIFY(!offer.removeItem()->isEnabled());
        // Changed in GNOME's Settings meanwhile: seen when the menu opens.
        shortcuts.present = true;
        emit form.mOptions->aboutToShow();
        QVERIFY(offer.removeItem()->isEnabled());
    }
};

int main(int argc, char** argv) {
    // Before any GSettings call: GLib picks its backend once per process.
    QTemporaryDir config;
    qputenv("GSETTINGS_BACKEND", "keyfile");
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QApplication app(argc, argv);
    TestGnomeShortcuts test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_gnome_shortcuts.moc"
