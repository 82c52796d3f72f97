// The key-sending notation, read into key strokes, and the escaping that lets a file path
// be typed as it stands.
#include "platform/KeyNotation.h"

#include <QStringList>
#include <QTest>

using tw::escapeForKeyNotation;
using tw::KeyModifier;
using tw::KeySequence;
using tw::KeyStroke;
using tw::NamedKey;
using tw::parseKeyNotation;

namespace {

// "|" between strokes: a typed space or "+" must stay visible as such.
QString strokes(const QString& keys) {
    const KeySequence seq = parseKeyNotation(keys);
    if (!seq.ok())
        return QStringLiteral("error: ") + seq.error;
    QStringList out;
    for (const KeyStroke& k : seq.strokes)
        out.append(k.toString());
    return out.join(u'|');
}

// What a sequence types when every stroke is a plain character; null when one is not.
QString typedText(const KeySequence& seq) {
    QString out(QLatin1String(""));
    for (const KeyStroke& k : seq.strokes) {
        if (k.key != NamedKey::None || !k.held.isEmpty())
            return QString();
        out += QString::fromUcs4(&k.character, 1);
    }
    return out;
}

} // namespace

class KeyNotationTest : public QObject {
    Q_OBJECT

  private slots:
    void wellFormed_data() {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("expected");
        QTest::newRow("characters as they stand") << "Ab 1.x"
                                                  << "A|b| |1|.|x";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("non-Latin and beyond the BMP")
            << QString::fromUtf8("é€𝄞") << QString::fromUtf8("é|€|𝄞");

        // The composer's attach command: Alt with the I key, then a capital A.
        QTest::newRow("Alt group") << "%(I)"
                                   << "Alt+i";
        QTest::newRow("Alt single") << "%I"
                                    << "Alt+i";
        QTest::newRow("Ctrl keeps the key, not the case") << "^(C)"
                                                          << "Ctrl+c";
        QTest::newRow("explicit Shift keeps the case") << "+%(I)"
                                                       << "Shift+Alt+I";
        QTest::newRow("Shift single") << "+a"
                                      << "Shift+a";
        QTest::newRow("prefix holds for one key only") << "+ab"
                                                       << "Shift+a|b";
        QTest::newRow("group shares its modifiers") << "+(ab)c"
                                                    << "Shift+a|Shift+b|c";
        QTest::newRow("nested groups add up") << "^(a%(b)c)"
                                              << "Ctrl+a|Ctrl+Alt+b|Ctrl+c";
        QTest::newRow("bare group") << "(ab)c"
                                    << "a|b|c";
        QTest::newRow("modifiers on a named key") << "^%{DEL}"
                                                  << "Ctrl+Alt+Del";
        QTest::newRow("modifier on a braced literal") << "+{%}"
                                                      << "Shift+%";

        QTest::newRow("tilde is Enter") << "a~b"
                                        << "a|Enter|b";
        QTest::newRow("Shift Enter") << "+~"
                                     << "Shift+Enter";
        QTest::newRow("ENTER") << "{ENTER}"
                               << "Enter";
        QTest::newRow("names ignore case") << "{enter}{Tab}"
                                           << "Enter|Tab";
        QTest::newRow("TAB ESC") << "{TAB}{ESC}{ESCAPE}"
                                 << "Tab|Esc|Esc";
        QTest::newRow("backspace spellings") << "{BACKSPACE}{BS}{BKSP}"
                                             << "Backspace|Backspace|Backspace";
        QTest::newRow("DEL INS") << "{DEL}{DELETE}{INS}{INSERT}"
                                 << "Del|Del|Ins|Ins";
        QTest::newRow("arrows") << "{UP}{DOWN}{LEFT}{RIGHT}"
                                << "Up|Down|Left|Right";
        QTest::newRow("paging") << "{HOME}{END}{PGUP}{PGDN}"
                                << "Home|End|PgUp|PgDn";
        QTest::newRow("function keys") << "{F1}{F9}{F10}{F12}{F16}"
                                       << "F1|F9|F10|F12|F16";
        QTest::newRow("locks and the rest") << "{CAPSLOCK}{NUMLOCK}{SCROLLLOCK}{BREAK}{PRTSC}{HELP}"
                                            << "CapsLock|NumLock|ScrollLock|Break|PrtSc|Help";
        QTest::newRow("keypad") << "{ADD}{SUBTRACT}{MULTIPLY}{DIVIDE}"
                                << "Add|Subtract|Multiply|Divide";

        QTest::newRow("braced specials") << "{+}{^}{%}{~}{(}{)}{{}{}}{[}{]}"
                                         << "+|^|%|~|(|)|{|}|[|]";
        QTest::newRow("braced ordinary character") << "{a}{ }"
                                                   << "a| ";
        QTest::newRow("braced F is a letter") << "{F}"
                                              << "F";

        QTest::newRow("repeat a character") << "{x 3}"
                                            << "x|x|x";
        QTest::newRow("repeat a key") << "{ENTER 2}"
                                      << "Enter|Enter";
        QTest::newRow("repeat with a modifier") << "+{TAB 2}"
                                                << "Shift+Tab|Shift+Tab";
        QTest::newRow("repeat a brace") << "{{ 2}"
                                        << "{|{";
        QTest::newRow("repeat a digit") << "{5 2}"
                                        << "5|5";
        QTest::newRow("repeat none") << "a{b 0}c"
                                     << "a|c";
    }
    void wellFormed() {
        QFETCH(QString, keys);
        QFETCH(QString, expected);
        QCOMPARE(strokes(keys), expected);
    }

    void strokeFields() {
        // toString is what the other cases compare; check once that it reflects the fields.
        const KeySequence seq = parseKeyNotation(QStringLiteral("%(I)+{F2}"));
        QVERIFY(seq.ok());
        QCOMPARE(seq.strokes.size(), 2);
        QCOMPARE(seq.strokes[0].held, QList<KeyModifier>{KeyModifier::Alt});
        QCOMPARE(seq.strokes[0].key, NamedKey::None);
        QCOMPARE(seq.strokes[0].character, char32_t('i'));
        QCOMPARE(seq.strokes[1].held, QList<KeyModifier>{KeyModifier::Shift});
        QCOMPARE(seq.strokes[1].key, NamedKey::F2);
    }

    void malformedIsAnErrorWithNoStrokes_data() {
        QTest::addColumn<QString>("keys");
        QTest::newRow("modifier at the end") << "ab%";
        QTest::newRow("modifiers only") << "+^";
        QTest::newRow("modifier twice") << "%%a";
        QTest::newRow("modifier twice across a group") << "+(+a)";
        QTest::newRow("modifier before )") << "(a+)";
        QTest::newRow("open group") << "%(ab";
        QTest::newRow("lone (") << "(";
        QTest::newRow("stray )") << "a)";
        QTest::newRow("empty group") << "%()";
        QTest::newRow("open brace") << "{ENTER";
        QTest::newRow("lone {") << "{";
        QTest::newRow("empty braces") << "{}";
        QTest::newRow("stray }") << "a}";
        QTest::newRow("bare [") << "[x";
        QTest::newRow("bare ]") << "x]";
        QTest::newRow("unknown key") << "{NOSUCHKEY}";
        QTest::newRow("F0") << "{F0}";
        QTest::newRow("F17") << "{F17}";
        QTest::newRow("F01") << "{F01}";
        QTest::newRow("F+1") << "{F+1}";
        QTest::newRow("count too large") << "{a 1001}";
        QTest::newRow("count overflowing int") << "{a 99999999999999999999}";
        QTest::newRow("newline") << "a\nb";
        QTest::newRow("tab character") << "a\tb";
        QTest::newRow("braced control character") << "{\r}";
        QTest::newRow("lone high surrogate") << QString(QChar(0xd834));
        QTest::newRow("lone low surrogate") << QString(QChar(0xdd1e)) + "a";
        QTest::newRow("too deep") << QString(17, u'(') + "a" + QString(17, u')');
        QTest::newRow("runaway nesting") << QString(100000, u'(');
    }
    void malformedIsAnErrorWithNoStrokes() {
        QFETCH(QString, keys);
        const KeySequence seq = parseKeyNotation(keys);
        QVERIFY2(!seq.ok(), qPrintable(strokes(keys)));
        QVERIFY(!seq.error.isEmpty());
        QVERIFY(seq.strokes.isEmpty());
    }

    void nestingWithinTheLimitIsFine() {
        QCOMPARE(strokes(QString(16, u'(') + "a" + QString(16, u')')), QStringLiteral("a"));
    }

    void eachSpecialCharacterEscapes_data() {
        QTest::addColumn<QString>("character");
        for (QChar c : QStringLiteral("+^%~(){}[]"))
            QTest::newRow(qPrintable(QString(c))) << QString(c);
    }
    void eachSpecialCharacterEscapes() {
        QFETCH(QString, character);
        const QString escaped = escapeForKeyNotation(character);
        QCOMPARE(escaped, "{" + character + "}");
        QCOMPARE(typedText(parseKeyNotation(escaped)), character);
        // Alone or amid others: "{}}" and "{{}" must not swallow their neighbours.
        const QString amid = "a" + character + character + "b";
        QCOMPARE(typedText(parseKeyNotation(escapeForKeyNotation(amid))), amid);
    }

    void pathsTypeAsTheyStand_data() {
        QTest::addColumn<QString>("path");
        QTest::newRow("every special") << "/home/me/my take (1)+2 [x] {y} 50%~^.wav";
        QTest::newRow("plain") << "/home/me/Recordings/take 3.wav";
        QTest::newRow("braces around specials") << "/tmp/{+}{(}}{{.wav";
        QTest::newRow("non-ASCII") << QString::fromUtf8("/home/jürgen/Aufnahme € 𝄞.wav");
        QTest::newRow("empty") << "";
    }
    void pathsTypeAsTheyStand() {
        QFETCH(QString, path);
        const KeySequence seq = parseKeyNotation(escapeForKeyNotation(path));
        QVERIFY2(seq.ok(), qPrintable(seq.error));
        QCOMPARE(typedText(seq), path);
    }

    void unescapedPathIsNotTypedAsItStands() {
        // Why the escaping exists: read raw, this path is not what would arrive.
        const QString path = QStringLiteral("/home/me/my take (1)+2.wav");
        const KeySequence raw = parseKeyNotation(path);
        QVERIFY(raw.ok());
        QVERIFY(typedText(raw) != path);
        QVERIFY(!parseKeyNotation(QStringLiteral("/home/me/[x].wav")).ok());
    }
};

QTEST_APPLESS_MAIN(KeyNotationTest)

#include "test_keynotation.moc"
