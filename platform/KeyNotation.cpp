#include "platform/KeyNotation.h"

#include <QStringView>
#include <array>
#include <optional>

namespace tw {

namespace {

struct KeyName {
    const char* name;
    NamedKey key;
};

// Several spellings name the same key; the first one listed for a key is its display name.
constexpr std::array<KeyName, 31> KeyNames{{
    {"Enter", NamedKey::Enter},
    {"Tab", NamedKey::Tab},
    {"Esc", NamedKey::Escape},
    {"Escape", NamedKey::Escape},
    {"Backspace", NamedKey::Backspace},
    {"BS", NamedKey::Backspace},
    {"BKSP", NamedKey::Backspace},
    {"Del", NamedKey::Delete},
    {"Delete", NamedKey::Delete},
    {"Ins", NamedKey::Insert},
    {"Insert", NamedKey::Insert},
    {"Home", NamedKey::Home},
    {"End", NamedKey::End},
    {"PgUp", NamedKey::PageUp},
    {"PgDn", NamedKey::PageDown},
    {"Up", NamedKey::Up},
    {"Down", NamedKey::Down},
    {"Left", NamedKey::Left},
    {"Right", NamedKey::Right},
    {"Break", NamedKey::Break},
    {"CapsLock", NamedKey::CapsLock},
    {"NumLock", NamedKey::NumLock},
    {"ScrollLock", NamedKey::ScrollLock},
    {"PrtSc", NamedKey::PrintScreen},
    {"Help", NamedKey::Help},
    {"Add", NamedKey::KeypadAdd},
    {"Subtract", NamedKey::KeypadSubtract},
    {"Multiply", NamedKey::KeypadMultiply},
    {"Divide", NamedKey::KeypadDivide},
    {"Return", NamedKey::Enter},
    {"PrintScreen", NamedKey::PrintScreen},
}};

constexpr int FunctionKeyCount = 16;
// Enough for any real use; a count beyond it is a typo that would otherwise flood the window.
constexpr int MaxRepeat = 1000;
// Each level of parentheses is a level of recursion; real strings need one or two.
constexpr int MaxGroupDepth = 16;

const QString Specials = QStringLiteral("+^%~(){}[]");

std::optional<NamedKey> namedKey(QStringView name) {
    for (const KeyName& k : KeyNames)
        if (name.compare(QLatin1String(k.name), Qt::CaseInsensitive) == 0)
            return k.key;
    if (name.size() >= 2 && name.size() <= 3 && (name[0] == u'F' || name[0] == u'f')) {
        int n = 0;
        for (QChar d : name.mid(1)) {
            if (d < u'0' || d > u'9')
                return std::nullopt;
            n = n * 10 + (d.unicode() - u'0');
        }
        if (n >= 1 && n <= FunctionKeyCount && name[1] != u'0')
            return NamedKey(int(NamedKey::F1) + n - 1);
    }
    return std::nullopt;
}

std::optional<KeyModifier> modifierFor(QChar c) {
    if (c == u'+')
        return KeyModifier::Shift;
    if (c == u'^')
        return KeyModifier::Control;
    if (c == u'%')
        return KeyModifier::Alt;
    return std::nullopt;
}

bool isControl(char32_t c) {
    return c < 0x20 || (c >= 0x7f && c < 0xa0);
}

// Reads one character (a surrogate pair counts as one) at `pos`; nullopt for a broken pair.
std::optional<char32_t> characterAt(const QString& s, qsizetype pos, qsizetype* length) {
    const QChar c = s.at(pos);
    *length = 1;
    if (c.isHighSurrogate()) {
        if (pos + 1 < s.size() && s.at(pos + 1).isLowSurrogate()) {
            *length = 2;
            return QChar::surrogateToUcs4(c, s.at(pos + 1));
        }
        return std::nullopt;
    }
    if (c.isLowSurrogate())
        return std::nullopt;
    return c.unicode();
}

class Parser {
  public:
    explicit Parser(const QString& keys) : s(keys) {}

    KeySequence run() {
        KeySequence result;
        if (!sequence({}, 0))
            result.error = error;
        else
            result.strokes = std::move(strokes);
        return result;
    }

  private:
    const QString& s;
    qsizetype pos = 0;
    QList<KeyStroke> strokes;
    QString error;

    bool fail(const QString& why) {
        error = why + QStringLiteral(" at position %1").arg(pos + 1);
        return false;
    }

    // Parses up to the end, or up to and including the ")" that closes the group at `depth`.
    bool sequence(const QList<KeyModifier>& outer, int depth) {
        while (true) {
            QList<KeyModifier> held = outer;
            bool pending = false;
            while (pos < s.size()) {
                const QChar c = s.at(pos);
                const std::optional<KeyModifier> m = modifierFor(c);
                if (!m)
                    break;
                if (held.contains(*m))
                    return fail(QStringLiteral("modifier \"%1\" given twice").arg(c));
                held.append(*m);
                pending = true;
                ++pos;
            }
            if (pos == s.size()) {
                if (pending)
                    return fail(QStringLiteral("modifier without a key"));
                if (depth > 0)
                    return fail(QStringLiteral("\"(\" not closed"));
                return true;
            }

            const QChar c = s.at(pos);
            if (c == u')') {
                if (pending)
                    return fail(QStringLiteral("modifier without a key"));
                if (depth == 0)
                    return fail(QStringLiteral("\")\" without \"(\""));
                ++pos;
                return true;
            }
            if (c == u'(') {
                if (depth + 1 > MaxGroupDepth)
                    return fail(QStringLiteral("groups nested too deeply"));
                ++pos;
                if (pos < s.size() && s.at(pos) == u')')
                    return fail(QStringLiteral("empty group"));
                if (!sequence(held, depth + 1))
                    return false;
                continue;
            }
            if (c == u'{') {
                if (!braced(held))
                    return false;
                continue;
            }
            if (c == u'~') {
                add(held, NamedKey::Enter, 0, 1);
                ++pos;
                continue;
            }
            if (c == u'}' || c == u'[' || c == u']')
                return fail(QStringLiteral("\"%1\" must be written in braces").arg(c));

            qsizetype length = 0;
            const std::optional<char32_t> ch = characterAt(s, pos, &length);
            if (!ch)
                return fail(QStringLiteral("broken surrogate pair"));
            if (isControl(*ch))
                return fail(QStringLiteral("control character U+%1 cannot be typed")
                                .arg(uint(*ch), 4, 16, QLatin1Char('0')));
            add(held, NamedKey::None, *ch, 1);
            pos += length;
        }
    }

    bool braced(const QList<KeyModifier>& held) {
        const qsizetype open = pos;
        // "{}}" is the one content that holds the closing brace itself.
        qsizetype close = s.indexOf(u'}', open + 1);
        if (close == open + 1 && open + 2 < s.size() && s.at(open + 2) == u'}')
            close = open + 2;
        if (close < 0)
            return fail(QStringLiteral("\"{\" not closed"));
        const QStringView content = QStringView(s).mid(open + 1, close - open - 1);
        if (content.isEmpty())
            return fail(QStringLiteral("empty braces"));

        QStringView name = content;
        int count = 1;
        const qsizetype space = content.lastIndexOf(u' ');
        if (space > 0) {
            const QStringView digits = content.mid(space + 1);
            bool allDigits = !digits.isEmpty();
            for (QChar d : digits)
                allDigits = allDigits && d >= u'0' && d <= u'9';
            if (allDigits) {
                bool ok = false;
                count = digits.toInt(&ok);
                if (!ok || count > MaxRepeat)
                    return fail(QStringLiteral("repeat count above %1").arg(MaxRepeat));
                name = content.left(space);
            }
        }

        const QString nameText = name.toString();
        qsizetype length = 0;
        const std::optional<char32_t> ch = characterAt(nameText, 0, &length);
        if (length == nameText.size()) {
            if (!ch)
                return fail(QStringLiteral("broken surrogate pair"));
            if (isControl(*ch))
                return fail(QStringLiteral("control character in braces"));
            add(held, NamedKey::None, *ch, count);
        } else if (const std::optional<NamedKey> key = namedKey(name)) {
            add(held, *key, 0, count);
        } else {
            return fail(QStringLiteral("unknown key \"%1\"").arg(nameText));
        }
        pos = close + 1;
        return true;
    }

    void add(const QList<KeyModifier>& held, NamedKey key, char32_t character, int count) {
        KeyStroke k;
        k.held = held;
        k.key = key;
        k.character = character;
        // With Ctrl or Alt the letter names a key, as in a menu accelerator: "%(I)" is Alt with
        // the I key, not Alt+Shift+I, which receivers treat as another shortcut.
        const bool chord = held.contains(KeyModifier::Control) || held.contains(KeyModifier::Alt);
        if (key == NamedKey::None && chord && !held.contains(KeyModifier::Shift))
            k.character = QChar::toLower(character);
        for (int i = 0; i < count; ++i)
            strokes.append(k);
    }
};

QString displayName(NamedKey key) {
    if (key >= NamedKey::F1 && key <= NamedKey::F16)
        return QStringLiteral("F%1").arg(int(key) - int(NamedKey::F1) + 1);
    for (const KeyName& k : KeyNames)
        if (k.key == key)
            return QLatin1String(k.name);
    return QString();
}

} // namespace

QString KeyStroke::toString() const {
    QString out;
    for (KeyModifier m : held) {
        switch (m) {
        case KeyModifier::Shift:
            out += QStringLiteral("Shift+");
            break;
        case KeyModifier::Control:
            out += QStringLiteral("Ctrl+");
            break;
        case KeyModifier::Alt:
            out += QStringLiteral("Alt+");
            break;
        }
    }
    if (key == NamedKey::None)
        out += QString::fromUcs4(&character, 1);
    else
        out += displayName(key);
    return out;
}

KeySequence parseKeyNotation(const QString& keys) {
    return Parser(keys).run();
}

QString escapeForKeyNotation(const QString& text) {
    QString out;
    out.reserve(text.size() + text.size() / 4);
    for (QChar c : text) {
        if (Specials.contains(c)) {
            out += u'{';
            out += c;
            out += u'}';
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace tw
