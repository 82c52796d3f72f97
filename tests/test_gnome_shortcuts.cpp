// GNOME's custom shortcuts as GnomeShortcuts changes them (GSettings' keyfile backend in a
// folder of the test's own, GNOME's real schemas), and the offer that asks for them.
#include "app/Form1.h"
#include "app/GnomeShortcutOffer.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakeDesktopShortcuts.h"
#include "platform/FakeHotkeys.h"
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

// A list of strings: read, or written first when `set` is given.
QStringList strv(const char* id, const char* key, std::optional<QStringList> set = {}) {
    g_autoptr(GSettings) s = g_settings_new(id);
    if (set) {
        GVariantBuilder array;
        g_variant_builder_init(&array, G_VARIANT_TYPE_STRING_ARRAY);
        for (const QString& item : *set)
            g_variant_builder_add(&array, "s", item.toUtf8().constData());
        g_settings_set_value(s, key, g_variant_builder_end(&array));
    }
    g_auto(GStrv) values = g_settings_get_strv(s, key);
    return {values, values + g_strv_length(values)};
}

// A custom shortcut's name, command and binding: read, or written when `values` are given.
QStringList custom(const QString& path, const QStringList& values = {}) {
    g_autoptr(GSettings) s = g_settings_new_with_path(kCustom, path.toUtf8().constData());
    QStringList read;
    for (const char* key : {"name", "command", "binding"}) {
        if (!values.isEmpty())
            g_settings_set_string(s, key, values[read.size()].toUtf8().constData());
        g_autofree gchar* value = g_settings_get_string(s, key);
        read << QString::fromUtf8(value);
    }
    return read;
}

} // namespace

class TestGnomeShortcuts : public QObject {
    Q_OBJECT

    const QString program = "/opt/tunewright/tunewright";
    QTemporaryDir appDir;
    FakeAudioLibraries audio;
    FakePlayer player;
    FakeHotkeys hotkeys;
    // Also sees whether the recorder's commands wait while it asks: a hotkey must not start
    // a take under the question.
    struct Box final : IMessageBox {
        Session* session = nullptr;
        bool answer = false, held = true;
        int asked = 0;
        void critical(const QString&) override {}
        bool question(const QString&) override {
            ++asked;
            held = held && session->modalOpen();
            return answer;
        }
    } box;

    std::unique_ptr<Session> start() {
        auto session = std::make_unique<Session>(appDir.path(), audio, player, &box);
        box.session = session.get();
        return session;
    }

  private slots:
    // Before any g_settings_new, which ends the test on a schema that is not installed.
    void initTestCase() {
        for (const char* id : {kMedia, kCustom, kWm}) {
            GSettingsSchema* schema =
                g_settings_schema_source_lookup(g_settings_schema_source_get_default(), id, TRUE);
            // From gnome-settings-daemon-common and gsettings-desktop-schemas.
            QVERIFY2(schema, id);
            g_settings_schema_unref(schema);
        }
        QVERIFY(GnomeShortcuts(program).available());
    }

    // A key with modifiers leaves the bare key free; a key held by a user's shortcut or by
    // GNOME is named and nothing is added.
    void addsBesideTheUsersAndRemovesOnlyOurs() {
        QStringList users, bindings = {"<Super>t", "<Primary>F9", "<Alt>F10", "<Shift>f11"};
        const auto addUser = [&](const QString& binding) {
            users << kDir + "custom" + QString::number(users.size()) + "/";
            custom(users.last(), {"Mine " + QString::number(users.size()), "run", binding});
            strv(kMedia, kList, strv(kMedia, kList) << users.last());
        };
        for (const QString& binding : bindings)
            addUser(binding);
        GnomeShortcuts shortcuts(program);
        for (int twice = 0; twice < 2; ++twice) {
            const IDesktopShortcuts::Change change = shortcuts.add();
            QVERIFY2(change.done, qPrintable(change.error + change.inTheWay.join(", ")));
            QCOMPARE(strv(kMedia, kList), users + kOurs);
        }
        QVERIFY(shortcuts.ours());
        const QStringList keys = {"F9", "F10", "F11"}, options = {"--record", "--pause", "--stop"};
        for (int i = 0; i < 3; ++i)
            QCOMPARE(custom(kOurs[i]).mid(1), QStringList({program + " " + options[i], keys[i]}));

        addUser(bindings.emplaceBack("f10"));
        QVERIFY(shortcuts.remove().done);
        QVERIFY(!shortcuts.ours());
        QCOMPARE(strv(kMedia, kList), users);
        QCOMPARE(custom(kOurs[1]), QStringList({"", "", ""}));
        for (int i = 0; i < users.size(); ++i)
            QCOMPARE(custom(users[i]).value(2), bindings[i]);

        strv(kMedia, "calculator", QStringList{"", "F9"});
        strv(kWm, "switch-to-workspace-1", QStringList{"<Super>Home", "F11"});
        auto session = start();
        box.answer = true;
        GnomeShortcutOffer(*session, shortcuts, &box).askAndAdd();
        for (const QString named : {"Mine 5” (F10)", "calculator” (F9)", "workspace 1” (F11)"})
            QVERIFY2(session->status.text().contains(named), qPrintable(session->status.text()));
        QCOMPARE(session->status.colour(), kRed);
        QCOMPARE(shortcuts.add().inTheWay.size(), 3);
        QCOMPARE(strv(kMedia, kList), users);
        QCOMPARE(custom(kOurs[0]).value(2), QString());
        // Into the test's own folder, never the user's dconf.
        QVERIFY(QFile::exists(qgetenv("XDG_CONFIG_HOME") + "/glib-2.0/settings/keyfile"));
    }

    // Asked once per Config.ini, a No counting as asked too. The remove item is enabled while
    // ours are there, also when GNOME's Settings changed them meanwhile.
    void offer() {
        FakeDesktopShortcuts shortcuts;
        for (const bool yes : {false, true}) {
            QFile::remove(appDir.path() + "/Config.ini");
            box = Box();
            box.answer = yes;
            for (int run = 0; run < 2; ++run)
                QCOMPARE(GnomeShortcutOffer(*start(), shortcuts, &box).offerOnce(), run == 0);
            QVERIFY(box.asked == 1 && box.held);
            QCOMPARE(shortcuts.adds, int(yes));
        }

        auto session = start();
        GnomeShortcutOffer offer(*session, shortcuts, &box);
        const Services services{appDir.path(), audio, hotkeys, player, &box, {}, {}, {}, &offer};
        shortcuts.isAvailable = false;
        QVERIFY(Form1(*session, services).mOptions && !offer.addItem());
        shortcuts.isAvailable = true;
        Form1 form(*session, services);
        QVERIFY(form.mOptions->actions().contains(offer.addItem()) &&
                form.mOptions->actions().contains(offer.removeItem()));
        QVERIFY(offer.removeItem()->isEnabled());
        offer.removeItem()->trigger();
        QVERIFY(!offer.removeItem()->isEnabled() && shortcuts.removes == 1);
        offer.addItem()->trigger();
        QVERIFY(offer.removeItem()->isEnabled() && !session->modalOpen());
        shortcuts.present = false;
        emit form.mOptions->aboutToShow();
        QVERIFY(!offer.removeItem()->isEnabled());
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
