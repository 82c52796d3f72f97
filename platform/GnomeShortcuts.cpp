#include "platform/GnomeShortcuts.h"

#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QStandardPaths>
#include <algorithm>
#include <iterator>
#include <memory>
#include <set>
#include <vector>

// GIO's headers name a struct member `signals`, which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#define G_SETTINGS_ENABLE_BACKEND
#include <gio/gio.h>
#include <gio/gsettingsbackend.h>
#pragma pop_macro("signals")

namespace tw {

namespace {

constexpr char kMediaKeys[] = "org.gnome.settings-daemon.plugins.media-keys";
constexpr char kCustomSchema[] = "org.gnome.settings-daemon.plugins.media-keys.custom-keybinding";
constexpr char kListKey[] = "custom-keybindings";
constexpr char kCustomDir[] = "/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/";
// GNOME's own shortcuts that may hold one of the keys, wherever their schemas are installed.
constexpr const char* kGnomeSchemas[] = {
    kMediaKeys, "org.gnome.desktop.wm.keybindings", "org.gnome.shell.keybindings",
    "org.gnome.mutter.keybindings", "org.gnome.mutter.wayland.keybindings"};

struct Binding {
    const char* id;
    const char* name;
    const char* key;
    const char* option;
};
constexpr Binding kOurs[] = {
    {"tunewright-record", "Tunewright: record", "F9", "--record"},
    {"tunewright-pause", "Tunewright: pause or resume", "F10", "--pause"},
    {"tunewright-stop", "Tunewright: stop and save", "F11", "--stop"},
};

struct Unref {
    void operator()(GSettings* p) const { g_object_unref(p); }
    void operator()(GSettingsSchema* p) const { g_settings_schema_unref(p); }
    void operator()(GSettingsSchemaKey* p) const { g_settings_schema_key_unref(p); }
    void operator()(GVariant* p) const { g_variant_unref(p); }
    void operator()(gchar** p) const { g_strfreev(p); }
};
using Settings = std::unique_ptr<GSettings, Unref>;
using Schema = std::unique_ptr<GSettingsSchema, Unref>;
using SchemaKey = std::unique_ptr<GSettingsSchemaKey, Unref>;
using Variant = std::unique_ptr<GVariant, Unref>;
using Strv = std::unique_ptr<gchar*, Unref>;

// Looked up first: g_settings_new() ends the program on a schema that is not installed.
Schema lookup(const char* id) {
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    return Schema(source ? g_settings_schema_source_lookup(source, id, TRUE) : nullptr);
}

QString ourPath(const Binding& b) {
    return QLatin1String(kCustomDir) + QLatin1String(b.id) + QLatin1Char('/');
}

bool isOurs(const QString& path) {
    for (const Binding& b : kOurs)
        if (path == ourPath(b))
            return true;
    return false;
}

// GSettings' own rule for a path; it refuses (with a critical message) any other.
bool validPath(const QString& path) {
    return path.startsWith(QLatin1Char('/')) && path.endsWith(QLatin1Char('/')) &&
           !path.contains(QLatin1String("//"));
}

QStringList stringsIn(GVariant* value) {
    QStringList strings;
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
        strings.append(QString::fromUtf8(g_variant_get_string(value, nullptr)));
    } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING_ARRAY)) {
        const Strv all(g_variant_dup_strv(value, nullptr));
        for (gchar** s = all.get(); *s; ++s)
            strings.append(QString::fromUtf8(*s));
    }
    return strings;
}

QStringList stringsOf(GSettings* settings, const char* key) {
    const Variant value(g_settings_get_value(settings, key));
    return stringsIn(value.get());
}

QString stringOf(GSettings* settings, const char* key) {
    return stringsOf(settings, key).value(0);
}

bool setStrings(GSettings* settings, const char* key, const QStringList& strings) {
    std::vector<QByteArray> utf8;
    std::vector<const gchar*> pointers;
    for (const QString& s : strings)
        utf8.push_back(s.toUtf8());
    for (const QByteArray& s : utf8)
        pointers.push_back(s.constData());
    pointers.push_back(nullptr);
    return g_settings_set_strv(settings, key, pointers.data());
}

// One spelling per accelerator: GTK takes "<Primary>", "<Control>" and "<Ctrl>" alike, and
// key names in any case.
QString normalised(const QString& accelerator) {
    static const QHash<QString, QString> aliases = {
        {QStringLiteral("primary"), QStringLiteral("ctrl")},
        {QStringLiteral("control"), QStringLiteral("ctrl")},
        {QStringLiteral("ctl"), QStringLiteral("ctrl")},
        {QStringLiteral("mod1"), QStringLiteral("alt")},
        {QStringLiteral("mod4"), QStringLiteral("super")},
        {QStringLiteral("shft"), QStringLiteral("shift")},
    };
    std::set<QString> modifiers;
    QString rest = accelerator.trimmed();
    while (rest.startsWith(QLatin1Char('<'))) {
        const qsizetype end = rest.indexOf(QLatin1Char('>'));
        if (end < 0)
            break;
        const QString modifier = rest.mid(1, end - 1).trimmed().toLower();
        modifiers.insert(aliases.value(modifier, modifier));
        rest = rest.mid(end + 1).trimmed();
    }
    QStringList parts(modifiers.begin(), modifiers.end());
    parts.append(rest.toLower());
    return parts.join(QLatin1Char('+'));
}

// Which of the program's keys `accelerator` is, bare; nullptr for any other key and for a
// key with modifiers, which leaves the bare key free.
const char* ourKeyOf(const QString& accelerator) {
    const QString mine = normalised(accelerator);
    for (const Binding& b : kOurs)
        if (mine == normalised(QLatin1String(b.key)))
            return b.key;
    return nullptr;
}

QStringList takenByCustom(const QStringList& paths, GSettingsSchema* custom) {
    QStringList found;
    for (const QString& path : paths) {
        if (isOurs(path) || !validPath(path))
            continue;
        const Settings entry(g_settings_new_full(custom, nullptr, path.toUtf8().constData()));
        if (const char* key = ourKeyOf(stringOf(entry.get(), "binding")))
            found.append(QStringLiteral("Custom shortcut “%1” (%2)")
                             .arg(stringOf(entry.get(), "name"), QLatin1String(key)));
    }
    return found;
}

QStringList takenInSchema(const char* id) {
    QStringList found;
    const Schema schema = lookup(id);
    if (!schema || !g_settings_schema_get_path(schema.get()))
        return found;
    const Settings settings(g_settings_new_full(schema.get(), nullptr, nullptr));
    const Strv keys(g_settings_schema_list_keys(schema.get()));
    for (gchar** name = keys.get(); *name; ++name) {
        if (qstrcmp(*name, kListKey) == 0)
            continue;
        for (const QString& accelerator : stringsOf(settings.get(), *name)) {
            const char* key = ourKeyOf(accelerator);
            if (!key)
                continue;
            const SchemaKey schemaKey(g_settings_schema_get_key(schema.get(), *name));
            const char* summary = g_settings_schema_key_get_summary(schemaKey.get());
            found.append(
                QStringLiteral("GNOME's shortcut “%1” (%2)")
                    .arg(QString::fromUtf8(summary ? summary : *name), QLatin1String(key)));
        }
    }
    return found;
}

const QString kRefused = QStringLiteral(
    "GNOME's settings refused the change: the shortcuts may be locked by the administrator");

} // namespace

GnomeShortcuts::GnomeShortcuts(const QString& program) : program_(program) {}

QString GnomeShortcuts::programFor(const QString& running) {
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("tunewright"));
    const QString self = QFileInfo(running).canonicalFilePath();
    if (!onPath.isEmpty() && !self.isEmpty() && QFileInfo(onPath).canonicalFilePath() == self)
        return QFileInfo(onPath).absoluteFilePath();
    return QFileInfo(running).absoluteFilePath();
}

QString GnomeShortcuts::command(const QString& option) const {
    // GNOME splits the command as a shell would; only a path with other characters is quoted,
    // so that the common one reads plainly in GNOME's Settings.
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./+-]+$"));
    QString program = program_;
    if (!plain.match(program).hasMatch()) {
        gchar* quoted = g_shell_quote(program.toUtf8().constData());
        program = QString::fromUtf8(quoted);
        g_free(quoted);
    }
    return program + QLatin1Char(' ') + option;
}

bool GnomeShortcuts::available() const {
    // Without dconf (or a backend chosen for tests) GLib keeps settings in memory, where a
    // shortcut would vanish with this run.
    GSettingsBackend* backend = g_settings_backend_get_default();
    const bool kept = qstrcmp(G_OBJECT_TYPE_NAME(backend), "GMemorySettingsBackend") != 0;
    g_object_unref(backend);
    const Schema media = lookup(kMediaKeys);
    return kept && media && lookup(kCustomSchema) &&
           g_settings_schema_has_key(media.get(), kListKey);
}

bool GnomeShortcuts::ours() const {
    const Schema media = lookup(kMediaKeys);
    if (!media)
        return false;
    const Settings list(g_settings_new_full(media.get(), nullptr, nullptr));
    const QStringList paths = stringsOf(list.get(), kListKey);
    return std::any_of(paths.begin(), paths.end(), isOurs);
}

IDesktopShortcuts::Change GnomeShortcuts::add() {
    Change change;
    const Schema media = lookup(kMediaKeys), custom = lookup(kCustomSchema);
    if (!media || !custom) {
        change.error = QStringLiteral("GNOME's shortcut settings are not installed");
        return change;
    }
    const Settings list(g_settings_new_full(media.get(), nullptr, nullptr));
    QStringList paths = stringsOf(list.get(), kListKey);
    change.inTheWay = takenByCustom(paths, custom.get());
    for (const char* id : kGnomeSchemas)
        change.inTheWay += takenInSchema(id);
    if (!change.inTheWay.isEmpty())
        return change;
    // The entries first, the list last: gnome-settings-daemon acts on a listed entry at once,
    // and an entry that is not listed is never heard.
    for (const Binding& b : kOurs) {
        const QString path = ourPath(b);
        const Settings entry(g_settings_new_full(custom.get(), nullptr, path.toUtf8().constData()));
        const bool written =
            g_settings_set_string(entry.get(), "name", b.name) &&
            g_settings_set_string(entry.get(), "command",
                                  command(QLatin1String(b.option)).toUtf8().constData()) &&
            g_settings_set_string(entry.get(), "binding", b.key);
        if (!written) {
            change.error = kRefused;
            return change;
        }
        if (!paths.contains(path))
            paths.append(path);
    }
    if (!setStrings(list.get(), kListKey, paths)) {
        change.error = kRefused;
        return change;
    }
    g_settings_sync();
    change.done = true;
    return change;
}

IDesktopShortcuts::Change GnomeShortcuts::remove() {
    Change change;
    const Schema media = lookup(kMediaKeys), custom = lookup(kCustomSchema);
    if (!media || !custom) {
        change.error = QStringLiteral("GNOME's shortcut settings are not installed");
        return change;
    }
    const Settings list(g_settings_new_full(media.get(), nullptr, nullptr));
    const QStringList paths = stringsOf(list.get(), kListKey);
    QStringList kept;
    std::copy_if(paths.begin(), paths.end(), std::back_inserter(kept),
                 [](const QString& path) { return !isOurs(path); });
    if (kept.size() != paths.size() && !setStrings(list.get(), kListKey, kept)) {
        change.error = kRefused;
        return change;
    }
    for (const Binding& b : kOurs) {
        const Settings entry(
            g_settings_new_full(custom.get(), nullptr, ourPath(b).toUtf8().constData()));
        for (const char* key : {"name", "command", "binding"})
            g_settings_reset(entry.get(), key);
    }
    g_settings_sync();
    change.done = true;
    return change;
}

} // namespace tw
