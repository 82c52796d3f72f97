#pragma once

#include <QList>
#include <QString>

namespace tw {

// The key-sending notation: "+" Shift, "^" Ctrl and "%" Alt held for the next key or for a
// parenthesised group, "{NAME}" a named key, "{c}" the character c taken literally,
// "{NAME n}" a key n times, "~" Enter, anything else the character itself.

enum class KeyModifier { Shift, Control, Alt };

enum class NamedKey {
    None, // the stroke types `character`
    Enter,
    Tab,
    Escape,
    Backspace,
    Delete,
    Insert,
    Home,
    End,
    PageUp,
    PageDown,
    Up,
    Down,
    Left,
    Right,
    Break,
    CapsLock,
    NumLock,
    ScrollLock,
    PrintScreen,
    Help,
    KeypadAdd,
    KeypadSubtract,
    KeypadMultiply,
    KeypadDivide,
    F1,
    F2,
    F3,
    F4,
    F5,
    F6,
    F7,
    F8,
    F9,
    F10,
    F11,
    F12,
    F13,
    F14,
    F15,
    F16,
};

struct KeyStroke {
    QList<KeyModifier> held; // pressed in this order before the key, released after it
    NamedKey key = NamedKey::None;
    char32_t character = 0; // when `key` is None

    bool operator==(const KeyStroke&) const = default;
    // "Alt+i", "Shift+Enter", "a": for messages and tests.
    QString toString() const;
};

struct KeySequence {
    QList<KeyStroke> strokes;
    QString error; // empty when the notation was well formed; then `strokes` is all of it

    bool ok() const { return error.isEmpty(); }
};

KeySequence parseKeyNotation(const QString& keys);

// Braces every character the notation would otherwise read as a command, so that
// parseKeyNotation(escapeForKeyNotation(text)) types `text` as it stands.
QString escapeForKeyNotation(const QString& text);

} // namespace tw
