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
#include <QFile>
#include <QMenu>
#include <QTemporaryDir>
#include <QtTest>

#pragma push_macro("signals")
#undef signals
#include <gio/gio.h>
#pragma pop_macro("signals")

Q_DECLARE_METATYPE(tw::HotkeyBackend)

using namespace tw;

namespace {

const char kMediaKeys[] = "org.gnome.settings-daemon.plugins.media-keys";
const char kCustom[] = "org.gnome.settings-daemon.plugins.media-keys.custom-keybinding";
const char kWm[] = "org.gnome.desktop.wm.keybindings";
const QString kDir = "/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/";
const QStringList kOurs = {kDir + "tunewright-record/", kDir + "tunewright-pause/",
                           kDir + "tunewright-stop/"};

// The schemas are looked up before g_settings_new, which would end the test on a missing one.
bool installed(const char* id) {
    GSettingsSchema* schema =
        g_settings_schema_source_lookup(g_settings_schema_source_get_default(), id, TRUE);
    if (schema)
        g_settings_schema_unref(schema);
    return schema;
}

GSettings* settingsAt(const char* schemaId, const QString& path = {}) {
    GSettingsSchema* schema =
        g_settings_schema_source_lookup(g_settings_schema_source_get_default(), schemaId, TRUE);
    GSettings* settings =
        g_settings_new_full(schema, nullptr, path.isEmpty() ? nullptr : qPrintable(path));
    g_settings_schema_unref(schema);
    return settings;
}

QStringList strv(const char* schemaId, const char* key) {
    GSettings* settings = settingsAt(schemaId);
    gchar** values = g_settings_get_strv(settings, key);
    QStringList list;
    for (gchar** v = values; *v; ++v)
        list.append(QString::fromUtf8(*v));
    g_strfreev(values);
    g_object_unref(settings);
    return list;
}

void setStrv(const char* schemaId, const char* key, const QStringList& list) {
    GSettings* settings = settingsAt(schemaId);
    std::vector<QByteArray> utf8;
    std::vector<const gchar*> pointers;
    for (const QString& s : list)
        utf8.push_back(s.toUtf8());
    for (const QByteArray& s : utf8)
        pointers.push_back(s.constData());
    pointers.push_back(nullptr);
    g_settings_set_strv(settings, key, pointers.data());
    g_object_unref(settings);
}

// One custom shortcut's name, command and binding.
QStringList custom(const QString& path) {
    GSettings* settings = settingsAt(kCustom, path);
    QStringList values;
    for (const char* key : {"name", "command", "binding"}) {
        gchar* value = g_settings_get_string(settings, key);
        values.append(QString::fromUtf8(value));
        g_free(value);
    }
    g_object_unref(settings);
    return values;
}

void setCustom(const QString& path, const QStringList& values) {
    GSettings* settings = settingsAt(kCustom, path);
    g_settings_set_string(settings, "name", qPrintable(values[0]));
    g_settings_set_string(settings, "command", qPrintable(values[1]));
    g_settings_set_string(settings, "binding", qPrintable(values[2]));
    g_object_unref(settings);
}

// A user's custom shortcut, listed where GNOME's Settings would put it.
QString userShortcut(int n, const QString& name, const QString& binding) {
    const QString path = kDir + QStringLiteral("custom%1/").arg(n);
    setCustom(path, {name, "run-" + name, binding});
    setStrv(kMediaKeys, "custom-keybindings", strv(kMediaKeys, "custom-keybindings") << path);
    return path;
}

// Notes whether the recorder's commands were held while the question was open.
class ModalProbe final : public IMessageBox {
  public:
    explicit ModalProbe(Session*& session) : session_(session) {}
    void critical(const QString&) override {}
    bool question(const QString&) override {
        heldCommands = session_->modalOpen();
        return false;
    }
    bool heldCommands = false;

  private:
    Session*& session_;
};

} // namespace

class TestGnomeShortcuts : public QObject {
    Q_OBJECT

    const QString program = "/opt/tunewright/tunewright";
    QTemporaryDir appDir;
    FakeAudioLibraries audio;
    FakePlayer player;
    FakeMessageBox box;

    std::unique_ptr<Session> start() {
        return std::make_unique<Session>(appDir.path(), audio, player, &box);
    }

  private slots:
    void initTestCase() {
        QVERIFY2(installed(kMediaKeys) && installed(kCustom),
                 "GNOME's media-keys schemas are missing: install gnome-settings-daemon-common");
        QVERIFY2(installed(kWm), "org.gnome.desktop.wm.keybindings is missing: install "
                                 "gsettings-desktop-schemas");
        QVERIFY(GnomeShortcuts(program).available());
    }

    void init() {
        setStrv(kMediaKeys, "custom-keybindings", {});
        setStrv(kMediaKeys, "calculator", {});
        setStrv(kWm, "switch-to-workspace-1", {});
        for (const QString& path : kOurs)
            setCustom(path, {"", "", ""});
        QFile::remove(appDir.path() + "/Config.ini");
        box = FakeMessageBox();
    }

    void addsBesideTheUsers_data() {
        QTest::addColumn<QStringList>("users"); // name, binding, name, binding, ...
        QTest::newRow("empty list") << QStringList();
        // A key with modifiers leaves the bare key free.
        QTest::newRow("user's shortcuts")
            << QStringList{"Terminal", "<Super>t", "Notes", "<Primary>F9", "Mixer", "<Shift>f11"};
    }
    void addsBesideTheUsers() {
        QFETCH(QStringList, users);
        QStringList before;
        for (int i = 0; i < users.size(); i += 2)
            before << userShortcut(i, users[i], users[i + 1]);
        GnomeShortcuts shortcuts(program);
        QVERIFY(!shortcuts.ours());

        const IDesktopShortcuts::Change change = shortcuts.add();
        QVERIFY2(change.done, qPrintable(change.error + change.inTheWay.join(", ")));
        QVERIFY(shortcuts.ours());
        QCOMPARE(strv(kMediaKeys, "custom-keybindings"), before + kOurs);
        QCOMPARE(custom(kOurs[0]),
                 QStringList({"Tunewright: record", program + " --record", "F9"}));
        QCOMPARE(custom(kOurs[1]).mid(1), QStringList({program + " --pause", "F10"}));
        QCOMPARE(custom(kOurs[2]).mid(1), QStringList({program + " --stop", "F11"}));
        for (int i = 0; i < before.size(); ++i)
            QCOMPARE(custom(before[i]).value(2), users[2 * i + 1]);
        // Again: nothing doubles.
        QVERIFY(shortcuts.add().done);
        QCOMPARE(strv(kMediaKeys, "custom-keybindings"), before + kOurs);
        // Into the test's own folder, not the user's dconf.
        QVERIFY(
            QFile::exists(qEnvironmentVariable("XDG_CONFIG_HOME") + "/glib-2.0/settings/keyfile"));
    }

    void keyInTheWay_data() {
        QTest::addColumn<QString>("where");
        QTest::addColumn<QString>("named");
        QTest::newRow("custom, other case") << "custom f10"
                                            << "Custom shortcut “Mic” (F10)";
        QTest::newRow("media keys") << "calculator"
                                    << "GNOME's shortcut “Launch calculator” (F9)";
        QTest::newRow("window manager") << "workspace"
                                        << "GNOME's shortcut “Switch to workspace 1” (F11)";
    }
    void keyInTheWay() {
        QFETCH(QString, where);
        QFETCH(QString, named);
        QString user;
        if (where == "custom f10")
            user = userShortcut(0, "Mic", "f10");
        else if (where == "calculator")
            setStrv(kMediaKeys, "calculator", {"", "F9"});
        else
            setStrv(kWm, "switch-to-workspace-1", {"<Super>Home", "F11"});
        const QStringList listBefore = strv(kMediaKeys, "custom-keybindings");
        GnomeShortcuts shortcuts(program);

        const IDesktopShortcuts::Change change = shortcuts.add();
        QVERIFY(!change.done);
        QCOMPARE(change.inTheWay, QStringList{named});
        QCOMPARE(strv(kMediaKeys, "custom-keybindings"), listBefore);
        QVERIFY(!shortcuts.ours());
        QCOMPARE(custom(kOurs[0]).value(2), QString());
        if (!user.isEmpty())
            QCOMPARE(custom(user), QStringList({"Mic", "run-Mic", "f10"}));
    }

    void removesOnlyOurs() {
        const QString first = userShortcut(0, "Terminal", "<Super>t");
        GnomeShortcuts shortcuts(program);
        QVERIFY(shortcuts.add().done);
        const QString after = userShortcut(1, "Mixer", "<Super>m");

        QVERIFY(shortcuts.remove().done);
        QCOMPARE(strv(kMediaKeys, "custom-keybindings"), QStringList({first, after}));
        QVERIFY(!shortcuts.ours());
        QCOMPARE(custom(kOurs[1]), QStringList({"", "", ""}));
        QCOMPARE(custom(first), QStringList({"Terminal", "run-Terminal", "<Super>t"}));
        QCOMPARE(custom(after), QStringList({"Mixer", "run-Mixer", "<Super>m"}));
    }

    void commandPath() {
        QTemporaryDir bin;
        const QString self = QCoreApplication::applicationFilePath();
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", bin.path().toLocal8Bit());
        const QString none = GnomeShortcuts::programFor(self);
        QVERIFY(QFile::link("/bin/true", bin.path() + "/tunewright"));
        const QString other = GnomeShortcuts::programFor(self);
        QVERIFY(QFile::remove(bin.path() + "/tunewright"));
        QVERIFY(QFile::link(self, bin.path() + "/tunewright"));
        const QString link = GnomeShortcuts::programFor(self);
        qputenv("PATH", path);

        QCOMPARE(none, self);
        QCOMPARE(other, self);
        QCOMPARE(link, bin.path() + "/tunewright");
        QCOMPARE(GnomeShortcuts("/home/me/my apps/tunewright").command("--stop"),
                 QString("'/home/me/my apps/tunewright' --stop"));
    }

    void wanted_data() {
        QTest::addColumn<QString>("desktop");
        QTest::addColumn<HotkeyBackend>("backend");
        QTest::addColumn<bool>("wanted");
        QTest::newRow("ubuntu, XWayland")
            << "ubuntu:GNOME" << HotkeyBackend::X11WhileFocused << true;
        QTest::newRow("GNOME, no X11") << "GNOME" << HotkeyBackend::None << true;
        QTest::newRow("GNOME 48 portal") << "GNOME" << HotkeyBackend::Portal << false;
        QTest::newRow("GNOME on X11") << "GNOME" << HotkeyBackend::X11 << false;
        QTest::newRow("KDE, XWayland") << "KDE" << HotkeyBackend::X11WhileFocused << false;
        QTest::newRow("GNOME-like name") << "GNOME-Flashback" << HotkeyBackend::None << false;
    }
    void wanted() {
        QFETCH(QString, desktop);
        QFETCH(HotkeyBackend, backend);
        QTEST(GnomeShortcutOffer::wanted(desktop, backend), "wanted");
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
        {
            auto session = start();
            GnomeShortcutOffer offer(*session, shortcuts, &box);
            QVERIFY(offer.offerOnce());
            QCOMPARE(box.questions.size(), 1);
            QCOMPARE(shortcuts.adds, yes ? 1 : 0);
            QCOMPARE(session->status.colour(), yes ? kBlue : 0);
        }
        auto again = start();
        GnomeShortcutOffer offer(*again, shortcuts, &box);
        QVERIFY(!offer.offerOnce());
        QCOMPARE(box.questions.size(), 1);
        QCOMPARE(shortcuts.adds, yes ? 1 : 0);
    }

    void notAskedWhereUnavailable() {
        FakeDesktopShortcuts shortcuts;
        shortcuts.isAvailable = false;
        auto session = start();
        GnomeShortcutOffer offer(*session, shortcuts, &box);
        QVERIFY(!offer.offerOnce());
        QVERIFY(box.questions.isEmpty());
        // Asked on a later start, once GNOME's shortcuts can be changed.
        QVERIFY(!session->settings.gnomeShortcutsOffered());
    }

    void questionHoldsTheCommands() {
        Session* current = nullptr;
        ModalProbe probe(current);
        FakeDesktopShortcuts shortcuts;
        auto session = start();
        current = session.get();
        GnomeShortcutOffer offer(*session, shortcuts, &probe);
        QVERIFY(offer.offerOnce());
        QVERIFY(probe.heldCommands);
        QVERIFY(!session->modalOpen());
    }

    void namesTheKeyInTheWay() {
        userShortcut(0, "Mic", "F10");
        GnomeShortcuts shortcuts(program);
        auto session = start();
        GnomeShortcutOffer offer(*session, shortcuts, &box);
        box.answer = true;
        QVERIFY(offer.offerOnce());
        QCOMPARE(session->status.colour(), kRed);
        QVERIFY2(session->status.text().contains("Custom shortcut “Mic” (F10)"),
                 qPrintable(session->status.text()));
        QVERIFY(!shortcuts.ours());
    }

    void menuItems() {
        FakeDesktopShortcuts shortcuts;
        FakeHotkeys hotkeys;
        auto session = start();
        GnomeShortcutOffer offer(*session, shortcuts, &box);
        const auto items = [&](GnomeShortcutOffer* given) {
            Form1 form(*session, Services{appDir.path(), audio, hotkeys, player, &box, nullptr,
                                          nullptr, nullptr, given});
            QStringList captions;
            for (QAction* a : form.mOptions->actions())
                captions << a->text();
            return captions.filter("GNOME").size();
        };
        QCOMPARE(items(nullptr), 0);
        shortcuts.isAvailable = false;
        QCOMPARE(items(&offer), 0);
        shortcuts.isAvailable = true;

        Form1 form(*session, Services{appDir.path(), audio, hotkeys, player, &box, nullptr, nullptr,
                                      nullptr, &offer});
        QVERIFY(form.mOptions->actions().contains(offer.addItem()));
        QVERIFY(offer.addItem()->isEnabled());
        QVERIFY(!offer.removeItem()->isEnabled());
        box.answer = true;
        offer.addItem()->trigger();
        QCOMPARE(shortcuts.adds, 1);
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
